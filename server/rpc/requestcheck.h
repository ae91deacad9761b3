#pragma once
// A request body checked, as it is read, before anything is built from it:
// well formed, read in one way only (no key twice in an object, nothing after
// the CBOR item), no deeper than a call needs, no text longer than a call
// carries, and no more to build than a small multiple of its own size. Throws
// RpcError: ParseError for a malformed body, InvalidRequest for the rest.
#include "rpc/rpcdispatcher.h"

#include <QByteArray>

namespace zavserver {

struct RequestLimits {
    int depth = 8;                        // containers inside containers
    qint64 textBytes = qint64{64} * 1024; // one string (or byte string)
    int keys = 16;                        // keys of one object
    // What the parsed request may cost, as a multiple of the body's size: a
    // value costs about 64 bytes whatever its size on the wire, a text about
    // twice its bytes.
    int costFactor = 8;
};

void checkRequest(const QByteArray& body, RequestFormat format, const RequestLimits& limits = {});

} // namespace zavserver
