#pragma once
// Driving real widgets the way an operator does.
#include <QMainWindow>
#include <QPoint>
#include <QString>

class QMdiArea;
class QWidget;
class TForm;

// A host main window with an MDI area, where screens open in tests.
class TestHostWindow : public QMainWindow {
public:
    TestHostWindow();
    ~TestHostWindow() override;
    QMdiArea* mdi;
};

namespace ui {
// Activates the window of w and waits until it is active (headless platforms
// never re-activate a window by themselves).
bool activate(QWidget* w);
// Gives w the focus and waits until it has it.
bool focus(QWidget* w);
void type(QWidget* w, const QString& text);
void key(QWidget* w, int qtKey, Qt::KeyboardModifiers mods = Qt::NoModifier);
void tab(QWidget* w);
QWidget* focused();
QString focusedName();

// Input as the window system hands it over: queued, and delivered when an
// event loop next takes input (not sent at once, as QTest's clicks are). A
// test uses them to press and click while a call waits in its own loop.
void queueClick(QWidget* w, QPoint at = QPoint(-1, -1));
// A key press and release for the window's focus widget; text is what it types.
void queueKey(QWidget* w, int qtKey, const QString& text = QString(),
              Qt::KeyboardModifiers mods = Qt::NoModifier);
} // namespace ui
