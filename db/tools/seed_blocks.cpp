#include "seed_blocks.h"

#include "database.h"
#include "invoicewriter.h"
#include "statement.h"

#include <QDate>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <vector>

namespace zavdb {

namespace {

// The establishment of the first invoice written: the first of the demo.
const char* const kFirstInvoiceSql =
    "SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE FROM NOTAFISCAL ORDER BY NRLANCTONF LIMIT 1";
const char* const kAuthorisedSql = "SELECT NRLANCTONF, DTEMISSAO, IDENTRSAIDOP, VRNOTAFISC, CDFILIAL, "
                                   "CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE "
                                   "FROM NOTAFISCAL WHERE IDSITUACAONFE = 'A' ORDER BY DTEMISSAO, NRLANCTONF";
const char* const kPeriodSql =
    "INSERT INTO PERIODOCONTABIL (CDEMPRESA, CDFILIAL, DTINICIO, DTFIM, IDSITUACAO) VALUES (?, ?, ?, ?, ?)";
const char* const kMapSql =
    "INSERT INTO MAPAAPURACAO (CDEMPRESA, CDINSCESTA, DTINICIO, DTFIM, DHAPURACAO) VALUES (?, ?, ?, ?, ?)";

// The blocking receivable states in the order of their keys MS03 to MS10.
constexpr char kBlockingStates[] = {'B', 'P', 'R', 'J', 'E', 'N', 'S', 'D'};

struct Authorised {
    QString entry;
    QDate issued;
    bool exit = false;
    qint64 cents = 0;
    QStringList establishment; // branch, company, registrations, series
};

QStringList firstEstablishment(QSqlDatabase& db) {
    QSqlQuery q = runOrThrow(db, kFirstInvoiceSql, {}, "Falha ao ler a primeira nota fiscal");
    if (!q.next())
        throw DatabaseError(QStringLiteral("Não há notas fiscais para os bloqueios de demonstração."));
    QStringList e;
    for (int i = 0; i < 5; ++i)
        e.append(q.value(i).toString());
    return e;
}

std::vector<Authorised> authorised(QSqlDatabase& db) {
    QSqlQuery q = runOrThrow(db, kAuthorisedSql, {}, "Falha ao ler as notas fiscais autorizadas");
    std::vector<Authorised> result;
    while (q.next()) {
        Authorised a;
        a.entry = q.value(0).toString();
        a.issued = dateValue(q.value(1));
        a.exit = q.value(2).toString() == u"S";
        a.cents = qRound64(q.value(3).toDouble() * 100);
        for (int i = 4; i < 9; ++i)
            a.establishment.append(q.value(i).toString());
        result.push_back(std::move(a));
    }
    return result;
}

// One or two instalments, 30 days apart, the first in the given state.
void addReceivables(InvoiceWriter& writer, const Authorised& a, char firstState, bool twoInstalments) {
    const qint64 first = twoInstalments ? a.cents / 2 : a.cents;
    writer.addReceivable({a.entry, 1, a.issued.addDays(30), double(first) / 100.0, QLatin1Char(firstState)});
    if (twoInstalments)
        writer.addReceivable({a.entry, 2, a.issued.addDays(60), double(a.cents - first) / 100.0, u'A'});
}

// The authorised invoices of the first establishment, in issue-date order.
std::vector<const Authorised*> ownInvoices(const std::vector<Authorised>& all, const QStringList& first) {
    std::vector<const Authorised*> own;
    for (const Authorised& a : all)
        if (a.establishment == first)
            own.push_back(&a);
    if (own.size() < 2)
        throw DatabaseError(
            QStringLiteral("A primeira filial da demonstração tem notas autorizadas de menos para os "
                           "bloqueios."));
    return own;
}

// Taxes apportioned for the next day that has invoices after closedUntil;
// that day.
QDate apportionNextDay(QSqlDatabase& db, const std::vector<const Authorised*>& own, const QDate& closedUntil,
                       const QStringList& first) {
    std::size_t i = 0;
    while (i < own.size() && own[i]->issued <= closedUntil)
        ++i;
    if (i == own.size())
        throw DatabaseError(
            QStringLiteral("A demonstração não tem notas depois do período contábil fechado."));
    const QDate apportionedUntil = own[i]->issued;
    const QString& company = first.at(1);
    const QString& registration = first.at(2);
    runOrThrow(db, kMapSql,
               {company, registration, closedUntil.addDays(1), apportionedUntil,
                apportionedUntil.addDays(1).toString(Qt::ISODate) + QStringLiteral("T18:00:00-03:00")},
               QStringLiteral("Falha ao gravar o mapa de apuração"));
    return apportionedUntil;
}

// One exit invoice per blocking state, after the apportioned days.
std::vector<const Authorised*> blockedInvoices(const std::vector<const Authorised*>& own,
                                               const QDate& apportionedUntil) {
    std::vector<const Authorised*> blocked;
    for (const Authorised* a : own)
        if (a->issued > apportionedUntil && a->exit && blocked.size() < std::size(kBlockingStates))
            blocked.push_back(a);
    if (blocked.size() < std::size(kBlockingStates))
        throw DatabaseError(
            QStringLiteral("A demonstração não tem notas de saída para todos os estados de títulos."));
    return blocked;
}

// The receivables of every exit invoice (every second one in two
// instalments), open except a blocked invoice's first, which is in its
// blocking state.
void addAllReceivables(QSqlDatabase& db, const std::vector<Authorised>& all,
                       const std::vector<const Authorised*>& blocked) {
    InvoiceWriter insert(db);
    int n = 0;
    for (const Authorised& a : all) {
        if (!a.exit)
            continue;
        char state = 'A';
        for (std::size_t b = 0; b < blocked.size(); ++b)
            if (blocked[b] == &a)
                state = kBlockingStates[b];
        addReceivables(insert, a, state, ++n % 2 == 0);
    }
    insert.flush();
}

} // namespace

void seedBlocks(QSqlDatabase& db, const SeedOptions& options) {
    if (options.invoices != 0)
        return;
    const QStringList first = firstEstablishment(db);
    const QString& branch = first.at(0);
    const QString& company = first.at(1);

    const std::vector<Authorised> all = authorised(db);
    const std::vector<const Authorised*> own = ownInvoices(all, first);

    // Accounting closed up to the oldest day; open from the next one on.
    const QDate closedUntil = own.front()->issued;
    runOrThrow(db, kPeriodSql, {company, branch, closedUntil.addDays(-30), closedUntil, QStringLiteral("F")},
               QStringLiteral("Falha ao gravar o período contábil fechado"));
    runOrThrow(db, kPeriodSql,
               {company, branch, closedUntil.addDays(1), options.today.addDays(30), QStringLiteral("A")},
               QStringLiteral("Falha ao gravar o período contábil aberto"));

    const QDate apportionedUntil = apportionNextDay(db, own, closedUntil, first);
    addAllReceivables(db, all, blockedInvoices(own, apportionedUntil));
}

} // namespace zavdb
