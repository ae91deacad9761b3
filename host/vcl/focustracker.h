#pragma once
// Turns Qt's after-the-fact focus changes into the toolkit's enter/exit model
// for one form. When the focus moves from A to B: the exit handlers of A and
// of each container of A that does not contain B run, innermost first; then the
// enter handlers of each container of B that does not contain A, outermost
// first, and of B. An exit handler that fails ends the move: the focus stays
// where the failing check put it (the control left when it put it nowhere) and
// B gets neither enter nor exit.
//
// Qt reports a change when it has already happened, so the tracker keeps the
// form's current control itself instead of trusting the old widget it is told.
// Changes to a widget outside the form (a message box, a lookup dialog, another
// window) are no move, and neither is the change that brings the focus back
// from one; while one of its handlers runs, no focus change is a move (a
// handler's SetFocus says where the focus must be, it does not start a move).
//
// Nor is a change of the window's state. Minimising, maximising or restoring
// the window (an MDI child, or the host's own window under a window manager)
// makes Qt park the focus on hidden controls, on the frame, or on whatever
// control it remembers when the window is activated again: the operator has
// not left the box they were typing in. The tracker takes no such change for a
// move (a change to a hidden control, one that comes with the activation of a
// window, one made while the window's state changes) and, once the window has
// settled, gives the focus back to the form's current control without running
// any handler.
#include "zavhost_export.h"
#include <QObject>
#include <QPointer>
#include <QWidget>

class TForm;
class TWinControl;

class ZAVHOST_EXPORT FocusTracker : public QObject {
    Q_OBJECT
public:
    explicit FocusTracker(TForm* form);

    // The control that holds the focus as the form sees it.
    TWinControl* current() const;
    // A handler (or code running inside one) asked for the focus here.
    void focusRequested(TWinControl* control);
    bool running() const { return m_running; }

    // The innermost control of the form that contains w (w itself when it is
    // one), skipping containers.
    TWinControl* controlOf(QWidget* w) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onFocusChanged(QWidget* old, QWidget* now);
    bool isOperatorMove(QWidget* now) const;
    bool windowMinimised() const;
    void settleLater();
    void settle();
    void move(TWinControl* from, TWinControl* to);
    QList<TWinControl*> chain(TWinControl* c) const; // c and its containers, innermost first

    TForm* m_form;
    QPointer<QWidget> m_current;
    QPointer<QWidget> m_requested;
    QPointer<QWidget> m_lastFocusIn; // the widget the last FocusIn went to, and why
    Qt::FocusReason m_lastReason = Qt::OtherFocusReason;
    bool m_running = false;
    bool m_stateChanging = false; // the window's state changed and it has not settled yet
    bool m_settlePending = false;
};
