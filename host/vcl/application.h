#pragma once
// The host's form factory: screens are created as MDI children of the host's
// MDI area (or as top-level windows when the host has none).
#include "form.h"
#include "zavhost_export.h"
#include <QMdiArea>
#include <QPoint>
#include <QPointer>

class ZAVHOST_EXPORT TApplication {
public:
    static void setMdiArea(QMdiArea* area);
    static QMdiArea* mdiArea();

    // Creates a form of class T, stores it in ref before its create event runs,
    // places it in the MDI area, runs its create event and, when the form is
    // defined visible, shows it (which runs its show event).
    template <class T> static void CreateForm(T*& ref) {
        auto* form = new T();
        ref = form;
        place(form);
    }

private:
    static void place(TForm* form);
};
