#pragma once
// Edit masks in the toolkit's notation, "mask;save;blank" (">aaaa;0; ",
// "99.999.999/9999-99;0;_"), and their mapping onto Qt input masks. In this
// notation "0" is a required digit and "9" an optional one, "L"/"l" letters,
// "A"/"a" letters or digits, "C"/"c" any character, ">" and "<" force case,
// "\" makes the next character a literal; ";0" means the text excludes the
// literals.
#include "zavhost_export.h"
#include <QList>
#include <QString>

class ZAVHOST_EXPORT EditMask {
public:
    static EditMask parse(const QString& editMask);

    bool isEmpty() const { return m_slots.isEmpty(); }
    bool saveLiterals() const { return m_saveLiterals; }
    QChar blank() const { return m_blank; }
    int length() const { return int(m_slots.size()); }
    // The same mask as a QLineEdit input mask.
    QString qtInputMask() const;
    // The text of a masked edit from what it displays: the characters typed in
    // input positions (and, when literals are saved, the literals too).
    QString textFromDisplay(const QString& displayText) const;
    // Where typing goes on: the first input position after the last one that
    // holds a character (0 when nothing is typed).
    int typedEnd(const QString& displayText) const;
    // The value laid into the mask, literals in place, blanks where it ends.
    QString format(const QString& value) const;

private:
    struct Slot {
        bool input = false;
        QChar ch;          // literal character, or the mask character of an input
        char caseMode = 0; // '>' upper, '<' lower, 0 none
    };
    QList<Slot> m_slots;
    bool m_saveLiterals = true;
    QChar m_blank = QLatin1Char('_');
};
