#include "uitest.h"
#include "vcl/application.h"
#include "vcl/wincontrol.h"
#include <QApplication>
#include <QMdiArea>
#include <QTest>

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

TestHostWindow::~TestHostWindow() { TApplication::setMdiArea(nullptr); }

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

QWidget* focused() { return QApplication::focusWidget(); }

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

void tab(QWidget* w) { key(w, Qt::Key_Tab); }

} // namespace ui
