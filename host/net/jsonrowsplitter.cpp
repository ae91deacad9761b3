#include "jsonrowsplitter.h"

#include <utility>

namespace {

// Keys longer than this are none of the ones looked for.
constexpr qsizetype kMaxKeyBytes = 16;

} // namespace

void JsonRowSplitter::scan(const QByteArray& bytes) {
    const char* p = bytes.constData();
    const qsizetype n = bytes.size();
    for (; m_pos < n && m_state != State::Unusual; ++m_pos) {
        const char c = p[m_pos];
        if (m_inString) {
            if (m_escape) {
                m_escape = false;
            } else if (c == '\\') {
                m_escape = true;
                m_lastStringEscaped = true;
            } else if (c == '"') {
                m_inString = false;
                const qsizetype size = m_pos - m_stringBegin;
                m_lastString = size <= kMaxKeyBytes ? bytes.mid(m_stringBegin, size) : QByteArray();
            }
            continue;
        }
        if (c == '"') {
            m_inString = true;
            m_lastStringEscaped = false;
            m_stringBegin = m_pos + 1;
            continue;
        }
        structural(c, m_pos);
    }
}

void JsonRowSplitter::structural(char c, qsizetype at) {
    switch (c) {
    case ':':
        if (m_depth != 1 && m_depth != 2)
            return;
        m_key[m_depth] = m_lastString;
        // A key spelt with escapes may be any of them; a key of the result
        // after its rows, or a second result: read whole.
        if (m_lastStringEscaped || (m_state == State::Rest && m_depth == 2 && m_inResult) ||
            (m_depth == 1 && m_lastString == "result" && std::exchange(m_resultKeySeen, true)))
            m_state = State::Unusual;
        return;
    case '{':
    case '[':
        if (m_depth == 0 && c != '{') {
            m_state = State::Unusual;
            return;
        }
        if (m_depth == 1)
            m_inResult = c == '{' && m_key[1] == "result";
        if (m_depth == 2 && m_inResult && c == '[' && m_key[2] == "rows") {
            if (m_state != State::Head) {
                m_state = State::Unusual;
                return;
            }
            m_state = State::Rows;
            m_rowsBegin = at + 1;
            m_lastRowEnd = at + 1;
        }
        ++m_depth;
        return;
    case '}':
    case ']':
        --m_depth;
        if (m_state == State::Rows && m_depth == 3 && c == ']')
            m_lastRowEnd = at + 1;
        else if (m_state == State::Rows && m_depth == 2) {
            m_state = State::Rest;
            m_rowsEnd = at;
        }
        if (m_depth < 0)
            m_state = State::Unusual;
        return;
    default:
        return;
    }
}
