#include "userinputblock.h"
#include <QCoreApplication>
#include <QEvent>

UserInputBlock::UserInputBlock() {
    // The filter installed last runs first: it sees the input before a form's
    // key preview or any other filter can act on it.
    QCoreApplication::instance()->installEventFilter(this);
}

UserInputBlock::~UserInputBlock() {
    QCoreApplication::instance()->removeEventFilter(this);
}

bool UserInputBlock::isUserInput(const QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::InputMethod:
    case QEvent::Drop:
    case QEvent::DragEnter:
    case QEvent::DragMove:
        return true;
    default:
        return false;
    }
}

bool UserInputBlock::eventFilter(QObject*, QEvent* event) {
    if (!isUserInput(event))
        return false;
    // An accepted override keeps the key out of the shortcut map: the key
    // press that follows is dropped here like any other.
    if (event->type() == QEvent::ShortcutOverride)
        event->accept();
    ++m_dropped;
    return true;
}
