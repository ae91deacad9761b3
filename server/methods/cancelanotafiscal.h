#pragma once
// Cancela_NotaFiscal: cancels the invoices ticked "C" in the list sent by the
// screen. Six positional arguments: the invoice list (a data packet), the
// operator, the branch's processing date, the registration's NF-e
// environment, its certificate's serial number and its state. Each ticked
// invoice is cancelled or not independently of the others; the result is
// Null when every one was cancelled, else a packet with one row per invoice
// not cancelled (NRLANCTONF, CDERRO, DSERRO), in the order of the list.
// Refused whole (Forbidden) when the operator argument is not the session's.
// A ticked invoice of an establishment the operator may not use (by the
// invoice as stored, not as the screen sent it) is not cancelled and says
// so in its row; the others go on, as for any other row's refusal.
#include "cancellation/nfesettings.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

class CancelaNotaFiscal {
public:
    static constexpr int kArity = 6;
    static void run(const NfeSettings& settings, const Call& call, ResponseEncoder& out);
};

} // namespace zavserver
