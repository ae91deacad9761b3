#pragma once
// The invoice list of a cancellation request (argument 1 of
// Cancela_NotaFiscal): a data packet of the invoice record as GetNotaFiscal
// sent it, with the operator's IDCHECK and DSMOTIVOCANCNFE. Read whole and
// checked before any invoice is touched; a malformed list is refused as a
// whole with "invalid params", naming the row and the field.
#include "rpc/arguments.h"

#include <QString>
#include <vector>

namespace zavserver {

// One row ticked "C", as the client sent it (codes trimmed, the reason not).
struct TickedInvoice {
    QString entry;   // NRLANCTONF
    QString reason;  // DSMOTIVOCANCNFE
    QString branch;  // CDFILIAL
    QString company; // CDEMPRESA
};

class CancellationPacket {
public:
    // The ticked rows in the order of the list; a row whose entry was already
    // ticked earlier in the list is one invoice and is taken once (the first).
    static std::vector<TickedInvoice> read(const Arguments& arguments, int position);
};

} // namespace zavserver
