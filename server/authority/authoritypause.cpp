#include "authority/authoritypause.h"

#include "database.h"
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

[[noreturn]] void fail(const char* what, const QSqlQuery& query) {
    throw zavdb::DatabaseError(
        QStringLiteral("%1: %2").arg(QLatin1StringView(what), query.lastError().text().trimmed()));
}

} // namespace

int AuthorityPause::minutesFor(int status) {
    switch (status) {
    case 656:
        return kConsumptionMinutes;
    case 108:
        return kPausedMinutes;
    case 109:
        return kStoppedMinutes;
    default:
        return 0;
    }
}

QString AuthorityPause::nameOf(const QUrl& eventUrl) {
    return QStringLiteral("%1:%2").arg(eventUrl.host()).arg(eventUrl.port(443)).left(255);
}

std::optional<AuthorityPause::Pause> AuthorityPause::current(const QString& authority, qint64 now) {
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromLatin1(kCurrentSql)))
        fail("Erro ao preparar a leitura das pausas da SEFAZ", q);
    q.addBindValue(authority);
    q.addBindValue(now);
    if (!q.exec())
        fail("Erro ao ler as pausas da SEFAZ", q);
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
    QSqlQuery q(m_db);
    if (!q.prepare(QString::fromLatin1(kRecordSql)))
        fail("Erro ao preparar a gravação da pausa da SEFAZ", q);
    q.addBindValue(authority);
    q.addBindValue(now + qint64(minutes) * 60);
    q.addBindValue(QString::number(status).left(3));
    q.addBindValue(statusText.left(255));
    q.addBindValue(now);
    if (!q.exec())
        fail("Erro ao gravar a pausa da SEFAZ", q);
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
