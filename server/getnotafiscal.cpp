#include "getnotafiscal.h"
#include "rpcerror.h"
#include "threaddatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <array>

namespace zavserver {

namespace {

// The authorised invoices of one establishment issued within [start, end):
// the caller passes the day after the period's last day as the end, so that
// the period holds whole days whether the column holds dates or times.
const char* const kSelectSql = R"(SELECT NF.CDFILIEMIT, NF.NRLANCTONF, NF.DTEMISSAO, NF.NMRAZAO, NF.VRNOTAFISC,
       NF.CDFILIAL, NF.NRLANCTBDOC, NF.IDENTRSAIDOP, NF.CDEMPRESA, NF.CDFILIRECE, NF.CDSERIE,
       NF.NRNOTAFISCALELE, NF.NRPROTOCOLONFE, NF.NRACESSONFE,
       CASE WHEN NF.CDOPERBLOQ IS NULL THEN 'N' ELSE 'S' END AS IDBLOQUEADO
FROM NOTAFISCAL NF
WHERE NF.CDFILIAL = :P_CDFILIAL
  AND NF.CDEMPRESA = :P_CDEMPRESA
  AND NF.CDINSCESTA = :P_CDINSCESTA
  AND NF.CDINSCMUNI = :P_CDINSCMUNI
  AND NF.CDSERIE = :P_CDSERIE
  AND NF.IDSITUACAONFE = :P_IDSITUACAONFE
  AND NF.DTEMISSAO >= :P_DTINICIAL
  AND NF.DTEMISSAO < :P_DTFIMEXCL
)";
// Optional conditions, appended as whole constants; their values are bound.
const char* const kNumberSql = "  AND NF.NRNOTAFISCALELE = :P_NRNOTAFISCALELE\n";
const char* const kKindSql = "  AND NF.IDTPDESTREM = :P_IDTPDESTREM\n";
const char* const kCustomerSql =
    "  AND NF.CDCLIENTE IN (SELECT C.CDCLIENTE FROM CLIENTE C WHERE C.NRINSJURCLIE = :P_NRINSJUR)\n";
const char* const kSupplierSql =
    "  AND NF.CDFORNECED IN (SELECT F.CDFORNECED FROM FORNECEDOR F WHERE F.NRINSJURFORN = :P_NRINSJUR)\n";
const char* const kReceivingSql = "  AND NF.CDFILIRECE = :P_CDFILIRECE\n";

enum Column {
    cFiliEmit,
    cLancto,
    cEmissao,
    cRazao,
    cValor,
    cFilial,
    cLanctDoc,
    cEntrSai,
    cEmpresa,
    cFiliRece,
    cSerie,
    cNumero,
    cProtocolo,
    cAcesso,
    cBloqueado,
};

const std::array<PacketField, 17> kFields{{
    {QStringLiteral("IDCHECK"), FieldType::String, 1},
    {QStringLiteral("IDBLOQUEADO"), FieldType::String, 1},
    {QStringLiteral("CDFILIEMIT"), FieldType::String, 4},
    {QStringLiteral("NRLANCTONF"), FieldType::String, 10},
    {QStringLiteral("DTEMISSAO"), FieldType::DateTime, 0},
    {QStringLiteral("NMRAZAO"), FieldType::String, 50},
    {QStringLiteral("VRNOTAFISC"), FieldType::Float, 0},
    {QStringLiteral("CDFILIAL"), FieldType::String, 4},
    {QStringLiteral("NRLANCTBDOC"), FieldType::String, 12},
    {QStringLiteral("IDENTRSAIDOP"), FieldType::String, 1},
    {QStringLiteral("CDEMPRESA"), FieldType::String, 2},
    {QStringLiteral("CDFILIRECE"), FieldType::String, 4},
    {QStringLiteral("LANCAMENTO"), FieldType::String, 76},
    {QStringLiteral("DSMOTIVOCANCNFE"), FieldType::String, 50},
    {QStringLiteral("NRNOTAFISCALELE"), FieldType::String, 9},
    {QStringLiteral("NRPROTOCOLONFE"), FieldType::String, 15},
    {QStringLiteral("NRACESSONFE"), FieldType::String, 50},
}};

struct Criteria {
    QString branch, company, stateRegistration, cityRegistration, series, number;
    QString kind, registration, receivingBranch;
    QDate from, to;
};

bool allDigits(const QString& text) {
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

Criteria readCriteria(const Arguments& a) {
    using P = Arguments::Presence;
    Criteria c;
    c.branch = a.text(1, QStringLiteral("filial"), 4);
    c.company = a.text(2, QStringLiteral("empresa"), 2);
    c.stateRegistration = a.text(3, QStringLiteral("inscrição estadual"), 16);
    c.cityRegistration = a.text(4, QStringLiteral("inscrição municipal"), 16, P::Optional);
    c.series = a.text(5, QStringLiteral("série"), 5);

    const QString number = a.text(6, QStringLiteral("número da nota fiscal"), 9, P::Optional);
    if (!allDigits(number))
        a.reject(6, QStringLiteral("número da nota fiscal"), QStringLiteral("esperados só dígitos"));
    // Numbers are stored with nine digits: "1234" and "000001234" are one invoice.
    c.number = number.isEmpty() ? QString() : number.rightJustified(9, u'0');

    const QString party = a.text(7, QStringLiteral("destinatário/remetente"), 30, P::Optional);
    c.receivingBranch = a.text(8, QStringLiteral("filial destinatária"), 4, P::Optional);
    c.kind = a.text(9, QStringLiteral("tipo de destinatário/remetente"), 1, P::Optional);
    if (!c.kind.isEmpty() && c.kind != u"C" && c.kind != u"F" && c.kind != u"L")
        a.reject(9, QStringLiteral("tipo de destinatário/remetente"),
                 QStringLiteral("esperado \"C\" (cliente), \"F\" (fornecedor), \"L\" (filial) ou vazio (todos)"));
    if (c.kind == u"C" || c.kind == u"F") {
        // The registration may arrive under its display mask; it is stored as digits.
        QString registration = party;
        registration.remove(u'.').remove(u'/').remove(u'-').remove(u' ');
        if (!allDigits(registration) || registration.size() > 20)
            a.reject(7, QStringLiteral("destinatário/remetente"),
                     QStringLiteral("esperada a inscrição (CNPJ ou CPF) com até 20 dígitos"));
        c.registration = registration;
    }

    c.from = a.date(10, QStringLiteral("data inicial"));
    c.to = a.date(11, QStringLiteral("data final"));
    a.text(12, QStringLiteral("reservado"), 255, P::Optional);
    if (c.from > c.to)
        throw RpcError(RpcCode::InvalidParams,
                       QStringLiteral("Período inválido: a data inicial %1 é posterior à data final %2.")
                           .arg(c.from.toString(QStringLiteral("dd/MM/yyyy")),
                                c.to.toString(QStringLiteral("dd/MM/yyyy"))));
    return c;
}

QDate dateOf(const QVariant& value) {
    if (value.typeId() == QMetaType::QDate)
        return value.toDate();
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime().date();
    return QDate::fromString(value.toString().left(10), Qt::ISODate);
}

void stringOrNull(ResponseEncoder& out, const QVariant& value) {
    if (value.isNull())
        out.null();
    else
        out.string(value.toString());
}

// The list's sort key: issuing branch, issue date, series, invoice number and
// entry number, each at its full width, so that every key has 36 characters
// and keys sort by date and number within a branch. The entry number makes it
// unique.
QString entryKey(const QString& issuer, const QDate& issued, const QString& series, const QString& number,
                 const QString& entry) {
    QString key;
    key.reserve(36);
    key += issuer.leftJustified(4, u' ', true);
    key += issued.isValid() ? issued.toString(QStringLiteral("yyyyMMdd")) : QStringLiteral("00000000");
    key += series.leftJustified(5, u' ', true);
    key += number.rightJustified(9, u'0', true);
    key += entry.rightJustified(10, u'0', true);
    return key;
}

[[noreturn]] void databaseFailure(const QString& text) {
    ThreadDatabase::discard();
    throw RpcError(RpcCode::ServerError, QStringLiteral("Erro ao consultar as notas fiscais no banco de dados: %1")
                                             .arg(text.trimmed()));
}

} // namespace

void GetNotaFiscal::run(const Arguments& arguments, ResponseEncoder& out) {
    const Criteria c = readCriteria(arguments);

    QString sql = QString::fromLatin1(kSelectSql);
    if (!c.number.isEmpty())
        sql += QLatin1StringView(kNumberSql);
    if (!c.kind.isEmpty())
        sql += QLatin1StringView(kKindSql);
    if (!c.registration.isEmpty())
        sql += QLatin1StringView(c.kind == u"C" ? kCustomerSql : kSupplierSql);
    if (c.kind == u"L" && !c.receivingBranch.isEmpty())
        sql += QLatin1StringView(kReceivingSql);

    bool failed = false;
    QString failure;
    {
        QSqlQuery query(ThreadDatabase::get());
        query.setForwardOnly(true);
        const auto fail = [&] {
            failed = true;
            failure = query.lastError().text();
        };
        if (!query.prepare(sql)) {
            fail();
        } else {
            query.bindValue(QStringLiteral(":P_CDFILIAL"), c.branch);
            query.bindValue(QStringLiteral(":P_CDEMPRESA"), c.company);
            query.bindValue(QStringLiteral(":P_CDINSCESTA"), c.stateRegistration);
            query.bindValue(QStringLiteral(":P_CDINSCMUNI"), c.cityRegistration);
            query.bindValue(QStringLiteral(":P_CDSERIE"), c.series);
            query.bindValue(QStringLiteral(":P_IDSITUACAONFE"), QStringLiteral("A"));
            query.bindValue(QStringLiteral(":P_DTINICIAL"), c.from);
            query.bindValue(QStringLiteral(":P_DTFIMEXCL"), c.to.addDays(1));
            if (!c.number.isEmpty())
                query.bindValue(QStringLiteral(":P_NRNOTAFISCALELE"), c.number);
            if (!c.kind.isEmpty())
                query.bindValue(QStringLiteral(":P_IDTPDESTREM"), c.kind);
            if (!c.registration.isEmpty())
                query.bindValue(QStringLiteral(":P_NRINSJUR"), c.registration);
            if (c.kind == u"L" && !c.receivingBranch.isEmpty())
                query.bindValue(QStringLiteral(":P_CDFILIRECE"), c.receivingBranch);

            if (!query.exec()) {
                fail();
            } else {
                out.beginPacket(kFields);
                const QString unticked = QStringLiteral("U");
                const QString noReason;
                while (query.next()) {
                    const QString issuer = query.value(cFiliEmit).toString();
                    const QString entry = query.value(cLancto).toString();
                    const QDate issued = dateOf(query.value(cEmissao));
                    const QString series = query.value(cSerie).toString();
                    const QString number = query.value(cNumero).toString();

                    out.beginRow();
                    out.string(unticked);
                    out.string(query.value(cBloqueado).toString());
                    out.string(issuer);
                    out.string(entry);
                    if (issued.isValid())
                        out.date(issued);
                    else
                        out.null();
                    stringOrNull(out, query.value(cRazao));
                    out.number(query.value(cValor).toDouble());
                    stringOrNull(out, query.value(cFilial));
                    stringOrNull(out, query.value(cLanctDoc));
                    stringOrNull(out, query.value(cEntrSai));
                    stringOrNull(out, query.value(cEmpresa));
                    stringOrNull(out, query.value(cFiliRece));
                    out.string(entryKey(issuer, issued, series, number, entry));
                    out.string(noReason);
                    out.string(number);
                    stringOrNull(out, query.value(cProtocolo));
                    stringOrNull(out, query.value(cAcesso));
                    out.endRow();
                }
                if (query.lastError().isValid())
                    fail();
                else
                    out.endPacket();
            }
        }
    }
    if (failed)
        databaseFailure(failure);
}

} // namespace zavserver
