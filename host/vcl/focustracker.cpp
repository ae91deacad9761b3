#include "focustracker.h"
#include "form.h"
#include "guard.h"
#include "wincontrol.h"
#include <QApplication>

FocusTracker::FocusTracker(TForm* form) : QObject(form), m_form(form) {
    connect(qApp, &QApplication::focusChanged, this, &FocusTracker::onFocusChanged);
}

TWinControl* FocusTracker::current() const { return m_current ? TWinControl::of(m_current) : nullptr; }

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
        if (!c->OnExit)
            continue;
        const bool ok = zav::guarded([&] { c->OnExit(c->self()); });
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
                TWinControl* f = QApplication::focusWidget() ? controlOf(QApplication::focusWidget()) : nullptr;
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
