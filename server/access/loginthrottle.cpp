#include "access/loginthrottle.h"
#include "access/accessquery.h"

#include "database.h"

#include <QHash>
#include <QScopeGuard>
#include <QSqlError>

#include <algorithm>

namespace zavserver {

qint64 LoginThrottle::waitAfter(int failures) {
    if (failures <= kFreeFailures)
        return 0;
    const int doublings = std::min(failures - kFreeFailures, 20);
    return std::min(qint64{1} << doublings, kLongestWait);
}

qint64 LoginThrottle::wait(const QStringList& keys, qint64 now) const {
    qint64 longest = 0;
    for (const QString& key : keys) {
        QSqlQuery q = accessdb::run(
            m_db, QStringLiteral("SELECT NRFALHAS, DHULTIMA FROM FALHALOGIN WHERE DSCHAVE = ?"), {key});
        if (!q.next())
            continue;
        const qint64 last = q.value(1).toLongLong();
        if (now - last >= kForgetAfter)
            continue;
        longest = std::max(longest, last + waitAfter(q.value(0).toInt()) - now);
    }
    return longest;
}

void LoginThrottle::failed(const QStringList& keys, qint64 now) {
    // One statement a key, so that two servers counting the same key at once
    // both count (SQLite and PostgreSQL speak this upsert alike).
    for (const QString& key : keys)
        accessdb::run(
            m_db,
            QStringLiteral("INSERT INTO FALHALOGIN (DSCHAVE, NRFALHAS, DHULTIMA) VALUES (?, 1, ?) "
                           "ON CONFLICT (DSCHAVE) DO UPDATE SET "
                           "NRFALHAS = CASE WHEN EXCLUDED.DHULTIMA - FALHALOGIN.DHULTIMA >= ? THEN 1 "
                           "ELSE FALHALOGIN.NRFALHAS + 1 END, DHULTIMA = EXCLUDED.DHULTIMA"),
            {key, now, kForgetAfter});
}

LoginThrottle::Admission LoginThrottle::begin(const QString& operatorCode, const QString& address,
                                              qint64 now) {
    const QString byAddress = addressKey(address);
    const QString byPair = pairKey(operatorCode, address);
    const QString byOperator = operatorKey(operatorCode);
    // Locked in one order by every server, so that two attempts never wait
    // on each other's rows.
    QStringList keys{byAddress, byPair, byOperator};
    keys.sort();
    const bool postgres = zavdb::dialectOf(m_db) == zavdb::Dialect::PostgreSQL;
    if (!m_db.transaction())
        throw zavdb::DatabaseError(m_db.lastError().text());
    bool done = false;
    const auto rollback = qScopeGuard([&] {
        if (!done)
            m_db.rollback();
    });
    // The rows exist before they are locked (on SQLite the first write takes
    // the database's write lock, which stands for the rows' locks).
    for (const QString& key : keys)
        accessdb::run(m_db,
                      QStringLiteral("INSERT INTO FALHALOGIN (DSCHAVE, NRFALHAS, DHULTIMA) VALUES (?, 0, 0) "
                                     "ON CONFLICT (DSCHAVE) DO NOTHING"),
                      {key});
    Admission admission;
    QHash<QString, int> counted;
    for (const QString& key : keys) {
        QSqlQuery q =
            accessdb::run(m_db,
                          QStringLiteral("SELECT NRFALHAS, DHULTIMA FROM FALHALOGIN WHERE DSCHAVE = ?") +
                              (postgres ? QStringLiteral(" FOR UPDATE") : QString()),
                          {key});
        if (!q.next())
            throw zavdb::DatabaseError(QStringLiteral("contagem de falhas de entrada sumiu: %1").arg(key));
        const int failures = q.value(0).toInt();
        const qint64 last = q.value(1).toLongLong();
        const bool forgotten = now - last >= kForgetAfter;
        counted.insert(key, forgotten ? 1 : failures + 1);
        if (forgotten)
            continue;
        if (key == byOperator)
            admission.slowed = failures >= kOperatorFailuresPerHour;
        else
            admission.wait = std::max(admission.wait, last + waitAfter(failures) - now);
    }
    if (admission.wait > 0)
        return admission; // rolled back: a refused attempt counts nothing
    for (const QString& key : keys)
        accessdb::run(m_db,
                      QStringLiteral("UPDATE FALHALOGIN SET NRFALHAS = ?, DHULTIMA = ? WHERE DSCHAVE = ?"),
                      {counted.value(key), now, key});
    if (!m_db.commit())
        throw zavdb::DatabaseError(m_db.lastError().text());
    done = true;
    return admission;
}

void LoginThrottle::succeeded(const QString& operatorCode, const QString& address) {
    accessdb::run(m_db, QStringLiteral("DELETE FROM FALHALOGIN WHERE DSCHAVE IN (?, ?)"),
                  {addressKey(address), pairKey(operatorCode, address)});
    // The operator's hour counts failures: this attempt was none.
    accessdb::run(m_db,
                  QStringLiteral("UPDATE FALHALOGIN SET NRFALHAS = NRFALHAS - 1 WHERE DSCHAVE = ? AND "
                                 "NRFALHAS > 0"),
                  {operatorKey(operatorCode)});
}

void LoginThrottle::clear(const QString& key) {
    accessdb::run(m_db, QStringLiteral("DELETE FROM FALHALOGIN WHERE DSCHAVE = ?"), {key});
}

} // namespace zavserver
