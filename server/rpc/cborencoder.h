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

    QByteArray contentType() const override { return QByteArrayLiteral("application/cbor"); }

    void beginRow() override;
    ZAV_RESPONSE_ENCODER;

private:
    void beginResponse();
    void restart();

    QByteArray m_buffer;
    std::unique_ptr<QCborStreamWriter> m_writer;
    qsizetype m_fieldCount = 0;
};

} // namespace zavserver
