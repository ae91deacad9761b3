#pragma once
// GetNotaFiscal: the invoices an operator may cancel. Twelve positional
// arguments (branch, company, state and municipal registrations, series,
// invoice number, counterparty value, receiving branch, counterparty kind,
// period start and end, and one reserved text); the result is a data packet of
// the 17-field invoice record, one row per authorised invoice that matches.
#include "rpc/rpcdispatcher.h"

namespace zavserver {

class GetNotaFiscal {
public:
    static constexpr int kArity = 12;
    // Refused (Forbidden) for an establishment the session's operator may not use.
    static void run(const Call& call, ResponseEncoder& out);
};

} // namespace zavserver
