#include "menus.h"
#include "services/guard.h"
#include <QWidget>

TMenuItem::TMenuItem(QObject* parent) : QAction(parent) {
    connect(this, &QAction::triggered, this, [this] {
        if (OnClick)
            zav::guarded([&] { OnClick(this); });
    });
}

TPopupMenu::TPopupMenu(QWidget* owner) : QObject(owner), m_owner(owner) {}

TMenuItem* TPopupMenu::AddItem(const char* name, const QString& caption, const QKeySequence& shortcut) {
    auto* item = new TMenuItem(this);
    item->setObjectName(QLatin1String(name));
    item->setText(caption);
    item->setShortcut(shortcut);
    item->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    m_owner->addAction(item);
    m_items.append(item);
    return item;
}
