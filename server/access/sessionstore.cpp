#include "access/sessionstore.h"
#include "access/accessquery.h"
#include "access/credentials.h"

#include <algorithm>

namespace zavserver {

namespace {

const QString kSelect =
    QStringLiteral("SELECT S.IDSESSAO, S.CDOPERADOR, S.DSENDERECO, S.DHINICIO, S.DHULTIMOUSO, "
                   "S.DHEXPIRA, S.DHENCERRADA, S.DHLIMITE FROM SESSAOOPER S");

SessionRecord recordOf(const QSqlQuery& q) {
    SessionRecord r;
    r.id = q.value(0).toString();
    r.operatorCode = q.value(1).toString();
    r.address = q.value(2).toString();
    r.started = q.value(3).toLongLong();
    r.lastUsed = q.value(4).toLongLong();
    r.expires = q.value(5).toLongLong();
    r.ended = q.value(6).isNull() ? 0 : q.value(6).toLongLong();
    return r;
}

// A minute between renewals.
constexpr qint64 kRenewEvery = 60;

} // namespace

SessionStore::Opened SessionStore::open(const QString& operatorCode, const QString& address, qint64 now) {
    Opened o;
    o.token = credentials::newToken();
    SessionRecord& s = o.session;
    s.id = credentials::newHandle();
    s.operatorCode = operatorCode;
    s.address = address.left(64);
    s.started = s.lastUsed = now;
    const qint64 limit = now + m_policy.limitSeconds;
    s.expires = std::min(now + m_policy.idleSeconds, limit);
    accessdb::run(
        m_db,
        QStringLiteral("INSERT INTO SESSAOOPER (IDSESSAO, NRHASHTOKEN, CDOPERADOR, DSENDERECO, DHINICIO, "
                       "DHULTIMOUSO, DHEXPIRA, DHLIMITE, DHENCERRADA) VALUES (?, ?, ?, ?, ?, ?, ?, ?, NULL)"),
        {s.id, credentials::tokenDigest(o.token), s.operatorCode, s.address, s.started, s.lastUsed, s.expires,
         limit});
    return o;
}

std::optional<SessionRecord> SessionStore::check(const QByteArray& token, qint64 now) {
    if (!credentials::looksLikeToken(token))
        return std::nullopt;
    QSqlQuery q = accessdb::run(m_db,
                                kSelect + QStringLiteral(" JOIN OPERADOR O ON O.CDOPERADOR = S.CDOPERADOR "
                                                         "WHERE S.NRHASHTOKEN = ? AND S.DHENCERRADA IS NULL "
                                                         "AND S.DHEXPIRA > ? AND O.IDATIVO = 'S'"),
                                {credentials::tokenDigest(token), now});
    if (!q.next())
        return std::nullopt;
    SessionRecord s = recordOf(q);
    const qint64 limit = q.value(7).toLongLong();
    q.finish();
    if (now - s.lastUsed >= kRenewEvery) {
        s.lastUsed = now;
        s.expires = std::min(now + m_policy.idleSeconds, limit);
        accessdb::run(m_db,
                      QStringLiteral("UPDATE SESSAOOPER SET DHULTIMOUSO = ?, DHEXPIRA = ? WHERE IDSESSAO = ? "
                                     "AND DHENCERRADA IS NULL"),
                      {s.lastUsed, s.expires, s.id});
    }
    return s;
}

bool SessionStore::close(const QByteArray& token, qint64 now) {
    if (!credentials::looksLikeToken(token))
        return false;
    return accessdb::run(m_db,
                         QStringLiteral("UPDATE SESSAOOPER SET DHENCERRADA = ? WHERE NRHASHTOKEN = ? "
                                        "AND DHENCERRADA IS NULL"),
                         {now, credentials::tokenDigest(token)})
               .numRowsAffected() > 0;
}

int SessionStore::revoke(const QString& id, qint64 now) {
    return endWhere(QStringLiteral("IDSESSAO"), id, now);
}

int SessionStore::revokeOperator(const QString& operatorCode, qint64 now) {
    return endWhere(QStringLiteral("CDOPERADOR"), operatorCode, now);
}

int SessionStore::endWhere(const QString& column, const QString& value, qint64 now) {
    return accessdb::run(m_db,
                         QStringLiteral("UPDATE SESSAOOPER SET DHENCERRADA = ? WHERE %1 = ? "
                                        "AND DHENCERRADA IS NULL AND DHEXPIRA > ?")
                             .arg(column),
                         {now, value, now})
        .numRowsAffected();
}

QList<SessionRecord> SessionStore::open(const QString& operatorCode, qint64 now) const {
    const QString where = QStringLiteral(" WHERE S.DHENCERRADA IS NULL AND S.DHEXPIRA > ?");
    const QString order = QStringLiteral(" ORDER BY S.DHINICIO, S.IDSESSAO");
    QSqlQuery q = operatorCode.isEmpty()
                      ? accessdb::run(m_db, kSelect + where + order, {now})
                      : accessdb::run(m_db, kSelect + where + QStringLiteral(" AND S.CDOPERADOR = ?") + order,
                                      {now, operatorCode});
    QList<SessionRecord> out;
    while (q.next())
        out.append(recordOf(q));
    return out;
}

} // namespace zavserver
