#include "messagedialog.h"
#include <QApplication>
#include <QKeyEvent>
#include <QWindow>

MessageDialog::MessageDialog(Icon icon, const QString& title, const QString& text, QWidget* parent)
    : QMessageBox(icon, title, text, QMessageBox::NoButton, parent) {
    // The box's input reaches its label and buttons, not the box itself: it
    // is watched where Qt hands it out, for this box's widgets only.
    qApp->installEventFilter(this);
}

MessageDialog::~MessageDialog() {
    qApp->removeEventFilter(this);
}

bool MessageDialog::onScreen() const {
    const QWindow* w = windowHandle();
    return isVisible() && w && w->isExposed() && isActiveWindow();
}

bool MessageDialog::settled() const {
    return m_seen.isValid() && m_seen.elapsed() >= kSettleMs;
}

bool MessageDialog::admits(const QEvent* event) const {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        return settled();
    case QEvent::InputMethod:
        return false;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        break;
    default:
        return true;
    }
    if (!settled())
        return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    if (key->matches(QKeySequence::Copy))
        return true;
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
        return true;
    default:
        return false;
    }
}

bool MessageDialog::eventFilter(QObject* watched, QEvent* event) {
    if (!watched->isWidgetType())
        return false;
    const auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != this)
        return false;
    // The clock starts the first time the box is seen on screen, whichever of
    // its events shows it first (its showing, exposure, activation, painting).
    if (!m_seen.isValid() && onScreen())
        m_seen.start();
    if (admits(event))
        return false;
    event->accept();
    return true;
}
