#include "authority/authoritypause.h"

#include "vocabulary.h"

#include "database.h"
#include "statement.h"
#include "transaction.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

namespace zavserver {

namespace {

const char* const kCurrentSql =
    "SELECT DHATE, CDSTATUS, DSSTATUS FROM SEFAZPAUSA WHERE DSAUTORIDADE = ? AND DHATE > ?";
// Both databases take the upsert; the WHERE keeps a longer pause in force.
const char* const kRecordSql = R"(INSERT INTO SEFAZPAUSA (DSAUTORIDADE, DHATE, CDSTATUS, DSSTATUS, DHREGISTRO)
VALUES (?, ?, ?, ?, ?)
ON CONFLICT (DSAUTORIDADE) DO UPDATE SET DHATE = excluded.DHATE, CDSTATUS = excluded.CDSTATUS,
    DSSTATUS = excluded.DSSTATUS, DHREGISTRO = excluded.DHREGISTRO
WHERE SEFAZPAUSA.DHATE < excluded.DHATE)";

} // namespace

int AuthorityPause::minutesFor(int status) {
    switch (status) {
    case zavnfe::ExcessiveUse:
        return kConsumptionMinutes;
    case zavnfe::ServicePausedShortly:
        return kPausedMinutes;
    case zavnfe::ServicePausedIndefinitely:
        return kStoppedMinutes;
    default:
        return 0;
    }
}

QString AuthorityPause::nameOf(const QUrl& eventUrl) {
    return QStringLiteral("%1:%2").arg(eventUrl.host()).arg(eventUrl.port(443)).left(255);
}

std::optional<AuthorityPause::Pause> AuthorityPause::current(const QString& authority, qint64 now) {
    QSqlQuery q = zavdb::runOrThrow(m_db, kCurrentSql, {authority, now}, "Erro ao ler as pausas da SEFAZ");
    if (!q.next())
        return std::nullopt;
    return Pause{q.value(0).toLongLong(), q.value(1).toInt(), q.value(2).toString()};
}

void AuthorityPause::record(const QString& authority, int status, const QString& statusText, qint64 now) {
    const int minutes = minutesFor(status);
    if (minutes <= 0)
        return;
    zavdb::Transaction transaction(m_db, zavdb::Transaction::Start::Later);
    if (transaction.begin() != zavdb::Transaction::Begin::Started)
        throw zavdb::DatabaseError(QStringLiteral("Erro ao gravar a pausa da SEFAZ: banco ocupado."));
    zavdb::runOrThrow(
        m_db, kRecordSql,
        {authority, now + qint64(minutes) * 60, QString::number(status).left(3), statusText.left(255), now},
        "Erro ao gravar a pausa da SEFAZ");
    transaction.commit();
}

QString AuthorityPause::notSent(const Pause& pause, int utcOffsetSeconds) {
    const QString until = QDateTime::fromSecsSinceEpoch(pause.until, Qt::UTC)
                              .toOffsetFromUtc(utcOffsetSeconds)
                              .toString(QStringLiteral("HH:mm"));
    return QStringLiteral("SEFAZ em pausa até %1 (%2 - %3): nota fiscal não enviada.")
        .arg(until, QString::number(pause.status), pause.statusText);
}

} // namespace zavserver
