#include "form.h"
#include "focustracker.h"
#include "services/guard.h"
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <algorithm>

TForm::TForm(QWidget* parent) : QWidget(parent), m_tracker(new FocusTracker(this)) {
    qApp->installEventFilter(this);
}

TForm::~TForm() {
    qApp->removeEventFilter(this);
}

TForm* TForm::formOf(QWidget* w) {
    for (; w; w = w->parentWidget())
        if (auto f = qobject_cast<TForm*>(w))
            return f;
    return nullptr;
}

void TForm::SetClientSize(int width, int height) {
    setFixedSize(width, height);
}

TWinControl* TForm::ActiveControl() const {
    if (m_tracker->running() || m_active)
        return m_active ? TWinControl::of(m_active) : nullptr;
    return m_tracker->current();
}

void TForm::SetActiveControl(TWinControl* control) {
    m_initial = control ? control->self() : nullptr;
    if (m_shown && control)
        control->SetFocus();
}

void TForm::setActiveControlDuringMove(TWinControl* control) {
    m_active = control ? control->self() : nullptr;
}

void TForm::focusRequested(TWinControl* control) {
    m_tracker->focusRequested(control);
}

void TForm::Close() {
    if (m_subWindow)
        m_subWindow->close();
    else
        close();
}

void TForm::SetWindowStateNormal() {
    QWidget* w = m_subWindow ? static_cast<QWidget*>(m_subWindow) : this;
    if (w->isMinimized() || w->isMaximized())
        w->showNormal();
}

void TForm::ShowAndActivate() {
    QWidget* w = m_subWindow ? static_cast<QWidget*>(m_subWindow) : this;
    // A screen in a minimised host window is not in front of anyone: the
    // host's window comes back too, as it was before (maximised, say).
    if (QWidget* top = w->window(); top != w && top->isMinimized()) {
        top->setWindowState(top->windowState() & ~Qt::WindowMinimized);
        top->show();
        top->raise();
        top->activateWindow();
    }
    w->show();
    w->raise();
    if (m_subWindow && m_subWindow->mdiArea())
        m_subWindow->mdiArea()->setActiveSubWindow(m_subWindow);
    else
        activateWindow();
}

QList<TWinControl*> TForm::tabOrderControls() const {
    QList<TWinControl*> out;
    std::function<void(const QWidget*)> collect = [&](const QWidget* parent) {
        QList<QWidget*> kids;
        for (QObject* o : parent->children())
            if (auto w = qobject_cast<QWidget*>(o); w && !w->isWindow())
                kids.append(w);
        std::stable_sort(kids.begin(), kids.end(), [](QWidget* a, QWidget* b) {
            auto key = [](QWidget* w) {
                TWinControl* c = TWinControl::of(w);
                return c && c->TabOrder() >= 0 ? c->TabOrder() : 1 << 20;
            };
            return key(a) < key(b);
        });
        for (QWidget* w : kids) {
            TWinControl* c = TWinControl::of(w);
            if (c && !c->isContainer()) {
                out.append(c);
                continue;
            }
            collect(w);
        }
    };
    collect(this);
    return out;
}

void TForm::applyTabOrder() {
    QWidget* prev = nullptr;
    for (TWinControl* c : tabOrderControls()) {
        QWidget* w = c->focusTarget();
        if (w->focusPolicy() == Qt::NoFocus)
            continue;
        if (prev)
            QWidget::setTabOrder(prev, w);
        prev = w;
    }
}

void TForm::SelectNext(bool forward) {
    const QList<TWinControl*> all = tabOrderControls();
    QList<TWinControl*> stops;
    for (TWinControl* c : all)
        if (c->TabStop() && c->focusTarget()->focusPolicy() != Qt::NoFocus)
            stops.append(c);
    if (stops.isEmpty())
        return;
    const qsizetype at = stops.indexOf(ActiveControl());
    const qsizetype n = stops.size();
    for (qsizetype step = 1; step <= n; ++step) {
        qsizetype i = at < 0 ? (forward ? step - 1 : n - step) : (at + (forward ? step : -step) + n * 2) % n;
        if (stops[i]->CanFocus()) {
            stops[i]->SetFocus();
            return;
        }
    }
}

void TForm::loaded(QMdiSubWindow* subWindow) {
    m_subWindow = subWindow;
    applyTabOrder();
}

void TForm::runCreate() {
    if (OnCreate)
        zav::guarded([&] { OnCreate(this); });
}

bool TForm::eventFilter(QObject* watched, QEvent* event) {
    auto w = qobject_cast<QWidget*>(watched);
    // No control of the screen pops a menu up on a right click.
    if (event->type() == QEvent::ContextMenu && w && (w == this || isAncestorOf(w)))
        return true;
    if (event->type() != QEvent::KeyPress || !KeyPreview || !OnKeyDown)
        return false;
    // Only the first delivery, to the focus widget itself, not its propagation
    // to the parents.
    if (!w || w != QApplication::focusWidget() || !isAncestorOf(w))
        return false;
    auto ke = static_cast<QKeyEvent*>(event);
    TKey key = vkOf(ke->key());
    if (key == 0)
        return false;
    const TKey before = key;
    zav::guarded([&] { OnKeyDown(this, key, TShiftState::from(ke->modifiers())); });
    return key == 0 && before != 0;
}

void TForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    if (OnShow)
        zav::guarded([&] { OnShow(this); });
    if (TWinControl* c = m_initial ? TWinControl::of(m_initial) : nullptr;
        c && c->CanFocus() && !m_tracker->current())
        c->SetFocus();
}

void TForm::closeEvent(QCloseEvent* event) {
    if (OnCloseQuery) {
        bool canClose = true;
        if (!zav::guarded([&] { OnCloseQuery(this, canClose); }) || !canClose) {
            event->ignore();
            return;
        }
    }
    TCloseAction action = m_subWindow ? TCloseAction::caMinimize : TCloseAction::caHide;
    if (OnClose && !zav::guarded([&] { OnClose(this, action); }))
        action = TCloseAction::caNone;
    switch (action) {
    case TCloseAction::caNone:
        event->ignore();
        break;
    case TCloseAction::caHide:
        event->ignore();
        (m_subWindow ? static_cast<QWidget*>(m_subWindow) : this)->hide();
        break;
    case TCloseAction::caMinimize:
        event->ignore();
        (m_subWindow ? static_cast<QWidget*>(m_subWindow) : this)->showMinimized();
        break;
    case TCloseAction::caFree:
        event->accept();
        if (m_subWindow)
            m_subWindow->setAttribute(Qt::WA_DeleteOnClose);
        else
            deleteLater();
        break;
    }
}

void TForm::contextMenuEvent(QContextMenuEvent* event) {
    // The screen's popup menu exists for its shortcuts; it never pops up.
    event->accept();
}
