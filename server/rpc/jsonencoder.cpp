#include "rpc/jsonencoder.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace zavserver {

namespace {

QJsonObject envelope(const QCborValue& id) {
    QJsonObject response;
    response.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    response.insert(QStringLiteral("id"), id.toJsonValue());
    return response;
}

} // namespace

void JsonEncoder::nullResult() {
    m_result = QJsonValue(QJsonValue::Null);
}

void JsonEncoder::beginPacket(std::span<const PacketField> fields) {
    for (const PacketField& f : fields) {
        QJsonObject field;
        field.insert(zavfiscal::wire::kName, f.name);
        field.insert(zavfiscal::wire::kType, zavfiscal::wire::fieldTypeName(f.type));
        field.insert(zavfiscal::wire::kSize, f.size);
        m_fields.append(field);
    }
}

void JsonEncoder::text(QUtf8StringView value) {
    m_row.append(QString::fromUtf8(value.data(), value.size()));
}
void JsonEncoder::number(double value) {
    m_row.append(value);
}
void JsonEncoder::null() {
    m_row.append(QJsonValue(QJsonValue::Null));
}

void JsonEncoder::endRow() {
    m_rowValues.append(m_row);
    m_row = QJsonArray();
    ++m_rowCount;
}

void JsonEncoder::endPacket() {
    QJsonObject packet;
    packet.insert(zavfiscal::wire::kFields, m_fields);
    packet.insert(zavfiscal::wire::kRows, m_rowValues);
    m_result = packet;
}

QByteArray JsonEncoder::success(const QCborValue& id) {
    QJsonObject response = envelope(id);
    response.insert(QStringLiteral("result"), m_result);
    return QJsonDocument(response).toJson(QJsonDocument::Compact);
}

QByteArray JsonEncoder::failure(const QCborValue& id, int code, const QString& message) {
    QJsonObject error;
    error.insert(QStringLiteral("code"), code);
    error.insert(QStringLiteral("message"), message);
    QJsonObject response = envelope(id);
    response.insert(QStringLiteral("error"), error);
    return QJsonDocument(response).toJson(QJsonDocument::Compact);
}

} // namespace zavserver
