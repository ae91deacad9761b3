#include "database.h"
#include "digits.h"
#include "invoicewriter.h"
#include "seed.h"
#include "seed_blocks.h"
#include "statement.h"
#include "states.h"
#include "transaction.h"

#include <QDate>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTime>
#include <QTimeZone>
#include <QVariant>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace zavdb {

namespace {

// Every (branch, company, registrations, series) under which invoices can be
// issued: the branch's own establishment and the companies operating at it,
// each with every series of that company and registrations.
const char* const kEstablishmentsSql = R"(
SELECT F.CDFILIAL, F.CDEMPRESA, F.CDINSCESTA, F.CDINSCMUNI, S.CDSERIE, S.CDEXPSERIENF,
       I.SGESTADO, F.NRCNPJFILIAL
FROM FILIAL F
JOIN SERIENF S ON S.CDEMPRESA = F.CDEMPRESA AND S.CDINSCESTA = F.CDINSCESTA
              AND S.CDINSCMUNI = F.CDINSCMUNI
JOIN INSCRESTAD I ON I.CDEMPRESA = F.CDEMPRESA AND I.CDINSCESTA = F.CDINSCESTA
UNION
SELECT EC.CDFILIAL, EC.CDEMPRESA, EC.CDINSCESTA, EC.CDINSCMUNI, S.CDSERIE, S.CDEXPSERIENF,
       I.SGESTADO, F.NRCNPJFILIAL
FROM EMPRCNTRFIL EC
JOIN FILIAL F ON F.CDFILIAL = EC.CDFILIAL
JOIN SERIENF S ON S.CDEMPRESA = EC.CDEMPRESA AND S.CDINSCESTA = EC.CDINSCESTA
              AND S.CDINSCMUNI = EC.CDINSCMUNI
JOIN INSCRESTAD I ON I.CDEMPRESA = EC.CDEMPRESA AND I.CDINSCESTA = EC.CDINSCESTA
ORDER BY 1, 2, 3, 4, 5
)";

const char* const kCustomersSql = "SELECT CDCLIENTE, NMRAZSOCCLIE FROM CLIENTE ORDER BY CDCLIENTE";
const char* const kSuppliersSql = "SELECT CDFORNECED, NMRAZSOCFORN FROM FORNECEDOR ORDER BY CDFORNECED";
const char* const kBranchesSql = "SELECT CDFILIAL, NMFILIAL FROM FILIAL ORDER BY CDFILIAL";
const char* const kInvoiceCountSql = "SELECT COUNT(*) FROM NOTAFISCAL";
const char* const kBusiestSql = R"(
SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE, COUNT(*), MIN(DTEMISSAO), MAX(DTEMISSAO)
FROM NOTAFISCAL WHERE IDSITUACAONFE = 'A'
GROUP BY CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE
ORDER BY COUNT(*) DESC, CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE
LIMIT 1)";

constexpr int kBatchRows = 200;

struct Establishment {
    QString branch, company, stateRegistration, cityRegistration, series;
    int nfeSeries = 0;        // the series as the access key carries it (0 to 999)
    QString stateCode;        // cUF, two digits
    int utcOffsetSeconds = 0; // of the state's legal time
    QString issuerCnpj;       // 14 digits
};

struct Party {
    QString code, name;
};

struct Invoice {
    const Establishment* establishment = nullptr;
    QDate issued;
    QChar kind; // C, F or L
    const Party* party = nullptr;
    QChar state;     // A, C or D
    QChar direction; // S or E
    qint64 cents = 0;
    int minuteOfDay = 0;
};

// An establishment's five keys from the first five columns of the row:
// branch, company, state and city registrations, series.
template <class Keys> void readKeys(const QSqlQuery& query, Keys& e) {
    e.branch = query.value(0).toString();
    e.company = query.value(1).toString();
    e.stateRegistration = query.value(2).toString();
    e.cityRegistration = query.value(3).toString();
    e.series = query.value(4).toString();
}

QString digits(qint64 value, int width) {
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

std::vector<Establishment> readEstablishments(QSqlDatabase& db) {
    std::vector<Establishment> result;
    QSqlQuery query =
        runOrThrow(db, kEstablishmentsSql, {}, QStringLiteral("Falha ao ler as filiais e séries"));
    while (query.next()) {
        Establishment e;
        readKeys(query, e);
        // The NF-e carries a numeric series: the export code of the series
        // when it has one, otherwise the series code itself.
        const QString exported = query.value(5).toString().trimmed();
        const QString own = e.series.trimmed();
        if (zavfiscal::isDigits(exported, 1, 3))
            e.nfeSeries = exported.toInt();
        else if (zavfiscal::isDigits(own, 1, 3))
            e.nfeSeries = own.toInt();
        else
            throw DatabaseError(QStringLiteral("Série %1 da empresa %2 sem código numérico para a NF-e.")
                                    .arg(e.series, e.company));
        const zavfiscal::State* state =
            zavfiscal::stateByAbbreviation(query.value(6).toString().trimmed(), Qt::CaseInsensitive);
        if (!state)
            throw DatabaseError(QStringLiteral("Estado desconhecido na inscrição estadual %1 da empresa %2.")
                                    .arg(e.stateRegistration, e.company));
        e.stateCode = QLatin1String(state->code);
        e.utcOffsetSeconds = state->utcOffsetSeconds;
        e.issuerCnpj = query.value(7).toString().trimmed();
        if (!zavfiscal::isDigits(e.issuerCnpj, 14))
            throw DatabaseError(QStringLiteral("CNPJ da filial %1 deve ter 14 dígitos.").arg(e.branch));
        result.push_back(std::move(e));
    }
    return result;
}

std::vector<Party> readParties(QSqlDatabase& db, const char* sql, const QString& what) {
    std::vector<Party> result;
    QSqlQuery query = runOrThrow(db, sql, {}, what);
    while (query.next())
        result.push_back({query.value(0).toString(), query.value(1).toString().left(50)});
    return result;
}

// Numbers the invoices (entry, NF-e number per issuer and series, the key's
// code, protocol) and writes them through the invoice writer.
class DemoInvoices {
public:
    explicit DemoInvoices(QSqlDatabase& db) : m_writer(db, kBatchRows) {}

    void add(const Invoice& invoice) {
        const Establishment& e = *invoice.establishment;
        ++m_entry;
        const int number = ++m_numbers[{e.issuerCnpj, e.nfeSeries}];
        QDateTime authorisedAt(invoice.issued, QTime(0, 0).addSecs(invoice.minuteOfDay * 60 + 17),
                               QTimeZone(e.utcOffsetSeconds));
        // Never authorised later than now, in the state's own time: the
        // machine's clock may be on another offset (UTC on servers), and an
        // authorisation in the future makes the authority refuse every event.
        const QDateTime now = QDateTime::currentDateTimeUtc().toOffsetFromUtc(e.utcOffsetSeconds);
        if (authorisedAt > now)
            authorisedAt = now.addSecs(-60 - now.time().second());
        InvoiceRecord r;
        r.entry = digits(m_entry, 10);
        r.branch = e.branch;
        r.company = e.company;
        r.stateRegistration = e.stateRegistration;
        r.cityRegistration = e.cityRegistration;
        r.series = e.series;
        r.number = number;
        r.issued = invoice.issued;
        r.direction = invoice.direction;
        r.bookEntry = digits(m_entry * 7 + 100000, 12);
        r.value = double(invoice.cents) / 100.0;
        r.counterpartyKind = invoice.kind;
        r.counterparty = invoice.party->code;
        r.name = invoice.party->name;
        r.state = invoice.state;
        r.stateCode = e.stateCode;
        r.issuerCnpj = e.issuerCnpj;
        r.nfeSeries = e.nfeSeries;
        r.keyCode = randomCode(number);
        r.protocol = QStringLiteral("1") + e.stateCode + invoice.issued.toString(QStringLiteral("yy")) +
                     digits(m_entry, 10);
        r.authorisedAt = zavfiscal::legalDateTime(authorisedAt, e.utcOffsetSeconds);
        m_writer.add(r);
    }

    void flush() { m_writer.flush(); }

private:
    // cNF: eight digits that must differ from the invoice number, so that the
    // key cannot be guessed from the number alone.
    int randomCode(int number) {
        int code = 0;
        do
            code = int(m_random() % 100000000u);
        while (code == number % 100000000);
        return code;
    }

    InvoiceWriter m_writer;
    qint64 m_entry = 0;
    std::map<std::pair<QString, int>, int> m_numbers;
    std::mt19937 m_random{20240501u};
};

struct Sources {
    std::vector<Establishment> establishments;
    std::vector<Party> customers, suppliers, branches;
};

// The counterparty of the n-th invoice of an establishment: customers, suppliers
// and other branches in turn (a kind without candidates is skipped).
std::pair<QChar, const Party*> counterparty(const Sources& s, const Establishment& e, std::uint32_t n) {
    for (std::uint32_t attempt = 0; attempt < 3; ++attempt, ++n) {
        switch (n % 3) {
        case 0:
            if (!s.customers.empty())
                return {u'C', &s.customers[(n / 3) % s.customers.size()]};
            break;
        case 1:
            if (!s.suppliers.empty())
                return {u'F', &s.suppliers[(n / 3) % s.suppliers.size()]};
            break;
        default: {
            std::vector<const Party*> others;
            for (const Party& b : s.branches)
                if (b.code != e.branch)
                    others.push_back(&b);
            if (!others.empty())
                return {u'L', others[(n / 3) % others.size()]};
            break;
        }
        }
    }
    throw DatabaseError(
        QStringLiteral("Não há clientes, fornecedores nem outras filiais para as notas fiscais."));
}

// The demo set: for every establishment, invoices on today and on earlier days
// back to 60 days ago, of every state and every kind of counterparty.
void seedDemo(DemoInvoices& writer, const Sources& s, const QDate& today) {
    constexpr int kPerEstablishment = 24;
    for (std::size_t ei = 0; ei < s.establishments.size(); ++ei) {
        const Establishment& e = s.establishments[ei];
        std::vector<Invoice> invoices;
        for (int k = 0; k < kPerEstablishment; ++k) {
            Invoice inv;
            inv.establishment = &e;
            // Day 0 and day 60 are always present: both ends of a 60-day period.
            const int daysBack = k == 0 ? 0 : k == 1 ? 60 : int((std::size_t(k) * 7 + ei * 3) % 61);
            inv.issued = today.addDays(-daysBack);
            const auto [kind, party] = counterparty(s, e, std::uint32_t(k + ei));
            inv.kind = kind;
            inv.party = party;
            inv.state = k % 8 == 5 ? u'C' : k % 8 == 7 ? u'D' : u'A';
            inv.direction = k % 6 == 4 ? u'E' : u'S';
            inv.cents = 5000 + qint64((std::size_t(k) * 7919 + ei * 104729) % 2500000);
            inv.minuteOfDay = 8 * 60 + (k * 37) % 600;
            invoices.push_back(inv);
        }
        // Numbers follow the issue dates, as an issuer's sequence does.
        std::stable_sort(invoices.begin(), invoices.end(),
                         [](const Invoice& a, const Invoice& b) { return a.issued < b.issued; });
        for (const Invoice& inv : invoices)
            writer.add(inv);
    }
}

// The volume set: half of the invoices on the first establishment, the rest
// spread over the others, issued over the last year, nine in ten authorised.
void seedVolume(DemoInvoices& writer, const Sources& s, const QDate& today, int count) {
    std::mt19937 random(7u);
    const std::size_t n = s.establishments.size();
    std::vector<int> perEstablishment(n, 0);
    perEstablishment[0] = n == 1 ? count : count / 2;
    for (int i = 0, rest = count - perEstablishment[0]; n > 1 && i < rest; ++i)
        ++perEstablishment[1 + std::size_t(i) % (n - 1)];

    constexpr int kDays = 366;
    for (std::size_t ei = 0; ei < n; ++ei) {
        const Establishment& e = s.establishments[ei];
        const int total = perEstablishment[ei];
        for (int k = 0; k < total; ++k) {
            Invoice inv;
            inv.establishment = &e;
            // Oldest first, evenly over the days, so numbers follow dates.
            inv.issued = today.addDays(-(kDays - 1) + int(qint64(k) * kDays / total));
            const auto [kind, party] = counterparty(s, e, random());
            inv.kind = kind;
            inv.party = party;
            const std::uint32_t roll = random() % 20;
            inv.state = roll == 0 ? u'C' : roll == 1 ? u'D' : u'A';
            inv.direction = random() % 10 == 0 ? u'E' : u'S';
            inv.cents = 1000 + qint64(random() % 5000000);
            inv.minuteOfDay = int(random() % 1440u);
            writer.add(inv);
        }
    }
}

} // namespace

std::optional<BusiestEstablishment> busiestEstablishment(QSqlDatabase& db) {
    QSqlQuery query =
        runOrThrow(db, kBusiestSql, {}, QStringLiteral("Falha ao ler o estabelecimento com mais notas"));
    if (!query.next())
        return std::nullopt;
    BusiestEstablishment e;
    readKeys(query, e);
    e.authorised = query.value(5).toInt();
    e.firstIssue = dateValue(query.value(6));
    e.lastIssue = dateValue(query.value(7));
    return e;
}

void seedInvoices(QSqlDatabase& db, const SeedOptions& options) {
    if (options.invoices < 0)
        throw DatabaseError(QStringLiteral("Número de notas fiscais inválido: %1.").arg(options.invoices));
    if (!options.today.isValid())
        throw DatabaseError(QStringLiteral("Data de referência das notas fiscais inválida."));

    // One transaction: a failure leaves no invoice half-written.
    Transaction transaction(db);
    {
        QSqlQuery count =
            runOrThrow(db, kInvoiceCountSql, {}, QStringLiteral("Falha ao contar as notas fiscais"));
        if (count.next() && count.value(0).toLongLong() > 0)
            throw DatabaseError(
                QStringLiteral("O banco já tem notas fiscais: as notas de demonstração só são "
                               "geradas num banco novo."));
    }

    Sources s;
    s.establishments = readEstablishments(db);
    if (s.establishments.empty())
        throw DatabaseError(QStringLiteral("Não há filial com série cadastrada para gerar notas fiscais."));
    s.customers = readParties(db, kCustomersSql, QStringLiteral("Falha ao ler os clientes"));
    s.suppliers = readParties(db, kSuppliersSql, QStringLiteral("Falha ao ler os fornecedores"));
    s.branches = readParties(db, kBranchesSql, QStringLiteral("Falha ao ler as filiais"));

    {
        DemoInvoices writer(db);
        if (options.invoices == 0)
            seedDemo(writer, s, options.today);
        else
            seedVolume(writer, s, options.today, options.invoices);
        writer.flush();
    }
    seedBlocks(db, options);
    transaction.commit();
}

} // namespace zavdb
