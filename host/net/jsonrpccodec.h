#pragma once
// The JSON-RPC 2.0 messages between a screen and its application server, in
// JSON or CBOR (docs/protocol.md): a request with positional arguments, and
// the answer read back into a plain value or a data packet.
#include "services/exceptions.h"
#include "zavhost_export.h"
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <exception>
#include <memory>

// The request of a call. Arguments: QString (a string), QDate or QDateTime (a
// day, "YYYY-MM-DD"; an invalid one is null), DataPacket, a null QVariant,
// numbers and booleans; any other type is refused (EZavError) before anything
// is written.
// The id is a text, unique to the call (see newRpcId).
ZAVHOST_EXPORT QByteArray encodeRpcRequest(const QString& id, const QString& method, const QVariantList& args,
                                           bool cbor);

// The server's own refusal of a call: its JSON-RPC error code and the text for
// the operator, as they come.
class ZAVHOST_EXPORT ERpcError : public EZavError {
public:
    // The server's session ended or expired, or the call carried none (HTTP
    // 401): refused before any of its work was done (docs/protocol.md).
    static constexpr int kSessionEnded = -32001;

    ERpcError(int code, const QString& message) : EZavError(message), m_code(code) {}
    int code() const { return m_code; }

private:
    int m_code;
};

// An answer that is no well-formed JSON-RPC answer to the call, whatever its
// result holds: the operator is told "Resposta inválida do servidor: " and
// what is wrong (detail()); fault() says which part of the envelope it is. A
// packet in a well-formed answer is refused by the packet itself (EZavError
// of the same words), and the server's own refusal of the call is ERpcError.
class ZAVHOST_EXPORT ERpcAnswerError : public EZavError {
public:
    enum class Fault {
        ContentType, // neither JSON nor CBOR (or an HTTP error without JSON-RPC)
        Malformed,   // not JSON, not CBOR, or no object
        Version,     // jsonrpc is not "2.0"
        NoOutcome,   // neither result nor error
        MissingId,   // a result without an id
        OtherCall,   // the id of another call
        ErrorShape,  // an error that is no object with an integer code and a text message
        ResultKind,  // a result that is neither a packet nor a plain value
        HttpStatus,  // a result with an HTTP status other than 200
        Trailing,    // anything after the answer
    };

    ERpcAnswerError(Fault fault, const QString& detail);
    Fault fault() const { return m_fault; }
    QString detail() const { return m_detail; }

private:
    Fault m_fault;
    QString m_detail;
};

// The result of the answer to call id: a null QVariant, a DataPacket or a plain
// value. The server's own error message is thrown as ERpcError as it comes;
// anything that is not a well-formed answer to this call is refused with
// ERpcAnswerError (a malformed packet, as the packet refuses it). endpoint
// names the server in the text of an answer that is no JSON-RPC at all.
ZAVHOST_EXPORT QVariant decodeRpcResponse(int status, const QByteArray& contentType, const QByteArray& body,
                                          const QString& id, const QString& endpoint);

// The answer to one call read as its bytes arrive (from the transfer's thread),
// so that a list is decoded while the rest of it is still on its way: a CBOR
// answer whose result is a packet has its rows put into the packet's columns
// piece by piece, and nothing of it is kept but the bytes around the rows; a
// JSON one has its rows read by Qt's parser a batch of whole rows at a time,
// its bytes kept, so that any answer the batches cannot tell from the whole
// is read whole at the end; any other answer is kept and read whole at the
// end. finish() then says exactly what decodeRpcResponse says of the whole
// body: the answer was whole and well formed, and is the answer to this call,
// or it is refused.
class DataPacket;
class DataPacketRowStream;
class JsonRowSplitter;
class ZAVHOST_EXPORT RpcResponseReader {
public:
    RpcResponseReader();
    ~RpcResponseReader();
    RpcResponseReader(const RpcResponseReader&) = delete;
    RpcResponseReader& operator=(const RpcResponseReader&) = delete;

    // The next piece of the body, with the answer's status and content type.
    // Throws nothing: a malformed answer is refused by finish().
    void feed(int status, const QByteArray& contentType, const char* data, qsizetype size);
    // Once the whole body has been fed.
    QVariant finish(int status, const QByteArray& contentType, const QString& id, const QString& endpoint);
    // Whether the rows of a packet are being read as they come, for the tests.
    bool streamedRows() const { return m_rows != nullptr || m_jsonPacket != nullptr; }

private:
    enum class Mode { Start, Head, Rows, Json, Whole, Refused };
    void readHead();
    void readJson();
    bool appendJsonRowsUpTo(qsizetype end);
    QVariant finishJson(int status, const QByteArray& contentType, const QString& id,
                        const QString& endpoint);
    void readJsonWhole();

    Mode m_mode = Mode::Start;
    QByteArray m_bytes; // the body (Head, Whole), then the bytes before its rows list (Rows)
    std::unique_ptr<DataPacketRowStream> m_rows;
    std::exception_ptr m_refusal; // what refused the answer as it came (a malformed row)
    std::unique_ptr<JsonRowSplitter> m_json;
    std::unique_ptr<DataPacket> m_jsonPacket; // the JSON rows read so far
    qsizetype m_jsonRead = 0;                 // where the rows not yet read begin
};

// A new call id: 128 random bits in 32 hexadecimal digits, so that no two calls
// of one session (two screens, two workstations) share an id the server keeps
// apart while they run.
ZAVHOST_EXPORT QString newRpcId();
