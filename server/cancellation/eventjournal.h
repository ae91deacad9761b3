#pragma once
// EventJournal: the server's record of the cancellation events it signs
// (table NFEEVENTO), written before an event is sent and after every answer,
// so that an event whose answer was lost is recovered instead of being signed
// and registered a second time. Runs on the caller's connection and inside
// the caller's transaction; throws zavdb::DatabaseError.
#include "database.h"
#include "vocabulary.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <optional>

namespace zavserver {

struct TransmissionResult;

struct JournalEntry {
    enum class State { Pending, Registered, Rejected };
    State state = State::Pending;
    QString accessKey;
    QString operatorCode;
    QString session; // the handle of the session that signed it
    QString address; // the workstation's address
    QString reason;
    QString environment;
    QString stateAbbreviation;
    QString certificate;
    QString batchId;
    QString createdAt;
    QString sentAt;
    int attempts = 0;
    QByteArray signedBatch; // the envEvento as signed (one event); batchId: the batch it was last sent in
    int status = 0;         // the authority's cStat, once it answered
    QString statusText;
    int queries = 0;         // protocol queries of the NF-e in the hour since queriedSince
    qint64 queriedSince = 0; // seconds since 1970 UTC; 0: never queried

    // The protocol queries still allowed at `now` (seconds since 1970 UTC).
    int queriesLeft(qint64 now) const;
};

class EventJournal {
public:
    static constexpr const char* kEventType = zavnfe::kCancellationEventType;
    static constexpr int kSequence = 1;
    // The authorities block a client that asks about one NF-e more than ten
    // times an hour (656).
    static constexpr int kQueriesPerHour = 10;
    static constexpr qint64 kQueryWindowSeconds = 3600;

    explicit EventJournal(QSqlDatabase& db);

    std::optional<JournalEntry> read(const QString& entry);
    // A new pending event, in place of a rejected one when there is one.
    void savePending(const QString& entry, const JournalEntry& event);
    // Sent (or about to be) at `at`, in batch batchId.
    void markSent(const QString& entry, const QString& at, const QString& batchId);
    // Protocol queries made for the event at `now` (seconds since 1970 UTC).
    void countQueries(const QString& entry, int queries, qint64 now);
    void markRegistered(const QString& entry, const TransmissionResult& result);
    void markRejected(const QString& entry, const TransmissionResult& result);

private:
    QSqlQuery m_read, m_delete, m_insert, m_sent, m_registered, m_rejected, m_queried;
};

} // namespace zavserver
