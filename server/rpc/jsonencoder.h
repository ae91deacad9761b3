#pragma once
// JSON responses, the default: readable with curl and any JSON tool.
#include "rpc/responseencoder.h"
#include <QJsonArray>
#include <QJsonValue>

namespace zavserver {

class JsonEncoder final : public ResponseEncoder {
public:
    QByteArray contentType() const override { return QByteArrayLiteral("application/json; charset=utf-8"); }

    void beginRow() override {}
    ZAV_RESPONSE_ENCODER;

private:
    QJsonValue m_result;
    QJsonArray m_fields;
    QJsonArray m_rowValues;
    QJsonArray m_row;
};

} // namespace zavserver
