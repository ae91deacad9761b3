#pragma once
// While one lives, the operator's input (keys, clicks, the wheel, touches,
// shortcuts, context menus) is dropped before any widget sees it. A server call
// waits in a local event loop that must keep every window painting; input that
// arrives meanwhile is not for the call's screen, which is blocked, and must not
// be delivered afterwards either: a second click on a confirm button would send
// a second request, a key pressed while waiting would act on the answer.
#include "zavhost_export.h"
#include <QObject>

class ZAVHOST_EXPORT UserInputBlock : public QObject {
    Q_OBJECT
public:
    UserInputBlock();
    ~UserInputBlock() override;
    UserInputBlock(const UserInputBlock&) = delete;
    UserInputBlock& operator=(const UserInputBlock&) = delete;

    // Input events of the operator, as opposed to the window system's own.
    static bool isUserInput(const QEvent* event);
    // How many input events this block dropped.
    int dropped() const { return m_dropped; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int m_dropped = 0;
};
