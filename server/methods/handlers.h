#pragma once
// The methods of ZAV50000.rdmCancelaNFE, one function each, registered with
// their names, arities and lanes by registerMethods (methods.cpp). Each reads
// its positional arguments from the call, writes its result into the encoder
// and fails by throwing RpcError.
#include "access/sessionstore.h"
#include "cancellation/nfesettings.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

// Login(operator, password), the one method open to a caller without a
// session: it answers a data packet of one row, OPERADOR (the code as kept),
// NMOPERADOR, TOKEN (to send as "Authorization: Bearer TOKEN" with every later
// call) and VALIDADE (seconds until the session expires unless used).
void signIn(const SessionPolicy& policy, const Call& call, ResponseEncoder& out);
// Logout(): ends the session of the call.
void signOut(const Call& call, ResponseEncoder& out);

// GetNotaFiscal: the invoices an operator may cancel. Twelve positional
// arguments (branch, company, state and municipal registrations, series,
// invoice number, counterparty value, receiving branch, counterparty kind,
// period start and end, and one reserved text); the result is a data packet
// of the 17-field invoice record, one row per authorised invoice that matches.
// Refused (Forbidden) for an establishment the session's operator may not use.
void getNotaFiscal(const Call& call, ResponseEncoder& out);

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
void cancelaNotaFiscal(const NfeSettings& settings, const Call& call, ResponseEncoder& out);

// Progresso_Chamada(id): how far a call of the caller's own session has come,
// asked while it runs, on another connection. The answer is a packet of one
// row: SITUACAO ("andamento" while it runs, "encerrada" for a minute after it
// ended, "desconhecida" for an id the session has no call of), FEITAS and
// TOTAL (the units of work done and in all, as the call last said; TOTAL 0
// while it has said nothing). Another session's call is "desconhecida" like
// an id never used: nothing tells that it exists. It reads only the registry
// of running calls, so the connection's own thread answers it (no worker, no
// database) whenever the session has a call there.
void progressoChamada(const CallRegistry& calls, const Call& call, ResponseEncoder& out);

} // namespace zavserver
