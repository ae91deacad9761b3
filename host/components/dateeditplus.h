#pragma once
// A date edit that can be empty: dd/mm/yyyy typed under a mask, a calendar
// button, the text painted in ValidDateColor while it holds a valid date.
// The calendar (the button or F4) shows the month's name, under it the names
// of the days (NomeSemana) and under them the days; it is used from the
// keyboard as well as with the mouse (see calendarKey).
#include "vcl/wincontrol.h"
#include "zavhost_export.h"
#include <QDateTime>
#include <QStringList>
#include <QWidget>

class QLineEdit;
class QToolButton;
class QCalendarWidget;
class QKeyEvent;
class QLabel;

class ZAVHOST_EXPORT TDateEditPlus : public QWidget, public TWinControl {
    Q_OBJECT
public:
    explicit TDateEditPlus(QWidget* parent = nullptr);

    // The text as typed ("01/12/2026"), empty while no digit has been typed.
    QString Text() const;
    // The date at midnight (time of day only when SaveTime is set); an invalid
    // value while the box is empty or holds no valid date.
    QDateTime GetDate() const;
    void SetDate(const QDateTime& date);
    // Reports a text that is no valid date (31/02/2026) and keeps the focus in
    // the box; a two-digit year is read as 20yy and written back in full.
    void CheckValidDate();

    bool SaveTime = false;
    QColor ValidDateColor = Qt::blue;
    QStringList NomeSemana; // weekday names from Sunday on, for the calendar

    void SetColor(const QColor& color);
    QWidget* focusTarget() const override;
    QLineEdit* editor() const { return m_edit; }
    QToolButton* calendarButton() const { return m_button; }
    // Opens the calendar (the calendar button's click).
    void DropDown();
    QWidget* calendarPopup() const { return m_popup; }

    TNotifyEvent OnChange;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* makeCalendarPopup();
    // A key pressed in the calendar; false when it is none of the calendar's.
    bool calendarKey(QKeyEvent* key);
    void showDay(const QDate& day);
    void showMonthCaption(int year, int month);
    // The day picked: the calendar closes and the box takes it.
    void pick(const QDate& day);
    void updateColor();
    static QDate parse(const QString& text);

    QLineEdit* m_edit;
    QToolButton* m_button;
    QWidget* m_popup = nullptr;
    QCalendarWidget* m_calendar = nullptr;
    QLabel* m_monthCaption = nullptr;
    QString m_lastText;
};
