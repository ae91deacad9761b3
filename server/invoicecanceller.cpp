#include "invoicecanceller.h"

#include "brazilianstates.h"
#include "cancellationreason.h"
#include "writetransaction.h"

#include <QSqlError>
#include <QVariant>

namespace zavserver {

namespace {

// The invoice with its registration and the blocks that live outside its row,
// read in the transaction that will change it. %1 is the issue date as a day
// in the dialect, %2 the function that reads a period's bound as a day, %3
// the lock.
const char* const kInvoiceSql = R"(SELECT NF.CDFILIAL, NF.CDEMPRESA, NF.IDSITUACAONFE, NF.CDOPERBLOQ,
       NF.NRACESSONFE, NF.NRPROTOCOLONFE, I.CDINSCESTA, I.NRSERIECERTIFIC, I.IDTPAMBIENTENFE, I.SGESTADO,
       CASE WHEN EXISTS (SELECT 1 FROM PERIODOCONTABIL P
                         WHERE P.CDEMPRESA = NF.CDEMPRESA AND P.CDFILIAL = NF.CDFILIAL AND P.IDSITUACAO = 'F'
                           AND %2(P.DTINICIO) <= %1 AND %2(P.DTFIM) >= %1) THEN 1 ELSE 0 END,
       CASE WHEN EXISTS (SELECT 1 FROM MAPAAPURACAO M
                         WHERE M.CDEMPRESA = NF.CDEMPRESA AND M.CDINSCESTA = NF.CDINSCESTA
                           AND %2(M.DTINICIO) <= %1 AND %2(M.DTFIM) >= %1) THEN 1 ELSE 0 END,
       CASE WHEN EXISTS (SELECT 1 FROM CANCELAMENTONFE C WHERE C.NRLANCTONF = NF.NRLANCTONF) THEN 1 ELSE 0 END
FROM NOTAFISCAL NF
LEFT JOIN INSCRESTAD I ON I.CDEMPRESA = NF.CDEMPRESA AND I.CDINSCESTA = NF.CDINSCESTA
WHERE NF.NRLANCTONF = :P_NRLANCTONF
%3)";
// SQLite keeps dates as the ISO text they were written as, possibly with a
// time: DATE() gives the day of either.
const char* const kDaySqlite = "DATE(NF.DTEMISSAO)";
const char* const kDayFunctionSqlite = "DATE";
const char* const kDayPostgres = "NF.DTEMISSAO";
const char* const kLockPostgres = "FOR UPDATE OF NF NOWAIT";

const char* const kReceivablesSql = "SELECT IDSITUACAOTIT FROM TITULORECEBER WHERE NRLANCTONF = :P_NRLANCTONF %1";
const char* const kLockReceivablesPostgres = "FOR UPDATE NOWAIT";

const char* const kCancelInvoiceSql =
    "UPDATE NOTAFISCAL SET IDSITUACAONFE = 'C', CDOPERBLOQ = NULL, DHBLOQUEIO = NULL "
    "WHERE NRLANCTONF = :P_NRLANCTONF AND IDSITUACAONFE = 'A'";
// Open instalments go with their invoice; the others block it (checked before).
const char* const kCancelReceivablesSql =
    "UPDATE TITULORECEBER SET IDSITUACAOTIT = 'C' WHERE NRLANCTONF = :P_NRLANCTONF AND IDSITUACAOTIT = 'A'";
const char* const kRecordSql = R"(INSERT INTO CANCELAMENTONFE
    (NRLANCTONF, CDOPERADOR, DTPROCESSAMENTO, DSMOTIVOCANC, IDTPAMBIENTENFE, SGESTADO, NRSERIECERTIFIC,
     DHCANCELAMENTO, CDSTATUSEVENTO, DSSTATUSEVENTO, NRPROTOCOLOCANC, DHREGEVENTO, VERAPLIC)
VALUES (:P_NRLANCTONF, :P_CDOPERADOR, :P_DTPROCESSAMENTO, :P_DSMOTIVOCANC, :P_IDTPAMBIENTENFE, :P_SGESTADO,
        :P_NRSERIECERTIFIC, :P_DHCANCELAMENTO, :P_CDSTATUSEVENTO, :P_DSSTATUSEVENTO, :P_NRPROTOCOLOCANC,
        :P_DHREGEVENTO, :P_VERAPLIC))";

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

bool lockNotAvailable(const QSqlError& error) { return error.nativeErrorCode() == u"55P03"; }

// A second row for one key: the record's primary key.
bool duplicateKey(const QSqlError& error, zavdb::Dialect dialect) {
    if (dialect == zavdb::Dialect::PostgreSQL)
        return error.nativeErrorCode() == u"23505";
    const int code = error.nativeErrorCode().toInt();
    return code == 1555 || code == 2067; // SQLITE_CONSTRAINT_PRIMARYKEY, _UNIQUE
}

[[noreturn]] void fail(const char* what, const QSqlQuery& query) {
    throw zavdb::DatabaseError(QStringLiteral("%1: %2").arg(QLatin1StringView(what), query.lastError().text().trimmed()));
}

QString text(const QSqlQuery& q, int column) { return q.value(column).toString().trimmed(); }

QSqlQuery prepared(QSqlDatabase& db, const QString& sql, const char* what) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(what, q);
    return q;
}

QString invoiceSql(zavdb::Dialect dialect) {
    const bool postgres = dialect == zavdb::Dialect::PostgreSQL;
    return QString::fromLatin1(kInvoiceSql)
        .arg(QLatin1StringView(postgres ? kDayPostgres : kDaySqlite),
             QLatin1StringView(postgres ? "" : kDayFunctionSqlite), QLatin1StringView(postgres ? kLockPostgres : ""));
}

QString receivablesSql(zavdb::Dialect dialect) {
    return QString::fromLatin1(kReceivablesSql)
        .arg(QLatin1StringView(dialect == zavdb::Dialect::PostgreSQL ? kLockReceivablesPostgres : ""));
}

} // namespace

struct InvoiceCanceller::Stored {
    QString branch, company, state, holder, accessKey, protocol;
    QString registration, certificate, environment, registrationState;
    bool closedPeriod = false, apportioned = false, recorded = false;
};

InvoiceCanceller::InvoiceCanceller(QSqlDatabase& db, CancellationContext context, CancellationAuthority& authority)
    : m_db(db),
      m_dialect(zavdb::dialectOf(db)),
      m_context(std::move(context)),
      m_authority(authority),
      m_invoice(prepared(db, invoiceSql(m_dialect), "Erro ao preparar a leitura da nota fiscal")),
      m_receivables(prepared(db, receivablesSql(m_dialect), "Erro ao preparar a leitura dos títulos a receber")),
      m_cancelInvoice(prepared(db, QString::fromLatin1(kCancelInvoiceSql),
                               "Erro ao preparar o cancelamento da nota fiscal")),
      m_cancelReceivables(prepared(db, QString::fromLatin1(kCancelReceivablesSql),
                                   "Erro ao preparar o cancelamento dos títulos a receber")),
      m_record(prepared(db, QString::fromLatin1(kRecordSql), "Erro ao preparar o registro do cancelamento")) {
    if (m_dialect == zavdb::Dialect::SQLite) {
        QSqlQuery q(m_db);
        if (!q.exec(QLatin1StringView(kBusyTimeoutSql)) || !q.next())
            fail("Erro ao ler a espera por bloqueio do banco", q);
        const int previous = q.value(0).toInt();
        q.finish();
        if (!q.exec(QString::fromLatin1(kSetBusyTimeoutSql).arg(kSqliteBusyTimeoutMs)))
            fail("Erro ao ajustar a espera por bloqueio do banco", q);
        m_previousBusyTimeout = previous;
    }
}

InvoiceCanceller::~InvoiceCanceller() {
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
        fail("Erro ao ler a nota fiscal", m_invoice);
    }
    if (m_invoice.next()) {
        s.branch = text(m_invoice, cBranch);
        s.company = text(m_invoice, cCompany);
        s.state = text(m_invoice, cState);
        s.holder = text(m_invoice, cHolder);
        s.accessKey = text(m_invoice, cAccessKey);
        s.protocol = text(m_invoice, cProtocol);
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
        return O::byText(QStringLiteral("Ambiente da NF-e diverge do cadastrado na inscrição estadual da nota fiscal."));
    if (s.registrationState != m_context.state)
        return O::byText(QStringLiteral("Estado diverge do cadastrado na inscrição estadual da nota fiscal."));
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
        fail("Erro ao ler os títulos a receber da nota fiscal", m_receivables);
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

void InvoiceCanceller::write(const QString& entry, const QString& reason, const Stored& s,
                             const AuthorityAnswer& answer) {
    m_cancelInvoice.bindValue(kEntry, entry);
    if (!m_cancelInvoice.exec())
        fail("Erro ao cancelar a nota fiscal", m_cancelInvoice);
    // The row is locked and was read as authorised: anything else is a fault.
    if (m_cancelInvoice.numRowsAffected() != 1)
        throw zavdb::DatabaseError(QStringLiteral("A nota fiscal %1 mudou durante o cancelamento.").arg(entry));
    m_cancelReceivables.bindValue(kEntry, entry);
    if (!m_cancelReceivables.exec())
        fail("Erro ao cancelar os títulos a receber da nota fiscal", m_cancelReceivables);

    const BrazilianState* state = BrazilianStates::byAbbreviation(s.registrationState);
    const QDateTime now = QDateTime::currentDateTimeUtc().toOffsetFromUtc(state ? state->utcOffsetSeconds : 0);
    m_record.bindValue(kEntry, entry);
    m_record.bindValue(QStringLiteral(":P_CDOPERADOR"), m_context.operatorCode);
    m_record.bindValue(QStringLiteral(":P_DTPROCESSAMENTO"), m_context.processingDate);
    m_record.bindValue(QStringLiteral(":P_DSMOTIVOCANC"), reason);
    m_record.bindValue(QStringLiteral(":P_IDTPAMBIENTENFE"), m_context.environment);
    m_record.bindValue(QStringLiteral(":P_SGESTADO"), m_context.state);
    m_record.bindValue(QStringLiteral(":P_NRSERIECERTIFIC"), m_context.certificate);
    m_record.bindValue(QStringLiteral(":P_DHCANCELAMENTO"), now.toString(Qt::ISODate));
    m_record.bindValue(QStringLiteral(":P_CDSTATUSEVENTO"), QString::number(answer.status));
    m_record.bindValue(QStringLiteral(":P_DSSTATUSEVENTO"), answer.statusText.left(255));
    m_record.bindValue(QStringLiteral(":P_NRPROTOCOLOCANC"), answer.protocol);
    m_record.bindValue(QStringLiteral(":P_DHREGEVENTO"), answer.registeredAt);
    m_record.bindValue(QStringLiteral(":P_VERAPLIC"), answer.application.left(20));
    if (!m_record.exec())
        fail("Erro ao registrar o cancelamento", m_record);
}

CancellationOutcome InvoiceCanceller::cancel(const TickedInvoice& invoice) {
    WriteTransaction transaction(m_db);
    if (transaction.begin() == WriteTransaction::Begin::Busy)
        return CancellationOutcome::byKey("MS01");

    Stored stored;
    if (!readInvoice(invoice.entry, stored))
        return CancellationOutcome::byKey("MS01");
    QString reason;
    if (auto refused = check(invoice, stored, &reason))
        return *refused;
    if (auto blocked = receivablesBlock(invoice.entry))
        return *blocked;
    // An authorised invoice with a record is inconsistent data: never a second
    // record, and the authority is not asked again.
    if (stored.recorded)
        return CancellationOutcome::byText(QStringLiteral("Nota fiscal já tem registro de cancelamento."));

    const BrazilianState* state = BrazilianStates::byAbbreviation(stored.registrationState);
    CancellationEvent event;
    event.accessKey = stored.accessKey;
    event.authorisationProtocol = stored.protocol;
    event.environment = m_context.environment;
    event.reason = reason;
    event.issuedAt = QDateTime::currentDateTimeUtc().toOffsetFromUtc(state ? state->utcOffsetSeconds : 0);
    const AuthorityAnswer answer = m_authority.cancel(event);
    if (!answer.answered)
        return CancellationOutcome::byText(answer.failure.isEmpty() ? QString()
                                                                    : QStringLiteral("Falha ao transmitir: %1")
                                                                          .arg(answer.failure),
                                           "fa_transmi");
    if (!answer.registered())
        return CancellationOutcome::byText(
            QStringLiteral("Cancelamento rejeitado pela autoridade fiscal: %1 - %2")
                .arg(QString::number(answer.status), answer.statusText),
            "fa_transmi");

    try {
        write(invoice.entry, reason, stored, answer);
    } catch (const zavdb::DatabaseError&) {
        if (duplicateKey(m_record.lastError(), m_dialect))
            return CancellationOutcome::byText(QStringLiteral("Nota fiscal já tem registro de cancelamento."));
        throw;
    }
    transaction.commit();
    return CancellationOutcome::done();
}

} // namespace zavserver
