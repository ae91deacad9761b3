#include "cancellation/invoicecanceller.h"
#include "accesskey.h"
#include "log/incidents.h"
#include "statement.h"
#include "transaction.h"

#include "access/operatorstore.h"
#include "authority/authoritypause.h"
#include "authoritymessages.h"
#include "cancellation/cancellationreason.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"
#include "reasonrule.h"
#include "states.h"

#include <QScopeGuard>
#include <QSqlError>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <mutex>

namespace zavserver {

namespace {

// The invoice with its registration and the blocks that live outside its row,
// read in the transaction that will change it. %1 is the invoice's day, %2
// to %5 the days of the periods' bounds (zavdb::dayOf), %6 the lock.
const char* const kInvoiceSql = R"(SELECT NF.CDFILIAL, NF.CDEMPRESA, NF.IDSITUACAONFE, NF.CDOPERBLOQ,
       NF.NRACESSONFE, NF.NRPROTOCOLONFE, NF.DHAUTORIZACAO, I.CDINSCESTA, I.NRSERIECERTIFIC, I.IDTPAMBIENTENFE, I.SGESTADO,
       CASE WHEN EXISTS (SELECT 1 FROM PERIODOCONTABIL P
                         WHERE P.CDEMPRESA = NF.CDEMPRESA AND P.CDFILIAL = NF.CDFILIAL AND P.IDSITUACAO = 'F'
                           AND %2 <= %1 AND %3 >= %1) THEN 1 ELSE 0 END,
       CASE WHEN EXISTS (SELECT 1 FROM MAPAAPURACAO M
                         WHERE M.CDEMPRESA = NF.CDEMPRESA AND M.CDINSCESTA = NF.CDINSCESTA
                           AND %4 <= %1 AND %5 >= %1) THEN 1 ELSE 0 END,
       CASE WHEN EXISTS (SELECT 1 FROM CANCELAMENTONFE C WHERE C.NRLANCTONF = NF.NRLANCTONF) THEN 1 ELSE 0 END
FROM NOTAFISCAL NF
LEFT JOIN INSCRESTAD I ON I.CDEMPRESA = NF.CDEMPRESA AND I.CDINSCESTA = NF.CDINSCESTA
WHERE NF.NRLANCTONF = :P_NRLANCTONF
%6)";
const char* const kLockPostgres = "FOR UPDATE OF NF NOWAIT";

const char* const kReceivablesSql =
    "SELECT IDSITUACAOTIT FROM TITULORECEBER WHERE NRLANCTONF = :P_NRLANCTONF %1";
const char* const kLockReceivablesPostgres = "FOR UPDATE NOWAIT";

const char* const kCancelInvoiceSql =
    "UPDATE NOTAFISCAL SET IDSITUACAONFE = 'C', CDOPERBLOQ = NULL, DHBLOQUEIO = NULL "
    "WHERE NRLANCTONF = :P_NRLANCTONF AND IDSITUACAONFE = 'A'";
// Open instalments go with their invoice; the others block it (checked before).
const char* const kCancelReceivablesSql =
    "UPDATE TITULORECEBER SET IDSITUACAOTIT = 'C' WHERE NRLANCTONF = :P_NRLANCTONF AND IDSITUACAOTIT = 'A'";
const char* const kRecordSql = R"(INSERT INTO CANCELAMENTONFE
    (NRLANCTONF, CDOPERADOR, IDSESSAO, DSENDERECO, DTPROCESSAMENTO, DSMOTIVOCANC, IDTPAMBIENTENFE, SGESTADO,
     NRSERIECERTIFIC, DHCANCELAMENTO, CDSTATUSEVENTO, DSSTATUSEVENTO, NRPROTOCOLOCANC, DHREGEVENTO, VERAPLIC)
VALUES (:P_NRLANCTONF, :P_CDOPERADOR, :P_IDSESSAO, :P_DSENDERECO, :P_DTPROCESSAMENTO, :P_DSMOTIVOCANC,
        :P_IDTPAMBIENTENFE, :P_SGESTADO, :P_NRSERIECERTIFIC, :P_DHCANCELAMENTO, :P_CDSTATUSEVENTO,
        :P_DSSTATUSEVENTO, :P_NRPROTOCOLOCANC, :P_DHREGEVENTO, :P_VERAPLIC))";

// A late cancellation the state approved for the invoice, until when.
const char* const kLateApprovalSql = "SELECT DHLIMITE FROM CANCEXTEMPNFE WHERE NRLANCTONF = ?";

const char* const kBusyTimeoutSql = "PRAGMA busy_timeout";
const char* const kSetBusyTimeoutSql = "PRAGMA busy_timeout = %1"; // a number of the code's, never input

const QString kEntry = QStringLiteral(":P_NRLANCTONF");

enum Column {
    cBranch,
    cCompany,
    cState,
    cHolder,
    cAccessKey,
    cProtocol,
    cAuthorisedAt,
    cRegistration,
    cCertificate,
    cEnvironment,
    cRegistrationState,
    cClosedPeriod,
    cApportioned,
    cRecorded,
};

// The receivable states that block a cancellation, with their keys, in the
// order of precedence when an invoice's instalments are in several.
struct ReceivableBlock {
    char state;
    const char* key;
};
constexpr ReceivableBlock kReceivableBlocks[] = {
    {'B', "MS03"}, {'P', "MS04"}, {'R', "MS05"}, {'J', "MS06"},
    {'E', "MS07"}, {'N', "MS08"}, {'S', "MS09"}, {'D', "MS10"},
};

bool lockNotAvailable(const QSqlError& error) {
    return error.nativeErrorCode() == u"55P03";
}

// A second row for one key: the record's primary key.
bool duplicateKey(const QSqlError& error, zavdb::Dialect dialect) {
    if (dialect == zavdb::Dialect::PostgreSQL)
        return error.nativeErrorCode() == u"23505";
    const int code = error.nativeErrorCode().toInt();
    return code == 1555 || code == 2067; // SQLITE_CONSTRAINT_PRIMARYKEY, _UNIQUE
}

QString text(const QSqlQuery& q, int column) {
    return q.value(column).toString().trimmed();
}

QString invoiceSql(zavdb::Dialect dialect) {
    const bool postgres = dialect == zavdb::Dialect::PostgreSQL;
    return QString::fromLatin1(kInvoiceSql)
        .arg(zavdb::dayOf(dialect, u"NF.DTEMISSAO"), zavdb::dayOf(dialect, u"P.DTINICIO"),
             zavdb::dayOf(dialect, u"P.DTFIM"), zavdb::dayOf(dialect, u"M.DTINICIO"),
             zavdb::dayOf(dialect, u"M.DTFIM"), QLatin1StringView(postgres ? kLockPostgres : ""));
}

QString receivablesSql(zavdb::Dialect dialect) {
    return QString::fromLatin1(kReceivablesSql)
        .arg(QLatin1StringView(dialect == zavdb::Dialect::PostgreSQL ? kLockReceivablesPostgres : ""));
}

} // namespace

struct InvoiceCanceller::Stored {
    QString branch, company, state, holder, accessKey, protocol, authorisedAt;
    QString registration, certificate, environment, registrationState;
    bool closedPeriod = false, apportioned = false, recorded = false;
};

InvoiceCanceller::InvoiceCanceller(QSqlDatabase& db, CancellationContext context, const NfeSettings& settings,
                                   CallAuthority* authority)
    : m_db(db), m_dialect(zavdb::dialectOf(db)), m_context(std::move(context)), m_settings(settings),
      m_invoice(
          zavdb::prepareOrThrow(db, invoiceSql(m_dialect), "Erro ao preparar a leitura da nota fiscal")),
      m_receivables(zavdb::prepareOrThrow(db, receivablesSql(m_dialect),
                                          "Erro ao preparar a leitura dos títulos a receber")),
      m_cancelInvoice(zavdb::prepareOrThrow(db, QString::fromLatin1(kCancelInvoiceSql),
                                            "Erro ao preparar o cancelamento da nota fiscal")),
      m_cancelReceivables(zavdb::prepareOrThrow(db, QString::fromLatin1(kCancelReceivablesSql),
                                                "Erro ao preparar o cancelamento dos títulos a receber")),
      m_record(zavdb::prepareOrThrow(db, QString::fromLatin1(kRecordSql),
                                     "Erro ao preparar o registro do cancelamento")),
      m_journal(db),
      m_ownAuthority(authority ? nullptr : std::make_unique<CallAuthority>(m_context, m_settings)),
      m_authority(authority ? authority : m_ownAuthority.get()) {
    if (m_dialect == zavdb::Dialect::SQLite) {
        QSqlQuery q(m_db);
        if (!q.exec(QLatin1StringView(kBusyTimeoutSql)) || !q.next())
            zavdb::throwStatementError("Erro ao ler a espera por bloqueio do banco", q.lastError());
        const int previous = q.value(0).toInt();
        q.finish();
        if (!q.exec(QString::fromLatin1(kSetBusyTimeoutSql).arg(kSqliteBusyTimeoutMs)))
            zavdb::throwStatementError("Erro ao ajustar a espera por bloqueio do banco", q.lastError());
        m_previousBusyTimeout = previous;
    }
}

namespace {
std::mutex g_claimsMutex;
std::set<QString>& claims();
} // namespace

InvoiceCanceller::~InvoiceCanceller() {
    {
        std::lock_guard lock(g_claimsMutex);
        for (const QString& entry : m_claims)
            claims().erase(entry);
    }
    // The connection serves the thread's next calls with its own setting.
    if (m_previousBusyTimeout >= 0 && m_db.isOpen()) {
        QSqlQuery q(m_db);
        q.exec(QString::fromLatin1(kSetBusyTimeoutSql).arg(m_previousBusyTimeout));
    }
}

// False when another transaction holds the row (PostgreSQL); an invoice that
// does not exist leaves stored.state empty.
bool InvoiceCanceller::readInvoice(const QString& entry, Stored& s) {
    m_invoice.bindValue(kEntry, entry);
    if (!m_invoice.exec()) {
        if (lockNotAvailable(m_invoice.lastError()))
            return false;
        zavdb::throwStatementError("Erro ao ler a nota fiscal", m_invoice.lastError());
    }
    if (m_invoice.next()) {
        s.branch = text(m_invoice, cBranch);
        s.company = text(m_invoice, cCompany);
        s.state = text(m_invoice, cState);
        s.holder = text(m_invoice, cHolder);
        s.accessKey = text(m_invoice, cAccessKey);
        s.protocol = text(m_invoice, cProtocol);
        s.authorisedAt = text(m_invoice, cAuthorisedAt);
        s.registration = text(m_invoice, cRegistration);
        s.certificate = text(m_invoice, cCertificate);
        s.environment = text(m_invoice, cEnvironment);
        s.registrationState = text(m_invoice, cRegistrationState);
        s.closedPeriod = m_invoice.value(cClosedPeriod).toInt() != 0;
        s.apportioned = m_invoice.value(cApportioned).toInt() != 0;
        s.recorded = m_invoice.value(cRecorded).toInt() != 0;
    }
    // SQLite commits nothing while a statement is still open.
    m_invoice.finish();
    return true;
}

std::optional<CancellationOutcome> InvoiceCanceller::check(const TickedInvoice& invoice, const Stored& s,
                                                           QString* reason) {
    using O = CancellationOutcome;
    if (s.state.isEmpty())
        return O::byText(QStringLiteral("Nota fiscal não encontrada."));
    if (s.branch != invoice.branch || s.company != invoice.company)
        return O::byText(QStringLiteral("Nota fiscal não pertence à filial/empresa informada."));
    if (QString refused = OperatorStore(m_db).screenRefusal(m_context.operatorCode, s.branch, s.company);
        !refused.isEmpty())
        return O::byText(refused);
    if (s.state == u"C")
        return O::byText(QStringLiteral("Nota fiscal já cancelada."));
    if (s.state == u"D")
        return O::byText(QStringLiteral("Nota fiscal denegada não pode ser cancelada."));
    if (s.state != u"A")
        return O::byText(QStringLiteral("Nota fiscal não está autorizada."));
    if (!s.holder.isEmpty() && s.holder != m_context.operatorCode)
        return O::byKey("MS01");
    if (auto refused = CancellationReason::check(invoice.reason, reason))
        return refused;
    if (s.registration.isEmpty() || s.certificate.isEmpty())
        return O::byKey("Certi_Deve");
    if (s.certificate.compare(m_context.certificate, Qt::CaseInsensitive) != 0)
        return O::byText(QStringLiteral("Certificado não pertence à inscrição estadual da nota fiscal."));
    if (s.environment != m_context.environment)
        return O::byText(
            QStringLiteral("Ambiente da NF-e diverge do cadastrado na inscrição estadual da nota fiscal."));
    if (s.registrationState != m_context.state)
        return O::byText(
            QStringLiteral("Estado diverge do cadastrado na inscrição estadual da nota fiscal."));
    if (s.closedPeriod)
        return O::byKey("MS02");
    if (s.apportioned)
        return O::byKey("MapaApurado");
    return std::nullopt;
}

std::optional<CancellationOutcome> InvoiceCanceller::receivablesBlock(const QString& entry) {
    m_receivables.bindValue(kEntry, entry);
    if (!m_receivables.exec()) {
        if (lockNotAvailable(m_receivables.lastError()))
            return CancellationOutcome::byKey("MS01");
        zavdb::throwStatementError("Erro ao ler os títulos a receber da nota fiscal",
                                   m_receivables.lastError());
    }
    std::size_t first = std::size(kReceivableBlocks);
    while (m_receivables.next()) {
        const QString state = text(m_receivables, 0);
        for (std::size_t i = 0; i < first; ++i)
            if (state.size() == 1 && state.at(0) == QLatin1Char(kReceivableBlocks[i].state))
                first = i;
    }
    m_receivables.finish();
    if (first < std::size(kReceivableBlocks))
        return CancellationOutcome::byKey(kReceivableBlocks[first].key);
    return std::nullopt;
}

namespace {

// DSERRO holds 100 characters; the failure texts below are written to fit
// with the causes they carry, and cut there when a cause is longer.

// An event without an answer: the cause, whole when it fits; otherwise its
// start and the incident under which the log keeps it whole (a TLS failure
// says what to do about it at length).
QString pending(const QString& cause) {
    QString text =
        QStringLiteral("Pedido pendente: sem resposta da SEFAZ (%1). Confirme de novo.").arg(cause);
    if (text.size() <= kFailureText)
        return text;
    const QString where = QStringLiteral(" (ocorrência %1)")
                              .arg(Incidents::record(QStringLiteral("SEFAZ sem resposta: %1").arg(cause)));
    return fitFailure(QStringLiteral("Pedido pendente: %1").arg(cause), kFailureText - where.size()) + where;
}

QDateTime nowAt(const QString& stateAbbreviation) {
    const zavfiscal::State* state = zavfiscal::stateByAbbreviation(stateAbbreviation);
    return QDateTime::currentDateTimeUtc().toOffsetFromUtc(state ? state->utcOffsetSeconds : 0);
}

} // namespace

QString InvoiceCanceller::nextBatchId() {
    static std::atomic<unsigned> counter{0};
    const qint64 ms = QDateTime::currentMSecsSinceEpoch() % 10000000000000LL;
    return QStringLiteral("%1%2")
        .arg(ms, 13, 10, QLatin1Char('0'))
        .arg(counter++ % 100, 2, 10, QLatin1Char('0'));
}

namespace {

// What the authority did not say is recorded empty, never null.
QString notNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

// The NF-e was found cancelled at the authority, not by our event: cancelled
// here too, and the operator is told.
CancellationOutcome cancelledElsewhere(const TransmissionResult& r) {
    CancellationOutcome outcome = CancellationOutcome::done();
    outcome.text = fitFailure(
        r.protocol.isEmpty()
            ? QStringLiteral("NF-e já cancelada na SEFAZ (%1): cancelada também aqui.").arg(r.statusLine())
            : QStringLiteral("NF-e já cancelada na SEFAZ (protocolo %1): cancelada também aqui.")
                  .arg(r.protocol));
    return outcome;
}

// The reason the authority holds: ours, or the one of the cancellation it
// shows when the NF-e was cancelled by another event.
QString recordedReason(const QString& ours, const TransmissionResult& r) {
    return r.reason.isEmpty() ? ours : r.reason.left(255);
}

// Cancelled by an event signed before with another reason than the one this
// confirm sent: the operator is told which one the authority holds.
CancellationOutcome cancelledWithEarlierReason(const QString& reason) {
    CancellationOutcome outcome = CancellationOutcome::done();
    outcome.text = fitFailure(
        QStringLiteral("Cancelada com a justificativa enviada antes: \u201c%1\u201d.").arg(reason));
    return outcome;
}

// Registered at the authority but not yet written here: the event stays
// pending, and the next attempt finds it registered and finishes the work.
QString notRecorded(const TransmissionResult& r, const QString& why) {
    return fitFailure(
        QStringLiteral(
            "Cancelamento registrado na SEFAZ (protocolo %1), mas não gravado: %2. Confirme de novo.")
            .arg(r.protocol, why));
}

} // namespace

std::optional<CancellationOutcome> InvoiceCanceller::outOfTerm(const QString& entry, const Stored& s) {
    const QDateTime authorised = QDateTime::fromString(s.authorisedAt, Qt::ISODate);
    if (!authorised.isValid())
        return CancellationOutcome::byText(
            fitFailure(QStringLiteral("Data de autorização da NF-e ilegível: \"%1\".").arg(s.authorisedAt)));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // Counted from the authorisation, as the states count them.
    if (authorised.secsTo(now) <= qint64(endpoints().lastHour()) * 3600)
        return std::nullopt;
    if (lateApproved(entry, now))
        return std::nullopt;
    const QString at = authorised.toString(QStringLiteral("dd/MM/yyyy HH:mm"));
    if (endpoints().lateHours > endpoints().ordinaryHours)
        return CancellationOutcome::byText(fitFailure(
            QStringLiteral("Prazo de cancelamento esgotado: NF-e autorizada em %1 (prazos de %2 h e %3 h).")
                .arg(at)
                .arg(endpoints().ordinaryHours)
                .arg(endpoints().lateHours)));
    return CancellationOutcome::byText(fitFailure(
        QStringLiteral("Prazo de cancelamento esgotado: NF-e autorizada em %1 (prazo de %2 horas).")
            .arg(at)
            .arg(endpoints().ordinaryHours)));
}

bool InvoiceCanceller::lateApproved(const QString& entry, const QDateTime& now) {
    QSqlQuery q = zavdb::runOrThrow(m_db, kLateApprovalSql, {entry},
                                    "Erro ao ler a autorização de cancelamento extemporâneo");
    return q.next() && now.toSecsSinceEpoch() <= q.value(0).toLongLong();
}

std::optional<CancellationOutcome> InvoiceCanceller::sign(const Stored& s, const QString& reason,
                                                          Attempt& a) {
    const zavfiscal::State* state = zavfiscal::stateByCode(zavfiscal::accessKeyStateCode(s.accessKey));
    zavnfe::CancellationData data;
    data.accessKey = s.accessKey;
    data.issuerCnpj = zavfiscal::accessKeyIssuerCnpj(s.accessKey); // the issuer is part of the key
    data.authorisationProtocol = s.protocol;
    data.environment = m_context.environment.toInt();
    data.reason = reason;
    data.at = QDateTime::currentDateTimeUtc();
    data.stateUtcOffsetSeconds = state ? state->utcOffsetSeconds : 0;
    QString error;
    const std::optional<zavnfe::CancellationEvent> event = zavnfe::CancellationEvent::create(data, &error);
    if (!event)
        return CancellationOutcome::byText(fitFailure(error));
    a.signedBatch = m_authority->signer().signEvents(nextBatchId(), {*event}, &error);
    if (a.signedBatch.isEmpty()) {
        a.signatureFailed = true;
        return CancellationOutcome::byText(fitFailure(error), "fa_assinar");
    }
    // What the authority would refuse whole is neither journalled nor sent.
    if (const QString problem = zavnfe::CancellationBatch::problemBeforeSending(a.signedBatch);
        !problem.isEmpty()) {
        a.signedBatch.clear();
        return CancellationOutcome::byText(fitFailure(problem), "fa_assinar");
    }
    a.reason = event->data().reason;
    return std::nullopt;
}

std::optional<CancellationOutcome> InvoiceCanceller::readAndCheck(const TickedInvoice& invoice,
                                                                  Stored& stored, QString* reason) {
    if (!readInvoice(invoice.entry, stored))
        return CancellationOutcome::byKey("MS01");
    if (auto refused = check(invoice, stored, reason))
        return refused;
    if (auto blocked = receivablesBlock(invoice.entry))
        return blocked;
    // An authorised invoice with a record is inconsistent data: never a second
    // record, and the authority is not asked again.
    if (stored.recorded)
        return CancellationOutcome::byText(QStringLiteral("Nota fiscal já tem registro de cancelamento."));
    return m_authority->resolve();
}

std::optional<CancellationOutcome> InvoiceCanceller::resumePending(const JournalEntry& earlier,
                                                                   const Stored& stored, const QDateTime& now,
                                                                   Attempt& attempt) {
    const QDateTime sent =
        QDateTime::fromString(earlier.sentAt.isEmpty() ? earlier.createdAt : earlier.sentAt, Qt::ISODate);
    if (earlier.session != m_context.session && sent.isValid() && sent.secsTo(now) < kInFlightSeconds)
        return CancellationOutcome::awaiting(
            fitFailure(QStringLiteral("Cancelamento pendente: enviado à SEFAZ por %1 em %2; confirme de novo "
                                      "após %3.")
                           .arg(earlier.operatorCode, sent.toString(QStringLiteral("dd/MM/yyyy HH:mm")),
                                sent.addSecs(kInFlightSeconds).toString(QStringLiteral("HH:mm")))),
            "MS01");
    if (earlier.accessKey != stored.accessKey)
        throw zavdb::DatabaseError(
            QStringLiteral("O evento pendente da nota fiscal %1 é de outra chave de acesso.")
                .arg(attempt.entry));
    // Asked about first: the authorities block a client that asks too often.
    attempt.queriesLeft = earlier.queriesLeft(now.toSecsSinceEpoch());
    if (attempt.queriesLeft <= 0)
        return CancellationOutcome::awaiting(
            fitFailure(
                QStringLiteral("Pedido pendente: a SEFAZ já foi consultada %1 vezes sobre esta NF-e na "
                               "última hora; confirme de novo após %2.")
                    .arg(EventJournal::kQueriesPerHour)
                    .arg(QDateTime::fromSecsSinceEpoch(
                             earlier.queriedSince + EventJournal::kQueryWindowSeconds, Qt::UTC)
                             .toOffsetFromUtc(now.offsetFromUtc())
                             .toString(QStringLiteral("HH:mm")))),
            "fa_transmi");
    // The event the authority may already hold, with its own reason.
    attempt.resume = true;
    attempt.reason = earlier.reason;
    attempt.signedBatch = earlier.signedBatch;
    return std::nullopt;
}

std::optional<CancellationOutcome> InvoiceCanceller::finalRejection(const JournalEntry& earlier,
                                                                    const Stored& stored,
                                                                    const QString& reason,
                                                                    const QString& environment) {
    // A pause or an unlisted failure of the authority says nothing of the event.
    if (earlier.status <= 0 || AuthorityPause::minutesFor(earlier.status) > 0 ||
        earlier.status == zavnfe::UncataloguedError)
        return std::nullopt;
    // The same event: the same reason, protocol, certificate and environment.
    const std::optional<zavnfe::SignedEventFields> event = zavnfe::readSignedEnvEvento(earlier.signedBatch);
    if (earlier.reason != zavfiscal::checkReason(reason).reason ||
        earlier.certificate != stored.certificate || earlier.environment != environment || !event ||
        event->protocol != stored.protocol)
        return std::nullopt;
    return CancellationOutcome::byText(
        fitFailure(QStringLiteral("Rejeitado pela SEFAZ: %1 - %2. Corrija antes de enviar de novo.")
                       .arg(QString::number(earlier.status), earlier.statusText)));
}

std::optional<CancellationOutcome> InvoiceCanceller::journalNewEvent(const Stored& stored,
                                                                     const QString& reason,
                                                                     const QDateTime& now, Attempt& attempt) {
    if (auto late = outOfTerm(attempt.entry, stored))
        return late;
    if (auto unsigned_ = sign(stored, reason, attempt))
        return unsigned_;
    const std::optional<zavnfe::SignedEventFields> signedEvent =
        zavnfe::readSignedEnvEvento(attempt.signedBatch);
    m_journal.savePending(attempt.entry, {.accessKey = stored.accessKey,
                                          .operatorCode = m_context.operatorCode,
                                          .session = m_context.session,
                                          .address = m_context.address,
                                          .reason = attempt.reason,
                                          .environment = m_context.environment,
                                          .stateAbbreviation = stored.registrationState,
                                          .certificate = stored.certificate,
                                          .batchId = signedEvent ? signedEvent->batchId : QString(),
                                          .createdAt = now.toString(Qt::ISODate),
                                          .signedBatch = attempt.signedBatch});
    attempt.queriesLeft = EventJournal::kQueriesPerHour;
    return std::nullopt;
}

namespace {

// The invoices a call of this server has between its step 1 and its step 3:
// another call of the server (under the same session, say) leaves them to it
// instead of sending their pending events again.
std::set<QString>& claims() {
    static std::set<QString> all;
    return all;
}

} // namespace

bool InvoiceCanceller::claim(const QString& entry) {
    std::lock_guard lock(g_claimsMutex);
    if (!claims().insert(entry).second)
        return false;
    m_claims.insert(entry);
    return true;
}

void InvoiceCanceller::unclaim(const QString& entry) {
    std::lock_guard lock(g_claimsMutex);
    if (m_claims.erase(entry) > 0)
        claims().erase(entry);
}

std::optional<CancellationOutcome> InvoiceCanceller::prepare(const TickedInvoice& invoice,
                                                             const QString& batchId, Attempt& a) {
    // Another call of this server has it on its way: held, as by another
    // operator's transaction.
    if (!claim(invoice.entry))
        return CancellationOutcome::byKey("MS01");
    bool sending = false;
    const auto keepClaim = qScopeGuard([&] {
        if (!sending)
            unclaim(invoice.entry);
    });
    zavdb::Transaction transaction(m_db, zavdb::Transaction::Start::Later);
    if (transaction.begin() == zavdb::Transaction::Begin::Busy)
        return CancellationOutcome::byKey("MS01");

    Stored stored;
    QString reason;
    if (auto refused = readAndCheck(invoice, stored, &reason))
        return refused;

    a.entry = invoice.entry;
    a.typed = reason;
    a.accessKey = stored.accessKey;
    a.certificate = stored.certificate;
    const QDateTime now = nowAt(stored.registrationState);
    const std::optional<JournalEntry> earlier = m_journal.read(invoice.entry);
    if (earlier && earlier->state == JournalEntry::State::Registered)
        return CancellationOutcome::byText(
            QStringLiteral("Evento de cancelamento já registrado, mas a nota fiscal segue autorizada."));
    const bool pending = earlier && earlier->state == JournalEntry::State::Pending;
    std::optional<CancellationOutcome> refused;
    if (pending)
        refused = resumePending(*earlier, stored, now, a);
    else if (earlier)
        refused = finalRejection(*earlier, stored, reason, m_context.environment);
    if (!pending && !refused)
        refused = journalNewEvent(stored, reason, now, a);
    if (refused)
        return refused;
    m_journal.markSent(invoice.entry, now.toString(Qt::ISODate), batchId);
    transaction.commit();
    sending = true;
    return std::nullopt;
}

void InvoiceCanceller::write(const QString& entry, const Attempt& a, const TransmissionResult& r) {
    m_cancelInvoice.bindValue(kEntry, entry);
    zavdb::execOrThrow(m_cancelInvoice, "Erro ao cancelar a nota fiscal");
    if (m_cancelInvoice.numRowsAffected() != 1)
        throw zavdb::DatabaseError(
            QStringLiteral("A nota fiscal %1 mudou durante o cancelamento.").arg(entry));
    m_cancelReceivables.bindValue(kEntry, entry);
    zavdb::execOrThrow(m_cancelReceivables, "Erro ao cancelar os títulos a receber da nota fiscal");

    m_record.bindValue(kEntry, entry);
    m_record.bindValue(QStringLiteral(":P_CDOPERADOR"), m_context.operatorCode);
    m_record.bindValue(QStringLiteral(":P_IDSESSAO"), m_context.session);
    m_record.bindValue(QStringLiteral(":P_DSENDERECO"), m_context.address);
    m_record.bindValue(QStringLiteral(":P_DTPROCESSAMENTO"), m_context.processingDate);
    m_record.bindValue(QStringLiteral(":P_DSMOTIVOCANC"), recordedReason(a.reason, r));
    m_record.bindValue(QStringLiteral(":P_IDTPAMBIENTENFE"), m_context.environment);
    m_record.bindValue(QStringLiteral(":P_SGESTADO"), m_context.state);
    m_record.bindValue(QStringLiteral(":P_NRSERIECERTIFIC"), a.certificate);
    m_record.bindValue(QStringLiteral(":P_DHCANCELAMENTO"), nowAt(m_context.state).toString(Qt::ISODate));
    m_record.bindValue(QStringLiteral(":P_CDSTATUSEVENTO"), QString::number(r.status));
    m_record.bindValue(QStringLiteral(":P_DSSTATUSEVENTO"), notNull(r.statusText.left(255)));
    m_record.bindValue(QStringLiteral(":P_NRPROTOCOLOCANC"), notNull(r.protocol.left(15)));
    m_record.bindValue(QStringLiteral(":P_DHREGEVENTO"), notNull(r.registeredAt.left(25)));
    m_record.bindValue(QStringLiteral(":P_VERAPLIC"), notNull(r.application.left(20)));
    zavdb::execOrThrow(m_record, "Erro ao registrar o cancelamento");
    // Our event is rejected when the authority shows no cancellation to keep
    // in its place.
    if (r.procEvento.isEmpty())
        m_journal.markRejected(entry, r);
    else
        m_journal.markRegistered(entry, r);
}

CancellationOutcome InvoiceCanceller::conclude(const Attempt& a, const TransmissionResult& r) {
    using Kind = TransmissionResult::Kind;
    const auto given = qScopeGuard([&] { unclaim(a.entry); });
    if (r.queries > 0)
        m_journal.countQueries(a.entry, r.queries, QDateTime::currentSecsSinceEpoch());
    if (r.kind == Kind::Unanswered)
        return CancellationOutcome::awaiting(pending(r.failure), "fa_transmi");

    // The authority has spoken: its answer is written even when it takes a
    // few tries to get the database's lock.
    constexpr int kTries = 5;
    for (int attempt = 1;; ++attempt) {
        zavdb::Transaction transaction(m_db, zavdb::Transaction::Start::Later);
        Stored stored;
        const bool started = transaction.begin() == zavdb::Transaction::Begin::Started;
        if (started && readInvoice(a.entry, stored)) {
            if (r.kind == Kind::Rejected) {
                m_journal.markRejected(a.entry, r);
                transaction.commit();
                return CancellationOutcome::byText(fitFailure(r.statusLine()));
            }
            const QString reason = recordedReason(a.reason, r);
            CancellationOutcome done = r.kind == Kind::AlreadyCancelled ? cancelledElsewhere(r)
                                       : reason != a.typed              ? cancelledWithEarlierReason(reason)
                                                                        : CancellationOutcome::done();
            if (stored.state == u"C" && stored.recorded)
                return done; // another attempt finished it meanwhile
            try {
                write(a.entry, a, r);
            } catch (const zavdb::DatabaseError& error) {
                if (duplicateKey(m_record.lastError(), m_dialect))
                    return done;
                return CancellationOutcome::byText(notRecorded(r, error.text().simplified()), "fa_transmi");
            }
            transaction.commit();
            return done;
        }
        transaction.rollback();
        if (attempt == kTries)
            break;
        QThread::msleep(100ul * unsigned(attempt));
    }
    if (r.kind == Kind::Rejected)
        return CancellationOutcome::byText(fitFailure(r.statusLine()));
    return CancellationOutcome::byText(notRecorded(r, QStringLiteral("nota fiscal bloqueada")), "fa_transmi");
}

CancellationOutcome InvoiceCanceller::notSent(const Attempt& a) {
    unclaim(a.entry);
    return CancellationOutcome::awaiting(
        fitFailure(
            QStringLiteral("Pedido pendente: não enviado à SEFAZ, pois outra nota do lote não pôde ser "
                           "assinada. Confirme de novo.")),
        "fa_assinar");
}

CancellationOutcome InvoiceCanceller::cancel(const TickedInvoice& invoice) {
    Attempt attempt;
    const QString batchId = nextBatchId();
    if (auto refused = prepare(invoice, batchId, attempt))
        return *refused;
    if (!m_client)
        m_client = m_authority->newClient();
    EventTransmission transmission(*m_client, endpoints(), m_context.environment.toInt());
    const LotResult lot = transmission.sendLot(
        batchId, {LotEvent{attempt.accessKey, attempt.signedBatch, attempt.resume, attempt.queriesLeft}});
    return conclude(attempt, lot.results.front());
}

} // namespace zavserver
