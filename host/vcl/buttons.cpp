#include "buttons.h"
#include "form.h"
#include "graphics.h"
#include "services/guard.h"
#include <QShortcut>

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

void TButtonFlat::SetShortcut(const QKeySequence& key) {
    QWidget* scope = TForm::formOf(this);
    auto* shortcut = new QShortcut(key, scope ? scope : window());
    shortcut->setObjectName(objectName() + QStringLiteral("Shortcut"));
    shortcut->setContext(scope ? Qt::WidgetWithChildrenShortcut : Qt::WindowShortcut);
    // The shortcut belongs to the button: it goes when the button goes.
    connect(this, &QObject::destroyed, shortcut, &QObject::deleteLater);
    connect(shortcut, &QShortcut::activated, this, [this] { Click(); });
}

void TButtonFlat::Click() {
    if (OnClick && isEnabled())
        zav::guarded([&] { OnClick(this); });
}
