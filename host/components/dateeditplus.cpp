#include "dateeditplus.h"
#include "services/checks.h"
#include "services/guard.h"
#include "services/hosttexts.h"
#include "vcl/graphics.h"
#include "vcl/textchange.h"
#include <QCalendarWidget>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const char* const kQtMask = "00/00/0000;_";

QIcon calendarGlyph() {
    return drawnGlyph([](QPainter& p) {
        p.setPen(Qt::black);
        p.setBrush(Qt::white);
        p.drawRect(1, 2, 13, 12);
        p.fillRect(2, 3, 12, 3, QColor(0x80, 0x00, 0x00));
        for (int y = 8; y <= 12; y += 2)
            for (int x = 3; x <= 12; x += 3)
                p.drawPoint(x, y);
    });
}

} // namespace

TDateEditPlus::TDateEditPlus(QWidget* parent)
    : QWidget(parent), TWinControl(this), m_edit(new QLineEdit(this)), m_button(new QToolButton(this)) {
    m_edit->setObjectName(QStringLiteral("editor"));
    m_edit->setFont(screenFont());
    m_edit->setInputMask(QLatin1String(kQtMask));
    m_edit->setContextMenuPolicy(Qt::NoContextMenu);
    m_button->setObjectName(QStringLiteral("calendarButton"));
    m_button->setFocusPolicy(Qt::NoFocus);
    m_button->setIcon(calendarGlyph());
    m_button->setAutoRaise(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    layout->addWidget(m_edit, 1);
    layout->addWidget(m_button);
    setFocusProxy(m_edit);
    NomeSemana = {QStringLiteral("Domingo"), QStringLiteral("Segunda"), QStringLiteral("Terça"),
                  QStringLiteral("Quarta"),  QStringLiteral("Quinta"),  QStringLiteral("Sexta"),
                  QStringLiteral("Sábado")};
    connect(m_edit, &QLineEdit::textChanged, this, [this] {
        updateColor();
        notifyTextChange(this, Text(), &m_lastText, OnChange);
    });
    connect(m_button, &QToolButton::clicked, this, [this] { zav::guarded([&] { DropDown(); }); });
    m_button->setToolTip(HostText::text(HostText::CalendarHint));
    auto* calendarKey = new QShortcut(QKeySequence(Qt::Key_F4), m_edit);
    calendarKey->setObjectName(QStringLiteral("calendarShortcut"));
    calendarKey->setContext(Qt::WidgetShortcut);
    connect(calendarKey, &QShortcut::activated, this, [this] {
        if (isEnabled())
            zav::guarded([&] { DropDown(); });
    });
}

QWidget* TDateEditPlus::focusTarget() const {
    return m_edit;
}

QString TDateEditPlus::Text() const {
    const QString shown = m_edit->displayText();
    for (QChar c : shown)
        if (c.isDigit())
            return QString(shown).replace(QLatin1Char('_'), QLatin1Char(' '));
    return {};
}

QDate TDateEditPlus::parse(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 3)
        return {};
    bool okD = false, okM = false, okY = false;
    const int d = parts[0].trimmed().toInt(&okD);
    const int m = parts[1].trimmed().toInt(&okM);
    int y = parts[2].trimmed().toInt(&okY);
    if (!okD || !okM || !okY)
        return {};
    const int yearDigits = int(parts[2].trimmed().size());
    if (yearDigits == 2)
        y += 2000;
    else if (yearDigits != 4)
        return {};
    return QDate(y, m, d);
}

QDateTime TDateEditPlus::GetDate() const {
    const QDate d = parse(Text());
    if (!d.isValid())
        return {};
    return QDateTime(d, QTime(0, 0));
}

void TDateEditPlus::SetDate(const QDateTime& date) {
    if (!date.isValid())
        m_edit->clear();
    else
        m_edit->setText(date.date().toString(QStringLiteral("dd/MM/yyyy")));
}

void TDateEditPlus::CheckValidDate() {
    const QString text = Text();
    if (EmptyString(text))
        return;
    const QDate d = parse(text);
    if (!d.isValid()) {
        SetFocus();
        MensErro(HostText::text(HostText::InvalidDate).arg(text.trimmed()), true);
    }
    if (text != d.toString(QStringLiteral("dd/MM/yyyy")))
        SetDate(QDateTime(d, QTime(0, 0)));
}

void TDateEditPlus::SetColor(const QColor& color) {
    setControlColor(m_edit, color);
}

void TDateEditPlus::updateColor() {
    QPalette p = m_edit->palette();
    const QColor text = parse(Text()).isValid() ? ValidDateColor : clWindowText();
    for (auto group : {QPalette::Active, QPalette::Inactive})
        p.setColor(group, QPalette::Text, text);
    m_edit->setPalette(p);
}

// The calendar from the keyboard: arrows move a day or a week, Page Up and
// Page Down a month (with Ctrl a year), Home and End to the first and the last
// day of the month; Enter picks the day shown, Esc closes and leaves the date
// as it was. A click on a day picks it.
bool TDateEditPlus::calendarKey(QKeyEvent* key) {
    const QDate shown = m_calendar->selectedDate();
    const bool ctrl = key->modifiers() & Qt::ControlModifier;
    QDate to;
    switch (key->key()) {
    case Qt::Key_Left:
        to = shown.addDays(-1);
        break;
    case Qt::Key_Right:
        to = shown.addDays(1);
        break;
    case Qt::Key_Up:
        to = shown.addDays(-7);
        break;
    case Qt::Key_Down:
        to = shown.addDays(7);
        break;
    case Qt::Key_PageUp:
        to = ctrl ? shown.addYears(-1) : shown.addMonths(-1);
        break;
    case Qt::Key_PageDown:
        to = ctrl ? shown.addYears(1) : shown.addMonths(1);
        break;
    case Qt::Key_Home:
        to = QDate(shown.year(), shown.month(), 1);
        break;
    case Qt::Key_End:
        to = QDate(shown.year(), shown.month(), shown.daysInMonth());
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        pick(shown);
        return true;
    case Qt::Key_Escape:
        m_popup->hide();
        return true;
    default:
        return false;
    }
    showDay(to);
    return true;
}

void TDateEditPlus::showDay(const QDate& day) {
    if (!day.isValid())
        return;
    m_calendar->setSelectedDate(day);
    m_calendar->setCurrentPage(day.year(), day.month());
}

void TDateEditPlus::pick(const QDate& day) {
    m_popup->hide();
    SetDate(QDateTime(day, QTime(0, 0)));
}

void TDateEditPlus::showMonthCaption(int year, int month) {
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    QString name = brazil.standaloneMonthName(month, QLocale::LongFormat);
    if (!name.isEmpty())
        name[0] = name.at(0).toUpper();
    m_monthCaption->setText(QStringLiteral("%1 de %2").arg(name).arg(year));
}

bool TDateEditPlus::eventFilter(QObject* watched, QEvent* event) {
    if (m_popup && event->type() == QEvent::KeyPress && m_popup->isVisible() &&
        (watched == m_popup ||
         (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == m_popup))) {
        bool handled = false;
        zav::guarded([&] { handled = calendarKey(static_cast<QKeyEvent*>(event)); });
        return handled;
    }
    return QWidget::eventFilter(watched, event);
}

QWidget* TDateEditPlus::makeCalendarPopup() {
    auto* popup = new QWidget(this, Qt::Popup);
    popup->setObjectName(QStringLiteral("calendarPopup"));
    auto* v = new QVBoxLayout(popup);
    v->setContentsMargins(2, 2, 2, 2);
    v->setSpacing(2);
    // The month shown, and the buttons to the one before and after, on top;
    // then the names of the days, each over its column; then the days.
    auto* navigation = new QWidget(popup);
    navigation->setObjectName(QStringLiteral("navigation"));
    auto* n = new QHBoxLayout(navigation);
    n->setContentsMargins(0, 0, 0, 0);
    auto* previous = new QToolButton(navigation);
    previous->setObjectName(QStringLiteral("previousMonth"));
    previous->setArrowType(Qt::LeftArrow);
    previous->setAutoRaise(true);
    previous->setFocusPolicy(Qt::NoFocus);
    auto* next = new QToolButton(navigation);
    next->setObjectName(QStringLiteral("nextMonth"));
    next->setArrowType(Qt::RightArrow);
    next->setAutoRaise(true);
    next->setFocusPolicy(Qt::NoFocus);
    m_monthCaption = new QLabel(navigation);
    m_monthCaption->setObjectName(QStringLiteral("monthCaption"));
    m_monthCaption->setAlignment(Qt::AlignCenter);
    m_monthCaption->setFont(screenFont(12, true));
    n->addWidget(previous);
    n->addWidget(m_monthCaption, 1);
    n->addWidget(next);

    m_calendar = new QCalendarWidget(popup);
    m_calendar->setObjectName(QStringLiteral("calendar"));
    m_calendar->setFirstDayOfWeek(Qt::Sunday);
    m_calendar->setNavigationBarVisible(false);
    m_calendar->setHorizontalHeaderFormat(QCalendarWidget::NoHorizontalHeader);
    m_calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    m_calendar->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
    m_calendar->setFont(screenFont());

    auto* header = new QWidget(popup);
    header->setObjectName(QStringLiteral("weekdays"));
    auto* h = new QHBoxLayout(header);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(0);
    for (const QString& name : NomeSemana) {
        auto* l = new QLabel(name.left(3), header);
        l->setObjectName(name);
        l->setToolTip(name);
        l->setAlignment(Qt::AlignCenter);
        l->setFont(screenFont(11, true));
        h->addWidget(l, 1);
    }
    v->addWidget(navigation);
    v->addWidget(header);
    v->addWidget(m_calendar);

    connect(previous, &QToolButton::clicked, this,
            [this] { zav::guarded([&] { showDay(m_calendar->selectedDate().addMonths(-1)); }); });
    connect(next, &QToolButton::clicked, this,
            [this] { zav::guarded([&] { showDay(m_calendar->selectedDate().addMonths(1)); }); });
    connect(m_calendar, &QCalendarWidget::currentPageChanged, this,
            [this](int year, int month) { showMonthCaption(year, month); });
    connect(m_calendar, &QCalendarWidget::clicked, this, [this](QDate d) { zav::guarded([&] { pick(d); }); });
    // The keys reach the day grid inside the calendar, which has the focus.
    popup->installEventFilter(this);
    for (QWidget* w : popup->findChildren<QWidget*>())
        w->installEventFilter(this);
    return popup;
}

void TDateEditPlus::DropDown() {
    if (!m_popup)
        m_popup = makeCalendarPopup();
    const QDate current = parse(Text());
    showDay(current.isValid() ? current : QDate::currentDate());
    showMonthCaption(m_calendar->yearShown(), m_calendar->monthShown());
    m_popup->adjustSize();
    // Under the box, or over it where the screen ends below; always inside
    // the screen.
    QPoint at = mapToGlobal(QPoint(0, height()));
    if (const QScreen* screen = this->screen()) {
        const QRect room = screen->availableGeometry();
        const QSize size = m_popup->size();
        if (at.y() + size.height() > room.bottom() + 1)
            at.setY(mapToGlobal(QPoint(0, 0)).y() - size.height());
        at.setX(std::clamp(at.x(), room.left(), std::max(room.left(), room.right() + 1 - size.width())));
        at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() + 1 - size.height())));
    }
    m_popup->move(at);
    m_popup->show();
    m_calendar->setFocus(Qt::PopupFocusReason);
}
