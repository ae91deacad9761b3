#include "rpc/cborencoder.h"

namespace zavserver {

CborEncoder::CborEncoder() {
    restart();
}

void CborEncoder::restart() {
    m_writer.reset();
    m_buffer.clear();
    m_writer = std::make_unique<QCborStreamWriter>(&m_buffer);
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
    return std::move(m_buffer);
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
    return std::move(m_buffer);
}

} // namespace zavserver
