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
ZAVHOST_EXPORT QByteArray encodeRpcRequest(qint64 id, const QString& method, const QVariantList& args,
                                           bool cbor);

// The result of the answer to call id: a null QVariant, a DataPacket or a plain
// value. The server's own error message is thrown as EZavError as it comes;
// anything that is not a well-formed answer to this call is refused with
// "Resposta inválida do servidor: ...". endpoint names the server in the text
// of an answer that is no JSON-RPC at all.
ZAVHOST_EXPORT QVariant decodeRpcResponse(int status, const QByteArray& contentType, const QByteArray& body,
                                          qint64 id, const QString& endpoint);
