#pragma once
// Cancels one invoice at a time on one database connection, each in a
// transaction of its own: the invoice's row is locked without waiting, every
// rule is checked again on what the database holds inside that transaction,
// the authority is asked, and then the invoice, its open receivables and its
// cancellation record are written together, or nothing is.
//
// Lock failures come back as MS01 ("blocked by another operator"): on
// PostgreSQL SELECT ... FOR UPDATE NOWAIT of the invoice and its receivables;
// on SQLite BEGIN IMMEDIATE with a short busy timeout, the database's single
// write lock standing for the row lock. No hold is committed, so a server
// killed at any point leaves each invoice either cancelled with its record or
// as it was.
#include "cancellationauthority.h"
#include "cancellationoutcome.h"
#include "cancellationpacket.h"

#include "database.h"

#include <QDate>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace zavserver {

// The call's arguments 2 to 6, already checked for form.
struct CancellationContext {
    QString operatorCode;   // who asks
    QDate processingDate;   // the branch's processing date
    QString environment;    // "1" production, "2" homologation
    QString certificate;    // the serial number of the registration's certificate
    QString state;          // the registration's state, "SP"
};

class InvoiceCanceller {
public:
    // How long a cancellation waits for SQLite's write lock before it reports
    // the invoice as held: well above one cancellation's transaction, so two
    // batches on one file interleave, and well below a client's patience.
    static constexpr int kSqliteBusyTimeoutMs = 2000;

    // Prepares the statements; throws zavdb::DatabaseError.
    InvoiceCanceller(QSqlDatabase& db, CancellationContext context, CancellationAuthority& authority);
    ~InvoiceCanceller();
    InvoiceCanceller(const InvoiceCanceller&) = delete;
    InvoiceCanceller& operator=(const InvoiceCanceller&) = delete;

    // Throws zavdb::DatabaseError when the database fails (the invoice is then
    // left as it was); every other reason is an outcome.
    CancellationOutcome cancel(const TickedInvoice& invoice);

private:
    struct Stored;
    bool readInvoice(const QString& entry, Stored& stored);
    std::optional<CancellationOutcome> check(const TickedInvoice& invoice, const Stored& stored,
                                             QString* reason);
    std::optional<CancellationOutcome> receivablesBlock(const QString& entry);
    void write(const QString& entry, const QString& reason, const Stored& stored, const AuthorityAnswer& answer);

    QSqlDatabase& m_db;
    zavdb::Dialect m_dialect;
    CancellationContext m_context;
    CancellationAuthority& m_authority;
    int m_previousBusyTimeout = -1;
    QSqlQuery m_invoice, m_receivables, m_cancelInvoice, m_cancelReceivables, m_record;
};

} // namespace zavserver
