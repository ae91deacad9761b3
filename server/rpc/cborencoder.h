#pragma once
// CBOR responses (application/cbor), for clients that ask for them: the same
// structure as the JSON response, streamed as the rows come, which is several
// times cheaper than building a JSON document of a large packet.
#include "rpc/responseencoder.h"
#include <QCborStreamWriter>
#include <memory>

namespace zavserver {

class CborEncoder final : public ResponseEncoder {
public:
    CborEncoder();
    ~CborEncoder() override;

    QByteArray contentType() const override { return QByteArrayLiteral("application/cbor"); }

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
    void restart();

    class Appender;
    QByteArray m_buffer; // what is written and not yet handed on
    std::unique_ptr<Appender> m_device;
    std::unique_ptr<QCborStreamWriter> m_writer;
    qsizetype m_fieldCount = 0;
};

} // namespace zavserver
