// Demo and volume data of the reference tables.
//
// The demo set tells a small but complete story: four companies, five branches,
// companies linked to branches through the branch's own row and through
// EMPRCNTRFIL, registrations in several states and both NF-e environments (one
// without a certificate yet), several series per registration, customers and
// suppliers with valid CNPJ/CPF (some sharing one registration number), and
// branches with and without a processing date of their own. Everything is
// derived from fixed tables and the row number, so two runs give the same rows.
#include "seed.h"

#include "batchinsert.h"
#include "database.h"
#include "taxids.h"
#include "transaction.h"

#include <QSet>
#include <QStringList>
#include <array>

namespace zavdb {
namespace {

constexpr int kDemoCustomers = 60;
constexpr int kDemoSuppliers = 24;

struct Company {
    const char* code;
    const char* name;
};
const Company kCompanies[] = {
    {"01", "Alvorada Comércio de Alimentos Ltda"},
    {"02", "Serra Verde Indústria Têxtil S.A."},
    {"03", "Horizonte Distribuidora de Bebidas Ltda"}, // operates at no branch
    {"04", "Pinheiral Serviços de Logística Ltda"},    // linked to a branch with no registration yet
};

struct Branch {
    const char* code;
    const char* name;
    const char* company;
    const char* stateReg;
    const char* cityReg;
    const char* series;
    const char* cnpjHead; // root and order: the check digits are computed
};
const Branch kBranches[] = {
    {"0001", "Matriz São Paulo", "01", "110042490114", "30521457", "1", "432187650001"},
    {"0002", "Filial Campinas", "01", "244123456118", "70812", "1", "432187650002"},
    {"0003", "Filial Rio de Janeiro", "02", "86123455", "01234560", "1", "076543210001"},
    {"0004", "Filial Belo Horizonte", "02", "0623079040081", "31100927", "U", "076543210002"},
    {"0005", "Depósito Curitiba", "01", "9015123456", "0412345", "1", "432187650003"},
};

struct StateRegistration {
    const char* company;
    const char* code;
    const char* name;
    const char* certificate; // nullptr: no certificate installed yet
    const char* environment;
    const char* state;
};
const StateRegistration kRegistrations[] = {
    {"01", "110042490114", "Alvorada - Matriz São Paulo", "3A5F9C21B7E04D18", "2", "SP"},
    {"01", "244123456118", "Alvorada - Campinas", "5C0E7A9132F4B6D8A1E3", "1", "SP"},
    {"01", "9015123456", "Alvorada - Curitiba", nullptr, "2", "PR"},
    {"01", "86998877", "Alvorada - Rio de Janeiro", "9B8A7C6D5E4F30211202", "2", "RJ"},
    {"02", "86123455", "Serra Verde - Rio de Janeiro", "1F2E3D4C5B6A79880011AABB", "2", "RJ"},
    {"02", "0623079040081", "Serra Verde - Belo Horizonte", "7D41C0FFEE2B9A55", "1", "MG"},
    {"02", "110987654110", "Serra Verde - São Paulo", "0A1B2C3D4E5F60718293A4B5C6D7E8F9", "2", "SP"},
    {"03", "336221100117", "Horizonte - Guarulhos", "6E5D4C3B2A1908070605", "2", "SP"},
};

struct Series {
    const char* company;
    const char* stateReg;
    const char* cityReg;
    const char* code;
    const char* description;
    const char* exportCode;
};
const Series kSeries[] = {
    {"01", "110042490114", "30521457", "1", "Vendas", "1"},
    {"01", "110042490114", "30521457", "2", "Devoluções", "2"},
    {"01", "110042490114", "30521457", "U", "Série Única", "0"},
    // A second municipal registration of the same state registration, with a
    // series code that also exists under the first.
    {"01", "110042490114", "30521465", "1", "Serviços", "11"},
    {"01", "110042490114", "30521465", "3", "Serviços", "3"},
    {"01", "244123456118", "70812", "1", "Vendas", "1"},
    {"01", "244123456118", "70812", "5", "Transferência", "5"},
    {"01", "9015123456", "0412345", "1", "Vendas", "1"},
    {"01", "9015123456", "0412345", "2", "Devoluções", "2"},
    {"01", "86998877", "04455667", "1", "Vendas", "1"},
    {"01", "86998877", "04455667", "7", "Consignação", "7"},
    {"02", "86123455", "01234560", "1", "Vendas", "1"},
    {"02", "86123455", "01234560", "2", "Devoluções", "2"},
    {"02", "86123455", "01234560", "10", "Exportação", "10"},
    {"02", "0623079040081", "31100927", "U", "Série Única", "0"},
    {"02", "0623079040081", "31100927", "1", "Vendas", "1"},
    {"02", "110987654110", "30529981", "1", "Vendas", "1"},
    {"02", "110987654110", "30529981", "4", "Amostras", "4"},
    {"03", "336221100117", "2087711", "1", "Vendas", "1"},
};

struct CompanyAtBranch {
    const char* company;
    const char* branch;
    const char* stateReg;
    const char* cityReg;
    const char* series;
};
const CompanyAtBranch kCompaniesAtBranches[] = {
    // The branch's own company once more, under its second municipal registration.
    {"01", "0001", "110042490114", "30521465", "3"},
    {"02", "0001", "110987654110", "30529981", "1"},
    {"01", "0003", "86998877", "04455667", "1"},
    {"04", "0005", "", "", ""},
};

// Days before the seeding day; a branch missing here has no row.
struct ProcessingDay {
    const char* branch;
    int daysBack;
};
const ProcessingDay kProcessingDays[] = {{"0001", 0}, {"0002", 1}, {"0003", 0}, {"0005", 3}};

// Names are put together from these lists by row number.
const std::array kShopKinds = {"Supermercado", "Padaria",     "Mercearia",  "Distribuidora",
                               "Atacadão",     "Restaurante", "Farmácia",   "Açougue",
                               "Empório",      "Hortifruti",  "Lanchonete", "Armazém"};
const std::array kShopNames = {"Bom Preço",      "São Jorge",   "Estrela do Sul", "Bela Vista",
                               "Nova Esperança", "Santa Luzia", "Três Irmãos",    "Boa Vista",
                               "Primavera",      "Ouro Verde",  "Central",        "Paulista",
                               "Mineiro",        "Carioca",     "Gaúcho",         "Pão Dourado",
                               "Sol Nascente",   "Vila Rica",   "Dois Irmãos",    "Recanto"};
const std::array kCompanySuffixes = {"Ltda", "ME", "Eireli", "S.A.", "Ltda EPP"};
const std::array kFirstNames = {"Maria",    "José",    "Ana",   "João",    "Antônio", "Francisca", "Carlos",
                                "Paulo",    "Adriana", "Lucas", "Juliana", "Marcos",  "Fernanda",  "Rafael",
                                "Patrícia", "Luiz",    "Aline", "Gabriel", "Camila",  "Pedro"};
const std::array kSurnames = {"da Silva", "dos Santos", "Oliveira", "Souza",     "Rodrigues", "Ferreira",
                              "Alves",    "Pereira",    "Lima",     "Gomes",     "Ribeiro",   "Carvalho",
                              "Almeida",  "Lopes",      "Soares",   "Fernandes", "Vieira",    "Barbosa"};
const std::array kMakerKinds = {"Laticínios", "Frigorífico", "Moinho",  "Embalagens",  "Indústria de Bebidas",
                                "Cerealista", "Têxtil",      "Química", "Metalúrgica", "Transportadora"};
const std::array kMakerNames = {"Serra Azul",   "Vale do Rio", "Santa Clara", "Rio Branco",
                                "Monte Alegre", "Boa Safra",   "Campo Belo",  "Água Limpa",
                                "Pinhal",       "Itaquera",    "Paraná",      "Tietê"};

template <typename List> QString pick(const List& list, qsizetype n) {
    return QString::fromUtf8(list[std::size_t(n % qsizetype(list.size()))]);
}

// Spreads row numbers over the digit space: multiplying by a number prime to
// the modulus is a bijection, so distinct rows get distinct registrations.
QString digitsFor(qsizetype row, qint64 factor, qint64 offset, qint64 modulus, int width) {
    const qint64 value = (offset + qint64(row) * factor) % modulus;
    return QString::number(value).rightJustified(width, QLatin1Char('0'));
}

QString cnpjFor(qsizetype row, qint64 salt) {
    const QString root = digitsFor(row, 37466011, 10000019 + salt, 100000000, 8);
    return completeCnpj(root + QStringLiteral("0001"));
}

QString cpfFor(qsizetype row, qint64 salt) {
    QString base = digitsFor(row, 15485863, 100000007 + salt, 1000000000, 9);
    if (base.count(base.at(0)) == base.size()) // all equal digits are no CPF
        base[8] = base.at(8) == QLatin1Char('9') ? QLatin1Char('8') : QChar(base.at(8).unicode() + 1);
    return completeCpf(base);
}

QString code(qsizetype row) {
    return QString::number(row).rightJustified(6, QLatin1Char('0'));
}

struct Party {
    QString code, kind, registration, name, tradeName;
};

// Customer n (1-based). Every fifth is a natural person.
Party customer(qsizetype n) {
    Party p;
    p.code = code(n);
    if (n % 5 == 0) {
        p.kind = QStringLiteral("F");
        p.registration = cpfFor(n, 0);
        p.name = pick(kFirstNames, n / 5) + QLatin1Char(' ') + pick(kSurnames, n * 7 / 5) + QLatin1Char(' ') +
                 pick(kSurnames, n / 3 + 5);
        p.tradeName = p.name;
    } else {
        p.kind = QStringLiteral("J");
        p.registration = cnpjFor(n, 0);
        p.tradeName = pick(kShopKinds, n) + QLatin1Char(' ') + pick(kShopNames, n * 7 + n / 12);
        p.name = p.tradeName + QLatin1Char(' ') + pick(kCompanySuffixes, n / 3);
    }
    return p;
}

// Supplier n (1-based). Every sixth is a rural producer with a CPF.
Party supplier(qsizetype n) {
    Party p;
    p.code = QStringLiteral("F") + code(n);
    if (n % 6 == 0) {
        p.kind = QStringLiteral("F");
        p.registration = cpfFor(n, 37);
        p.name = pick(kFirstNames, n + 3) + QLatin1Char(' ') + pick(kSurnames, n * 5);
        p.tradeName = QStringLiteral("Sítio ") + pick(kMakerNames, n * 3);
    } else {
        p.kind = QStringLiteral("J");
        p.registration = cnpjFor(n, 5000011);
        p.tradeName = pick(kMakerKinds, n) + QLatin1Char(' ') + pick(kMakerNames, n * 5 + n / 10);
        p.name = p.tradeName + QLatin1Char(' ') + pick(kCompanySuffixes, n + 1);
    }
    return p;
}

// Demo rows that share the registration of another row: the same customer
// registered twice (another delivery address), the same supplier under two
// codes with names that sort apart.
Party demoCustomer(qsizetype n) {
    Party p = customer(n);
    if (n == 12 || n == 31 || n == 45) {
        const Party twin = customer(n - 1);
        p.kind = twin.kind;
        p.registration = twin.registration;
        p.name = twin.name;
        p.tradeName = twin.tradeName + QStringLiteral(" (Entrega)");
    } else if (n == 20) { // a natural person registered twice
        const Party twin = customer(15);
        p.kind = twin.kind;
        p.registration = twin.registration;
        p.name = twin.name;
        p.tradeName = twin.tradeName;
    }
    return p;
}

Party demoSupplier(qsizetype n) {
    Party p = supplier(n);
    if (n == 9) {
        const Party twin = supplier(8);
        p.kind = twin.kind;
        p.registration = twin.registration;
        p.name = QStringLiteral("Atacado ") + twin.tradeName + QStringLiteral(" Ltda");
        p.tradeName = twin.tradeName;
    } else if (n == 17) {
        const Party twin = supplier(16);
        p.kind = twin.kind;
        p.registration = twin.registration;
        p.name = QStringLiteral("Zona Franca ") + twin.tradeName;
        p.tradeName = twin.tradeName;
    }
    return p;
}

QVariantList row(const Party& p, int nameWidth) {
    return {p.code, p.kind, p.registration, p.name.left(nameWidth), p.tradeName.left(nameWidth)};
}

QVariant text(const char* s) {
    return s ? QVariant(QString::fromUtf8(s)) : nullText();
}

void seedCompanies(QSqlDatabase& db) {
    BatchInsert insert(db, QStringLiteral("EMPRESA"),
                       {QStringLiteral("CDEMPRESA"), QStringLiteral("NMRAZSOCEMPR")});
    for (const Company& c : kCompanies)
        insert.add({text(c.code), text(c.name)});
    insert.flush();
}

void seedBranches(QSqlDatabase& db) {
    BatchInsert insert(db, QStringLiteral("FILIAL"),
                       {QStringLiteral("CDFILIAL"), QStringLiteral("NMFILIAL"), QStringLiteral("CDEMPRESA"),
                        QStringLiteral("CDINSCESTA"), QStringLiteral("CDINSCMUNI"), QStringLiteral("CDSERIE"),
                        QStringLiteral("NRCNPJFILIAL")});
    for (const Branch& b : kBranches)
        insert.add({text(b.code), text(b.name), text(b.company), text(b.stateReg), text(b.cityReg),
                    text(b.series), completeCnpj(QString::fromLatin1(b.cnpjHead))});
    insert.flush();
}

void seedRegistrations(QSqlDatabase& db) {
    BatchInsert insert(db, QStringLiteral("INSCRESTAD"),
                       {QStringLiteral("CDEMPRESA"), QStringLiteral("CDINSCESTA"),
                        QStringLiteral("NMREPRINSEST"), QStringLiteral("NRSERIECERTIFIC"),
                        QStringLiteral("IDTPAMBIENTENFE"), QStringLiteral("SGESTADO")});
    for (const StateRegistration& r : kRegistrations)
        insert.add({text(r.company), text(r.code), text(r.name), text(r.certificate), text(r.environment),
                    text(r.state)});
    insert.flush();
}

void seedSeries(QSqlDatabase& db) {
    BatchInsert insert(db, QStringLiteral("SERIENF"),
                       {QStringLiteral("CDEMPRESA"), QStringLiteral("CDINSCESTA"),
                        QStringLiteral("CDINSCMUNI"), QStringLiteral("CDSERIE"), QStringLiteral("DSSERIE"),
                        QStringLiteral("CDEXPSERIENF")});
    for (const Series& s : kSeries)
        insert.add({text(s.company), text(s.stateReg), text(s.cityReg), text(s.code), text(s.description),
                    text(s.exportCode)});
    insert.flush();
}

void seedCompaniesAtBranches(QSqlDatabase& db) {
    BatchInsert insert(db, QStringLiteral("EMPRCNTRFIL"),
                       {QStringLiteral("CDEMPRESA"), QStringLiteral("CDFILIAL"), QStringLiteral("CDINSCESTA"),
                        QStringLiteral("CDINSCMUNI"), QStringLiteral("CDSERIE")});
    for (const CompanyAtBranch& c : kCompaniesAtBranches)
        insert.add({text(c.company), text(c.branch), text(c.stateReg), text(c.cityReg), text(c.series)});
    insert.flush();
}

void seedCustomers(QSqlDatabase& db, int count) {
    BatchInsert insert(db, QStringLiteral("CLIENTE"),
                       {QStringLiteral("CDCLIENTE"), QStringLiteral("IDTPIJURCLIE"),
                        QStringLiteral("NRINSJURCLIE"), QStringLiteral("NMRAZSOCCLIE"),
                        QStringLiteral("NMFANTCLIE")});
    for (qsizetype n = 1; n <= count; ++n)
        insert.add(row(n <= kDemoCustomers ? demoCustomer(n) : customer(n), 50));
    insert.flush();
}

void seedSuppliers(QSqlDatabase& db, int count) {
    BatchInsert insert(db, QStringLiteral("FORNECEDOR"),
                       {QStringLiteral("CDFORNECED"), QStringLiteral("IDTPIJURFORN"),
                        QStringLiteral("NRINSJURFORN"), QStringLiteral("NMRAZSOCFORN"),
                        QStringLiteral("NMFANTFORN")});
    for (qsizetype n = 1; n <= count; ++n)
        insert.add(row(n <= kDemoSuppliers ? demoSupplier(n) : supplier(n), 40));
    insert.flush();
}

void seedProcessingDays(QSqlDatabase& db, const QDate& today) {
    BatchInsert insert(db, QStringLiteral("ZAVDATAPROC"),
                       {QStringLiteral("CDFILIAL"), QStringLiteral("DTPROC")});
    for (const ProcessingDay& d : kProcessingDays)
        insert.add({text(d.branch), today.addDays(-d.daysBack)});
    insert.flush();
}

} // namespace

// Volume sets keep the demo rows first, so a benchmark database still holds
// every row the demo promises: N customers means N in all, at least the demo's.
void seedReference(QSqlDatabase& db, const SeedOptions& options) {
    if (options.customers < 0 || options.suppliers < 0)
        throw DatabaseError(QStringLiteral("O número de clientes e de fornecedores não pode ser negativo."));
    if (!options.today.isValid())
        throw DatabaseError(QStringLiteral("Data de referência inválida para os dados de demonstração."));
    Transaction transaction(db);
    seedCompanies(db);
    seedBranches(db);
    seedRegistrations(db);
    seedSeries(db);
    seedCompaniesAtBranches(db);
    seedCustomers(db, qMax(options.customers, kDemoCustomers));
    seedSuppliers(db, qMax(options.suppliers, kDemoSuppliers));
    seedProcessingDays(db, options.today);
    transaction.commit();
}

} // namespace zavdb
