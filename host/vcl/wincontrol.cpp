#include "wincontrol.h"
#include "form.h"
#include <QApplication>

TWinControl::TWinControl(QWidget* self) : m_self(self) {}
TWinControl::~TWinControl() = default;

TWinControl* TWinControl::of(QWidget* w) {
    return dynamic_cast<TWinControl*>(w);
}

void TWinControl::SetTabStop(bool stop) {
    m_tabStop = stop;
    if (!isContainer())
        focusTarget()->setFocusPolicy(stop ? Qt::StrongFocus : Qt::ClickFocus);
}

bool TWinControl::CanFocus() const {
    for (QWidget* w = m_self; w; w = w->parentWidget()) {
        if (!w->isEnabled() || w->isHidden())
            return false;
        if (w->isWindow())
            break;
    }
    return true;
}

void TWinControl::SetFocus() {
    if (TForm* form = TForm::formOf(m_self))
        form->focusRequested(this);
    focusTarget()->setFocus(Qt::OtherFocusReason);
}
