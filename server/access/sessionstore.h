#pragma once
// Operators' sessions, kept in the database so that every application server
// on it honours them. A session lasts `idle` seconds from its last use and
// never longer than `limit` from its start; its use renews it at most once a
// minute (one write a minute per workstation, not one per call).
#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace zavserver {

struct SessionPolicy {
    qint64 idleSeconds = qint64{8} * 3600;
    qint64 limitSeconds = qint64{12} * 3600;
};

struct SessionRecord {
    QString id; // the public handle
    QString operatorCode;
    QString address; // where it was opened from
    qint64 started = 0;
    qint64 lastUsed = 0;
    qint64 expires = 0;
    qint64 ended = 0; // 0 while open
};

class SessionStore {
public:
    SessionStore(const QSqlDatabase& db, SessionPolicy policy) : m_db(db), m_policy(policy) {}

    struct Opened {
        QByteArray token; // given to the workstation once, never kept
        SessionRecord session;
    };
    Opened open(const QString& operatorCode, const QString& address, qint64 now);

    // The open session of a token, renewed; nothing for a token of no session,
    // an ended or expired one, or one whose operator is no longer active.
    std::optional<SessionRecord> check(const QByteArray& token, qint64 now);

    // Ends the token's session (sign-out); false when it was not open.
    bool close(const QByteArray& token, qint64 now);
    // Ends a session by its handle, or every open session of an operator; the
    // number ended.
    int revoke(const QString& id, qint64 now);
    int revokeOperator(const QString& operatorCode, qint64 now);

    // The open sessions (of one operator, or all), oldest first.
    QList<SessionRecord> open(const QString& operatorCode, qint64 now) const;

private:
    // Ends the open sessions whose column (one of ours, never the caller's
    // text) holds the value.
    int endWhere(const QString& column, const QString& value, qint64 now);

    QSqlDatabase m_db;
    SessionPolicy m_policy;
};

} // namespace zavserver
