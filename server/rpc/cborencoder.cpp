#include "rpc/cborencoder.h"

#include <QIODevice>
#include <algorithm>
#include <cstring>
#include <utility>

namespace zavserver {

// The writer's device. The writer makes two device writes a value (its head,
// then a text's bytes), so a write must cost little: it copies through a
// cursor into the encoder's buffer, which is kept at its whole capacity while
// values are written. settle() gives the buffer the size of what was written,
// before anyone reads it or hands it on; the next write carries on after
// whatever the buffer then holds (the same bytes, or none in a fresh buffer).
class CborEncoder::Appender final : public QIODevice {
public:
    explicit Appender(QByteArray& buffer) : m_buffer(buffer) {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

    void settle() {
        if (m_at == nullptr)
            return;
        m_buffer.resize(m_at - m_buffer.constData());
        m_at = m_end = nullptr;
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        const auto n = qsizetype(size);
        if (m_end - m_at < n)
            makeRoom(n);
        if (n == 1) // a value's head, most often: a short text's or a small number's
            *m_at = *data;
        else
            std::memcpy(m_at, data, size_t(n));
        m_at += n;
        return size;
    }

private:
    void makeRoom(qsizetype n) {
        const qsizetype used = m_at == nullptr ? m_buffer.size() : m_at - m_buffer.constData();
        // Within the capacity this allocates nothing; beyond it, the buffer
        // grows as QByteArray grows, its bytes kept.
        m_buffer.resize(std::max({m_buffer.capacity(), used + n, 2 * used}));
        m_at = m_buffer.data() + used;
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
    m_writer->append(zavfiscal::wire::kFields);
    m_writer->startArray(quint64(fields.size()));
    for (const PacketField& f : fields) {
        m_writer->startMap(3);
        m_writer->append(zavfiscal::wire::kName);
        m_writer->append(f.name);
        m_writer->append(zavfiscal::wire::kType);
        m_writer->append(zavfiscal::wire::fieldTypeName(f.type));
        m_writer->append(zavfiscal::wire::kSize);
        m_writer->append(qint64(f.size));
        m_writer->endMap();
    }
    m_writer->endArray();
    m_writer->append(zavfiscal::wire::kRows);
    m_writer->startArray(); // the row count is known only at the end
}

// A CBOR text must be UTF-8: a database text that is not has its bad bytes
// replaced (U+FFFD), as the JSON answer has them.
void CborEncoder::text(QUtf8StringView value) {
    const char* p = value.data();
    const qsizetype n = value.size();
    if (zavfiscal::wire::isAscii(p, n) || value.isValidUtf8()) {
        m_writer->appendTextString(p, n);
        return;
    }
    const QByteArray repaired = QString::fromUtf8(p, n).toUtf8();
    m_writer->appendTextString(repaired.constData(), repaired.size());
}

void CborEncoder::number(double value) {
    m_writer->append(value);
}

void CborEncoder::null() {
    m_writer->append(nullptr);
}

void CborEncoder::beginRow() {
    m_writer->startArray(quint64(m_fieldCount));
}

void CborEncoder::endRow() {
    m_writer->endArray();
    ++m_rowCount;
    m_device->settle();
    written(m_buffer);
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
