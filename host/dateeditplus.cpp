#include "dateeditplus.h"
#include "checks.h"
#include "guard.h"
#include "hosttexts.h"
#include "vcl/graphics.h"
#include "vcl/textchange.h"
#include <QCalendarWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

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

void TDateEditPlus::DropDown() {
    if (!m_popup) {
        m_popup = new QWidget(this, Qt::Popup);
        m_popup->setObjectName(QStringLiteral("calendarPopup"));
        auto* v = new QVBoxLayout(m_popup);
        v->setContentsMargins(2, 2, 2, 2);
        v->setSpacing(0);
        auto* header = new QWidget(m_popup);
        header->setObjectName(QStringLiteral("weekdays"));
        auto* h = new QHBoxLayout(header);
        h->setContentsMargins(0, 0, 0, 0);
        for (const QString& name : NomeSemana) {
            auto* l = new QLabel(name.left(3), header);
            l->setObjectName(name);
            l->setToolTip(name);
            l->setAlignment(Qt::AlignCenter);
            l->setFont(screenFont(11, true));
            h->addWidget(l, 1);
        }
        m_calendar = new QCalendarWidget(m_popup);
        m_calendar->setObjectName(QStringLiteral("calendar"));
        m_calendar->setFirstDayOfWeek(Qt::Sunday);
        m_calendar->setHorizontalHeaderFormat(QCalendarWidget::NoHorizontalHeader);
        m_calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
        m_calendar->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
        m_calendar->setFont(screenFont());
        v->addWidget(header);
        v->addWidget(m_calendar);
        connect(m_calendar, &QCalendarWidget::activated, this, [this](QDate d) {
            zav::guarded([&] {
                SetDate(QDateTime(d, QTime(0, 0)));
                m_popup->hide();
            });
        });
        connect(m_calendar, &QCalendarWidget::clicked, this, [this](QDate d) {
            zav::guarded([&] {
                SetDate(QDateTime(d, QTime(0, 0)));
                m_popup->hide();
            });
        });
    }
    const QDate current = parse(Text());
    m_calendar->setSelectedDate(current.isValid() ? current : QDate::currentDate());
    m_popup->adjustSize();
    m_popup->move(mapToGlobal(QPoint(0, height())));
    m_popup->show();
}
