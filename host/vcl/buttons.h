#pragma once
// Flat tool buttons. They never take the keyboard focus, so pressing one runs
// no exit check of the control being edited.
#include "wincontrol.h"
#include "zavhost_export.h"
#include <QKeySequence>
#include <QToolButton>

class ZAVHOST_EXPORT TButtonFlat : public QToolButton {
    Q_OBJECT
public:
    explicit TButtonFlat(QWidget* parent = nullptr);
    void SetHint(const QString& hint) { setToolTip(hint); }
    QString Hint() const { return toolTip(); }
    void SetGlyph(const QIcon& glyph);
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool enabled) { setEnabled(enabled); }
    // Runs OnClick as a click does (for code that "clicks" the button).
    void Click();
    // A key that clicks the button wherever the focus is in its screen (or,
    // outside a screen, its window), while the button is enabled.
    void SetShortcut(const QKeySequence& key);
    TNotifyEvent OnClick;
};

using TSpeedButton = TButtonFlat;
