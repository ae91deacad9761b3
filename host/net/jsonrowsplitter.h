#pragma once
// Where a JSON-RPC answer's list of rows begins, where each of its rows ends
// and where the list ends, found as the answer's bytes arrive, without
// reading a value: Qt's JSON parser reads the rows, a batch at a time, and
// the answer's envelope. It follows strings (and their escapes) and the
// nesting of objects and lists, and knows keys only as the bytes between
// their quotes.
//
// The list recognised is the one of {"result": {..., "rows": [...]}} at the
// top of the answer; anything that would make reading it apart from the rest
// give another answer than reading the whole (a second result, a key after
// the rows, something other than an object at the top) is unusual, and the
// answer is then read whole.
#include <QByteArray>

class JsonRowSplitter {
public:
    enum class State { Head, Rows, Rest, Unusual };

    // Follows the bytes of the answer not yet seen: bytes holds every byte
    // so far, the ones seen before first.
    void scan(const QByteArray& bytes);

    State state() const { return m_state; }
    // Just after the rows list's '['.
    qsizetype rowsBegin() const { return m_rowsBegin; }
    // Just after the last row whose ']' has come (rowsBegin() before any).
    qsizetype lastRowEnd() const { return m_lastRowEnd; }
    // At the rows list's ']', once it has come.
    qsizetype rowsEnd() const { return m_rowsEnd; }

private:
    void structural(char c, qsizetype at);

    State m_state = State::Head;
    qsizetype m_pos = 0;
    int m_depth = 0;
    bool m_inString = false;
    bool m_escape = false;
    qsizetype m_stringBegin = 0;
    QByteArray m_lastString; // the last string that ended, when short
    bool m_lastStringEscaped = false;
    QByteArray m_key[3];     // the key being read at depths 1 and 2
    bool m_inResult = false; // the depth-2 object is the answer's result
    bool m_resultKeySeen = false;
    qsizetype m_rowsBegin = -1;
    qsizetype m_lastRowEnd = -1;
    qsizetype m_rowsEnd = -1;
};
