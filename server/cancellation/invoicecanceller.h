#pragma once
// Cancels invoices on one database connection, each in three steps:
//
// 1. In a transaction: the invoice's row is locked without waiting, every rule
//    is checked again on what the database holds, and the cancellation event
//    is built, signed with the registration's A1 certificate and written to
//    the event journal as pending. Committed before anything leaves the server.
// 2. Outside any transaction (no lock is held while the network is slow): the
//    event goes to the state's authority, in a batch with others
//    (CancellationRun); a pending event of an earlier attempt is first looked
//    up there, then resent byte for byte if absent.
// 3. In a transaction: a registered event cancels the invoice, its open
//    receivables, writes its cancellation record and stores procEventoNFe,
//    all together; a rejection is written to the journal; without an answer
//    the event stays pending, the invoice authorised.
//
// Lock failures come back as MS01 ("blocked by another operator"): on
// PostgreSQL SELECT ... FOR UPDATE NOWAIT of the invoice and its receivables;
// on SQLite BEGIN IMMEDIATE with a short busy timeout, the database's single
// write lock standing for the row lock. A server killed at any point leaves
// each invoice cancelled with its record, or authorised with at most a pending
// event that the next attempt resolves with the authority.
#include "authority/authorityclient.h"
#include "authority/eventtransmission.h"
#include "cancellation/callauthority.h"
#include "cancellation/cancellationoutcome.h"
#include "cancellation/eventjournal.h"
#include "cancellation/nfesettings.h"
#include "methods/cancellationpacket.h"

#include "database.h"

#include <QDate>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <memory>
#include <optional>
#include <set>

namespace zavserver {

// The call's arguments 2 to 6, already checked for form, and the facts of
// the call the server knows itself.
struct CancellationContext {
    QString operatorCode; // who asks
    QDate processingDate; // the branch's processing date
    QString environment;  // "1" production, "2" homologation
    QString certificate;  // the serial number of the registration's certificate
    QString state;        // the registration's state, "SP"
    QString session;      // the handle of the call's session
    QString address;      // the workstation's address, as the connection shows it
};

class InvoiceCanceller {
public:
    // How long a cancellation waits for SQLite's write lock before it reports
    // the invoice as held: well above one cancellation's transaction, so two
    // batches on one file interleave, and well below a client's patience.
    static constexpr int kSqliteBusyTimeoutMs = 2000;

    // A pending event of another session sent less than this long ago is
    // taken to be still on its way: the invoice is reported as held. (Two
    // workstations under one operator are two sessions: neither resends
    // what the other has on its way.)
    static constexpr int kInFlightSeconds = 180;

    // What step 1 decided and steps 2 and 3 need.
    struct Attempt {
        QString entry;
        QString accessKey;
        QString reason;      // as the event carries it
        QString typed;       // as this confirm sent it (checked): another when resuming an earlier event
        QString certificate; // the serial as the registration holds it, not as the caller typed it
        QByteArray signedBatch;
        bool resume = false; // a pending event of an earlier attempt
        int queriesLeft = 0; // protocol queries of the NF-e still allowed this hour
        // The certificate's key failed to sign this event (a token removed,
        // its PIN refused meanwhile): nothing of its batch is sent.
        bool signatureFailed = false;
    };

    // Prepares the statements; throws zavdb::DatabaseError. The authority is
    // the call's (shared by the cancellers of one call), or one of its own.
    InvoiceCanceller(QSqlDatabase& db, CancellationContext context, const NfeSettings& settings,
                     CallAuthority* authority = nullptr);
    ~InvoiceCanceller();
    InvoiceCanceller(const InvoiceCanceller&) = delete;
    InvoiceCanceller& operator=(const InvoiceCanceller&) = delete;

    // One invoice, all three steps, its event sent alone. Throws
    // zavdb::DatabaseError when the database fails (the invoice is then left
    // as it was); every other reason is an outcome.
    CancellationOutcome cancel(const TickedInvoice& invoice);

    // Step 1: the refusal, or the attempt ready to send in batch batchId
    // (journalled as sent in it). Throws zavdb::DatabaseError.
    std::optional<CancellationOutcome> prepare(const TickedInvoice& invoice, const QString& batchId,
                                               Attempt& attempt);
    // Step 3: what the authority answered, written. Throws zavdb::DatabaseError.
    // Step 3 for an attempt whose batch was not sent because another event
    // of it could not be signed: its event stays pending in the journal,
    // resent (after asking the authority) by the next attempt.
    CancellationOutcome notSent(const Attempt& a);
    CancellationOutcome conclude(const Attempt& attempt, const TransmissionResult& result);

    // The authority's endpoints; only after an invoice got as far as them.
    const AuthorityEndpoints& endpoints() const { return m_authority->endpoints(); }

    // idLote: milliseconds since 1970 and a counter, 15 digits, unique within
    // a server; the authority only echoes it.
    static QString nextBatchId();

private:
    struct Stored;
    bool readInvoice(const QString& entry, Stored& stored);
    std::optional<CancellationOutcome> check(const TickedInvoice& invoice, const Stored& stored,
                                             QString* reason);
    std::optional<CancellationOutcome> receivablesBlock(const QString& entry);
    // The invoice read under its lock and every rule checked on what the
    // database holds, up to the authority and the certificate to use.
    std::optional<CancellationOutcome> readAndCheck(const TickedInvoice& invoice, Stored& stored,
                                                    QString* reason);
    // A pending event of an earlier attempt, to be sent again as it was
    // signed, unless another session's is still on its way.
    std::optional<CancellationOutcome> resumePending(const JournalEntry& earlier, const Stored& stored,
                                                     const QDateTime& now, Attempt& attempt);
    // A new event, within the term, signed and written to the journal as
    // pending.
    std::optional<CancellationOutcome> journalNewEvent(const Stored& stored, const QString& reason,
                                                       const QDateTime& now, Attempt& attempt);
    std::optional<CancellationOutcome> sign(const Stored& stored, const QString& reason, Attempt& attempt);
    // Beyond the authority's terms, unless the state approved a late
    // cancellation of the invoice (CANCEXTEMPNFE) that has not run out.
    std::optional<CancellationOutcome> outOfTerm(const QString& entry, const Stored& stored);
    bool lateApproved(const QString& entry, const QDateTime& now);
    // The authority's final rejection of the very event that would be sent
    // now (same reason, protocol, certificate, environment): sending it again
    // would only repeat it, and the authorities block a client that repeats
    // a rejection (656). Anything changed, a new event is signed.
    static std::optional<CancellationOutcome> finalRejection(const JournalEntry& earlier,
                                                             const Stored& stored, const QString& reason,
                                                             const QString& environment);
    void write(const QString& entry, const Attempt& attempt, const TransmissionResult& result);
    // The invoice taken for this canceller's call until its step 3 (false:
    // another call of the server has it), and given back.
    bool claim(const QString& entry);
    void unclaim(const QString& entry);

    QSqlDatabase& m_db;
    zavdb::Dialect m_dialect;
    CancellationContext m_context;
    const NfeSettings& m_settings;
    int m_previousBusyTimeout = -1;
    QSqlQuery m_invoice, m_receivables, m_cancelInvoice, m_cancelReceivables, m_record;
    EventJournal m_journal;
    std::unique_ptr<CallAuthority> m_ownAuthority;
    CallAuthority* m_authority;
    std::unique_ptr<AuthorityClient> m_client; // cancel()'s
    std::set<QString> m_claims;
};

} // namespace zavserver
