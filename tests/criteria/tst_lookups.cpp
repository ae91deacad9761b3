// The seven lookup queries on the demo database, on SQLite and PostgreSQL:
// statements accepted as stored, the all-rows flag, the conditions without a
// flag, the order of rows; and what the demo data promises the screen.
#include "cnpjcpf.h"
#include "criteria/queries.h"
#include "data/adoibquery.h"
#include "data/edatabaseerror.h"
#include "data/param.h"
#include "database.h"
#include "queryrows.h"
#include "testdb.h"
#include "testtools.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QtTest>
#include <map>
#include <optional>

namespace {

using zavtest::Params;

// The values of one column over every row, in order.
QStringList column(TADOIBQuery& q, const char* field) {
    QStringList values;
    for (q.First(); !q.Eof(); q.Next())
        values.append(q.FieldByName(QLatin1String(field))->AsString());
    return values;
}

// The lookup query of the screen with that object name, or null.
std::optional<LookupQuery> lookupNamed(const QString& name) {
    const QList<LookupQuery> all = LookupQueries();
    const auto it =
        std::find_if(all.begin(), all.end(), [&](const LookupQuery& l) { return l.name == name; });
    if (it == all.end())
        return std::nullopt;
    return *it;
}

} // namespace

class tst_lookups : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

    // Close, set every parameter by name, open: the way the screen runs them.
    std::unique_ptr<TADOIBQuery> run(const QString& dialect, void (*setup)(TADOIBQuery&),
                                     const Params& params) {
        auto q = std::make_unique<TADOIBQuery>();
        setup(*q);
        q->SetConnection(m_dbs.connectionName(dialect));
        zavtest::assign(*q, params);
        q->Open();
        return q;
    }

    // The same fields of every row read from the stored statement run with
    // every value bound: what the query gave before its flags were decided on
    // SQLite.
    static QList<QStringList> storedRows(QSqlDatabase& db, const TADOIBQuery& q, const Params& params) {
        QSqlQuery ref(db);
        if (const QString error = zavtest::execBound(ref, q.SQL().join(QLatin1Char('\n')), params);
            !error.isEmpty())
            return {{error}};
        QList<QStringList> rows;
        while (ref.next()) {
            QStringList row;
            for (const TField* f : q.Fields())
                row.append(ref.value(f->FieldName()).toString());
            rows.append(row);
        }
        return rows;
    }

    QStringList values(QSqlDatabase& db, const QString& sql) {
        QStringList list;
        QSqlQuery q(db);
        if (!q.exec(sql))
            return {QStringLiteral("error")};
        while (q.next())
            list.append(q.value(0).toString());
        return list;
    }

private Q_SLOTS:
    // What the search dialogs show: fields in order with width, label,
    // visibility; parameters as written.
    void definitions_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("fields");
        QTest::addColumn<QString>("params");
        QTest::newRow("qryFilial")
            << "qryFilial"
            << "CDFILIAL 4 Código +R|NMFILIAL 30 Nome +|CDINSCESTA 16 CDINSCESTA -|CDEMPRESA 2 CDEMPRESA -"
            << "P_CDFILIAL P_TCDFILIAL";
        QTest::newRow("qryEmpresa") << "qryEmpresa"
                                    << "CDEMPRESA 2 Código +R|NMRAZSOCEMPR 80 Razão Social +"
                                    << "P_CDEMPRESA P_TCDEMPRESA";
        QTest::newRow("qryInscrEstad") << "qryInscrEstad"
                                       << "CDEMPRESA 2 CDEMPRESA -R|CDINSCESTA 16 Código +R|NMREPRINSEST 40 "
                                          "NMREPRINSEST -|NRSERIECERTIFIC 50 NRSERIECERTIFIC "
                                          "-|IDTPAMBIENTENFE 1 IDTPAMBIENTENFE -|SGESTADO 2 SGESTADO -"
                                       << "P_EMPRESA P_INSCESTA P_TINSCESTA";
        QTest::newRow("qrySerieNF")
            << "qrySerieNF"
            << "CDEMPRESA 2 CDEMPRESA -R|CDINSCESTA 16 CDINSCESTA -R|CDINSCMUNI 16 CDINSCMUNI -R|CDSERIE 5 "
               "Código +R|DSSERIE 20 Descrição +|CDEXPSERIENF 10 Código Exportação NF-E +"
            << "P_EMPRESA P_INSCESTA P_CDINSCMUNI P_CDSERIE P_TCDSERIE";
        QTest::newRow("qryValidEmpr") << "qryValidEmpr"
                                      << "CDEMPRESA 2 CDEMPRESA +|CDINSCESTA 16 CDINSCESTA +|CDINSCMUNI 16 "
                                         "CDINSCMUNI +|CDSERIE 5 CDSERIE +"
                                      << "P_CDEMPRESA P_CDFILIAL";
        QTest::newRow("qryCliente")
            << "qryCliente"
            << "CDCLIENTE 21 CDCLIENTE -R|IDTPIJURCLIE 1 IDTPIJURCLIE -R|NRINSJURCLIE 20 Inscrição "
               "+R|NMRAZSOCCLIE 50 Razão Social +R|NMFANTCLIE 50 Nome Fantasia +R"
            << "P_NRINSJURCLIE P_TODOS P_CDCLIENTE P_TODOSCLIE";
        QTest::newRow("qryFornecedor")
            << "qryFornecedor"
            << "NRINSJURFORN 20 Inscrição +|NMRAZSOCFORN 40 Razão Social +|IDTPIJURFORN 1 IDTPIJURFORN "
               "-|NMFANTFORN 40 Nome Fantasia +|CDFORNECED 21 CDFORNECED +"
            << "P_NRINSJURFORN P_TODOS";
    }
    void definitions() {
        QFETCH(QString, query);
        QFETCH(QString, fields);
        QFETCH(QString, params);
        const std::optional<LookupQuery> lookup = lookupNamed(query);
        QVERIFY(lookup);
        TADOIBQuery q;
        lookup->setup(q);
        QCOMPARE(q.objectName(), query);
        QCOMPARE(q.Connection(), QStringLiteral("adcGeral"));
        QStringList described;
        for (const TField* f : q.Fields())
            described.append(QStringLiteral("%1 %2 %3 %4%5")
                                 .arg(f->FieldName())
                                 .arg(f->Size())
                                 .arg(f->DisplayLabel(),
                                      f->Visible() ? QStringLiteral("+") : QStringLiteral("-"),
                                      f->Required() ? QStringLiteral("R") : QString()));
        QCOMPARE(described.join(QLatin1Char('|')), fields);
        QStringList names;
        for (const TParam* p : q.Params())
            names.append(p->Name());
        QCOMPARE(names.join(QLatin1Char(' ')), params);
    }

    // The flag "T" lists every row whatever the key holds.
    void allRowsFlagIgnoresKey_data() {
        zavtest::addTextRows("key", {{"empty key", QStringLiteral("")},
                                     {"cleared key", QString()},
                                     {"a known code", QStringLiteral("0002")},
                                     {"an unknown code", QStringLiteral("ZZZZ")},
                                     {"a quote", QStringLiteral("'; --")}});
    }
    void allRowsFlagIgnoresKey() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, key);
        auto branches = run(dialect, SetupQryFilial, {{"P_CDFILIAL", key}, {"P_TCDFILIAL", "T"}});
        QCOMPARE(column(*branches, "CDFILIAL"), (QStringList{"0001", "0002", "0003", "0004", "0005"}));
        auto companies = run(dialect, SetupQryEmpresa, {{"P_CDEMPRESA", key}, {"P_TCDEMPRESA", "T"}});
        QCOMPARE(column(*companies, "CDEMPRESA"), (QStringList{"01", "02", "03", "04"}));
        auto registrations = run(dialect, SetupQryInscrEstad,
                                 {{"P_EMPRESA", "02"}, {"P_INSCESTA", key}, {"P_TINSCESTA", "T"}});
        QCOMPARE(column(*registrations, "CDINSCESTA"),
                 (QStringList{"0623079040081", "110987654110", "86123455"}));
        auto series = run(dialect, SetupQrySerieNF,
                          {{"P_EMPRESA", "02"},
                           {"P_INSCESTA", "86123455"},
                           {"P_CDINSCMUNI", "01234560"},
                           {"P_CDSERIE", key},
                           {"P_TCDSERIE", "T"}});
        QCOMPARE(column(*series, "CDSERIE"), (QStringList{"1", "10", "2"}));
        auto customers =
            run(dialect, SetupQryCliente,
                {{"P_NRINSJURCLIE", key}, {"P_TODOS", "T"}, {"P_CDCLIENTE", key}, {"P_TODOSCLIE", "T"}});
        QCOMPARE(customers->RecordCount(), 60);
        auto suppliers = run(dialect, SetupQryFornecedor, {{"P_NRINSJURFORN", key}, {"P_TODOS", "T"}});
        QCOMPARE(suppliers->RecordCount(), 24);
    }

    // Any flag but "T" checks the one key; only an exact code matches.
    void checkOfOneKey_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("name");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "empty flag, known", "", "0003", "Filial Rio de Janeiro");
            zavtest::addDialectRow(d, "flag N, known", "N", "0005", "Depósito Curitiba");
            zavtest::addDialectRow(d, "lower-case t is no flag", "t", "0001", "Matriz São Paulo");
            zavtest::addDialectRow(d, "unpadded code", "", "1", "");
            zavtest::addDialectRow(d, "code with a blank", "", "0001 ", "");
            zavtest::addDialectRow(d, "cleared key", "", QString(), "");
        }
    }
    void checkOfOneKey() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, flag);
        QFETCH(QString, key);
        QFETCH(QString, name);
        auto q = run(dialect, SetupQryFilial, {{"P_CDFILIAL", key}, {"P_TCDFILIAL", flag}});
        QCOMPARE(q->IsEmpty(), name.isEmpty());
        if (!name.isEmpty()) {
            QCOMPARE(q->RecordCount(), 1);
            QCOMPARE(q->FieldByName(QStringLiteral("NMFILIAL"))->AsString(), name);
            QCOMPARE(q->FieldByName(QStringLiteral("CDFILIAL"))->AsString(), key);
        }
    }

    // The company condition has no flag: a registration of another company is
    // never found, and a company's list holds only its own.
    void registrationsOfOneCompany_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("company");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QStringList>("found");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "own registration", "01", "9015123456", "", QStringList{"9015123456"});
            zavtest::addDialectRow(d, "another company's", "01", "86123455", "", QStringList{});
            zavtest::addDialectRow(d, "all of company 01", "01", "", "T",
                                   QStringList{"110042490114", "244123456118", "86998877", "9015123456"});
            zavtest::addDialectRow(d, "company without registrations", "04", "", "T", QStringList{});
            zavtest::addDialectRow(d, "no company", QString(), "", "T", QStringList{});
        }
    }
    void registrationsOfOneCompany() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, company);
        QFETCH(QString, key);
        QFETCH(QString, flag);
        auto q = run(dialect, SetupQryInscrEstad,
                     {{"P_EMPRESA", company}, {"P_INSCESTA", key}, {"P_TINSCESTA", flag}});
        QTEST(column(*q, "CDINSCESTA"), "found");
        for (const QString& c : column(*q, "CDEMPRESA"))
            QCOMPARE(c, company);
    }

    // What the cancellation reads from the registration the check stands on.
    void registrationSettings_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("company");
        QTest::addColumn<QString>("registration");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("state");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "homologation, SP", "01", "110042490114", "3A5F9C21B7E04D18", "2",
                                   "SP");
            zavtest::addDialectRow(d, "production, MG", "02", "0623079040081", "7D41C0FFEE2B9A55", "1", "MG");
            zavtest::addDialectRow(d, "no certificate yet", "01", "9015123456", "", "2", "PR");
        }
    }
    void registrationSettings() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, company);
        QFETCH(QString, registration);
        auto q = run(dialect, SetupQryInscrEstad,
                     {{"P_EMPRESA", company}, {"P_INSCESTA", registration}, {"P_TINSCESTA", ""}});
        QCOMPARE(q->RecordCount(), 1);
        QTEST(q->FieldByName(QStringLiteral("NRSERIECERTIFIC"))->AsString(), "certificate");
        QTEST(q->FieldByName(QStringLiteral("IDTPAMBIENTENFE"))->AsString(), "environment");
        QTEST(q->FieldByName(QStringLiteral("SGESTADO"))->AsString(), "state");
    }

    // Only the series condition has a flag: the list is that of one company,
    // state registration and municipal registration.
    void seriesOfOneRegistration_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("cityReg");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<QString>("description");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "all of the first municipal registration", "30521457", QString(), "T",
                                   QStringList{"1", "2", "U"}, "Vendas");
            zavtest::addDialectRow(d, "all of the second", "30521465", QString(), "T", QStringList{"1", "3"},
                                   "Serviços");
            zavtest::addDialectRow(d, "same code, second registration", "30521465", "1", "", QStringList{"1"},
                                   "Serviços");
            zavtest::addDialectRow(d, "code of the other registration only", "30521457", "3", "",
                                   QStringList{}, "");
            zavtest::addDialectRow(d, "letter series", "30521457", "U", "", QStringList{"U"}, "Série Única");
            zavtest::addDialectRow(d, "lower-case letter", "30521457", "u", "", QStringList{}, "");
            zavtest::addDialectRow(d, "empty registrations", "", QString(), "T", QStringList{}, "");
        }
    }
    void seriesOfOneRegistration() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, cityReg);
        QFETCH(QString, key);
        QFETCH(QString, flag);
        QFETCH(QString, description);
        auto q = run(dialect, SetupQrySerieNF,
                     {{"P_EMPRESA", "01"},
                      {"P_INSCESTA", cityReg.isEmpty() ? QString("") : QString("110042490114")},
                      {"P_CDINSCMUNI", cityReg},
                      {"P_CDSERIE", key},
                      {"P_TCDSERIE", flag}});
        QTEST(column(*q, "CDSERIE"), "found");
        if (!q->IsEmpty()) {
            q->First();
            QCOMPARE(q->FieldByName(QStringLiteral("DSSERIE"))->AsString(), description);
            QCOMPARE(q->FieldByName(QStringLiteral("CDINSCMUNI"))->AsString(), cityReg);
        }
    }

    // The branch's own row first, then the companies operating at the branch.
    void companyAtBranch_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("company");
        QTest::addColumn<QString>("branch");
        QTest::addColumn<QStringList>("rows");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "own company, also in the link table", "01", "0001",
                                   QStringList{"01 110042490114 30521457 1", "01 110042490114 30521465 3"});
            zavtest::addDialectRow(d, "linked only", "02", "0001", QStringList{"02 110987654110 30529981 1"});
            zavtest::addDialectRow(d, "own company only", "02", "0004",
                                   QStringList{"02 0623079040081 31100927 U"});
            zavtest::addDialectRow(d, "linked without registration", "04", "0005", QStringList{"04   "});
            zavtest::addDialectRow(d, "not linked", "03", "0001", QStringList{});
            zavtest::addDialectRow(d, "company of another branch", "01", "0004", QStringList{});
        }
    }
    void companyAtBranch() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, company);
        QFETCH(QString, branch);
        auto q = run(dialect, SetupQryValidEmpr, {{"P_CDEMPRESA", company}, {"P_CDFILIAL", branch}});
        QStringList rows;
        for (q->First(); !q->Eof(); q->Next()) {
            QStringList r;
            for (const TField* f : q->Fields())
                r.append(f->AsString());
            rows.append(r.join(QLatin1Char(' ')));
        }
        QTEST(rows, "rows");
        // The check stands on the first row, which fills the registrations.
        if (!q->IsEmpty()) {
            q->First();
            QCOMPARE(q->RecNo(), 1);
        }
    }

    // The customer check needs the registration and the code remembered from
    // the last pick; either flag lifts its condition.
    void customers_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("registration");
        QTest::addColumn<QString>("allRegistrations");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("allCodes");
        QTest::addColumn<QStringList>("codes");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "registration and code", "22126140000143", "N", "000011", "N",
                                   QStringList{"000011"});
            zavtest::addDialectRow(d, "shared registration, second code", "22126140000143", "N", "000012",
                                   "N", QStringList{"000012"});
            zavtest::addDialectRow(d, "registration with another's code", "22126140000143", "N", "000001",
                                   "N", QStringList{});
            zavtest::addDialectRow(d, "no code remembered", "22126140000143", "N", "", "N", QStringList{});
            zavtest::addDialectRow(d, "every code of a registration", "22126140000143", "N", "", "T",
                                   QStringList{"000011", "000012"});
            zavtest::addDialectRow(d, "a code whatever its registration", "", "T", "000005", "N",
                                   QStringList{"000005"});
            zavtest::addDialectRow(d, "formatted registration", "22.126.140/0001-43", "N", "000011", "N",
                                   QStringList{});
        }
    }
    void customers() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, registration);
        QFETCH(QString, allRegistrations);
        QFETCH(QString, code);
        QFETCH(QString, allCodes);
        auto q = run(dialect, SetupQryCliente,
                     {{"P_NRINSJURCLIE", registration},
                      {"P_TODOS", allRegistrations},
                      {"P_CDCLIENTE", code},
                      {"P_TODOSCLIE", allCodes}});
        QStringList codes = column(*q, "CDCLIENTE");
        codes.sort();
        QTEST(codes, "codes");
    }

    // Every customer for the search dialog, in registration order.
    void allCustomersInRegistrationOrder_data() { zavtest::addDialectRows("demo customers"); }
    void allCustomersInRegistrationOrder() {
        ZAV_DATABASE(m_dbs, db);
        auto q = run(dialect, SetupQryCliente,
                     {{"P_NRINSJURCLIE", ""}, {"P_TODOS", "T"}, {"P_CDCLIENTE", ""}, {"P_TODOSCLIE", "T"}});
        const QStringList registrations = column(*q, "NRINSJURCLIE");
        QCOMPARE(registrations.size(), 60);
        QStringList sorted = registrations;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(registrations, sorted);
    }

    // Any supplier with the registration passes; the first by company name is
    // the one the check stands on.
    void suppliers_data() {
        zavtest::addDatabaseColumn();
        QTest::addColumn<QString>("registration");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("firstName");
        for (const QString& d : zavtest::dialects()) {
            zavtest::addDialectRow(d, "shared registration", "14728118000145", "", 2,
                                   "Atacado Metalúrgica Monte Alegre Ltda");
            zavtest::addDialectRow(d, "single registration", "52466041000171", "N", 1,
                                   "Frigorífico Boa Safra Eireli");
            zavtest::addDialectRow(d, "unknown", "14728118000146", "", 0, "");
        }
    }
    void suppliers() {
        ZAV_DATABASE(m_dbs, db);
        QFETCH(QString, registration);
        QFETCH(QString, flag);
        QFETCH(QString, firstName);
        auto q = run(dialect, SetupQryFornecedor, {{"P_NRINSJURFORN", registration}, {"P_TODOS", flag}});
        QTEST(q->RecordCount(), "rows");
        if (!q->IsEmpty()) {
            QCOMPARE(q->RecNo(), 1);
            QCOMPARE(q->FieldByName(QStringLiteral("NMRAZSOCFORN"))->AsString(), firstName);
            QCOMPARE(q->FieldByName(QStringLiteral("NRINSJURFORN"))->AsString(), registration);
        }
    }

    void allSuppliersByName_data() { zavtest::addDialectRows("demo suppliers"); }
    void allSuppliersByName() {
        ZAV_DATABASE(m_dbs, db);
        auto q = run(dialect, SetupQryFornecedor, {{"P_NRINSJURFORN", QString()}, {"P_TODOS", "T"}});
        const QStringList names = column(*q, "NMRAZSOCFORN");
        QCOMPARE(names.size(), 24);
        // Byte order of the UTF-8 text, the same on both databases.
        QList<QByteArray> bytes;
        for (const QString& n : names)
            bytes.append(n.toUtf8());
        QList<QByteArray> sorted = bytes;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(bytes, sorted);
        QCOMPARE(names.constFirst(), QStringLiteral("Atacado Metalúrgica Monte Alegre Ltda"));
    }

    // Every combination of the flags' values, the screen's constants and
    // others, with keys found, not found and hostile: the same rows in the
    // same order as the stored statement gives with every value bound.
    void everyFlagCombination_data() { zavtest::addDialectRows("demo database"); }
    void everyFlagCombination() {
        ZAV_DATABASE(m_dbs, db);
        const QStringList flags = {"T", "N", "", "F", "t", QString()};
        const QStringList hostile = {"' OR '1'='1", "x') OR ('T' = 'T", "'); DELETE FROM CLIENTE; --"};
        int compared = 0;
        // Stops at the first difference (QCOMPARE leaves only the lambda).
        auto check = [&](void (*setup)(TADOIBQuery&), const Params& params) {
            if (QTest::currentTestFailed())
                return;
            auto q = run(dialect, setup, params);
            const QList<QStringList> expected = storedRows(db, *q, params);
            QCOMPARE(zavtest::rowsOf(*q), expected);
            for (const QString& h : hostile)
                QVERIFY(!q->StatementText().contains(h));
            ++compared;
        };
        const QStringList registrations = QStringList{"22126140000143", "99999999999999", ""} + hostile;
        const QStringList codes = {"000011", "000012", "000001", "", hostile.constFirst()};
        for (const QString& all : flags) {
            for (const QString& allCodes : flags) {
                for (const QString& registration : registrations) {
                    for (const QString& code : codes)
                        check(SetupQryCliente, {{"P_NRINSJURCLIE", registration},
                                                {"P_TODOS", all},
                                                {"P_CDCLIENTE", code},
                                                {"P_TODOSCLIE", allCodes}});
                }
            }
            for (const QString& registration :
                 QStringList{"14728118000145", "52466041000171", "14728118000146", QString()} + hostile)
                check(SetupQryFornecedor, {{"P_NRINSJURFORN", registration}, {"P_TODOS", all}});
            for (const QString& key : QStringList{"0001", "0009", ""} + hostile) {
                check(SetupQryFilial, {{"P_CDFILIAL", key}, {"P_TCDFILIAL", all}});
                check(SetupQryEmpresa, {{"P_CDEMPRESA", key.left(2)}, {"P_TCDEMPRESA", all}});
            }
            for (const QString& key : QStringList{"86123455", "110987654110", "0"} + hostile)
                check(SetupQryInscrEstad, {{"P_EMPRESA", "02"}, {"P_INSCESTA", key}, {"P_TINSCESTA", all}});
            for (const QString& key : QStringList{"1", "10", "9"} + hostile)
                check(SetupQrySerieNF, {{"P_EMPRESA", "02"},
                                        {"P_INSCESTA", "86123455"},
                                        {"P_CDINSCMUNI", "01234560"},
                                        {"P_CDSERIE", key},
                                        {"P_TCDSERIE", all}});
        }
        if (QTest::currentTestFailed())
            return;
        QVERIFY(compared > 1000);
        QCOMPARE(values(db, QStringLiteral("SELECT COUNT(*) FROM CLIENTE")).constFirst().toInt(), 60);
    }

    // On SQLite the checks of one key answer from an index: the plan of the
    // text the query ran searches the index, scanning no table or index.
    void checksSearchAnIndexOnSQLite_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("flags");
        zavtest::addRow("customer, registration and code", "qryCliente", "N N");
        zavtest::addRow("customer, registration only", "qryCliente", "N T");
        zavtest::addRow("customer, code only", "qryCliente", "T N");
        zavtest::addRow("customer, empty flags", "qryCliente", "- -");
        zavtest::addRow("supplier, empty flag", "qryFornecedor", "-");
        zavtest::addRow("supplier, flag N", "qryFornecedor", "N");
        zavtest::addRow("branch", "qryFilial", "-");
        zavtest::addRow("company", "qryEmpresa", "-");
        zavtest::addRow("registration", "qryInscrEstad", "-");
        zavtest::addRow("series", "qrySerieNF", "-");
    }
    void checksSearchAnIndexOnSQLite() {
        QFETCH(QString, query);
        QFETCH(QString, flags);
        QSqlDatabase db;
        ZAV_READY(zavtest::useDatabase(m_dbs, zavtest::kSQLite, &db));
        const std::optional<LookupQuery> lookup = lookupNamed(query);
        QVERIFY(lookup);
        TADOIBQuery q;
        lookup->setup(q);
        q.SetConnection(m_dbs.connectionName(zavtest::kSQLite));
        // Flags in the order the statement names them, "-" for "".
        QStringList flagValues = flags.split(QLatin1Char(' '));
        for (TParam* p : q.Params()) {
            if (p->IsFlag())
                p->SetAsString(flagValues.isEmpty() ? QStringLiteral("?")
                                                    : flagValues.takeFirst().remove(QLatin1Char('-')));
            else
                p->SetAsString(QStringLiteral("01"));
        }
        QVERIFY(flagValues.isEmpty());
        q.Open();

        QSqlQuery plan(db);
        QVERIFY(plan.prepare(QStringLiteral("EXPLAIN QUERY PLAN ") + q.StatementText()));
        for (TParam* p : q.Params()) {
            if (q.StatementText().contains(QLatin1Char(':') + p->Name()))
                plan.bindValue(QLatin1Char(':') + p->Name(), p->Value());
        }
        QVERIFY2(plan.exec(), qPrintable(plan.lastError().text()));
        QStringList steps;
        while (plan.next())
            steps.append(plan.value(QStringLiteral("detail")).toString());
        const QString described = steps.join(QStringLiteral(" | "));
        QVERIFY2(!steps.isEmpty(), qPrintable(described));
        for (const QString& step : steps) {
            if (step.startsWith(QLatin1String("USE TEMP B-TREE")) ||
                step.startsWith(QLatin1String("COMPOUND")))
                continue;
            QVERIFY2(step.startsWith(QLatin1String("SEARCH ")) && step.contains(QLatin1String(" USING ")),
                     qPrintable(described));
        }
    }

    // On PostgreSQL the stored statement runs as it is, every value bound.
    void storedTextOnPostgreSQL() {
        ZAV_READY(zavtest::useDatabase(m_dbs, zavtest::kPostgreSQL));
        auto q = run(zavtest::kPostgreSQL, SetupQryCliente,
                     {{"P_NRINSJURCLIE", "22126140000143"},
                      {"P_TODOS", "N"},
                      {"P_CDCLIENTE", "000011"},
                      {"P_TODOSCLIE", "N"}});
        QCOMPARE(q->StatementText(), q->SQL().join(QLatin1Char('\n')));
        QCOMPARE(column(*q, "CDCLIENTE"), QStringList{"000011"});
    }

    // On PostgreSQL the workstation logs in under a role of the group
    // zav_estacao: every lookup the screen makes, and the processing date,
    // work under it; invoices, cancellations, events and operators are out of
    // its reach, and it changes nothing. The server's group writes the
    // product's tables and creates none.
    void rolesSplitTheDatabase() {
        QSqlDatabase admin;
        ZAV_READY(zavtest::useDatabase(m_dbs, zavtest::kPostgreSQL, &admin));
        const QString suffix = QString::number(QCoreApplication::applicationPid());
        const QString workstation = QStringLiteral("zav_test_estacao_") + suffix;
        const QString server = QStringLiteral("zav_test_servidor_") + suffix;
        QSqlQuery q(admin);
        for (const auto& [login, group] : {std::pair{workstation, QStringLiteral("zav_estacao")},
                                           std::pair{server, QStringLiteral("zav_servidor")}}) {
            q.exec(QStringLiteral("DROP ROLE IF EXISTS %1").arg(login));
            QVERIFY2(
                q.exec(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD 'senha' IN ROLE %2").arg(login, group)),
                qPrintable(q.lastError().text()));
        }
        const auto cleanup = qScopeGuard([&] {
            for (const QString& name : {workstation, server}) {
                if (QSqlDatabase::contains(name))
                    QSqlDatabase::removeDatabase(name);
                QSqlQuery(admin).exec(QStringLiteral("DROP ROLE IF EXISTS %1").arg(name));
            }
        });
        const auto connectAs = [&](const QString& login) {
            QUrl url(m_dbs.connectionText(zavtest::kPostgreSQL));
            url.setUserName(login);
            url.setPassword(QStringLiteral("senha"));
            return zavdb::open(url.toString(), login);
        };
        const auto allowed = [](QSqlDatabase& db, const QString& sql) {
            QSqlQuery r(db);
            return r.exec(sql);
        };

        QMap<QString, QString> branch; // key: a parameter's name without "P_"
        QVERIFY(q.exec(QStringLiteral("SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI FROM FILIAL "
                                      "WHERE CDFILIAL = '0001'")) &&
                q.next());
        branch = {{QStringLiteral("CDFILIAL"), q.value(0).toString()},
                  {QStringLiteral("CDEMPRESA"), q.value(1).toString()},
                  {QStringLiteral("EMPRESA"), q.value(1).toString()},
                  {QStringLiteral("INSCESTA"), q.value(2).toString()},
                  {QStringLiteral("CDINSCMUNI"), q.value(3).toString()}};
        q.finish();
        {
            QSqlDatabase ws = connectAs(workstation);
            for (const LookupQuery& l : LookupQueries()) {
                TADOIBQuery lookup;
                l.setup(lookup);
                lookup.SetConnection(workstation);
                // Every row where a flag allows; the demo's first branch, its
                // company and registrations where not.
                for (TParam* p : lookup.Params()) {
                    const QString n = p->Name();
                    p->SetAsString(n.startsWith(QStringLiteral("P_T")) ? QStringLiteral("T")
                                                                       : branch.value(n.mid(2)));
                }
                try {
                    lookup.Open();
                } catch (const EDatabaseError& e) {
                    QFAIL(qPrintable(l.name + QStringLiteral(": ") + e.text()));
                }
                QVERIFY2(!lookup.Eof(), qPrintable(l.name));
            }
            QVERIFY(allowed(ws, QStringLiteral("SELECT DTPROC FROM ZAVDATAPROC")));
            for (const char* table :
                 {"NOTAFISCAL", "CANCELAMENTONFE", "NFEEVENTO", "TITULORECEBER", "OPERADOR", "SESSAOOPER",
                  "PERMISSAOOPER", "FALHALOGIN", "CANCEXTEMPNFE"})
                QVERIFY2(!allowed(ws, QStringLiteral("SELECT COUNT(*) FROM %1").arg(QLatin1String(table))),
                         table);
            QVERIFY(!allowed(ws, QStringLiteral("UPDATE NOTAFISCAL SET IDSITUACAONFE = 'C'")));
            QVERIFY(!allowed(ws, QStringLiteral("UPDATE FILIAL SET NMFILIAL = 'X'")));
            QVERIFY(!allowed(ws, QStringLiteral("DELETE FROM ZAVDATAPROC")));
            QVERIFY(!allowed(ws, QStringLiteral("CREATE TABLE INTRUSA (X INTEGER)")));
            ws.close();
        }
        {
            QSqlDatabase sv = connectAs(server);
            QVERIFY(allowed(sv, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL")));
            QVERIFY(allowed(
                sv, QStringLiteral("UPDATE NOTAFISCAL SET IDSITUACAONFE = IDSITUACAONFE WHERE 1 = 0")));
            QVERIFY(allowed(sv, QStringLiteral("DELETE FROM SESSAOOPER WHERE 1 = 0")));
            QVERIFY(!allowed(sv, QStringLiteral("CREATE TABLE INTRUSA (X INTEGER)")));
            QVERIFY(!allowed(sv, QStringLiteral("DROP TABLE NOTAFISCAL")));
            sv.close();
        }
    }

    // The demo data keeps the promises the screen's stories rely on.
    void demoData_data() { zavtest::addDialectRows("demo database"); }
    void demoData() {
        ZAV_DATABASE(m_dbs, db);
        QSqlQuery q(db);
        for (const char* table : {"CLIENTE", "FORNECEDOR"}) {
            const bool customers = QLatin1String(table) == QLatin1String("CLIENTE");
            QVERIFY(q.exec(customers ? QStringLiteral("SELECT IDTPIJURCLIE, NRINSJURCLIE FROM CLIENTE")
                                     : QStringLiteral("SELECT IDTPIJURFORN, NRINSJURFORN FROM FORNECEDOR")));
            int people = 0, companies = 0;
            while (q.next()) {
                const QString kind = q.value(0).toString();
                const QString number = q.value(1).toString();
                if (kind == QLatin1String("J")) {
                    QVERIFY2(zavfiscal::isValidCnpj(number), qPrintable(number));
                    ++companies;
                } else {
                    QCOMPARE(kind, QStringLiteral("F"));
                    QVERIFY2(zavfiscal::isValidCpf(number), qPrintable(number));
                    ++people;
                }
            }
            QVERIFY(people > 0 && companies > 0);
        }
        QVERIFY(values(db, QStringLiteral("SELECT COUNT(*) FROM CLIENTE")).constFirst().toInt() >= 50);
        QVERIFY(values(db, QStringLiteral("SELECT COUNT(*) FROM FORNECEDOR")).constFirst().toInt() >= 20);
        QVERIFY(values(db, QStringLiteral(
                               "SELECT NRINSJURCLIE FROM CLIENTE GROUP BY NRINSJURCLIE HAVING COUNT(*) > 1"))
                    .size() >= 1);
        QVERIFY(
            values(db, QStringLiteral(
                           "SELECT NRINSJURFORN FROM FORNECEDOR GROUP BY NRINSJURFORN HAVING COUNT(*) > 1"))
                .size() >= 1);

        // Certificates: exactly one registration without, the others with an
        // upper-case hex serial of 16 to 40 characters.
        QCOMPARE(values(db, QStringLiteral("SELECT CDINSCESTA FROM INSCRESTAD WHERE NRSERIECERTIFIC IS NULL "
                                           "OR NRSERIECERTIFIC = ''")),
                 QStringList{"9015123456"});
        for (const QString& serial : values(
                 db,
                 QStringLiteral("SELECT NRSERIECERTIFIC FROM INSCRESTAD WHERE NRSERIECERTIFIC IS NOT NULL")))
            QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{16,40}$")).match(serial).hasMatch(),
                     qPrintable(serial));
        QCOMPARE(values(db, QStringLiteral("SELECT DISTINCT IDTPAMBIENTENFE FROM INSCRESTAD ORDER BY 1")),
                 (QStringList{"1", "2"}));
        QVERIFY(values(db, QStringLiteral("SELECT DISTINCT SGESTADO FROM INSCRESTAD")).size() >= 3);
        QVERIFY(values(db, QStringLiteral("SELECT CDEMPRESA FROM SERIENF GROUP BY CDEMPRESA, CDINSCESTA, "
                                          "CDINSCMUNI HAVING COUNT(*) > 1"))
                    .size() >= 3);

        // Branches and companies, linked both ways.
        QVERIFY(values(db, QStringLiteral("SELECT CDFILIAL FROM FILIAL")).size() >= 3);
        QVERIFY(values(db, QStringLiteral("SELECT DISTINCT CDEMPRESA FROM FILIAL")).size() >= 2);
        QVERIFY(!values(db, QStringLiteral("SELECT F.CDFILIAL FROM FILIAL F JOIN EMPRCNTRFIL E ON E.CDFILIAL "
                                           "= F.CDFILIAL AND E.CDEMPRESA = F.CDEMPRESA"))
                     .isEmpty());
        QVERIFY(!values(db, QStringLiteral("SELECT E.CDFILIAL FROM EMPRCNTRFIL E JOIN FILIAL F ON E.CDFILIAL "
                                           "= F.CDFILIAL AND E.CDEMPRESA <> F.CDEMPRESA"))
                     .isEmpty());
        for (const QString& cnpj : values(db, QStringLiteral("SELECT NRCNPJFILIAL FROM FILIAL")))
            QVERIFY2(zavfiscal::isValidCnpj(cnpj), qPrintable(cnpj));

        // Processing dates: one branch behind today, one without a date.
        QSqlQuery behind(db);
        QVERIFY(behind.prepare(QStringLiteral("SELECT CDFILIAL FROM ZAVDATAPROC WHERE DTPROC < :TODAY")));
        behind.bindValue(QStringLiteral(":TODAY"), QDate::currentDate());
        QVERIFY(behind.exec());
        QVERIFY(behind.next());
        QVERIFY(
            !values(
                 db,
                 QStringLiteral(
                     "SELECT CDFILIAL FROM FILIAL WHERE CDFILIAL NOT IN (SELECT CDFILIAL FROM ZAVDATAPROC)"))
                 .isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_lookups)
#include "tst_lookups.moc"
