#include "uitest.h"
#include "vcl/application.h"
#include "vcl/wincontrol.h"
#include <QApplication>
#include <QMdiArea>
#include <QTest>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

TestHostWindow::TestHostWindow() : mdi(new QMdiArea(this)) {
    setObjectName(QStringLiteral("testHost"));
    setCentralWidget(mdi);
    resize(1000, 640);
    TApplication::setMdiArea(mdi);
    show();
    activateWindow();
    if (!QTest::qWaitForWindowActive(this))
        qWarning("test host window not active");
}

TestHostWindow::~TestHostWindow() {
    TApplication::setMdiArea(nullptr);
}

namespace ui {

bool activate(QWidget* w) {
    QWidget* win = w->window();
    win->activateWindow();
    return QTest::qWaitForWindowActive(win);
}

bool focus(QWidget* w) {
    activate(w);
    QWidget* target = w;
    if (TWinControl* c = TWinControl::of(w))
        target = c->focusTarget();
    target->setFocus(Qt::OtherFocusReason);
    return QTest::qWaitFor([&] { return QApplication::focusWidget() == target; }, 2000);
}

QWidget* focused() {
    return QApplication::focusWidget();
}

QString focusedName() {
    QWidget* f = QApplication::focusWidget();
    // Composite controls (date edits) are named on the control, not its editor.
    for (QWidget* w = f; w; w = w->parentWidget())
        if (TWinControl::of(w))
            return w->objectName();
    return f ? f->objectName() : QString();
}

void type(QWidget* w, const QString& text) {
    QWidget* target = w;
    if (TWinControl* c = TWinControl::of(w))
        target = c->focusTarget();
    QTest::keyClicks(target, text);
}

void key(QWidget* w, int qtKey, Qt::KeyboardModifiers mods) {
    QWidget* target = w;
    if (TWinControl* c = TWinControl::of(w))
        target = c->focusTarget();
    QTest::keyClick(target, Qt::Key(qtKey), mods);
}

void tab(QWidget* w) {
    key(w, Qt::Key_Tab);
}

void queueClick(QWidget* w, QPoint at) {
    if (at == QPoint(-1, -1))
        at = w->rect().center();
    QWindow* window = w->window()->windowHandle();
    const QPointF local = w->mapTo(w->window(), at);
    const QPointF global = w->mapToGlobal(at);
    using Async = QWindowSystemInterface::AsynchronousDelivery;
    QWindowSystemInterface::handleMouseEvent<Async>(window, local, global, Qt::LeftButton, Qt::LeftButton,
                                                    QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<Async>(window, local, global, Qt::NoButton, Qt::LeftButton,
                                                    QEvent::MouseButtonRelease);
}

void queueKey(QWidget* w, int qtKey, const QString& text, Qt::KeyboardModifiers mods) {
    QWindow* window = w->window()->windowHandle();
    using Async = QWindowSystemInterface::AsynchronousDelivery;
    QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyPress, qtKey, mods, text);
    QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyRelease, qtKey, mods, text);
}

} // namespace ui
