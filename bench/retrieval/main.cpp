// bench-retrieval: the invoice list from the call to the dataset ready in the
// client, beside the database's own time to produce the same rows.
//
//   bench-retrieval [--runs N] [--invoices N] [--million] [--dir DIR] [--pg CONNTEXT]
//
// Makes a SQLite database with --invoices volume invoices (222,300 by default:
// about 100,000 authorised ones on the busiest establishment; --million makes
// it 2,223,000 and adds a list of 1,000,000 rows, to show the time linear in
// the rows) in DIR (a temporary folder by default; an existing one with as
// many invoices is reused), starts zav50000-server on it and, for 10,000 and
// 100,000 rows, measures the median of N runs of:
//   - TNetConnection::AppServer("GetNotaFiscal") + TClientDataSet::SetData,
//     with CBOR and with JSON;
//   - the client memory the loaded list holds per row (glibc's allocated
//     bytes before and after, and the packet's own count);
//   - the database's time for the same SELECT: the sqlite3 shell's timer with
//     output to /dev/null; psql's timing of COPY ... TO STDOUT with output to
//     /dev/null inside one session, when a PostgreSQL server is named (--pg,
//     ZAV_BENCH_PG or ZAV_TEST_PG; the database zav_bench_retrieval is created
//     there and filled once).
// and prints a table with the ratios, the time per row of each list, and a
// last line for scripts:
//   ratio_100k_sqlite=X ratio_100k_pg=Y bytes_per_row=Z
// (CBOR at 100,000 rows; Y empty without PostgreSQL; Z the larger of the
// dialects' malloc bytes per row). Targets: CBOR at most 1.5x the database's
// time at 100,000 rows, JSON at most 3x, at most 250 bytes per row, the time
// per row flat from 100,000 to 1,000,000 rows.
#include "benchsupport.h"
#include "connectiontext.h"
#include "data/clientdataset.h"
#include "database.h"
#include "exceptions.h"
#include "invoicepacket.h"
#include "netconnection.h"
#include "schema.h"
#include "seed.h"
#include "serverprocess.h"
#include "session.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <optional>
#include <vector>

namespace {

std::vector<int> g_sizes = {10000, 100000};
const char* const kBenchDatabase = "zav_bench_retrieval";

// The issue day of an establishment's n-th authorised invoice by date.
const char* const kDaysSql = R"(
SELECT DTEMISSAO FROM NOTAFISCAL
WHERE CDFILIAL = :P_CDFILIAL AND CDEMPRESA = :P_CDEMPRESA AND CDINSCESTA = :P_CDINSCESTA
  AND CDINSCMUNI = :P_CDINSCMUNI AND CDSERIE = :P_CDSERIE AND IDSITUACAONFE = :P_IDSITUACAONFE
ORDER BY DTEMISSAO LIMIT 1 OFFSET :P_OFFSET)";
const char* const kInvoiceCountSql = "SELECT COUNT(*) FROM NOTAFISCAL";

// The application server's own SELECT, with the parameters each shell binds:
// the sqlite3 shell's .parameter names and psql's quoted variables; %1 is the
// invoice's day (zavdb::dayOf).
const char* const kSqliteSelect =
    R"(SELECT NF.CDFILIEMIT, NF.NRLANCTONF, %1, NF.NMRAZAO,
       NF.VRNOTAFISC, NF.CDFILIAL, NF.NRLANCTBDOC, NF.IDENTRSAIDOP, NF.CDEMPRESA, NF.CDFILIRECE, NF.CDSERIE,
       NF.NRNOTAFISCALELE, NF.NRPROTOCOLONFE, NF.NRACESSONFE,
       CASE WHEN NF.CDOPERBLOQ IS NULL THEN 'N' ELSE 'S' END AS IDBLOQUEADO
FROM NOTAFISCAL NF
WHERE NF.CDFILIAL = :P_CDFILIAL AND NF.CDEMPRESA = :P_CDEMPRESA AND NF.CDINSCESTA = :P_CDINSCESTA
  AND NF.CDINSCMUNI = :P_CDINSCMUNI AND NF.CDSERIE = :P_CDSERIE AND NF.IDSITUACAONFE = 'A'
  AND NF.DTEMISSAO >= :P_DTINICIAL AND NF.DTEMISSAO < :P_DTFIMEXCL;)";
const char* const kPostgresCopy =
    R"(COPY (SELECT NF.CDFILIEMIT, NF.NRLANCTONF, %1,
       NF.NMRAZAO, NF.VRNOTAFISC, NF.CDFILIAL, NF.NRLANCTBDOC, NF.IDENTRSAIDOP, NF.CDEMPRESA, NF.CDFILIRECE,
       NF.CDSERIE, NF.NRNOTAFISCALELE, NF.NRPROTOCOLONFE, NF.NRACESSONFE,
       CASE WHEN NF.CDOPERBLOQ IS NULL THEN 'N' ELSE 'S' END AS IDBLOQUEADO
FROM NOTAFISCAL NF
WHERE NF.CDFILIAL = :'P_CDFILIAL' AND NF.CDEMPRESA = :'P_CDEMPRESA' AND NF.CDINSCESTA = :'P_CDINSCESTA'
  AND NF.CDINSCMUNI = :'P_CDINSCMUNI' AND NF.CDSERIE = :'P_CDSERIE' AND NF.IDSITUACAONFE = 'A'
  AND NF.DTEMISSAO >= :'P_DTINICIAL' AND NF.DTEMISSAO < :'P_DTFIMEXCL') TO STDOUT;)";

const char* const kParamNames[] = {"P_CDFILIAL", "P_CDEMPRESA", "P_CDINSCESTA", "P_CDINSCMUNI",
                                   "P_CDSERIE",  "P_DTINICIAL", "P_DTFIMEXCL"};

using zavbench::die;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

qint64 allocatedBytes() {
    const struct mallinfo2 m = mallinfo2();
    return qint64(m.uordblks) + qint64(m.hblkhd);
}

QString binDir() {
    const QString dir = qEnvironmentVariable("ZAV_BIN_DIR");
    return dir.isEmpty() ? QStringLiteral(ZAV_BIN_DIR) : dir;
}

struct Period {
    QStringList establishment; // branch, company, state and city registrations, series
    QDate from, to;            // whole days, both included
    int rows = 0;              // what the server returns for them
};

QSqlQuery prepared(QSqlDatabase& db, const char* sql) {
    QSqlQuery q(db);
    if (!q.prepare(QString::fromLatin1(sql)))
        die(QStringLiteral("prepare: %1").arg(q.lastError().text()));
    return q;
}

QDate dayAt(QSqlDatabase& db, const QStringList& est, int offset) {
    QSqlQuery q = prepared(db, kDaysSql);
    const char* names[] = {":P_CDFILIAL", ":P_CDEMPRESA", ":P_CDINSCESTA", ":P_CDINSCMUNI", ":P_CDSERIE"};
    for (int i = 0; i < 5; ++i)
        q.bindValue(QLatin1StringView(names[i]), est.at(i));
    q.bindValue(QStringLiteral(":P_IDSITUACAONFE"), QStringLiteral("A"));
    q.bindValue(QStringLiteral(":P_OFFSET"), offset);
    if (!q.exec() || !q.next())
        die(QStringLiteral("no invoice %1 of the establishment: %2")
                .arg(offset + 1)
                .arg(q.lastError().text()));
    return zavdb::dateValue(q.value(0));
}

// Periods from the establishment's first day that hold about each size.
std::vector<Period> periods(const QString& connection) {
    std::vector<Period> out;
    const QString name = QStringLiteral("bench-retrieval");
    {
        QSqlDatabase db = zavdb::open(connection, name);
        const std::optional<zavdb::BusiestEstablishment> busiest = zavdb::busiestEstablishment(db);
        if (!busiest)
            die(QStringLiteral("no authorised invoice"));
        const QStringList est{busiest->branch, busiest->company, busiest->stateRegistration,
                              busiest->cityRegistration, busiest->series};
        const int available = busiest->authorised;
        for (int size : g_sizes) {
            if (size > available)
                die(QStringLiteral(
                        "the busiest establishment has %1 authorised invoices, fewer than %2: use more "
                        "--invoices")
                        .arg(available)
                        .arg(size));
            Period p;
            p.establishment = est;
            p.from = busiest->firstIssue;
            p.to = dayAt(db, est, size - 1);
            out.push_back(p);
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

qint64 invoiceCount(const QString& connection) {
    const QString name = QStringLiteral("bench-retrieval-count");
    qint64 n = -1;
    try {
        QSqlDatabase db = zavdb::open(connection, name);
        QSqlQuery q(db);
        if (zavdb::hasTables(db) && q.exec(QString::fromLatin1(kInvoiceCountSql)) && q.next())
            n = q.value(0).toLongLong();
    } catch (const zavdb::DatabaseError&) {
        // No such database yet.
    }
    QSqlDatabase::removeDatabase(name);
    return n;
}

void ensureDatabase(const QString& connection, int invoices) {
    if (invoiceCount(connection) == invoices)
        return;
    QProcess init;
    init.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    init.start(binDir() + QStringLiteral("/zav-dbinit"),
               {QStringLiteral("--db"), connection, QStringLiteral("--invoices"), QString::number(invoices),
                QStringLiteral("--force")});
    if (!init.waitForFinished(3600000) || init.exitStatus() != QProcess::NormalExit || init.exitCode() != 0)
        die(QStringLiteral("zav-dbinit failed for %1").arg(connection));
}

QVariantList arguments(const Period& p) {
    const QStringList& e = p.establishment;
    return {e[0],        e[1],        e[2],        e[3],   e[4], QString(""),
            QString(""), QString(""), QString(""), p.from, p.to, QString("")};
}

QStringList values(const Period& p) {
    QStringList v = p.establishment;
    v << p.from.toString(Qt::ISODate) << p.to.addDays(1).toString(Qt::ISODate);
    return v;
}

// The sqlite3 shell's own timing of the statement, a process per run.
double sqliteShell(const QString& file, const Period& p, int runs) {
    std::vector<double> times;
    const QStringList v = values(p);
    static const QRegularExpression timer(QStringLiteral("Run Time: real ([0-9.]+)"));
    for (int run = 0; run < runs; ++run) {
        QByteArray script = ".parameter init\n";
        for (int i = 0; i < v.size(); ++i) {
            // The shell reads a quoted text; the values are codes and days.
            QString quoted = v.at(i);
            quoted.replace(u'\'', QStringLiteral("''"));
            script += ".parameter set :" + QByteArray(kParamNames[i]) + " \"'" + quoted.toUtf8() + "'\"\n";
        }
        script += ".output /dev/null\n.timer on\n";
        script += QString::fromLatin1(kSqliteSelect)
                      .arg(zavdb::dayOf(zavdb::Dialect::SQLite, u"NF.DTEMISSAO"))
                      .toUtf8();
        script += "\n";
        QProcess shell;
        shell.start(QStringLiteral("sqlite3"), {file});
        shell.write(script);
        shell.closeWriteChannel();
        if (!shell.waitForFinished(600000) || shell.exitCode() != 0)
            die(QStringLiteral("sqlite3 failed: %1")
                    .arg(QString::fromLocal8Bit(shell.readAllStandardError())));
        const QRegularExpressionMatch m = timer.match(QString::fromLocal8Bit(shell.readAllStandardOutput()));
        if (!m.hasMatch())
            die(QStringLiteral("sqlite3 printed no timing: %1")
                    .arg(QString::fromLocal8Bit(shell.readAllStandardError())));
        times.push_back(m.captured(1).toDouble() * 1000.0);
    }
    return median(times);
}

// psql's timing of COPY ... TO STDOUT, output to /dev/null, runs in one session.
double psqlCopy(const QString& connection, const Period& p, int runs) {
    QStringList args{QStringLiteral("-X"),        QStringLiteral("-q"), QStringLiteral("-o"),
                     QStringLiteral("/dev/null"), QStringLiteral("-d"), connection};
    const QStringList v = values(p);
    for (int i = 0; i < v.size(); ++i)
        args << QStringLiteral("-v")
             << QStringLiteral("%1=%2").arg(QLatin1StringView(kParamNames[i]), v.at(i));
    QByteArray script = "\\timing on\n";
    for (int run = 0; run < runs; ++run)
        script += QString::fromLatin1(kPostgresCopy)
                      .arg(zavdb::dayOf(zavdb::Dialect::PostgreSQL, u"NF.DTEMISSAO"))
                      .toUtf8() +
                  "\n";
    QString failure;
    const std::vector<double> times = zavbench::psqlTimings(args, script, runs, 600000, &failure);
    if (times.empty())
        die(failure);
    return median(times);
}

struct ClientFigures {
    double tickAllMs = 0; // Edit/IDCHECK/Post over every row, controls disabled
    double filterMs = 0;  // the filter switched off and on over every row
    double ms = 0;
    double serverMs = 0;      // what the server's log says the call took it
    double bytesPerRow = 0;   // glibc's allocated bytes the loaded list holds
    double storagePerRow = 0; // the packet's own count
    int rows = 0;
};

// The durations of the GetNotaFiscal calls the server has logged so far.
std::vector<double> loggedCalls(ServerProcess& server) {
    static const QRegularExpression line(QStringLiteral("GetNotaFiscal ([0-9.]+)ms rows="));
    std::vector<double> out;
    for (auto it = line.globalMatch(QString::fromLocal8Bit(server.log())); it.hasNext();)
        out.push_back(it.next().captured(1).toDouble());
    return out;
}

// The server's own time of the call just made: its log line, once it is read.
double lastCallMs(ServerProcess& server, size_t callsBefore) {
    QElapsedTimer waited;
    waited.start();
    std::vector<double> calls = loggedCalls(server);
    while (calls.size() <= callsBefore && waited.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        calls = loggedCalls(server);
    }
    return calls.size() > callsBefore ? calls.back() : 0.0;
}

ClientFigures client(ServerProcess& server, bool cbor, const Period& p, int runs) {
    const int port = server.port();
    TNetConnection net;
    net.ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
    Session::values().webPlainHttp = true; // the benchmark's server on loopback
    net.BeforeConnect = [&net, port](QObject*) {
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
    };
    net.UseCbor = cbor;
    TClientDataSet cds;
    invoicetest::declareFields(cds);
    cds.SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
    cds.SetFilter(QStringLiteral("IDCHECK = 'C'"));
    const QVariantList args = arguments(p);

    std::vector<double> times, bytes, serverTimes;
    ClientFigures f;
    for (int run = -1; run < runs; ++run) { // run -1 warms up the connection and the server
        cds.Close();
        const size_t logged = loggedCalls(server).size();
        const qint64 before = allocatedBytes();
        QElapsedTimer clock;
        clock.start();
        cds.SetData(net.AppServer(QStringLiteral("GetNotaFiscal"), args));
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        const qint64 after = allocatedBytes();
        f.rows = cds.RecordCount();
        if (run < 0 || f.rows == 0)
            continue;
        times.push_back(ms);
        bytes.push_back(double(after - before) / f.rows);
        serverTimes.push_back(lastCallMs(server, logged));
    }
    f.ms = median(times);
    f.serverMs = median(serverTimes);

    // What the grid and the confirm action do with the loaded list.
    std::vector<double> ticks, filters;
    TField* check = cds.FieldByName(QStringLiteral("IDCHECK"));
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        cds.DisableControls();
        for (int r = 1; r <= cds.RecordCount(); ++r) {
            cds.SetRecNo(r);
            cds.Edit();
            check->SetAsString(run % 2 ? QStringLiteral("U") : QStringLiteral("C"));
            cds.Post();
        }
        cds.First();
        cds.EnableControls();
        ticks.push_back(double(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        cds.SetFiltered(false);
        cds.SetFiltered(true);
        filters.push_back(double(clock.nsecsElapsed()) / 1e6);
        cds.SetFiltered(false);
    }
    f.tickAllMs = median(ticks);
    f.filterMs = median(filters);
    f.bytesPerRow = median(bytes);
    // The packet's storage plus the index's and the view's row numbers.
    f.storagePerRow = f.rows ? double(cds.Data().storageBytes()) / f.rows + 2 * sizeof(int) : 0;
    return f;
}

// What the last line reports: CBOR at 100,000 rows.
struct Summary {
    double ratioSqlite = -1;
    double ratioPg = -1;
    double bytesPerRow = 0;
};
Summary g_summary;

void measure(QTextStream& out, const QString& dialect, const QString& connection, int runs) {
    const std::vector<Period> ps = periods(connection);
    ServerProcess server;
    QString why;
    if (!server.start(connection, {QStringLiteral("--threads"), QStringLiteral("2")}, &why))
        die(why);
    // Every call but Login is made under a session: the benchmarks' operator,
    // its password set anew each run, as every benchmark signs it in (the
    // database outlives a run, and the other benchmarks may use it too).
    const QByteArray token =
        zavbench::signIn(binDir(), connection, QStringLiteral("BENCH"),
                         "http://127.0.0.1:" + QByteArray::number(server.port()), QByteArray(), &why);
    if (token.isEmpty())
        die(why);
    Session::values().webToken = QString::fromLatin1(token);
    Session::values().operador = QStringLiteral("BENCH");
    for (const Period& p : ps) {
        const double db = dialect == u"sqlite"
                              ? sqliteShell(zavdb::parseConnectionText(connection).path, p, runs)
                              : psqlCopy(connection, p, runs);
        for (const bool cbor : {true, false}) {
            const ClientFigures f = client(server, cbor, p, runs);
            if (cbor && f.rows >= 90000 && f.rows <= 110000 && db > 0) {
                (dialect == u"sqlite" ? g_summary.ratioSqlite : g_summary.ratioPg) = f.ms / db;
                g_summary.bytesPerRow = std::max(g_summary.bytesPerRow, f.bytesPerRow);
            }
            out << QStringLiteral("%1 %2  %3 %4 %5 %6 %7 %8 %9")
                       .arg(dialect, -10)
                       .arg(f.rows, 7)
                       .arg(cbor ? QStringLiteral("cbor") : QStringLiteral("json"), -4)
                       .arg(f.ms, 9, 'f', 1)
                       .arg(db, 8, 'f', 1)
                       .arg(db > 0 ? f.ms / db : 0.0, 7, 'f', 2)
                       .arg(f.serverMs, 9, 'f', 1)
                       .arg(f.ms - f.serverMs, 9, 'f', 1)
                       .arg(QStringLiteral("%1 / %2")
                                .arg(f.bytesPerRow, 0, 'f', 0)
                                .arg(f.storagePerRow, 0, 'f', 0),
                            12)
                << QStringLiteral("   %1 us/row; tick-all %2 ms, filter off/on %3 ms")
                       .arg(f.rows ? f.ms * 1000.0 / f.rows : 0.0, 0, 'f', 2)
                       .arg(f.tickAllMs, 0, 'f', 1)
                       .arg(f.filterMs, 0, 'f', 1)
                << Qt::endl;
        }
    }
}

} // namespace

int run(QApplication& app);

int main(int argc, char* argv[]) {
    // QApplication: the connection waits in a local event loop as it does
    // under the screen.
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    // A failure unwinds to here: the server a run started stops with it.
    return zavbench::runReportingFailure("bench-retrieval", [&] { return run(app); });
}

int run(QApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Invoice list: call to dataset ready, against the database."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs per figure (median)."),
                      QStringLiteral("N"), QStringLiteral("7")});
    parser.addOption({QStringLiteral("invoices"), QStringLiteral("Volume invoices in the database."),
                      QStringLiteral("N"), QStringLiteral("222300")});
    parser.addOption({QStringLiteral("million"),
                      QStringLiteral("Add a list of 1,000,000 rows (2,223,000 invoices in the database).")});
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Folder of the SQLite database (kept)."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("pg"),
                      QStringLiteral("PostgreSQL server (default ZAV_BENCH_PG, ZAV_TEST_PG)."),
                      QStringLiteral("CONNTEXT")});
    parser.process(app);
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    int invoices = parser.value(QStringLiteral("invoices")).toInt();
    if (parser.isSet(QStringLiteral("million"))) {
        g_sizes.push_back(1000000);
        invoices = std::max(invoices, 2223000);
    }
    QString pg = parser.value(QStringLiteral("pg"));
    if (pg.isEmpty())
        pg = qEnvironmentVariable("ZAV_BENCH_PG");
    if (pg.isEmpty())
        pg = qEnvironmentVariable("ZAV_TEST_PG");

    std::unique_ptr<QTemporaryDir> temporary;
    QString dir = parser.value(QStringLiteral("dir"));
    if (dir.isEmpty()) {
        temporary = std::make_unique<QTemporaryDir>();
        dir = temporary->path();
    }
    QDir().mkpath(dir);

    QTextStream out(stdout);
    const QString sqlite = QDir(dir).filePath(QStringLiteral("retrieval.sqlite"));
    ensureDatabase(sqlite, invoices);
    out << QStringLiteral("median of %1 runs; times in ms; client = call to dataset ready; ratio = client / "
                          "database; server = its logged time of the call; rest = client - server; bytes "
                          "per row held by the loaded list (malloc / packet storage)")
               .arg(runs)
        << Qt::endl
        << QStringLiteral(
               "database      rows  enc     client       db   ratio    server      rest    bytes/row")
        << Qt::endl;
    measure(out, QStringLiteral("sqlite"), sqlite, runs);
    if (!pg.isEmpty()) {
        const QString bench = zavdb::withDatabase(pg, QLatin1StringView(kBenchDatabase));
        if (invoiceCount(bench) < 0) {
            const QString name = QStringLiteral("bench-retrieval-admin");
            {
                QSqlDatabase admin = zavdb::open(pg, name);
                QSqlQuery create(admin);
                // An identifier, not a value: CREATE DATABASE takes no parameters.
                if (!create.exec(QStringLiteral("CREATE DATABASE %1").arg(QLatin1StringView(kBenchDatabase))))
                    die(QStringLiteral("CREATE DATABASE: %1").arg(create.lastError().text()));
            }
            QSqlDatabase::removeDatabase(name);
        }
        ensureDatabase(bench, invoices);
        measure(out, QStringLiteral("postgresql"), bench, runs);
    }
    out << QStringLiteral("targets: client at most 1.5x the database at 100000 rows (JSON 3x); at most 250 "
                          "bytes per row; us/row flat up to 1000000 rows")
        << Qt::endl;
    const auto ratio = [](double r) { return r < 0 ? QString() : QString::number(r, 'f', 2); };
    out << QStringLiteral("ratio_100k_sqlite=%1 ratio_100k_pg=%2 bytes_per_row=%3")
               .arg(ratio(g_summary.ratioSqlite), ratio(g_summary.ratioPg))
               .arg(g_summary.bytesPerRow, 0, 'f', 0)
        << Qt::endl;
    return 0;
}
