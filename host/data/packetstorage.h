#pragma once
// The data packet's storage, shared by its API and its JSON and CBOR codecs
// (not part of the host's interface): a column per field, the strings of a
// column as UTF-8 bytes in one buffer, date-times as milliseconds.
#include "datapacket.h"

#include <QDateTime>
#include <QString>
#include <QUtf8StringView>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

inline constexpr qint64 kMsPerDay = 86400000;

// A cell's text for a message: quoted, cut after 40 characters.
inline QString quotedForMessage(QUtf8StringView text) {
    QString s = QString::fromUtf8(text.data(), text.size());
    if (s.size() > 40)
        s = s.left(40) + QStringLiteral("...");
    return u'"' + s + u'"';
}

// The storage of one field: a column.

constexpr quint16 kNullLength = 0xFFFF; // the length of a NULL string cell

// The UTF-8 bytes of a string column: a plain growable buffer, cheaper per
// cell than QByteArray (no zero fill on growth, no sharing checks), which the
// decoder writes into directly.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer& other) { append(other.constData(), other.m_size); }
    TextBuffer& operator=(const TextBuffer& other) {
        TextBuffer copy(other);
        std::swap(m_data, copy.m_data);
        std::swap(m_size, copy.m_size);
        std::swap(m_capacity, copy.m_capacity);
        return *this;
    }
    TextBuffer(TextBuffer&&) noexcept = default;
    TextBuffer& operator=(TextBuffer&&) noexcept = default;

    qsizetype size() const { return m_size; }
    qsizetype capacity() const { return m_capacity; }
    const char* constData() const { return m_data.get(); }
    char* data() { return m_data.get(); }
    void clear() { m_size = 0; }

    void reserve(qsizetype capacity) {
        if (capacity <= m_capacity)
            return;
        auto grown = std::make_unique_for_overwrite<char[]>(size_t(capacity));
        if (m_size)
            std::memcpy(grown.get(), m_data.get(), size_t(m_size));
        m_data = std::move(grown);
        m_capacity = capacity;
    }
    // Room for n more bytes, geometrically grown; returns where they go.
    char* room(qsizetype n) {
        if (m_size + n > m_capacity)
            reserve(std::max(m_size + n, m_capacity * 2));
        return m_data.get() + m_size;
    }
    void commit(qsizetype n) { m_size += n; }
    void truncate(qsizetype n) { m_size = std::min(m_size, n); }
    void append(const char* p, qsizetype n) {
        if (n <= 0)
            return;
        std::memcpy(room(n), p, size_t(n));
        m_size += n;
    }
    void squeeze() {
        if (m_capacity == m_size)
            return;
        TextBuffer exact(*this);
        *this = std::move(exact);
    }

private:
    std::unique_ptr<char[]> m_data;
    qsizetype m_size = 0;
    qsizetype m_capacity = 0;
};

// A string column has one of two layouts. Uniform: every cell so far has the
// same number of bytes (an access key, a date, a flag), cell r is bytes
// [r * width, (r + 1) * width) and a bit says NULL (a NULL cell's slot is
// zeros); no offsets are kept. General: every cell has its offset and length
// (kNullLength for NULL). A column starts undecided (no text yet, only NULL
// bits) and leaves uniform for good at the first text of another width, or
// when its NULL slots would waste more than kUniformWaste bytes.
struct PacketColumn {
    explicit PacketColumn(TFieldType t) : type(t) {}

    static constexpr int kGeneral = -1;
    static constexpr int kUndecided = -2;
    static constexpr qsizetype kUniformWaste = qsizetype(64) * 1024;

    TFieldType type;
    // Strings: UTF-8 bytes of every cell; in the general layout, where each
    // cell's bytes are.
    TextBuffer bytes;
    std::vector<quint32> start;
    std::vector<quint16> length;
    int width = kUndecided;  // strings: the uniform width, kUndecided or kGeneral
    qsizetype nullCount = 0; // strings, uniform or undecided: the NULL cells
    // Floats; date-times (milliseconds from the start of the Julian day count)
    // and integers; the NULL flags of these and of uniform string columns.
    std::vector<double> reals;
    std::vector<qint64> integers;
    std::vector<bool> nulls;

    void reserveText(qsizetype more);
    void reserveRows(qsizetype rows, qsizetype textBytes);
    void appendNull();
    // The last row, NULL until now, takes the n bytes just written at the end
    // of the buffer from textStart (the decoders write them there directly).
    void settleLastText(int row, qsizetype textStart, qsizetype n);
    // Drops the last row, and the text bytes written since the buffer held textSize.
    void dropLastRow(qsizetype textSize);
    void shrink();
    qsizetype storageBytes() const;
    bool isNull(int row) const;
    QUtf8StringView text(int row) const;
    void setText(int row, QUtf8StringView utf8);
    void setNull(int row);

    static qint64 dateTimeMs(const QDateTime& dt);
    static QDateTime dateTimeOf(qint64 ms);
    static bool parseDateTime(QUtf8StringView text, qint64* ms);
    static QByteArray formatDateTime(qint64 ms);

private:
    qsizetype textRows() const {
        return width == kGeneral ? qsizetype(length.size()) : qsizetype(nulls.size());
    }
    void toGeneral();
    bool uniformFor(qsizetype row, qsizetype n);
};

class DataPacketData : public QSharedData {
public:
    QList<DataPacketField> fields;
    std::vector<PacketColumn> columns;
    int rows = 0;
};
