#include "cancellation/eventjournal.h"

#include "authority/eventtransmission.h"

#include <QSqlError>
#include <QVariant>

#include <algorithm>

namespace zavserver {

namespace {

const char* const kReadSql =
    "SELECT IDSITUACAO, NRACESSONFE, CDOPERADOR, DSMOTIVOCANC, IDTPAMBIENTENFE, SGESTADO, NRSERIECERTIFIC, "
    "NRLOTE, DHCRIACAO, DHENVIO, NRTENTATIVAS, XMLENVIO, IDSESSAO, DSENDERECO, CDSTATUS, DSSTATUS, "
    "NRCONSULTAS, DHCONSULTA FROM NFEEVENTO "
    "WHERE NRLANCTONF = :P_NRLANCTONF AND TPEVENTO = :P_TPEVENTO AND NRSEQEVENTO = :P_NRSEQEVENTO";
const char* const kDeleteSql =
    "DELETE FROM NFEEVENTO WHERE NRLANCTONF = :P_NRLANCTONF AND TPEVENTO = :P_TPEVENTO "
    "AND NRSEQEVENTO = :P_NRSEQEVENTO AND IDSITUACAO = 'J'";
const char* const kInsertSql = R"(INSERT INTO NFEEVENTO
    (NRLANCTONF, TPEVENTO, NRSEQEVENTO, NRACESSONFE, IDSITUACAO, CDOPERADOR, IDSESSAO, DSENDERECO, DSMOTIVOCANC,
     IDTPAMBIENTENFE, SGESTADO, NRSERIECERTIFIC, NRLOTE, DHCRIACAO, NRTENTATIVAS, XMLENVIO)
VALUES (:P_NRLANCTONF, :P_TPEVENTO, :P_NRSEQEVENTO, :P_NRACESSONFE, 'P', :P_CDOPERADOR, :P_IDSESSAO, :P_DSENDERECO,
        :P_DSMOTIVOCANC, :P_IDTPAMBIENTENFE, :P_SGESTADO, :P_NRSERIECERTIFIC, :P_NRLOTE, :P_DHCRIACAO, 0,
        :P_XMLENVIO))";
const char* const kSentSql = "UPDATE NFEEVENTO SET DHENVIO = :P_DHENVIO, NRLOTE = :P_NRLOTE, "
                             "NRTENTATIVAS = NRTENTATIVAS + 1 "
                             "WHERE NRLANCTONF = :P_NRLANCTONF AND TPEVENTO = :P_TPEVENTO "
                             "AND NRSEQEVENTO = :P_NRSEQEVENTO AND IDSITUACAO = 'P'";
const char* const kRegisteredSql =
    "UPDATE NFEEVENTO SET IDSITUACAO = 'R', CDSTATUS = :P_CDSTATUS, DSSTATUS = :P_DSSTATUS, "
    "NRPROTOCOLO = :P_NRPROTOCOLO, XMLPROCEVENTO = :P_XMLPROCEVENTO "
    "WHERE NRLANCTONF = :P_NRLANCTONF AND TPEVENTO = :P_TPEVENTO AND NRSEQEVENTO = :P_NRSEQEVENTO "
    "AND IDSITUACAO = 'P'";
// The hour of queries starts again when the last one began over an hour ago.
const char* const kQueriedSql =
    "UPDATE NFEEVENTO SET "
    "NRCONSULTAS = CASE WHEN DHCONSULTA IS NULL OR DHCONSULTA <= :P_HORA THEN :P_N ELSE NRCONSULTAS + :P_N "
    "END, "
    "DHCONSULTA = CASE WHEN DHCONSULTA IS NULL OR DHCONSULTA <= :P_HORA THEN :P_AGORA ELSE DHCONSULTA END "
    "WHERE NRLANCTONF = :P_NRLANCTONF AND TPEVENTO = :P_TPEVENTO AND NRSEQEVENTO = :P_NRSEQEVENTO";
const char* const kRejectedSql =
    "UPDATE NFEEVENTO SET IDSITUACAO = 'J', CDSTATUS = :P_CDSTATUS, DSSTATUS = :P_DSSTATUS "
    "WHERE NRLANCTONF = :P_NRLANCTONF AND TPEVENTO = :P_TPEVENTO AND NRSEQEVENTO = :P_NRSEQEVENTO "
    "AND IDSITUACAO = 'P'";

[[noreturn]] void fail(const char* what, const QSqlQuery& query) {
    throw zavdb::DatabaseError(
        QStringLiteral("%1: %2").arg(QLatin1StringView(what), query.lastError().text().trimmed()));
}

QSqlQuery prepared(QSqlDatabase& db, const char* sql) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromLatin1(sql)))
        fail("Erro ao preparar o registro de eventos da NF-e", q);
    return q;
}

void bindKey(QSqlQuery& q, const QString& entry) {
    q.bindValue(QStringLiteral(":P_NRLANCTONF"), entry);
    q.bindValue(QStringLiteral(":P_TPEVENTO"), QString::fromLatin1(EventJournal::kEventType));
    q.bindValue(QStringLiteral(":P_NRSEQEVENTO"), EventJournal::kSequence);
}

void run(QSqlQuery& q, const char* what, bool oneRow) {
    if (!q.exec())
        fail(what, q);
    if (oneRow && q.numRowsAffected() != 1)
        throw zavdb::DatabaseError(
            QStringLiteral("%1: o evento pendente não foi encontrado.").arg(QLatin1StringView(what)));
}

// Status texts are the authority's; the column takes 255 characters.
QString statusText(const TransmissionResult& r) {
    return r.statusText.left(255);
}

} // namespace

EventJournal::EventJournal(QSqlDatabase& db)
    : m_read(prepared(db, kReadSql)), m_delete(prepared(db, kDeleteSql)), m_insert(prepared(db, kInsertSql)),
      m_sent(prepared(db, kSentSql)), m_registered(prepared(db, kRegisteredSql)),
      m_rejected(prepared(db, kRejectedSql)), m_queried(prepared(db, kQueriedSql)) {}

std::optional<JournalEntry> EventJournal::read(const QString& entry) {
    bindKey(m_read, entry);
    if (!m_read.exec())
        fail("Erro ao ler o evento da NF-e", m_read);
    if (!m_read.next()) {
        m_read.finish();
        return std::nullopt;
    }
    JournalEntry e;
    const QString state = m_read.value(0).toString();
    e.state = state == u"R"   ? JournalEntry::State::Registered
              : state == u"J" ? JournalEntry::State::Rejected
                              : JournalEntry::State::Pending;
    e.accessKey = m_read.value(1).toString();
    e.operatorCode = m_read.value(2).toString();
    e.reason = m_read.value(3).toString();
    e.environment = m_read.value(4).toString();
    e.stateAbbreviation = m_read.value(5).toString();
    e.certificate = m_read.value(6).toString();
    e.batchId = m_read.value(7).toString();
    e.createdAt = m_read.value(8).toString();
    e.sentAt = m_read.value(9).toString();
    e.attempts = m_read.value(10).toInt();
    e.signedBatch = m_read.value(11).toString().toUtf8();
    e.session = m_read.value(12).toString();
    e.address = m_read.value(13).toString();
    e.status = m_read.value(14).toInt();
    e.statusText = m_read.value(15).toString();
    e.queries = m_read.value(16).toInt();
    e.queriedSince = m_read.value(17).isNull() ? 0 : m_read.value(17).toLongLong();
    m_read.finish();
    return e;
}

void EventJournal::savePending(const QString& entry, const JournalEntry& e) {
    bindKey(m_delete, entry);
    run(m_delete, "Erro ao substituir o evento rejeitado da NF-e", false);
    bindKey(m_insert, entry);
    m_insert.bindValue(QStringLiteral(":P_NRACESSONFE"), e.accessKey);
    m_insert.bindValue(QStringLiteral(":P_CDOPERADOR"), e.operatorCode);
    m_insert.bindValue(QStringLiteral(":P_IDSESSAO"), e.session);
    m_insert.bindValue(QStringLiteral(":P_DSENDERECO"), e.address);
    m_insert.bindValue(QStringLiteral(":P_DSMOTIVOCANC"), e.reason);
    m_insert.bindValue(QStringLiteral(":P_IDTPAMBIENTENFE"), e.environment);
    m_insert.bindValue(QStringLiteral(":P_SGESTADO"), e.stateAbbreviation);
    m_insert.bindValue(QStringLiteral(":P_NRSERIECERTIFIC"), e.certificate);
    m_insert.bindValue(QStringLiteral(":P_NRLOTE"), e.batchId);
    m_insert.bindValue(QStringLiteral(":P_DHCRIACAO"), e.createdAt);
    m_insert.bindValue(QStringLiteral(":P_XMLENVIO"), QString::fromUtf8(e.signedBatch));
    run(m_insert, "Erro ao gravar o evento da NF-e antes do envio", true);
}

void EventJournal::markSent(const QString& entry, const QString& at, const QString& batchId) {
    bindKey(m_sent, entry);
    m_sent.bindValue(QStringLiteral(":P_DHENVIO"), at);
    m_sent.bindValue(QStringLiteral(":P_NRLOTE"), batchId);
    run(m_sent, "Erro ao registrar o envio do evento da NF-e", true);
}

void EventJournal::markRegistered(const QString& entry, const TransmissionResult& r) {
    bindKey(m_registered, entry);
    m_registered.bindValue(QStringLiteral(":P_CDSTATUS"), QString::number(r.status));
    m_registered.bindValue(QStringLiteral(":P_DSSTATUS"), statusText(r));
    m_registered.bindValue(QStringLiteral(":P_NRPROTOCOLO"), r.protocol.left(15));
    m_registered.bindValue(QStringLiteral(":P_XMLPROCEVENTO"), QString::fromUtf8(r.procEvento));
    run(m_registered, "Erro ao gravar o evento registrado da NF-e", true);
}

void EventJournal::countQueries(const QString& entry, int queries, qint64 now) {
    bindKey(m_queried, entry);
    m_queried.bindValue(QStringLiteral(":P_N"), queries);
    m_queried.bindValue(QStringLiteral(":P_HORA"), now - kQueryWindowSeconds);
    m_queried.bindValue(QStringLiteral(":P_AGORA"), now);
    run(m_queried, "Erro ao contar as consultas da NF-e", false);
}

int JournalEntry::queriesLeft(qint64 now) const {
    const int used = queriedSince > now - EventJournal::kQueryWindowSeconds ? queries : 0;
    return std::max(0, EventJournal::kQueriesPerHour - used);
}

void EventJournal::markRejected(const QString& entry, const TransmissionResult& r) {
    bindKey(m_rejected, entry);
    m_rejected.bindValue(QStringLiteral(":P_CDSTATUS"), QString::number(r.status).left(3));
    m_rejected.bindValue(QStringLiteral(":P_DSSTATUS"), statusText(r));
    run(m_rejected, "Erro ao gravar a rejeição do evento da NF-e", true);
}

} // namespace zavserver
