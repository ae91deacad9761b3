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
// 100,000 rows, runs N times (5), ours and the raw limit alternating run by
// run so that what the machine does meanwhile falls on both alike:
//   - the database's time for the same SELECT: the sqlite3 shell's timer with
//     output to /dev/null, a process per run; psql's timing of the second of
//     two COPY ... TO STDOUT in a session of its own, output to /dev/null,
//     when a PostgreSQL server is named (--pg, ZAV_BENCH_PG or ZAV_TEST_PG;
//     the database zav_bench_retrieval is created there and filled once);
//   - TNetConnection::AppServer("GetNotaFiscal") + TClientDataSet::SetData,
//     with CBOR and with JSON, each on its kept connection;
//   - the client memory the loaded list holds per row (glibc's allocated
//     bytes before and after, and the packet's own count).
// It prints the build type, the load average before and after, each figure
// as min/median/max, the CPU time each side spent on a call (the server's
// process, every thread as the scheduler counts it; the client's process;
// the sqlite3 shell's user and system time), which another load on the
// machine changes far less than the wall times, and a last line for scripts:
//   ratio_100k_sqlite=X ratio_100k_pg=Y json_100k_sqlite=J json_100k_pg=K
//   bytes_per_row=Z us_per_row_1m_over_100k=L goals=met|not met
// (ratios: the least client run over the least database run, at 100,000
// rows; Y, K empty without PostgreSQL, L without --million). Goals: CBOR at
// most 1.5x the database at 100,000 rows on both engines, JSON at most 3x, at
// most 250 bytes per row, the time per row at 1,000,000 rows within 1.2x of
// that at 100,000. A build without optimisation prints no summary line.
//
// What a figure depends on, as measured on this kind of machine (2 virtual
// CPUs), RelWithDebInfo, 100,069 rows, CBOR:
//   - CPU, which the machine's other work hardly changes: the server spends
//     what the sqlite3 shell spends on the same rows (133-140 ms against
//     136-139 ms; 191-204 ms before each cell was read once, the key written
//     in place and the answer's buffers reused), 90-106 ms against
//     PostgreSQL (the backend's own time apart), and the client 70-90 ms
//     decoding on a thread of its own while the rows arrive;
//   - so the list keeps three threads busy at once (the server's worker, the
//     client's reader, with the HTTP thread and, on PostgreSQL, the backend
//     beside them) where the raw limit keeps one or two: on a quiet machine
//     they overlap and the client is ready a few ms after the server's last
//     row (rest 9-14 ms on SQLite); whatever else runs takes from ours first.
//   - Quiet (load average under 1), two runs of --runs 5 in a row: SQLite min
//     0.99x and 0.99x, PostgreSQL 1.22x and 1.18x, JSON 2.11-2.90x. With two
//     other builds running (load 4-5): SQLite 1.00-1.50x, PostgreSQL
//     1.46-1.98x for the same code; before this code, load 7: SQLite
//     1.01-1.75x, PostgreSQL 2.00-2.70x. One run alone says little.
//   - The piece size of a streamed answer (64 KiB or 256 KiB) moved the
//     server's CPU by 4 ms, within the noise; it stays 64 KiB.
// Against PostgreSQL, libpq's single-row mode is used; a cursor fetched
// 4,096 rows at a time, the next batch asked for while one is written, was
// slower (76 against 52 ms of the server's CPU in libpq, 326 against 229 ms
// wall) and is not used.
#include "benchsupport.h"
#include "connectiontext.h"
#include "data/clientdataset.h"
#include "database.h"
#include "invoicepacket.h"
#include "net/netconnection.h"
#include "schema.h"
#include "seed.h"
#include "serverprocess.h"
#include "services/exceptions.h"
#include "services/session.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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
const char* const kBuildType = sizeof(ZAV_BUILD_TYPE) > 1 ? ZAV_BUILD_TYPE : "(none)";
#ifdef __OPTIMIZE__
constexpr bool kOptimised = true;
#else
constexpr bool kOptimised = false;
#endif

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

// The sqlite3 shell's own timing of the statement, in a process of its own.
// Its CPU time (user and system) in *cpuMs.
double sqliteShell(const QString& file, const Period& p, double* cpuMs) {
    const QStringList v = values(p);
    static const QRegularExpression timer(
        QStringLiteral("Run Time: real ([0-9.]+) user ([0-9.]+) sys ([0-9.]+)"));
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
        die(QStringLiteral("sqlite3 failed: %1").arg(QString::fromLocal8Bit(shell.readAllStandardError())));
    const QRegularExpressionMatch m = timer.match(QString::fromLocal8Bit(shell.readAllStandardOutput()));
    if (!m.hasMatch())
        die(QStringLiteral("sqlite3 printed no timing: %1")
                .arg(QString::fromLocal8Bit(shell.readAllStandardError())));
    *cpuMs = (m.captured(2).toDouble() + m.captured(3).toDouble()) * 1000.0;
    return m.captured(1).toDouble() * 1000.0;
}

// psql's timing of COPY ... TO STDOUT, output to /dev/null: a session of its
// own that copies twice, the second timed (the server's session as warm as
// the application server's kept connection).
double psqlCopy(const QString& connection, const Period& p) {
    QStringList args{QStringLiteral("-X"),        QStringLiteral("-q"), QStringLiteral("-o"),
                     QStringLiteral("/dev/null"), QStringLiteral("-d"), connection};
    const QStringList v = values(p);
    for (int i = 0; i < v.size(); ++i)
        args << QStringLiteral("-v")
             << QStringLiteral("%1=%2").arg(QLatin1StringView(kParamNames[i]), v.at(i));
    const QByteArray copy = QString::fromLatin1(kPostgresCopy)
                                .arg(zavdb::dayOf(zavdb::Dialect::PostgreSQL, u"NF.DTEMISSAO"))
                                .toUtf8() +
                            "\n";
    QString failure;
    const std::vector<double> times =
        zavbench::psqlTimings(args, "\\timing on\n" + copy + copy, 2, 600000, &failure);
    if (times.empty())
        die(failure);
    return times.back();
}

// The least, the middle and the largest of a figure's runs.
struct Spread {
    double min = 0, median = 0, max = 0;

    static Spread of(std::vector<double> v) {
        if (v.empty())
            return {};
        std::sort(v.begin(), v.end());
        return {v.front(), ::median(v), v.back()};
    }
    QString text(int decimals = 1) const {
        return QStringLiteral("%1/%2/%3")
            .arg(min, 0, 'f', decimals)
            .arg(median, 0, 'f', decimals)
            .arg(max, 0, 'f', decimals);
    }
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

// The CPU time a process has used so far, in ms: every thread's run time as
// the scheduler counts it (nanoseconds, unlike the clock ticks of
// /proc/PID/stat), threads that have ended aside.
double processCpuMs(qint64 pid) {
    double ns = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks + u'/' + tid + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            ns += QString::fromLatin1(f.readLine()).section(u' ', 0, 0).toDouble();
    }
    return ns / 1e6;
}

double ownCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The screen's side of one list: a connection and a dataset as the screen
// declares them, a call at a time.
class ListClient {
public:
    ListClient(ServerProcess& server, bool cbor, const Period& p) : m_server(server), m_args(arguments(p)) {
        const int port = server.port();
        m_net.ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
        Session::values().webPlainHttp = true; // the benchmark's server on loopback
        m_net.BeforeConnect = [this, port](QObject*) {
            m_net.Host = QStringLiteral("127.0.0.1");
            m_net.Port = port;
        };
        m_net.UseCbor = cbor;
        invoicetest::declareFields(m_cds);
        m_cds.SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
        m_cds.SetFilter(QStringLiteral("IDCHECK = 'C'"));
        once(); // warms the connection and the server's statement up
        m_ms.clear();
        m_serverMs.clear();
        m_bytes.clear();
        m_serverCpuMs.clear();
        m_clientCpuMs.clear();
    }

    // One call to the dataset ready.
    void once() {
        m_cds.Close();
        const size_t logged = loggedCalls(m_server).size();
        const qint64 before = allocatedBytes();
        const double serverCpu = processCpuMs(m_server.pid());
        const double clientCpu = ownCpuMs();
        QElapsedTimer clock;
        clock.start();
        m_cds.SetData(m_net.AppServer(QStringLiteral("GetNotaFiscal"), m_args));
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        m_clientCpuMs.push_back(ownCpuMs() - clientCpu);
        const qint64 after = allocatedBytes();
        m_rows = m_cds.RecordCount();
        if (m_rows == 0)
            die(QStringLiteral("the list came back empty"));
        m_ms.push_back(ms);
        m_bytes.push_back(double(after - before) / m_rows);
        m_serverMs.push_back(lastCallMs(m_server, logged));
        m_serverCpuMs.push_back(processCpuMs(m_server.pid()) - serverCpu);
    }

    // What the grid and the confirm action do with the loaded list: the
    // median of runs of ticking every row, and of the filter off and on.
    std::pair<double, double> gridMs(int runs) {
        std::vector<double> ticks, filters;
        TField* check = m_cds.FieldByName(QStringLiteral("IDCHECK"));
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer clock;
            clock.start();
            m_cds.DisableControls();
            for (int r = 1; r <= m_cds.RecordCount(); ++r) {
                m_cds.SetRecNo(r);
                m_cds.Edit();
                check->SetAsString(run % 2 ? QStringLiteral("U") : QStringLiteral("C"));
                m_cds.Post();
            }
            m_cds.First();
            m_cds.EnableControls();
            ticks.push_back(double(clock.nsecsElapsed()) / 1e6);
            clock.restart();
            m_cds.SetFiltered(false);
            m_cds.SetFiltered(true);
            filters.push_back(double(clock.nsecsElapsed()) / 1e6);
            m_cds.SetFiltered(false);
        }
        return {median(ticks), median(filters)};
    }

    Spread ms() const { return Spread::of(m_ms); }
    Spread serverMs() const { return Spread::of(m_serverMs); }
    Spread serverCpuMs() const { return Spread::of(m_serverCpuMs); }
    Spread clientCpuMs() const { return Spread::of(m_clientCpuMs); }
    double bytesPerRow() const { return median(m_bytes); }
    // The packet's storage plus the index's and the view's row numbers.
    double storagePerRow() const { return double(m_cds.Data().storageBytes()) / m_rows + 2 * sizeof(int); }
    int rows() const { return m_rows; }

private:
    ServerProcess& m_server;
    const QVariantList m_args;
    TNetConnection m_net;
    TClientDataSet m_cds;
    std::vector<double> m_ms, m_serverMs, m_bytes, m_serverCpuMs, m_clientCpuMs;
    int m_rows = 0;
};

// What the last line reports: CBOR and JSON at 100,000 rows, the least of
// their runs over the least of the database's.
struct Summary {
    double ratioSqlite = -1;
    double ratioPg = -1;
    double jsonSqlite = -1;
    double jsonPg = -1;
    double bytesPerRow = 0;
    double usPerRow100k = -1;
    double usPerRow1m = -1;
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
    const bool sqlite = dialect == u"sqlite";
    const QString file = sqlite ? zavdb::parseConnectionText(connection).path : QString();
    for (const Period& p : ps) {
        ListClient cbor(server, true, p);
        ListClient json(server, false, p);
        // Ours and the raw limit alternate run by run, so that what the
        // machine does meanwhile falls on both alike.
        std::vector<double> dbRuns, dbCpu;
        for (int run = 0; run < runs; ++run) {
            double cpu = 0;
            dbRuns.push_back(sqlite ? sqliteShell(file, p, &cpu) : psqlCopy(connection, p));
            if (sqlite)
                dbCpu.push_back(cpu);
            cbor.once();
            json.once();
        }
        const Spread db = Spread::of(dbRuns);
        const int rows = cbor.rows();
        if (rows >= 90000 && rows <= 110000) {
            (sqlite ? g_summary.ratioSqlite : g_summary.ratioPg) = cbor.ms().min / db.min;
            (sqlite ? g_summary.jsonSqlite : g_summary.jsonPg) = json.ms().min / db.min;
            g_summary.bytesPerRow = std::max(g_summary.bytesPerRow, cbor.bytesPerRow());
            if (sqlite)
                g_summary.usPerRow100k = cbor.ms().min * 1000.0 / rows;
        }
        if (sqlite && rows >= 900000)
            g_summary.usPerRow1m = cbor.ms().min * 1000.0 / rows;
        const auto [tickAll, filter] = cbor.gridMs(runs);
        for (ListClient* c : {&cbor, &json}) {
            const Spread ms = c->ms();
            out << QStringLiteral("%1 %2  %3  client %4  db %5  ratio %6 (median %7)  server %8  rest %9")
                       .arg(dialect, -10)
                       .arg(rows, 7)
                       .arg(c == &cbor ? QStringLiteral("cbor") : QStringLiteral("json"))
                       .arg(ms.text(), -20)
                       .arg(db.text(), -20)
                       .arg(ms.min / db.min, 0, 'f', 2)
                       .arg(ms.median / db.median, 0, 'f', 2)
                       .arg(c->serverMs().median, 0, 'f', 1)
                       .arg(ms.median - c->serverMs().median, 0, 'f', 1)
                << QStringLiteral("  bytes/row %1 / %2  %3 us/row")
                       .arg(c->bytesPerRow(), 0, 'f', 0)
                       .arg(c->storagePerRow(), 0, 'f', 0)
                       .arg(ms.min * 1000.0 / rows, 0, 'f', 2)
                << QStringLiteral("; cpu server %1 client %2")
                       .arg(c->serverCpuMs().text(), c->clientCpuMs().text());
            if (sqlite)
                out << QStringLiteral(" db %1").arg(Spread::of(dbCpu).text());
            if (c == &cbor)
                out << QStringLiteral("; tick-all %1 ms, filter off/on %2 ms")
                           .arg(tickAll, 0, 'f', 1)
                           .arg(filter, 0, 'f', 1);
            out << Qt::endl;
        }
    }
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(f.readLine()).section(u' ', 0, 2);
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
    parser.addOption({QStringLiteral("runs"),
                      QStringLiteral("Runs of each figure, ours and the database alternating."),
                      QStringLiteral("N"), QStringLiteral("5")});
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
    const QString loadBefore = loadAverage();
    out << QStringLiteral(
               "build %1%2; load average before %3; %4 runs, ours and the database alternating; "
               "times in ms as min/median/max; client = call to dataset ready; db = the database's "
               "own time for the same rows; ratio = client min / db min; server = its logged time "
               "of the call (median); rest = client - server; bytes per row held by the loaded list "
               "(malloc / packet storage)")
               .arg(QLatin1StringView(kBuildType),
                    kOptimised ? QString() : QStringLiteral(" (no optimisation)"), loadBefore)
               .arg(runs)
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
    out << QStringLiteral("load average after %1").arg(loadAverage()) << Qt::endl;
    out << QStringLiteral(
               "goals: client at most 1.5x the database at 100000 rows on each engine (then 1.2x), JSON "
               "at most 3x; at most 250 bytes per row; us/row at 1000000 rows within 1.2x of 100000")
        << Qt::endl;
    if (!kOptimised) {
        // A build without optimisation measures the compiler, not the code.
        out << QStringLiteral("no summary: this build (%1) is not optimised; build with scripts/build.sh")
                   .arg(QLatin1StringView(kBuildType))
            << Qt::endl;
        return 0;
    }
    const auto ratio = [](double r) { return r < 0 ? QString() : QString::number(r, 'f', 2); };
    const bool linear = g_summary.usPerRow1m < 0 || g_summary.usPerRow1m <= 1.2 * g_summary.usPerRow100k;
    const bool met = g_summary.ratioSqlite >= 0 && g_summary.ratioSqlite <= 1.5 && g_summary.ratioPg <= 1.5 &&
                     g_summary.jsonSqlite <= 3.0 && g_summary.jsonPg <= 3.0 && linear;
    out << QStringLiteral("ratio_100k_sqlite=%1 ratio_100k_pg=%2 json_100k_sqlite=%3 json_100k_pg=%4 "
                          "bytes_per_row=%5 us_per_row_1m_over_100k=%6 goals=%7")
               .arg(ratio(g_summary.ratioSqlite), ratio(g_summary.ratioPg), ratio(g_summary.jsonSqlite),
                    ratio(g_summary.jsonPg))
               .arg(g_summary.bytesPerRow, 0, 'f', 0)
               .arg(g_summary.usPerRow1m < 0 ? QString()
                                             : ratio(g_summary.usPerRow1m / g_summary.usPerRow100k))
               .arg(g_summary.ratioPg < 0 ? QStringLiteral("unknown (no PostgreSQL)")
                    : met                 ? QStringLiteral("met")
                                          : QStringLiteral("not met"))
        << Qt::endl;
    return 0;
}
