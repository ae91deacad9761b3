#include "log/incidents.h"
#include "methods/handlers.h"

#include "cancellation/cancellationrun.h"
#include "methods/cancellationpacket.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

#include "database.h"
#include "statement.h"
#include "states.h"

#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <array>
#include <optional>

namespace zavserver {

namespace {

const std::vector<PacketField> kFailureFields = packetFieldsOf(zavwire::kFailureRecord);
constexpr qsizetype kTextSize = 100;

struct Failure {
    QString entry;
    CancellationOutcome outcome;
};

CancellationContext readContext(const Arguments& a) {
    CancellationContext c;
    c.operatorCode = a.text(2, QStringLiteral("operador"), 30);
    // Recorded with every cancellation: a NUL or a line break would forge the record.
    for (const QChar ch : c.operatorCode)
        if (ch.category() == QChar::Other_Control)
            a.reject(2, QStringLiteral("operador"), QStringLiteral("caracteres de controle não são aceitos"));
    c.processingDate = a.date(3, QStringLiteral("data de processamento"));
    c.environment = a.text(4, QStringLiteral("ambiente da NF-e"), 1);
    if (c.environment != u"1" && c.environment != u"2")
        a.reject(4, QStringLiteral("ambiente da NF-e"),
                 QStringLiteral("esperado \"1\" (produção) ou \"2\" (homologação)"));
    c.certificate = a.text(5, QStringLiteral("número de série do certificado"), 50);
    c.state = a.text(6, QStringLiteral("estado"), 2).toUpper();
    if (!zavfiscal::stateByAbbreviation(c.state))
        a.reject(6, QStringLiteral("estado"),
                 QStringLiteral("esperada a sigla de um estado (\"SP\", \"MG\", ...)"));
    return c;
}

// The database's own text goes to the log; the failure row says where to find it.
QString databaseFailure(const zavdb::DatabaseError& error) {
    return Incidents::report(QStringLiteral("Erro no banco de dados"), error.text());
}

void writeFailures(const std::vector<Failure>& failures, ResponseEncoder& out) {
    if (failures.empty()) {
        out.nullResult();
        return;
    }
    out.beginPacket(kFailureFields);
    for (const Failure& f : failures) {
        out.beginRow();
        out.text(f.entry.toUtf8());
        out.text(f.outcome.key.left(kTextSize).toUtf8());
        out.text(f.outcome.text.left(kTextSize).toUtf8());
        out.text(f.outcome.situation());
        out.endRow();
    }
    out.endPacket();
}

// The processing date is the branch's (ZAVDATAPROC), or this server's day for
// a branch without one, as the host reads it: what the caller says is only
// compared with it, so that no cancellation is recorded on another day.
void checkProcessingDate(const Arguments& a, const CancellationContext& context,
                         const std::vector<TickedInvoice>& ticked) {
    QSet<QString> branches;
    for (const TickedInvoice& invoice : ticked)
        branches.insert(invoice.branch);
    QSqlDatabase& db = ThreadDatabase::get();
    QSqlQuery q = zavdb::prepareOrThrow(db, "SELECT DTPROC FROM ZAVDATAPROC WHERE CDFILIAL = ?",
                                        "Erro ao preparar a leitura da data de processamento");
    QStringList sorted(branches.cbegin(), branches.cend());
    sorted.sort();
    for (const QString& branch : sorted) {
        q.bindValue(0, branch);
        zavdb::execOrThrow(q, "Erro ao ler a data de processamento");
        const QDate day = q.next() ? zavdb::dateValue(q.value(0)) : QDate::currentDate();
        q.finish();
        if (day != context.processingDate)
            a.reject(3, QStringLiteral("data de processamento"),
                     QStringLiteral("a data de processamento da filial %1 é %2, não %3")
                         .arg(branch, day.toString(QStringLiteral("dd/MM/yyyy")),
                              context.processingDate.toString(QStringLiteral("dd/MM/yyyy"))));
    }
}

// The operator argument stays in the protocol, and must be the session's
// (each invoice's establishment is checked against the operator's grants with
// the invoice, on what the database holds).
void checkSession(const Call& call, const CancellationContext& context) {
    // The dispatcher lets no call of this method through without a session.
    if (!call.session)
        throw RpcError(
            RpcCode::Unauthorized,
            QStringLiteral("Chamada sem sessão: entre no sistema antes de chamar Cancela_NotaFiscal."));
    const QString& who = call.session->operatorCode;
    if (context.operatorCode != who)
        throw RpcError(
            RpcCode::Forbidden,
            QStringLiteral("O operador %1 não é o da sessão (%2).").arg(context.operatorCode, who));
}

} // namespace

void cancelaNotaFiscal(const NfeSettings& settings, const Call& call, ResponseEncoder& out) {
    const Arguments& arguments = call.arguments;
    // Everything is checked before the first invoice is touched.
    const std::vector<TickedInvoice> ticked = CancellationPacket::read(arguments, 1);
    CancellationContext context = readContext(arguments);
    checkSession(call, context);
    context.session = call.session->id;
    context.address = call.caller.address;
    checkProcessingDate(arguments, context, ticked);

    CancellationRun::Database database{[]() -> QSqlDatabase& { return ThreadDatabase::get(); },
                                       [] { ThreadDatabase::discard(); }, databaseFailure};
    CancellationRun run(context, settings, std::move(database), call.progress);
    const std::vector<CancellationOutcome> outcomes = run.run(ticked);
    std::vector<Failure> failures;
    for (size_t i = 0; i < ticked.size(); ++i)
        if (!outcomes[i].cancelled || !outcomes[i].text.isEmpty())
            failures.push_back({ticked[i].entry, outcomes[i]});
    writeFailures(failures, out);
}

} // namespace zavserver
