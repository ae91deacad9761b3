#include "rpc/cborencoder.h"

#include <QIODevice>
#include <algorithm>
#include <cstring>
#include <utility>

#include <cbor.h>

namespace zavserver {

// The writer's device, and the rows' own way in. Writes copy through a
// cursor into the encoder's buffer, which is kept at its whole capacity while
// values are written; the rows' values are encoded straight at the cursor
// (room(), then advance()). settle() gives the buffer the size of what was
// written, before anyone reads it or hands it on; the next write carries on
// after whatever the buffer then holds (the same bytes, or none in a fresh
// buffer). Between two pieces the rows only move the cursor.
class CborEncoder::Appender final : public QIODevice {
public:
    explicit Appender(QByteArray& buffer) : m_buffer(buffer) {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

    // At least n bytes to write at; advance() says how many were.
    unsigned char* room(qsizetype n) {
        if (m_end - m_at < n)
            makeRoom(n);
        return reinterpret_cast<unsigned char*>(m_at);
    }
    void advance(size_t n) { m_at += n; }
    // What the buffer holds, settled or not.
    qsizetype used() const { return m_at == nullptr ? m_buffer.size() : m_at - m_buffer.constData(); }

    void settle() {
        if (m_at == nullptr)
            return;
        m_buffer.resize(m_at - m_buffer.constData());
        m_at = m_end = nullptr;
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    // The stream writer's envelope and fields, and the rows list's ends.
    qint64 writeData(const char* data, qint64 size) override {
        std::memcpy(room(qsizetype(size)), data, size_t(size));
        advance(size_t(size));
        return size;
    }

private:
    void makeRoom(qsizetype n) {
        const qsizetype held = used();
        // Within the capacity this allocates nothing; beyond it, the buffer
        // at least doubles, its bytes kept.
        const qsizetype wanted = held + n;
        m_buffer.resize(wanted <= m_buffer.capacity() ? m_buffer.capacity() : std::max(wanted, 2 * held));
        m_at = m_buffer.data() + held;
        m_end = m_buffer.data() + m_buffer.size();
    }

    QByteArray& m_buffer;
    char* m_at = nullptr; // where the next byte goes; null once settled
    char* m_end = nullptr;
};

CborEncoder::CborEncoder() {
    restart();
}

CborEncoder::~CborEncoder() = default;

void CborEncoder::restart() {
    m_writer.reset();
    m_device.reset();
    m_buffer.clear();
    m_device = std::make_unique<Appender>(m_buffer);
    m_writer = std::make_unique<QCborStreamWriter>(m_device.get());
}

// The envelope's map is opened before the result so that rows can be streamed;
// "id" comes last, which a map allows.
void CborEncoder::beginResponse() {
    m_writer->startMap(3);
    m_writer->append(QLatin1StringView("jsonrpc"));
    m_writer->append(QLatin1StringView("2.0"));
    m_writer->append(QLatin1StringView("result"));
}

void CborEncoder::nullResult() {
    beginResponse();
    m_writer->append(nullptr);
}

void CborEncoder::beginPacket(std::span<const PacketField> fields) {
    beginResponse();
    m_fieldCount = qsizetype(fields.size());
    m_writer->startMap(2);
    m_writer->append(zavwire::kFields);
    m_writer->startArray(quint64(fields.size()));
    for (const PacketField& f : fields) {
        m_writer->startMap(3);
        m_writer->append(zavwire::kName);
        m_writer->append(f.name);
        m_writer->append(zavwire::kType);
        m_writer->append(zavwire::fieldTypeName(f.type));
        m_writer->append(zavwire::kSize);
        m_writer->append(qint64(f.size));
        m_writer->endMap();
    }
    m_writer->endArray();
    m_writer->append(zavwire::kRows);
    m_writer->startArray(); // the row count is known only at the end
}

// The rows' values are encoded with libcbor's item encoders straight into
// the buffer: through QCborStreamWriter a text cost two device writes (about
// 160 instructions before its bytes are copied), and a list of 100,000
// invoices has 1.5 million texts. The bytes are the same: the shortest head,
// numbers as doubles, each row a list of known length inside the rows' open
// list that the stream writer began and ends.
namespace {
constexpr qsizetype kHeadBytes = 9; // the longest head of an item
}

// A CBOR text must be UTF-8: a database text that is not has its bad bytes
// replaced (U+FFFD), as the JSON answer has them.
void CborEncoder::text(QUtf8StringView value) {
    QByteArray repaired;
    if (!zavwire::isAscii(value.data(), value.size()) && !value.isValidUtf8()) {
        repaired = QString::fromUtf8(value.data(), value.size()).toUtf8();
        value = QUtf8StringView(repaired.constData(), repaired.size());
    }
    const qsizetype n = value.size();
    unsigned char* at = m_device->room(kHeadBytes + n);
    const size_t head = cbor_encode_string_start(size_t(n), at, size_t(kHeadBytes));
    std::memcpy(at + head, value.data(), size_t(n));
    m_device->advance(head + size_t(n));
}

void CborEncoder::number(double value) {
    m_device->advance(cbor_encode_double(value, m_device->room(kHeadBytes), size_t(kHeadBytes)));
}

void CborEncoder::null() {
    m_device->advance(cbor_encode_null(m_device->room(kHeadBytes), size_t(kHeadBytes)));
}

void CborEncoder::beginRow() {
    m_device->advance(
        cbor_encode_array_start(size_t(m_fieldCount), m_device->room(kHeadBytes), size_t(kHeadBytes)));
}

void CborEncoder::endRow() {
    ++m_rowCount;
    if (pieceFull(m_device->used())) {
        m_device->settle();
        handOn(m_buffer);
    }
    checkReader();
}

void CborEncoder::endPacket() {
    m_writer->endArray(); // rows
    m_writer->endMap();   // packet
}

QByteArray CborEncoder::success(const QCborValue& id) {
    m_writer->append(QLatin1StringView("id"));
    id.toCbor(*m_writer);
    m_writer->endMap();
    m_writer.reset();
    m_device->settle();
    return std::exchange(m_buffer, QByteArray());
}

QByteArray CborEncoder::failure(const QCborValue& id, int code, const QString& message) {
    restart();
    m_writer->startMap(3);
    m_writer->append(QLatin1StringView("jsonrpc"));
    m_writer->append(QLatin1StringView("2.0"));
    m_writer->append(QLatin1StringView("id"));
    id.toCbor(*m_writer);
    m_writer->append(QLatin1StringView("error"));
    m_writer->startMap(2);
    m_writer->append(QLatin1StringView("code"));
    m_writer->append(qint64(code));
    m_writer->append(QLatin1StringView("message"));
    m_writer->append(message);
    m_writer->endMap();
    m_writer->endMap();
    m_writer.reset();
    m_device->settle();
    return std::exchange(m_buffer, QByteArray());
}

} // namespace zavserver
