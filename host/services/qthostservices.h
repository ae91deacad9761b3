#pragma once
// The real dialogs of the host application.
#include "hostservices.h"
#include <QPointer>

class QWidget;

class ZAVHOST_EXPORT QtHostServices : public HostServices {
public:
    QtHostServices();
    ~QtHostServices() override;
    void showError(const QString& text) override;
    void showException(const QString& text) override;
    bool confirm(const QString& text) override;
    int chooseRow(const LookupRequest& request) override;
    void search(QWidget* owner, TDataSet* dataSet) override;
    void busyOn(QWidget* over, int kind) override;
    void busyOff() override;
    void busyProgress(int done, int total, const QString& unit) override;
    std::optional<QString> askText(const QString& title, const QString& label, int maxLength) override;
    void showStatus(const QString& text) override;
    void showHelp(const QString& file, int context) override;
    bool signInAgain(const QString& why) override;

private:
    QPointer<QWidget> m_busy;
};

// What the busy animation says of a call's progress: "240 de 374", and what
// is counted when unit is given ("240 de 374 notas").
ZAVHOST_EXPORT QString progressText(int done, int total, const QString& unit);
