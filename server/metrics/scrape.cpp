#include "metrics/scrape.h"

#include "authority/authoritydesk.h"
#include "authority/certificatewatch.h"
#include "log/incidents.h"
#include "metrics/metrics.h"
#include "store/threaddatabase.h"

#include "database.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>

namespace zavserver {

namespace {

const char* const kOpenSessionsSql =
    "SELECT COUNT(*) FROM SESSAOOPER WHERE DHENCERRADA IS NULL AND DHEXPIRA > :AGORA AND DHLIMITE > :AGORA";
const char* const kPausesSql = "SELECT DSAUTORIDADE, DHATE, CDSTATUS FROM SEFAZPAUSA";

// The database's gauges into g; false when it did not answer.
bool readDatabase(Metrics::Gauges& g) {
    QSqlQuery sessions(ThreadDatabase::get());
    if (!sessions.prepare(QString::fromLatin1(kOpenSessionsSql)))
        throw zavdb::DatabaseError(sessions.lastError().text());
    sessions.bindValue(QStringLiteral(":AGORA"), g.now);
    if (!sessions.exec() || !sessions.next())
        throw zavdb::DatabaseError(sessions.lastError().text());
    g.openSessions = sessions.value(0).toInt();
    QSqlQuery pauses(ThreadDatabase::get());
    if (!pauses.exec(QString::fromLatin1(kPausesSql)))
        throw zavdb::DatabaseError(pauses.lastError().text());
    while (pauses.next())
        g.pauses.append(Metrics::Pause{pauses.value(0).toString(), pauses.value(1).toLongLong(),
                                       pauses.value(2).toInt()});
    return true;
}

} // namespace

QByteArray scrapeMetrics(CertificateWatch* certificates) {
    Metrics::Gauges g;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    g.now = now.toSecsSinceEpoch();
    try {
        ThreadDatabase::readWithRetry([&g] { return readDatabase(g); });
    } catch (const std::exception& error) {
        ThreadDatabase::discard();
        Incidents::record(
            QStringLiteral("métricas: o banco não respondeu: %1").arg(QString::fromUtf8(error.what())));
        g.databaseUp = false;
        g.openSessions = -1;
        g.pauses.clear();
    }
    for (const AuthorityDesk::State& s : AuthorityDesk::states())
        g.desks.append(Metrics::Desk{s.authority, s.inFlight, s.breakerOpen});
    if (certificates)
        for (const zavnfe::CertificateEntry& e : certificates->entries(nullptr, now)) {
            if (e.serial.isEmpty()) {
                ++g.unreadableCertificates;
                continue;
            }
            g.certificates.append(
                Metrics::Certificate{e.file, e.serial, double(now.secsTo(e.notAfter)) / 86400.0});
        }
    // A token's certificates by the token they are on.
    if (certificates)
        for (const CertificateWatch::Token& t : certificates->tokens(now)) {
            if (!t.entry.error.isEmpty())
                ++g.unavailableTokens;
            for (const zavnfe::CertificateEntry& e : t.entry.certificates)
                g.certificates.append(
                    Metrics::Certificate{e.file, e.serial, double(now.secsTo(e.notAfter)) / 86400.0});
        }
    return Metrics::render(g);
}

} // namespace zavserver
