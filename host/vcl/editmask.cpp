#include "editmask.h"

namespace {

bool isInputChar(QChar c) {
    switch (c.unicode()) {
    case 'L':
    case 'l':
    case 'A':
    case 'a':
    case 'C':
    case 'c':
    case '0':
    case '9':
    case '#':
        return true;
    default:
        return false;
    }
}

QChar qtInputChar(QChar c) {
    switch (c.unicode()) {
    case 'L':
        return QLatin1Char('A');
    case 'l':
        return QLatin1Char('a');
    case 'A':
        return QLatin1Char('N');
    case 'a':
        return QLatin1Char('n');
    case 'C':
        return QLatin1Char('X');
    case 'c':
        return QLatin1Char('x');
    case '0':
        return QLatin1Char('9');
    case '9':
        return QLatin1Char('0');
    default:
        return QLatin1Char('#');
    }
}

bool isQtSpecial(QChar c) {
    static const QString special = QStringLiteral("AaNnXx90Dd#HhBb><!;\\[]{}");
    return special.contains(c);
}

} // namespace

EditMask EditMask::parse(const QString& editMask) {
    EditMask m;
    QString body = editMask;
    // The last two fields, when present, are the save flag and the blank.
    const int last = body.lastIndexOf(QLatin1Char(';'));
    if (last >= 0 && body.size() - last <= 2) {
        const int prev = body.lastIndexOf(QLatin1Char(';'), last - 1);
        if (prev >= 0 && last - prev == 2) {
            m.m_saveLiterals = body.at(prev + 1) != QLatin1Char('0');
            if (last + 1 < body.size())
                m.m_blank = body.at(last + 1);
            body = body.left(prev);
        } else if (last + 2 == body.size() || last + 1 == body.size()) {
            if (last + 1 < body.size())
                m.m_saveLiterals = body.at(last + 1) != QLatin1Char('0');
            body = body.left(last);
        }
    }
    char caseMode = 0;
    for (int i = 0; i < body.size(); ++i) {
        const QChar c = body.at(i);
        if (c == QLatin1Char('<') && i + 1 < body.size() && body.at(i + 1) == QLatin1Char('>')) {
            caseMode = 0;
            ++i;
        } else if (c == QLatin1Char('>')) {
            caseMode = '>';
        } else if (c == QLatin1Char('<')) {
            caseMode = '<';
        } else if (c == QLatin1Char('!')) {
            // Direction of blank trimming only; no position.
        } else if (c == QLatin1Char('\\') && i + 1 < body.size()) {
            m.m_slots.append({false, body.at(++i), caseMode});
        } else {
            m.m_slots.append({isInputChar(c), c, caseMode});
        }
    }
    return m;
}

QString EditMask::qtInputMask() const {
    if (m_slots.isEmpty())
        return {};
    QString out;
    char mode = 0;
    for (const Slot& s : m_slots) {
        if (s.caseMode != mode) {
            out += s.caseMode == '>'   ? QLatin1Char('>')
                   : s.caseMode == '<' ? QLatin1Char('<')
                                       : QLatin1Char('!');
            mode = s.caseMode;
        }
        if (s.input)
            out += qtInputChar(s.ch);
        else {
            if (isQtSpecial(s.ch))
                out += QLatin1Char('\\');
            out += s.ch;
        }
    }
    out += QLatin1Char(';');
    out += m_blank;
    return out;
}

QString EditMask::textFromDisplay(const QString& displayText) const {
    QString out;
    bool anyInput = false;
    for (int i = 0; i < m_slots.size() && i < displayText.size(); ++i) {
        const QChar c = displayText.at(i);
        if (m_slots[i].input) {
            if (c != m_blank) {
                out += c;
                anyInput = true;
            }
        } else if (m_saveLiterals) {
            out += c;
        }
    }
    // Nothing typed: the edit is empty even when its literals are kept.
    return anyInput ? out : QString();
}

int EditMask::typedEnd(const QString& displayText) const {
    int end = 0;
    for (int i = 0; i < m_slots.size() && i < displayText.size(); ++i)
        if (m_slots[i].input && displayText.at(i) != m_blank)
            end = i + 1;
    // On the next input position: typing on a literal overwrites the
    // character before it in a QLineEdit.
    while (end < m_slots.size() && !m_slots[end].input)
        ++end;
    return end;
}

QString EditMask::format(const QString& value) const {
    if (m_slots.isEmpty())
        return value;
    QString out;
    int v = 0;
    for (const Slot& s : m_slots) {
        if (s.input) {
            QChar c = v < value.size() ? value.at(v++) : m_blank;
            if (s.caseMode == '>')
                c = c.toUpper();
            else if (s.caseMode == '<')
                c = c.toLower();
            out += c;
        } else {
            out += s.ch;
            // A value that carries the literal itself (";1" masks) moves past it.
            if (m_saveLiterals && v < value.size() && value.at(v) == s.ch)
                ++v;
        }
    }
    return out;
}
