#include "access/loginthrottle.h"
#include "access/accessquery.h"

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

void LoginThrottle::clear(const QString& key) {
    accessdb::run(m_db, QStringLiteral("DELETE FROM FALHALOGIN WHERE DSCHAVE = ?"), {key});
}

} // namespace zavserver
