#pragma once
// Popup menus and their items. A menu whose automatic popup is off exists for
// its shortcuts, which work wherever the focus is on the screen.
#include "wincontrol.h"
#include "zavhost_export.h"
#include <QAction>
#include <QKeySequence>
#include <QObject>

class ZAVHOST_EXPORT TMenuItem : public QAction {
    Q_OBJECT
public:
    explicit TMenuItem(QObject* parent = nullptr);
    TNotifyEvent OnClick;
};

class ZAVHOST_EXPORT TPopupMenu : public QObject {
    Q_OBJECT
public:
    // The menu's shortcuts act on the whole of owner (a screen).
    explicit TPopupMenu(QWidget* owner);
    TMenuItem* AddItem(const char* name, const QString& caption, const QKeySequence& shortcut);
    QList<TMenuItem*> Items() const { return m_items; }
    bool AutoPopup = false;

private:
    QWidget* m_owner;
    QList<TMenuItem*> m_items;
};
