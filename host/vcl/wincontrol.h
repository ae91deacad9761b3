#pragma once
// What every windowed control of a screen carries besides its Qt widget: enter
// and exit handlers, its place in the tab order and the focus call that the
// form's focus tracker knows about. Containers (panels, group boxes,
// notebooks) carry it too, so their enter and exit handlers run when the focus
// crosses their border.
#include "zavhost_export.h"
#include <QObject>
#include <QWidget>
#include <functional>

using TNotifyEvent = std::function<void(QObject* sender)>;

class ZAVHOST_EXPORT TWinControl {
public:
    explicit TWinControl(QWidget* self);
    virtual ~TWinControl();
    TWinControl(const TWinControl&) = delete;
    TWinControl& operator=(const TWinControl&) = delete;

    QWidget* self() const { return m_self; }
    static TWinControl* of(QWidget* w);

    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;

    // Tab order among the controls of the same parent; -1 leaves it to the
    // order of creation.
    int TabOrder() const { return m_tabOrder; }
    void SetTabOrder(int order) { m_tabOrder = order; }
    bool TabStop() const { return m_tabStop; }
    void SetTabStop(bool stop);

    bool Enabled() const { return m_self->isEnabled(); }
    void SetEnabled(bool enabled) { m_self->setEnabled(enabled); }
    bool Visible() const { return m_self->isVisible(); }

    // The control is shown, enabled, and so are all its parents.
    bool CanFocus() const;
    // Gives the input focus to the control. Inside a handler this is no move
    // of its own: the form's focus tracker takes it as where the focus must be.
    void SetFocus();

    // The widget that actually takes the keyboard focus (itself, or an inner
    // editor for composite controls).
    virtual QWidget* focusTarget() const { return m_self; }
    // A control that handles this key itself (a grid cancelling a row edit
    // with Esc, say): the screen's window-level keys leave it alone.
    virtual bool WantsKey(int vk) const {
        Q_UNUSED(vk);
        return false;
    }
    // What leaving the control does, as the form's focus tracker runs it: the
    // control's own step (a grid commits its row), then OnExit. Throws to keep
    // the focus (EAbort after a message).
    virtual bool HasExit() const { return bool(OnExit); }
    virtual void DoExit() {
        if (OnExit)
            OnExit(m_self);
    }
    // Containers are never the focus themselves.
    virtual bool isContainer() const { return false; }

private:
    QWidget* m_self;
    int m_tabOrder = -1;
    bool m_tabStop = true;
};
