#include "rpc/cborencoder.h"

#include <QIODevice>
#include <utility>

namespace zavserver {

// The writer's device: appends to the encoder's buffer, which may be emptied
// between two writes (a piece handed on) without the device minding.
class CborEncoder::Appender final : public QIODevice {
public:
    explicit Appender(QByteArray& buffer) : m_buffer(buffer) {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override {
        m_buffer.append(data, qsizetype(size));
        return size;
    }

private:
    QByteArray& m_buffer;
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

void CborEncoder::text(QUtf8StringView value) {
    m_writer->appendTextString(value.data(), value.size());
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
    return std::exchange(m_buffer, QByteArray());
}

} // namespace zavserver
