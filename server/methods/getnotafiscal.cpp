#include "log/incidents.h"
#include "methods/handlers.h"
#include "methods/permission.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

#include "store/nativequery.h"

#include "database.h"
#include "digits.h"

#include <array>
#include <cstring>

namespace zavserver {

namespace {

// The authorised invoices of one establishment issued within [start, end):
// the caller passes the day after the period's last day as the end, so that
// the period holds whole days whether the column holds dates or times. %1 is
// the issue date as YYYY-MM-DD text in the database's dialect.
const char* const kSelectSql = R"(SELECT NF.CDFILIEMIT, NF.NRLANCTONF, %1, NF.NMRAZAO, NF.VRNOTAFISC,
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

const std::vector<PacketField> kFields = packetFieldsOf(zavwire::kInvoiceRecord);

struct Criteria {
    QString branch, company, stateRegistration, cityRegistration, series, number;
    QString kind, registration, receivingBranch;
    QDate from, to;
};

Criteria readCriteria(const Arguments& a) {
    using P = Arguments::Presence;
    Criteria c;
    c.branch = a.text(1, QStringLiteral("filial"), 4);
    c.company = a.text(2, QStringLiteral("empresa"), 2);
    c.stateRegistration = a.text(3, QStringLiteral("inscrição estadual"), 16);
    c.cityRegistration = a.text(4, QStringLiteral("inscrição municipal"), 16, P::Optional);
    c.series = a.text(5, QStringLiteral("série"), 5);

    const QString number = a.text(6, QStringLiteral("número da nota fiscal"), 9, P::Optional);
    if (!zavfiscal::allDigits(number))
        a.reject(6, QStringLiteral("número da nota fiscal"), QStringLiteral("esperados só dígitos"));
    // Numbers are stored with nine digits: "1234" and "000001234" are one invoice.
    c.number = number.isEmpty() ? QString() : number.rightJustified(9, u'0');

    const QString party = a.text(7, QStringLiteral("destinatário/remetente"), 30, P::Optional);
    c.receivingBranch = a.text(8, QStringLiteral("filial destinatária"), 4, P::Optional);
    c.kind = a.text(9, QStringLiteral("tipo de destinatário/remetente"), 1, P::Optional);
    if (!c.kind.isEmpty() && c.kind != u"C" && c.kind != u"F" && c.kind != u"L")
        a.reject(
            9, QStringLiteral("tipo de destinatário/remetente"),
            QStringLiteral("esperado \"C\" (cliente), \"F\" (fornecedor), \"L\" (filial) ou vazio (todos)"));
    if (c.kind == u"C" || c.kind == u"F") {
        // The registration may arrive under its display mask; it is stored as digits.
        QString registration = party;
        registration.remove(u'.').remove(u'/').remove(u'-').remove(u' ');
        if (!zavfiscal::isDigits(registration, 0, 20))
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

bool isIsoDate(QUtf8StringView text) {
    if (text.size() != 10)
        return false;
    for (qsizetype i = 0; i < 10; ++i) {
        const char c = text.data()[i];
        if ((i == 4 || i == 7) ? c != '-' : (c < '0' || c > '9'))
            return false;
    }
    return true;
}

// The list's sort key: issuing branch, issue date, series, invoice number and
// entry number, each at its full width, so that every key has 36 characters
// and keys sort by date and number within a branch. The entry number makes it
// unique. Written in place: a list of 100,000 invoices builds 100,000 keys.
class EntryKey {
public:
    QUtf8StringView of(QUtf8StringView issuer, QUtf8StringView issued, QUtf8StringView series,
                       QUtf8StringView number, QUtf8StringView entry) {
        m_end = m_bytes.data();
        fixed(issuer, 4, ' ', false);
        put(issued.data(), 4);
        put(issued.data() + 5, 2);
        put(issued.data() + 8, 2);
        fixed(series, 5, ' ', false);
        fixed(number, 9, '0', true);
        fixed(entry, 10, '0', true);
        return {m_bytes.data(), m_end - m_bytes.data()};
    }

private:
    void put(const char* data, qsizetype n) {
        std::memcpy(m_end, data, size_t(n));
        m_end += n;
    }
    void fill(char c, qsizetype n) {
        std::memset(m_end, c, size_t(n));
        m_end += n;
    }
    // value at exactly width characters (UTF-8 aware): cut, or padded with
    // fill on the left (numbers) or on the right (codes).
    void fixed(QUtf8StringView value, int width, char c, bool padLeft) {
        qsizetype end = 0;
        int characters = 0;
        const char* data = value.data();
        while (end < value.size()) {
            qsizetype next = end + 1;
            while (next < value.size() && (static_cast<unsigned char>(data[next]) & 0xC0) == 0x80)
                ++next;
            if (characters == width)
                break;
            ++characters;
            end = next;
        }
        if (padLeft)
            fill(c, width - characters);
        put(data, end);
        if (!padLeft)
            fill(c, width - characters);
    }

    // 36 characters of up to 4 bytes each.
    std::array<char, std::size_t{36} * 4> m_bytes{};
    char* m_end = nullptr;
};

void textOrNull(ResponseEncoder& out, const ResultRow& row, int column) {
    QUtf8StringView value;
    if (row.textOrNull(column, value))
        out.text(value);
    else
        out.null();
}

QByteArray utf8(const QString& text) {
    return text.toUtf8();
}

// The statement's optional conditions and every value it binds.
struct Selection {
    QString conditions;
    std::vector<Binding> bindings;
};

Selection selectionFor(const Criteria& c) {
    Selection s;
    s.bindings = {
        {":P_CDFILIAL", utf8(c.branch)},
        {":P_CDEMPRESA", utf8(c.company)},
        {":P_CDINSCESTA", utf8(c.stateRegistration)},
        {":P_CDINSCMUNI", utf8(c.cityRegistration)},
        {":P_CDSERIE", utf8(c.series)},
        {":P_IDSITUACAONFE", "A"},
        {":P_DTINICIAL", c.from.toString(Qt::ISODate).toLatin1()},
        {":P_DTFIMEXCL", c.to.addDays(1).toString(Qt::ISODate).toLatin1()},
    };
    if (!c.number.isEmpty()) {
        s.conditions += QLatin1StringView(kNumberSql);
        s.bindings.push_back({":P_NRNOTAFISCALELE", utf8(c.number)});
    }
    if (!c.kind.isEmpty()) {
        s.conditions += QLatin1StringView(kKindSql);
        s.bindings.push_back({":P_IDTPDESTREM", utf8(c.kind)});
    }
    if (!c.registration.isEmpty()) {
        s.conditions += QLatin1StringView(c.kind == u"C" ? kCustomerSql : kSupplierSql);
        s.bindings.push_back({":P_NRINSJUR", utf8(c.registration)});
    }
    if (c.kind == u"L" && !c.receivingBranch.isEmpty()) {
        s.conditions += QLatin1StringView(kReceivingSql);
        s.bindings.push_back({":P_CDFILIRECE", utf8(c.receivingBranch)});
    }
    return s;
}

// One invoice record of the packet, its sort key built in key; a row whose
// date or value cannot be read is a database error.
void writeInvoiceRow(ResponseEncoder& out, const ResultRow& row, EntryKey& key) {
    const QUtf8StringView issued = row.text(cEmissao);
    if (!isIsoDate(issued))
        throw zavdb::DatabaseError(QStringLiteral("data de emissão inválida na nota de lançamento %1")
                                       .arg(row.text(cLancto).toString()));
    double value = 0;
    if (!row.number(cValor, value))
        throw zavdb::DatabaseError(
            QStringLiteral("valor inválido na nota de lançamento %1").arg(row.text(cLancto).toString()));
    // Each cell is read once: the texts stay valid until the next row.
    const QUtf8StringView issuer = row.text(cFiliEmit);
    const QUtf8StringView entry = row.text(cLancto);
    const QUtf8StringView number = row.text(cNumero);
    const QUtf8StringView entryKey = key.of(issuer, issued, row.text(cSerie), number, entry);

    out.beginRow();
    out.text(u8"U");
    out.text(row.text(cBloqueado));
    out.text(issuer);
    out.text(entry);
    out.text(issued);
    textOrNull(out, row, cRazao);
    out.number(value);
    textOrNull(out, row, cFilial);
    textOrNull(out, row, cLanctDoc);
    textOrNull(out, row, cEntrSai);
    textOrNull(out, row, cEmpresa);
    textOrNull(out, row, cFiliRece);
    out.text(entryKey);
    out.text(u8"");
    out.text(number);
    textOrNull(out, row, cProtocolo);
    textOrNull(out, row, cAcesso);
    out.endRow();
}

// The packet of the invoices selected; throws zavdb::DatabaseError.
void writeInvoices(QSqlDatabase& db, const Selection& selection, ResponseEncoder& out) {
    // The day as ISO text on both databases (PostgreSQL's own text would
    // follow the session's DateStyle).
    const QString sql =
        QString::fromLatin1(kSelectSql).arg(zavdb::dayOf(zavdb::dialectOf(db), u"NF.DTEMISSAO")) +
        selection.conditions;

    out.beginPacket(kFields);
    EntryKey key;
    NativeQuery::select(db, sql, selection.bindings,
                        [&](const ResultRow& row) { writeInvoiceRow(out, row, key); });
    out.endPacket();
}

} // namespace

void getNotaFiscal(const Call& call, ResponseEncoder& out) {
    const Criteria criteria = readCriteria(call.arguments);
    requireEstablishment(call, criteria.branch, criteria.company);
    const Selection selection = selectionFor(criteria);
    QString failure;
    try {
        writeInvoices(ThreadDatabase::get(), selection, out);
        return;
    } catch (const zavdb::DatabaseError& error) {
        failure = error.text();
    }
    // A broken connection is not reused: the next call opens a fresh one.
    ThreadDatabase::discard();
    throw RpcError(
        RpcCode::ServerError,
        Incidents::report(QStringLiteral("Erro ao consultar as notas fiscais no banco de dados"), failure));
}

} // namespace zavserver
