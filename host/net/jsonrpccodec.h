#pragma once
// The JSON-RPC 2.0 messages between a screen and its application server, in
// JSON or CBOR (docs/protocol.md): a request with positional arguments, and
// the answer read back into a plain value or a data packet.
#include "zavhost_export.h"
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>

// The request of a call. Arguments: QString (a string), QDate or QDateTime (a
// day, "YYYY-MM-DD"; an invalid one is null), DataPacket, a null QVariant,
// numbers and booleans; any other type is refused (EZavError) before anything
// is written.
// The id is a text, unique to the call (see newRpcId).
ZAVHOST_EXPORT QByteArray encodeRpcRequest(const QString& id, const QString& method, const QVariantList& args,
                                           bool cbor);

// The result of the answer to call id: a null QVariant, a DataPacket or a plain
// value. The server's own error message is thrown as EZavError as it comes;
// anything that is not a well-formed answer to this call is refused with
// "Resposta inválida do servidor: ...". endpoint names the server in the text
// of an answer that is no JSON-RPC at all.
ZAVHOST_EXPORT QVariant decodeRpcResponse(int status, const QByteArray& contentType, const QByteArray& body,
                                          const QString& id, const QString& endpoint);

// A new call id: 128 random bits in 32 hexadecimal digits, so that no two calls
// of one session (two screens, two workstations) share an id the server keeps
// apart while they run.
ZAVHOST_EXPORT QString newRpcId();
