#pragma once
// The rows of a CBOR answer read the other way, for the tests only: Qt's
// stream reader (QCborStreamReader), value by value, into a packet through its
// public setters. The product reads cells one way (libcbor's item decoder,
// host/data/datapacketcbor.cpp); this reading is the judge it is held to: what
// it takes, the product takes with the same values, and what it refuses, the
// product refuses.
#include "data/datapacket.h"

#include <QByteArray>

#include <optional>

namespace zavtest {

// The packet of a JSON-RPC answer in CBOR whose result is a packet (fields
// before rows), or nothing when a cell, a row or the CBOR is not one the
// packet holds.
std::optional<DataPacket> cborRowsOracle(const QByteArray& answer);

} // namespace zavtest
