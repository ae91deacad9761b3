#pragma once
// JSON responses, the default: readable with curl and any JSON tool.
#include "rpc/responseencoder.h"
#include <QJsonArray>
#include <QJsonValue>

namespace zavserver {

class JsonEncoder final : public ResponseEncoder {
public:
    QByteArray contentType() const override { return QByteArrayLiteral("application/json; charset=utf-8"); }

    void nullResult() override;
    void beginPacket(std::span<const PacketField> fields) override;
    void beginRow() override {}
    void text(QUtf8StringView value) override;
    void number(double value) override;
    void null() override;
    void endRow() override;
    void endPacket() override;

    QByteArray success(const QCborValue& id) override;
    QByteArray failure(const QCborValue& id, int code, const QString& message) override;

private:
    QJsonValue m_result;
    QJsonArray m_fields;
    QJsonArray m_rowValues;
    QJsonArray m_row;
};

} // namespace zavserver
