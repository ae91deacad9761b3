#pragma once
// JSON responses, the default: readable with curl and any JSON tool. The text
// is written as the rows come (no document built in memory first), every
// string escaped as RFC 8259 asks and every number as Qt's JSON writer
// writes it.
#include "rpc/responseencoder.h"

namespace zavserver {

class JsonEncoder final : public ResponseEncoder {
public:
    QByteArray contentType() const override { return QByteArrayLiteral("application/json; charset=utf-8"); }

    void nullResult() override;
    void beginPacket(std::span<const PacketField> fields) override;
    void beginRow() override;
    void text(QUtf8StringView value) override;
    void number(double value) override;
    void null() override;
    void endRow() override;
    void endPacket() override;

    QByteArray success(const QCborValue& id) override;
    QByteArray failure(const QCborValue& id, int code, const QString& message) override;

private:
    void beginResponse();
    void separate(); // the comma before a row's value, but its first

    QByteArray m_buffer;  // what is written and not yet handed on
    bool m_begun = false; // the result has begun
    bool m_firstValue = true;
    bool m_firstRow = true;
};

} // namespace zavserver
