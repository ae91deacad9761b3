#include "buttons.h"
#include "graphics.h"
#include "guard.h"

TButtonFlat::TButtonFlat(QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    setFont(screenFont());
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    connect(this, &QToolButton::clicked, this, [this] { Click(); });
}

void TButtonFlat::SetGlyph(const QIcon& glyph) {
    setIcon(glyph);
    setIconSize(QSize(16, 16));
}

void TButtonFlat::Click() {
    if (OnClick && isEnabled())
        zav::guarded([&] { OnClick(this); });
}
