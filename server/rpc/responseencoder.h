#pragma once
// Writes one JSON-RPC response: a method writes its result (Null or a data
// packet, row by row) and the dispatcher then closes it with the request's id;
// on an error the dispatcher asks for an error response instead and whatever
// the method had written is dropped. One implementation per content type.
#include "wireformat.h"

#include <QByteArray>
#include <QCborValue>
#include <QString>
#include <QUtf8StringView>
#include <span>

namespace zavserver {

// The packet's field types and their names on the wire are the host's too.
using FieldType = zavfiscal::wire::FieldType;

struct PacketField {
    QString name;
    FieldType type = FieldType::String;
    int size = 0; // characters, for strings; 0 for the others
};

class ResponseEncoder {
public:
    virtual ~ResponseEncoder() = default;

    virtual QByteArray contentType() const = 0;

    // The result: either nullResult() or a packet.
    virtual void nullResult() = 0;
    virtual void beginPacket(std::span<const PacketField> fields) = 0;
    virtual void beginRow() = 0;
    virtual void text(QUtf8StringView value) = 0;
    virtual void number(double value) = 0;
    virtual void null() = 0;
    virtual void endRow() = 0;
    virtual void endPacket() = 0;

    // The whole response body.
    virtual QByteArray success(const QCborValue& id) = 0;
    virtual QByteArray failure(const QCborValue& id, int code, const QString& message) = 0;

    int rows() const { return m_rowCount; }

protected:
    int m_rowCount = 0;
};

} // namespace zavserver
