#pragma once
// The host's message boxes (an error, a question): boxes the operator must
// have seen before they go away.
//
// A box opened from a key or a click is mapped by the window manager a moment
// later, and an operator typing on (a reason, say) does not see it come: the
// keys typed meanwhile would go to it, Space would press its button, and the
// rest of the typing would land in the window under it, as if typed there. So:
// - for kSettleMs after the box is first on screen (shown, exposed and active)
//   no key and no click does anything: whatever was typed before it could be
//   seen is dropped, neither acted on by the box nor left for the window under
//   it;
// - afterwards only Enter, Esc, the keys that move between its buttons, a
//   click on a button and Ctrl+C (which copies its text) act: a typed
//   character, Space included, never answers it.
#include "zavhost_export.h"
#include <QElapsedTimer>
#include <QMessageBox>

class ZAVHOST_EXPORT MessageDialog : public QMessageBox {
    Q_OBJECT
public:
    // A person needs about a quarter of a second to see a window appear and
    // react to it; anything sooner was typed before the box was seen.
    static constexpr int kSettleMs = 400;

    MessageDialog(Icon icon, const QString& title, const QString& text, QWidget* parent);
    ~MessageDialog() override;

    // Whether the box has been on screen long enough to be answered.
    bool settled() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool onScreen() const;
    // Whether an input event for a widget of the box may act.
    bool admits(const QEvent* event) const;

    QElapsedTimer m_seen; // since the box was first on screen
};
