#pragma once
// EventJournal: the server's record of the cancellation events it signs
// (table NFEEVENTO), written before an event is sent and after every answer,
// so that an event whose answer was lost is recovered instead of being signed
// and registered a second time. Runs on the caller's connection and inside
// the caller's transaction; throws zavdb::DatabaseError.
#include "database.h"

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
    QByteArray signedBatch; // the envEvento as signed and sent
};

class EventJournal {
public:
    static constexpr const char* kEventType = "110111";
    static constexpr int kSequence = 1;

    explicit EventJournal(QSqlDatabase& db);

    std::optional<JournalEntry> read(const QString& entry);
    // A new pending event, in place of a rejected one when there is one.
    void savePending(const QString& entry, const JournalEntry& event);
    void markSent(const QString& entry, const QString& at);
    void markRegistered(const QString& entry, const TransmissionResult& result);
    void markRejected(const QString& entry, const TransmissionResult& result);

private:
    QSqlQuery m_read, m_delete, m_insert, m_sent, m_registered, m_rejected;
};

} // namespace zavserver
