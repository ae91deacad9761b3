#pragma once
// CancellationRun: the ticked invoices of one Cancela_NotaFiscal, cancelled at
// the authority's pace.
//
// The call's thread checks, signs and journals the invoices (InvoiceCanceller,
// on the thread's database connection) twenty at a time, and each batch goes
// to the authority on a thread of its own, up to the authority's number of
// batches in flight ("lotes" in the table, 4 by default); as each batch
// answers, its invoices are concluded on the call's thread, in any order,
// while the next batches are being prepared. So the wait is about the
// authority's latency times the number of batches over the lots in flight.
//
// The authority's pace is the server's (AuthorityDesk): a place at the
// authority's desk is had before a batch is prepared (nothing is signed or
// journalled without one), within the batches in flight the table allows the
// whole server, and the authority's breaker, shared by every call, answers
// the invoices not yet sent as not sent once it opens. A pause the authority
// asks for (656, 108, 109) is recorded in the database (AuthorityPause) and
// honoured by every server: nothing is sent to it before it ends.
//
// A stop of the server (ServiceStop) prepares nothing more: the batches in
// flight are concluded (those broken off by the stop's cut stay pending) and
// the invoices not reached are answered as not sent, with kStoppingText.
//
// Progress is told as invoices done of the invoices ticked.
#include "authority/authoritydesk.h"
#include "cancellation/callauthority.h"
#include "cancellation/cancellationoutcome.h"
#include "cancellation/invoicecanceller.h"
#include "cancellation/nfesettings.h"
#include "methods/cancellationpacket.h"

#include <QSqlDatabase>

#include <functional>
#include <vector>

namespace zavserver {

class CancellationRun {
public:
    static const char* const kStoppingText;

    // The call thread's database connection, and what to do with one that
    // failed (the next get() gives a fresh one).
    struct Database {
        std::function<QSqlDatabase&()> get;
        std::function<void()> discard;
        // What the operator is told of a database failure (the details go to
        // the log).
        std::function<QString(const zavdb::DatabaseError&)> failure;
    };
    using Progress = std::function<void(int done, int total)>;

    CancellationRun(CancellationContext context, const NfeSettings& settings, Database database,
                    Progress progress);
    ~CancellationRun();
    CancellationRun(const CancellationRun&) = delete;
    CancellationRun& operator=(const CancellationRun&) = delete;

    // What became of each ticked invoice, in their order.
    std::vector<CancellationOutcome> run(const std::vector<TickedInvoice>& ticked);

private:
    struct Lot;
    class Lots;

    InvoiceCanceller* canceller();
    void lost(const zavdb::DatabaseError& error, CancellationOutcome& outcome);
    // The next batch of up to twenty invoices ready to send, from ticked[*next].
    void prepareLot(const std::vector<TickedInvoice>& ticked, size_t* next, Lot& lot);
    void conclude(Lot& lot);
    // A batch not sent (one of its events could not be signed): each of its
    // signed events stays pending.
    void withheld(Lot& lot);
    // A place at the authority's desk; none (and why in m_stop, when it is
    // the breaker or the stop) when not had.
    std::optional<AuthorityDesk::Slot> place(bool wait);
    // Why nothing more is sent to the authority in this call, or empty.
    QString stopped();
    void settle(size_t index, const CancellationOutcome& outcome);

    CancellationContext m_context;
    const NfeSettings& m_settings;
    Database m_database;
    Progress m_progress;
    CallAuthority m_authority;
    std::optional<InvoiceCanceller> m_canceller;
    QString m_unreachableDatabase; // once the database cannot be opened, the rest is not tried
    std::vector<CancellationOutcome> m_outcomes;
    std::vector<bool> m_settled;
    int m_done = 0;
    // Why nothing more is sent: the pause, the breaker, the stop.
    QString m_stop;
    const char* m_stopKey = "fa_transmi"; // the failure key of the invoices m_stop leaves unsent
};

} // namespace zavserver
