#include "focustracker.h"
#include "form.h"
#include "services/guard.h"
#include "wincontrol.h"
#include <QApplication>
#include <QFocusEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTimer>
#include <QWindowStateChangeEvent>

FocusTracker::FocusTracker(TForm* form) : QObject(form), m_form(form) {
    connect(qApp, &QApplication::focusChanged, this, &FocusTracker::onFocusChanged);
    qApp->installEventFilter(this);
}

bool FocusTracker::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::FocusIn:
        // FocusIn comes before focusChanged, which does not say why.
        if (auto* w = qobject_cast<QWidget*>(watched); w && m_form->isAncestorOf(w)) {
            m_lastFocusIn = w;
            m_lastReason = static_cast<QFocusEvent*>(event)->reason();
        }
        break;
    case QEvent::WindowStateChange:
        // The frame of the screen (its MDI child window) or the window it lives
        // in: delivered before the frame reacts, and so before Qt moves the focus.
        if (watched == m_form->subWindow() || watched == m_form->window()) {
            // Minimised, maximised, full screen or back: not the activation
            // of an MDI child, which is a window state too.
            const auto before = static_cast<QWindowStateChangeEvent*>(event)->oldState();
            const auto after = static_cast<QWidget*>(watched)->windowState();
            if ((before ^ after) & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) {
                m_stateChanging = true;
                settleLater();
            }
        }
        break;
    default:
        break;
    }
    return false;
}

bool FocusTracker::windowMinimised() const {
    const QWidget* frame =
        m_form->subWindow() ? static_cast<QWidget*>(m_form->subWindow()) : m_form->window();
    return frame->isMinimized() || m_form->window()->isMinimized();
}

bool FocusTracker::isOperatorMove(QWidget* now) const {
    if (!m_current)
        return true; // the form's first control
    if (m_stateChanging || !now->isVisible() || windowMinimised())
        return false;
    if (now == m_lastFocusIn &&
        (m_lastReason == Qt::ActiveWindowFocusReason || m_lastReason == Qt::PopupFocusReason))
        return false;
    return true;
}

void FocusTracker::settleLater() {
    if (m_settlePending)
        return;
    m_settlePending = true;
    QTimer::singleShot(0, this, &FocusTracker::settle);
}

void FocusTracker::settle() {
    m_settlePending = false;
    m_stateChanging = false;
    if (m_running || windowMinimised() || !m_form->isVisible())
        return;
    TWinControl* c = current();
    if (!c || !c->CanFocus())
        return;
    // Only a focus that Qt left inside this screen (or on its frame) is put
    // back: the operator may have gone to another window meanwhile.
    QWidget* focus = QApplication::focusWidget();
    const bool ours = focus && (focus == m_form->subWindow() || m_form->isAncestorOf(focus));
    if (!ours || focus == c->focusTarget())
        return;
    if (m_form->subWindow() && m_form->subWindow()->mdiArea() &&
        m_form->subWindow()->mdiArea()->activeSubWindow() != m_form->subWindow())
        return;
    c->focusTarget()->setFocus(Qt::OtherFocusReason);
}

TWinControl* FocusTracker::current() const {
    return m_current ? TWinControl::of(m_current) : nullptr;
}

void FocusTracker::focusRequested(TWinControl* control) {
    if (m_running)
        m_requested = control->self();
}

TWinControl* FocusTracker::controlOf(QWidget* w) const {
    for (; w && w != m_form; w = w->parentWidget()) {
        TWinControl* c = TWinControl::of(w);
        if (c && !c->isContainer())
            return c;
    }
    return nullptr;
}

QList<TWinControl*> FocusTracker::chain(TWinControl* c) const {
    QList<TWinControl*> out;
    if (!c)
        return out;
    for (QWidget* w = c->self(); w && w != m_form; w = w->parentWidget())
        if (TWinControl* t = TWinControl::of(w))
            out.append(t);
    return out;
}

void FocusTracker::onFocusChanged(QWidget*, QWidget* now) {
    if (m_running || !now || now->window() != m_form->window() || !m_form->isAncestorOf(now))
        return;
    TWinControl* to = controlOf(now);
    if (!to || to->self() == m_current)
        return;
    if (!isOperatorMove(now)) {
        settleLater();
        return;
    }
    move(current(), to);
}

void FocusTracker::move(TWinControl* from, TWinControl* to) {
    m_running = true;
    m_requested = nullptr;
    // During the exits the form's active control is already the one entered,
    // as the screens' checks expect ("is the focus going to my own box?").
    m_form->setActiveControlDuringMove(to);
    const QList<TWinControl*> fromChain = chain(from);
    const QList<TWinControl*> toChain = chain(to);
    QPointer<QWidget> toWidget = to->self();
    QPointer<QWidget> fromWidget = from ? from->self() : nullptr;

    for (TWinControl* c : fromChain) {
        if (toChain.contains(c))
            continue;
        if (!c->HasExit())
            continue;
        const bool ok = zav::guarded([&] { c->DoExit(); });
        // A failing exit ends the move; so does an exit that put the focus
        // somewhere itself: the focus stays where the handler put it.
        if (!ok || m_requested) {
            // The move ends here: B gets neither enter nor exit.
            TWinControl* placed = m_requested ? TWinControl::of(m_requested) : nullptr;
            if (!placed || !placed->CanFocus()) {
                TWinControl* left = fromWidget ? TWinControl::of(fromWidget) : nullptr;
                placed = left && left->CanFocus() ? left : nullptr;
            }
            if (placed) {
                m_current = placed->self();
                placed->focusTarget()->setFocus(Qt::OtherFocusReason);
            } else {
                TWinControl* f =
                    QApplication::focusWidget() ? controlOf(QApplication::focusWidget()) : nullptr;
                m_current = f ? f->self() : nullptr;
            }
            m_form->setActiveControlDuringMove(current());
            m_running = false;
            return;
        }
    }
    m_current = toWidget;
    for (auto it = toChain.crbegin(); it != toChain.crend(); ++it) {
        TWinControl* c = *it;
        if (fromChain.contains(c) || !c->OnEnter)
            continue;
        if (!zav::guarded([&] { c->OnEnter(c->self()); }))
            break;
    }
    // An enter handler may itself have put the focus elsewhere.
    if (m_requested && m_requested != m_current) {
        m_current = m_requested;
        if (TWinControl* r = TWinControl::of(m_requested))
            r->focusTarget()->setFocus(Qt::OtherFocusReason);
    }
    m_form->setActiveControlDuringMove(current());
    m_running = false;
}
