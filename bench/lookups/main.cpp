// bench-lookups: the time each exit validator's lookup takes on a database of
// 100,000 customers, through the query component as the screen runs it (Close,
// ParamByName, Open, IsEmpty), and the time of the all-customers list that
// feeds the search dialog. Runs on SQLite (a temporary file) and on PostgreSQL
// (a database of its own on the server named by ZAV_BENCH_PG or ZAV_TEST_PG,
// dropped afterwards). Prints median, p95 and the ratio of p95 to the 0.5 ms
// goal of a check, and ends with the slowest check's median per database:
// "worst_sqlite_ms=X worst_pg_ms=Y".
//
//   bench-lookups [--customers N] [--suppliers N] [--runs N]
#include "benchsupport.h"
#include "criteria/queries.h"
#include "data/adoibquery.h"
#include "data/edatabaseerror.h"
#include "database.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <functional>
#include <map>
#include <vector>

namespace {

constexpr double kTargetMs = 0.5;

QTextStream& out() {
    static QTextStream s(stdout);
    return s;
}

struct Key {
    QString a, b; // registration and code, or one code
};

struct Figures {
    double median = 0, p95 = 0;
    int found = 0, runs = 0;
};

Figures measure(const std::function<bool(int)>& once, int runs) {
    for (int i = 0; i < 10; ++i) // warm caches and the driver
        once(i);
    std::vector<double> ms;
    Figures f;
    QElapsedTimer clock;
    for (int i = 0; i < runs; ++i) {
        clock.start();
        const bool found = once(i);
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        f.found += found ? 1 : 0;
    }
    std::sort(ms.begin(), ms.end());
    f.runs = runs;
    f.median = ms[ms.size() / 2];
    f.p95 = ms[std::min(ms.size() - 1, std::size_t(double(ms.size()) * 0.95))];
    return f;
}

// A check as the screen runs it: the query opened again with these values;
// true when it found a row.
bool runCheck(TADOIBQuery& q, const std::map<QString, QString>& params) {
    q.Close();
    for (const auto& [name, value] : params)
        q.ParamByName(name)->SetAsString(value);
    q.Open();
    return !q.IsEmpty();
}

// Qt SQL alone: the statement prepared, its values bound by name, run, and
// its first row read.
bool rawRow(QSqlDatabase& db, const QString& sql, const std::vector<std::pair<QString, QString>>& values) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const auto& [name, value] : values)
        q.bindValue(name, value);
    q.exec();
    return q.next();
}

// Keys spread over the table: every one exists, except each fourth, changed
// so the check fails as a mistyped code would.
std::vector<Key> sample(QSqlDatabase& db, const QString& sql, int count) {
    std::vector<Key> all;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        throw zavdb::DatabaseError(q.lastError().text());
    while (q.next())
        all.push_back({q.value(0).toString(), q.value(1).toString()});
    std::vector<Key> keys;
    QRandomGenerator random(20240502);
    for (int i = 0; i < count && !all.empty(); ++i) {
        Key k = all[random.bounded(int(all.size()))];
        if (i % 4 == 3)
            k.a = k.a.left(k.a.size() - 1) +
                  (k.a.endsWith(QLatin1Char('9')) ? QStringLiteral("8") : QStringLiteral("9"));
        keys.push_back(k);
    }
    return keys;
}

// The slowest check's median, per database.
std::map<QString, double> worstMs;

void report(const QString& dialect, const QString& what, const Figures& f, bool check = true) {
    if (check)
        worstMs[dialect] = std::max(worstMs[dialect], f.median);
    out() << QStringLiteral("%1 %2 %3 %4 %5 %6")
                 .arg(dialect, -11)
                 .arg(what, -44)
                 .arg(QString::number(f.median, 'f', 3), 9)
                 .arg(QString::number(f.p95, 'f', 3), 9)
                 .arg(QString::number(f.p95 / kTargetMs, 'f', 2), 8)
                 .arg(QStringLiteral("%1/%2").arg(f.found).arg(f.runs), 9)
          << Qt::endl;
}

void runAll(const QString& dialect, const QString& connection, int runs) {
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const std::vector<Key> customers =
        sample(db, QStringLiteral("SELECT NRINSJURCLIE, CDCLIENTE FROM CLIENTE"), runs);
    const std::vector<Key> suppliers =
        sample(db, QStringLiteral("SELECT NRINSJURFORN, CDFORNECED FROM FORNECEDOR"), runs);
    const QStringList branches = {"0001", "0002", "0003", "0004", "0005", "0009"};

    auto make = [&](void (*setup)(TADOIBQuery&)) {
        auto q = std::make_unique<TADOIBQuery>();
        setup(*q);
        q->SetConnection(connection);
        return q;
    };
    auto qFilial = make(SetupQryFilial);
    auto qEmpresa = make(SetupQryEmpresa);
    auto qValid = make(SetupQryValidEmpr);
    auto qInscr = make(SetupQryInscrEstad);
    auto qSerie = make(SetupQrySerieNF);
    auto qCliente = make(SetupQryCliente);
    auto qForn = make(SetupQryFornecedor);

    report(dialect, QStringLiteral("Vd_Filial        qryFilial"),
           measure(
               [&](int i) {
                   return runCheck(*qFilial,
                                   {{"P_CDFILIAL", branches[i % branches.size()]}, {"P_TCDFILIAL", ""}});
               },
               runs));
    report(dialect, QStringLiteral("Vd_Empresa       qryEmpresa"),
           measure(
               [&](int i) {
                   return runCheck(*qEmpresa,
                                   {{"P_CDEMPRESA", i % 5 == 4 ? "09" : QStringLiteral("0%1").arg(i % 4 + 1)},
                                    {"P_TCDEMPRESA", ""}});
               },
               runs));
    report(dialect, QStringLiteral("Vd_Empresa       qryValidEmpr"),
           measure(
               [&](int i) {
                   return runCheck(*qValid, {{"P_CDEMPRESA", i % 2 ? "01" : "02"},
                                             {"P_CDFILIAL", branches[i % branches.size()]}});
               },
               runs));
    report(dialect, QStringLiteral("Vd_Inscricao     qryInscrEstad"),
           measure(
               [&](int i) {
                   return runCheck(*qInscr, {{"P_EMPRESA", "01"},
                                             {"P_INSCESTA", i % 3 ? "110042490114" : "86123455"},
                                             {"P_TINSCESTA", ""}});
               },
               runs));
    report(dialect, QStringLiteral("Vd_Serie         qrySerieNF"),
           measure(
               [&](int i) {
                   return runCheck(*qSerie, {{"P_EMPRESA", "01"},
                                             {"P_INSCESTA", "110042490114"},
                                             {"P_CDINSCMUNI", "30521457"},
                                             {"P_CDSERIE", i % 3 ? "1" : "9"},
                                             {"P_TCDSERIE", ""}});
               },
               runs));
    const Figures clienteCheck = measure(
        [&](int i) {
            const Key& k = customers[i % customers.size()];
            return runCheck(
                *qCliente,
                {{"P_NRINSJURCLIE", k.a}, {"P_TODOS", "N"}, {"P_CDCLIENTE", k.b}, {"P_TODOSCLIE", "N"}});
        },
        runs);
    report(dialect, QStringLiteral("Vd_Cliente       qryCliente (registr.+code)"), clienteCheck);
    report(dialect, QStringLiteral("Vd_Cliente       qryCliente (registr. only)"),
           measure(
               [&](int i) {
                   const Key& k = customers[i % customers.size()];
                   return runCheck(*qCliente, {{"P_NRINSJURCLIE", k.a},
                                               {"P_TODOS", "N"},
                                               {"P_CDCLIENTE", k.b},
                                               {"P_TODOSCLIE", "T"}});
               },
               runs));
    report(dialect, QStringLiteral("Vd_Fornecedor    qryFornecedor"),
           measure(
               [&](int i) {
                   const Key& k = suppliers[i % suppliers.size()];
                   return runCheck(*qForn, {{"P_NRINSJURFORN", k.a}, {"P_TODOS", ""}});
               },
               runs));
    // Beside them, Qt SQL alone on the same keys: the stored statement with
    // every value bound (what the query ran before its flags were decided on
    // SQLite), and the plain key lookup, the raw limit of a check.
    const Figures keyCliente = measure(
        [&](int i) {
            const Key& k = customers[i % customers.size()];
            return rawRow(
                db,
                QStringLiteral("SELECT CDCLIENTE, IDTPIJURCLIE, NRINSJURCLIE, NMRAZSOCCLIE, NMFANTCLIE "
                               "FROM CLIENTE WHERE NRINSJURCLIE = :P_NRINSJURCLIE AND CDCLIENTE = "
                               ":P_CDCLIENTE"),
                {{QStringLiteral(":P_NRINSJURCLIE"), k.a}, {QStringLiteral(":P_CDCLIENTE"), k.b}});
        },
        runs);
    report(dialect, QStringLiteral("raw Qt SQL       CLIENTE key lookup"), keyCliente, false);
    const Figures storedCliente = measure(
        [&](int i) {
            const Key& k = customers[i % customers.size()];
            return rawRow(db, qCliente->SQL().join(QLatin1Char('\n')),
                          {{QStringLiteral(":P_NRINSJURCLIE"), k.a},
                           {QStringLiteral(":P_TODOS"), QStringLiteral("N")},
                           {QStringLiteral(":P_CDCLIENTE"), k.b},
                           {QStringLiteral(":P_TODOSCLIE"), QStringLiteral("N")}});
        },
        runs);
    report(dialect, QStringLiteral("raw Qt SQL       qryCliente as stored"), storedCliente, false);
    const Figures storedForn = measure(
        [&](int i) {
            const Key& k = suppliers[i % suppliers.size()];
            return rawRow(
                db, qForn->SQL().join(QLatin1Char('\n')),
                {{QStringLiteral(":P_NRINSJURFORN"), k.a}, {QStringLiteral(":P_TODOS"), QString()}});
        },
        runs);
    report(dialect, QStringLiteral("raw Qt SQL       qryFornecedor as stored"), storedForn, false);
    out() << QStringLiteral("%1 ratio: qryCliente check / raw key lookup %2, as stored / check %3")
                 .arg(dialect)
                 .arg(clienteCheck.median / keyCliente.median, 0, 'f', 2)
                 .arg(storedCliente.median / clienteCheck.median, 0, 'f', 1)
          << Qt::endl;

    int rows = 0;
    const Figures all = measure(
        [&](int) {
            const bool found = runCheck(
                *qCliente,
                {{"P_NRINSJURCLIE", ""}, {"P_TODOS", "T"}, {"P_CDCLIENTE", ""}, {"P_TODOSCLIE", "T"}});
            rows = qCliente->RecordCount();
            return found;
        },
        std::max(5, runs / 20));
    report(dialect, QStringLiteral("btpCliente       qryCliente, all %1 rows").arg(rows), all, false);
}

QString worstLine() {
    auto figure = [](const char* dialect) {
        const auto it = worstMs.find(QLatin1String(dialect));
        return it == worstMs.end() ? QStringLiteral("n/a") : QString::number(it->second, 'f', 3);
    };
    return QStringLiteral("worst_sqlite_ms=%1 worst_pg_ms=%2").arg(figure("SQLite"), figure("PostgreSQL"));
}

QString dbinit(const QString& connectionText, int customers, int suppliers) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(ZAV_BIN_DIR "/zav-dbinit"),
            {QStringLiteral("--db"), connectionText, QStringLiteral("--force"), QStringLiteral("--customers"),
             QString::number(customers), QStringLiteral("--suppliers"), QString::number(suppliers)});
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        throw zavdb::DatabaseError(
            QStringLiteral("zav-dbinit failed: %1").arg(QString::fromUtf8(p.readAll())));
    return QString::fromUtf8(p.readAll()).trimmed();
}

void bench(const QString& dialect, const QString& connectionText, int customers, int suppliers, int runs) {
    out() << "# " << dialect << ": " << dbinit(connectionText, customers, suppliers) << Qt::endl;
    const QString connection = QStringLiteral("bench-") + dialect;
    {
        QSqlDatabase db = zavdb::open(connectionText, connection);
        if (zavdb::dialectOf(db) == zavdb::Dialect::PostgreSQL) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("ANALYZE")); // as autovacuum would after the load
        }
        runAll(dialect, connection, runs);
    }
    QSqlDatabase::removeDatabase(connection);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("customers"), QStringLiteral("customers in the database"),
                      QStringLiteral("N"), QStringLiteral("100000")});
    parser.addOption({QStringLiteral("suppliers"), QStringLiteral("suppliers in the database"),
                      QStringLiteral("N"), QStringLiteral("20000")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("timed runs of each check"), QStringLiteral("N"),
                      QStringLiteral("400")});
    parser.process(app);
    const int customers = parser.value(QStringLiteral("customers")).toInt();
    const int suppliers = parser.value(QStringLiteral("suppliers")).toInt();
    const int runs = std::max(20, parser.value(QStringLiteral("runs")).toInt());

    out() << QStringLiteral("%1 %2 %3 %4 %5 %6")
                 .arg(QStringLiteral("database"), -11)
                 .arg(QStringLiteral("validator        query"), -44)
                 .arg(QStringLiteral("median ms"), 9)
                 .arg(QStringLiteral("p95 ms"), 9)
                 .arg(QStringLiteral("p95/.5ms"), 8)
                 .arg(QStringLiteral("found"), 9)
          << Qt::endl;
    int status = 0;
    try {
        QTemporaryDir dir;
        bench(QStringLiteral("SQLite"), QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("bench.db")),
              customers, suppliers, runs);
    } catch (const std::exception& e) {
        out() << "SQLite: " << e.what() << Qt::endl;
        status = 1;
    }
    const QString server = zavbench::benchServer();
    if (server.isEmpty()) {
        out() << "PostgreSQL: skipped (set ZAV_BENCH_PG or ZAV_TEST_PG, e.g. from scripts/pg-start.sh)"
              << Qt::endl;
        out() << worstLine() << Qt::endl;
        return status;
    }
    const QString database = QStringLiteral("zavbench_lookups_%1").arg(QCoreApplication::applicationPid());
    try {
        zavbench::onScratchDatabase(server, database, [&](const QString& connection) {
            bench(QStringLiteral("PostgreSQL"), connection, customers, suppliers, runs);
        });
    } catch (const zavbench::Failed& failure) {
        out() << "PostgreSQL: " << failure.text << Qt::endl;
        status = 1;
    } catch (const std::exception& e) {
        out() << "PostgreSQL: " << e.what() << Qt::endl;
        status = 1;
    }
    out() << worstLine() << Qt::endl;
    return status;
}
