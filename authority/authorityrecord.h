#pragma once
// AuthorityRecord: what the local authority knows: the authorised invoices
// (taken once from the ERP database) and the events it registered. Kept in
// memory and, with a record file, in SQLite as well, so a restart keeps every
// registered event. It lives on the main thread; request threads reach it
// through onRecordThread, which also makes each decision atomic: two equal
// events arriving together are registered once.
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QThread>

#include <functional>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

namespace zavauthority {

struct Invoice {
    QString key, protocol, authorisedAtText;
    QDateTime authorisedAt;
    QChar state; // A authorised, C cancelled, D denied
};

struct RegisteredEvent {
    QString key, type;
    int sequence = 0;
    QString protocol, registeredAt;
    int status = 0;
    QByteArray evento, retEvento; // the signed evento as received, the answer given
};

// One event whose signature, Id, author and dates were already checked.
struct EventFacts {
    QString key, type, authorisationProtocol;
    int sequence = 0;
    QDateTime at;
    QByteArray evento;
};

// Both counted from the authorisation, as the states count them.
struct Terms {
    int ordinaryHours = 24;
    int lateHours = 0;
};

struct Decision {
    int status = 0;
    QString protocol;
    QByteArray retEvento;
};

class AuthorityRecord : public QObject {
public:
    // Builds the retEvento of a decision (protocol empty for a rejection).
    using AnswerBuilder =
        std::function<QByteArray(int status, const QString& protocol, const QString& registeredAt)>;

    AuthorityRecord();
    ~AuthorityRecord() override;

    // Opens (creating when new) the record file and loads it; empty on
    // success, otherwise why not. Without a call everything stays in memory.
    QString open(const QString& recordFile);
    // Adds the ERP database's invoices the record does not know yet; rows
    // that are not a valid NF-e are skipped and counted.
    QString importInvoices(const QString& connectionText, int* added, int* skipped);

    // An invoice authorised after the start (the real authority knows every
    // NF-e it authorised): a key the record does not hold is looked up in this
    // ERP database, once per request, and kept when found.
    void lookUpNewInvoicesIn(const QString& connectionText) { m_source = connectionText; }

    Decision decide(const EventFacts& facts, const Terms& terms, const QDateTime& now,
                    const AnswerBuilder& answer);
    std::optional<Invoice> invoice(const QString& key);
    std::vector<RegisteredEvent> events(const QString& key) const;
    qsizetype invoiceCount() const { return m_invoices.size(); }

    // Runs f on the record's thread and waits for it.
    template <typename F> void onRecordThread(F&& f) {
        if (QThread::currentThread() == thread())
            f();
        else
            QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::BlockingQueuedConnection);
    }

private:
    QString nextProtocol(const QString& stateCode, const QDateTime& now);
    bool store(const RegisteredEvent& event, QString* error);
    // The invoice of a key, from the record or else from the ERP database.
    const Invoice* find(const QString& key);
    bool keep(const Invoice& invoice, QString* error);
    // The ERP database's valid invoices the record does not hold, into found;
    // empty, or why they could not be read.
    QString readNewErpInvoices(const QString& connectionText, std::vector<Invoice>& found,
                               int* skipped) const;
    // The invoices written to the record file in one transaction (nothing to
    // do in memory only); empty, or why not.
    QString persistInvoices(const std::vector<Invoice>& invoices);

    QHash<QString, Invoice> m_invoices;
    std::map<std::tuple<QString, QString, int>, RegisteredEvent> m_events;
    QHash<QString, qint64> m_sequences; // per state and year: the last nProt's sequence
    bool m_persistent = false;
    QString m_source; // the ERP database to look new invoices up in
};

} // namespace zavauthority
