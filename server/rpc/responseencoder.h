#pragma once
// Writes one JSON-RPC response: a method writes its result (Null or a data
// packet, row by row) and the dispatcher then closes it with the request's id;
// on an error the dispatcher asks for an error response instead and whatever
// the method had written is dropped. One implementation per content type.
//
// A large result need not wait whole in memory: streamTo() hands the body on
// in pieces as the rows are written. Once a piece has left, the answer can no
// longer turn into an error response: a failure after it must break the
// answer off (the HTTP layer ends it unfinished), never close it as if whole.
#include "records.h"

#include <QByteArray>
#include <QCborValue>
#include <QString>
#include <QUtf8StringView>
#include <exception>
#include <functional>
#include <span>
#include <vector>

namespace zavserver {

// The packet's field types and their names on the wire are the host's too.
using FieldType = zavwire::FieldType;

struct PacketField {
    QString name;
    FieldType type = FieldType::String;
    int size = 0; // characters, for strings; 0 for the others
};

// The fields of a record both sides share (records.h), as a packet names them.
inline std::vector<PacketField> packetFieldsOf(std::span<const zavwire::RecordField> record) {
    std::vector<PacketField> fields;
    fields.reserve(record.size());
    for (const zavwire::RecordField& f : record)
        fields.push_back({QLatin1StringView(f.name), f.type, f.size});
    return fields;
}

// Thrown by a write once the answer's reader has gone: the method stops.
class ResponseAbandoned : public std::exception {
public:
    const char* what() const noexcept override { return "o cliente deixou de ler a resposta"; }
};

class ResponseEncoder {
public:
    virtual ~ResponseEncoder() = default;

    // Takes each piece of about pieceBytes as it fills, instead of keeping the
    // whole body; false from it means nobody reads the answer any more. The
    // sink moves the piece's bytes away and may leave in its place an empty
    // buffer to write the next piece into (one it is done sending), so that
    // a long answer reuses a few buffers instead of allocating one a piece.
    // What is left at the end is success()'s body.
    using Sink = std::function<bool(QByteArray& piece)>;
    void streamTo(Sink sink, qsizetype pieceBytes) {
        m_sink = std::move(sink);
        m_pieceBytes = pieceBytes;
    }
    // Whether a piece of the body has left.
    bool streamed() const { return m_streamed; }

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
    // The bytes written so far: handed on once they fill a piece.
    void written(QByteArray& pending) {
        if (pieceFull(pending.size()))
            handOn(pending);
    }
    bool pieceFull(qsizetype bytes) const { return m_sink && bytes >= m_pieceBytes; }
    // Hands pending on; it is then an empty buffer with room for a piece.
    void handOn(QByteArray& pending) {
        m_streamed = true;
        if (!m_abandoned && !m_sink(pending))
            m_abandoned = true;
        pending.resize(0);
        if (pending.capacity() < m_pieceBytes + m_pieceBytes / 4)
            pending.reserve(m_pieceBytes + m_pieceBytes / 4);
    }
    // At a row's end: stops the method once the reader has gone.
    void checkReader() const {
        if (m_abandoned)
            throw ResponseAbandoned();
    }

    int m_rowCount = 0;

private:
    Sink m_sink;
    qsizetype m_pieceBytes = 0;
    bool m_streamed = false;
    bool m_abandoned = false;
};

} // namespace zavserver
