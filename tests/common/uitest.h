#pragma once
// Driving real widgets the way an operator does.
#include <QMainWindow>
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
} // namespace ui
