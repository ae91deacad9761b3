#include "sqlscript.h"

namespace zavdb {
namespace {

bool isWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

class Splitter {
public:
    explicit Splitter(const QString& script) : m_s(script) {}

    QStringList run() {
        const qsizetype n = m_s.size();
        qsizetype i = 0;
        while (i < n) {
            const QChar c = m_s.at(i);
            const QChar next = i + 1 < n ? m_s.at(i + 1) : QChar();
            if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
                endWord();
                const qsizetype eol = m_s.indexOf(QLatin1Char('\n'), i);
                i = eol < 0 ? n : eol;
                continue;
            }
            if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
                endWord();
                const qsizetype close = m_s.indexOf(QLatin1String("*/"), i + 2);
                i = close < 0 ? n : close + 2;
                continue;
            }
            if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
                endWord();
                m_meaningful = true;
                i = skipQuoted(i, c);
                continue;
            }
            if (c == QLatin1Char('$') && m_word.isEmpty()) {
                const qsizetype after = skipDollarQuoted(i);
                if (after != i) {
                    m_meaningful = true;
                    i = after;
                    continue;
                }
            }
            if (isWordChar(c)) {
                m_word += c;
                m_meaningful = true;
                ++i;
                continue;
            }
            endWord();
            if (c == QLatin1Char(';') && m_depth <= 0) {
                finish(i);
                m_start = i + 1;
            } else if (!c.isSpace()) {
                m_meaningful = true;
            }
            ++i;
        }
        endWord();
        finish(n);
        return m_statements;
    }

private:
    qsizetype skipQuoted(qsizetype i, QChar quote) const {
        const qsizetype n = m_s.size();
        ++i;
        while (i < n) {
            if (m_s.at(i) == quote) {
                if (i + 1 < n && m_s.at(i + 1) == quote) { // doubled quote inside
                    i += 2;
                    continue;
                }
                return i + 1;
            }
            ++i;
        }
        return n;
    }

    // "$tag$ ... $tag$": returns the index after the closing tag, or i when the
    // dollar sign opens no quote.
    qsizetype skipDollarQuoted(qsizetype i) const {
        const qsizetype n = m_s.size();
        qsizetype j = i + 1;
        while (j < n &&
               (m_s.at(j).isLetter() || m_s.at(j) == QLatin1Char('_') || (j > i + 1 && m_s.at(j).isDigit())))
            ++j;
        if (j >= n || m_s.at(j) != QLatin1Char('$'))
            return i;
        const QString tag = m_s.mid(i, j - i + 1);
        const qsizetype close = m_s.indexOf(tag, j + 1);
        return close < 0 ? n : close + tag.size();
    }

    void endWord() {
        if (m_word.isEmpty())
            return;
        const QString word = m_word.toUpper();
        m_word.clear();
        if (m_lead.size() < 3)
            m_lead.append(word);
        if (!inTrigger())
            return;
        if (word == QLatin1String("BEGIN") || word == QLatin1String("CASE"))
            ++m_depth;
        else if (word == QLatin1String("END"))
            --m_depth;
    }

    bool inTrigger() const {
        if (m_lead.size() < 2 || m_lead.at(0) != QLatin1String("CREATE"))
            return false;
        if (m_lead.at(1) == QLatin1String("TRIGGER"))
            return true;
        return m_lead.size() >= 3 &&
               (m_lead.at(1) == QLatin1String("TEMP") || m_lead.at(1) == QLatin1String("TEMPORARY")) &&
               m_lead.at(2) == QLatin1String("TRIGGER");
    }

    void finish(qsizetype end) {
        if (m_meaningful)
            m_statements.append(m_s.mid(m_start, end - m_start).trimmed());
        m_meaningful = false;
        m_lead.clear();
        m_depth = 0;
    }

    const QString& m_s;
    QStringList m_statements;
    QStringList m_lead; // the first words, to recognise a trigger
    QString m_word;
    qsizetype m_start = 0;
    int m_depth = 0;
    bool m_meaningful = false;
};

} // namespace

QStringList splitStatements(const QString& script) {
    return Splitter(script).run();
}

} // namespace zavdb
