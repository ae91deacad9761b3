#pragma once
// Driving real widgets the way an operator does.
#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <memory>
#include <vector>

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

// An operator's gesture at a human pace, through the window system: on X
// (xcb) the keys and the click go through the X server's test extension
// (xdotool), so that they reach whichever window has the keyboard or lies
// under the pointer at that moment, as a person's do; elsewhere they are
// queued at the same pace for the window that has the keyboard when each
// comes. start() returns at once: the test's event loop runs while they come.
class Gesture {
public:
    Gesture();
    ~Gesture();
    Gesture(const Gesture&) = delete;
    Gesture& operator=(const Gesture&) = delete;

    // A left click at a point of a widget, before the keys.
    Gesture& click(QWidget* w, QPoint at);
    // Printable text (ASCII), one key every msPerKey.
    Gesture& type(const QString& text, int msPerKey);
    // One key: Qt::Key_Return, Qt::Key_Escape or Qt::Key_Tab.
    Gesture& key(int qtKey);
    // Sends it all; false with why when it cannot be sent on this platform.
    bool start(QString* why);
    // Whether everything has been sent (for a test whose own wait is held by
    // a modal dialog the gesture opened).
    bool sent() const;
    // Waits until everything has been sent (at most timeoutMs); true when it
    // was, and without a fault.
    bool wait(int timeoutMs);

private:
    struct Step;
    struct Sender;
    std::vector<Step> m_steps;
    std::unique_ptr<Sender> m_sender;
};
} // namespace ui
