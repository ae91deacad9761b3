// bench-retrieval-server: GetNotaFiscal over HTTP, from the call to the typed
// rows in the client, beside the database's own time for the same rows.
//
//   bench-retrieval-server [--sqlite FILE] [--pg CONNTEXT] [--invoices N] [--runs N]
//
// The SQLite file is made with the volume generator when it does not exist
// (1,000,000 invoices by default); the PostgreSQL database (--pg, else
// ZAV_BENCH_PG) is filled the same way when it has no tables. On the
// establishment with the most invoices, two periods are chosen that hold about
// 10,000 and 100,000 authorised invoices; for each, the median of the runs of:
//   - the database alone: the sqlite3 shell, "sqlite3 FILE 'SELECT ...' > /dev/null"
//     (a process per run), and psql "\copy (SELECT ...) to /dev/null" timed
//     inside one session;
//   - GetNotaFiscal answered in JSON and read with QJsonDocument;
//   - GetNotaFiscal answered in CBOR and read with QCborStreamReader;
// "(decode)" is the part of a call spent reading the received answer into rows.
#include "benchsupport.h"
#include "invoicerows.h"

#include "database.h"
#include "schema.h"
#include "seed.h"

#include <httplib.h>

#include <QCborArray>
#include <QCborMap>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

// The server's query (server/methods/getnotafiscal.cpp), here with literal values for
// the database shells; keep the two alike. The values are the benchmark's own.
const char* const kShellSql =
    "SELECT NF.CDFILIEMIT, NF.NRLANCTONF, %1, NF.NMRAZAO, NF.VRNOTAFISC, NF.CDFILIAL, NF.NRLANCTBDOC, "
    "NF.IDENTRSAIDOP, NF.CDEMPRESA, NF.CDFILIRECE, NF.CDSERIE, NF.NRNOTAFISCALELE, NF.NRPROTOCOLONFE, "
    "NF.NRACESSONFE, CASE WHEN NF.CDOPERBLOQ IS NULL THEN 'N' ELSE 'S' END AS IDBLOQUEADO "
    "FROM NOTAFISCAL NF WHERE NF.CDFILIAL = '%2' AND NF.CDEMPRESA = '%3' AND NF.CDINSCESTA = '%4' "
    "AND NF.CDINSCMUNI = '%5' AND NF.CDSERIE = '%6' AND NF.IDSITUACAONFE = 'A' "
    "AND NF.DTEMISSAO >= '%7' AND NF.DTEMISSAO < '%8'";

const char* const kStartForSql =
    "SELECT DTEMISSAO FROM NOTAFISCAL WHERE CDFILIAL = ? AND CDEMPRESA = ? AND CDINSCESTA = ? "
    "AND CDINSCMUNI = ? AND CDSERIE = ? AND IDSITUACAONFE = 'A' ORDER BY DTEMISSAO DESC LIMIT 1 OFFSET ?";
const char* const kLastDaySql =
    "SELECT MAX(DTEMISSAO) FROM NOTAFISCAL WHERE CDFILIAL = ? AND CDEMPRESA = ? AND CDINSCESTA = ? "
    "AND CDINSCMUNI = ? AND CDSERIE = ?";
const char* const kCountSql =
    "SELECT COUNT(*) FROM NOTAFISCAL WHERE CDFILIAL = ? AND CDEMPRESA = ? AND CDINSCESTA = ? "
    "AND CDINSCMUNI = ? AND CDSERIE = ? AND IDSITUACAONFE = 'A' AND DTEMISSAO >= ? AND DTEMISSAO <= ?";

using Establishment = zavdb::BusiestEstablishment;

struct Period {
    QDate from, to;
    int rows = 0;
};

using zavbench::die;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QString exec1(QSqlDatabase& db, const char* sql, const QVariantList& values) {
    QSqlQuery q(db);
    if (!q.prepare(QString::fromLatin1(sql)))
        die(q.lastError().text());
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        die(q.lastError().text());
    return q.next() ? q.value(0).toString() : QString();
}

// Makes the volume database when the target holds no tables.
void ensureVolume(const QString& connection, int invoices) {
    const QString name = QStringLiteral("bench-volume");
    {
        QSqlDatabase db = zavdb::open(connection, name);
        if (!zavdb::hasTables(db)) {
            std::printf("creating %d invoices in %s ...\n", invoices,
                        qPrintable(connection.contains(u"://") ? QStringLiteral("PostgreSQL") : connection));
            std::fflush(stdout);
            QElapsedTimer t;
            t.start();
            zavdb::createSchema(db);
            zavdb::SeedOptions options;
            options.invoices = invoices;
            zavdb::seedReference(db, options);
            zavdb::seedInvoices(db, options);
            std::printf("  done in %.1f s\n", double(t.elapsed()) / 1000.0);
        }
    }
    QSqlDatabase::removeDatabase(name);
}

Establishment busiest(QSqlDatabase& db) {
    std::optional<Establishment> e = zavdb::busiestEstablishment(db);
    if (!e)
        die(QStringLiteral("no authorised invoices"));
    return *e;
}

// The period ending on the establishment's last day that holds about target
// authorised invoices (whole days, so a few more).
Period periodFor(QSqlDatabase& db, const Establishment& e, int target) {
    Period p;
    p.to = QDate::fromString(exec1(db, kLastDaySql, e.keys()).left(10), Qt::ISODate);
    QVariantList v = e.keys();
    v << target - 1;
    p.from = QDate::fromString(exec1(db, kStartForSql, v).left(10), Qt::ISODate);
    if (!p.from.isValid() || !p.to.isValid())
        die(QStringLiteral("fewer than %1 authorised invoices on the busiest establishment").arg(target));
    QVariantList c = e.keys();
    c << p.from << p.to;
    p.rows = exec1(db, kCountSql, c).toInt();
    return p;
}

QString shellSql(const Establishment& e, const Period& p, bool postgres) {
    return QString::fromLatin1(kShellSql).arg(
        zavdb::dayOf(postgres ? zavdb::Dialect::PostgreSQL : zavdb::Dialect::SQLite, u"NF.DTEMISSAO"),
        e.branch, e.company, e.stateRegistration, e.cityRegistration, e.series, p.from.toString(Qt::ISODate),
        p.to.addDays(1).toString(Qt::ISODate));
}

// The sqlite3 shell, one process per run, output to /dev/null.
double sqliteShell(const QString& file, const QString& sql, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QProcess shell;
        shell.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer t;
        t.start();
        shell.start(QStringLiteral("sqlite3"), {file, sql});
        if (!shell.waitForFinished(120000) || shell.exitCode() != 0)
            die(QStringLiteral("sqlite3 failed: %1")
                    .arg(QString::fromLocal8Bit(shell.readAllStandardError())));
        times.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    return median(times);
}

// psql's \copy to /dev/null, timed by psql itself inside one session.
double psqlCopy(const QString& connection, const QString& sql, int runs) {
    QByteArray script = "\\timing on\n";
    for (int i = 0; i < runs; ++i)
        script += "\\copy (" + sql.toUtf8() + ") to '/dev/null'\n";
    QString failure;
    const std::vector<double> times = zavbench::psqlTimings(
        {QStringLiteral("-X"), QStringLiteral("-q"), connection}, script, runs, 300000, &failure);
    if (times.empty())
        die(failure);
    return median(times);
}

class Server {
public:
    explicit Server(const QString& connection) {
        const QString binary = QCoreApplication::applicationDirPath() + QStringLiteral("/zav50000-server");
        m_process.start(binary, {QStringLiteral("--db"), connection, QStringLiteral("--listen"),
                                 QStringLiteral("127.0.0.1:0"), QStringLiteral("--plain-http")});
        static const QRegularExpression listening(
            QStringLiteral("ouvindo em https?://127\\.0\\.0\\.1:(\\d+)"));
        QByteArray log;
        m_port = zavbench::listeningPort(m_process, QProcess::StandardError, listening, 30000, &log);
        if (m_port == 0)
            die(QStringLiteral("the server did not start: %1").arg(QString::fromUtf8(log)));
    }
    ~Server() {
        m_process.terminate();
        m_process.waitForFinished(15000);
    }
    int port() const { return m_port; }

private:
    QProcess m_process;
    int m_port = 0;
};

struct Call {
    double ms = 0;
    double decodeMs = 0; // of ms, reading the answer into rows
    qsizetype bytes = 0;
    std::size_t rows = 0;
};

Call callOnce(httplib::Client& client, const QByteArray& body, bool cbor) {
    httplib::Headers headers;
    if (cbor)
        headers.emplace("Accept", "application/cbor");
    QElapsedTimer t;
    t.start();
    const auto result = client.Post("/ZAV50000.rdmCancelaNFE", headers, body.constData(), size_t(body.size()),
                                    "application/json");
    if (!result || result->status != 200)
        die(QStringLiteral("the call failed (%1)").arg(result ? result->status : -1));
    const QByteArray answer = QByteArray::fromRawData(result->body.data(), qsizetype(result->body.size()));
    const qint64 received = t.nsecsElapsed();
    std::vector<InvoiceRow> rows;
    QString why;
    if (!(cbor ? InvoiceRows::fromCbor(answer, rows, &why) : InvoiceRows::fromJson(answer, rows, &why)))
        die(why + QStringLiteral(": ") + QString::fromUtf8(answer.left(300)));
    Call c;
    c.ms = double(t.nsecsElapsed()) / 1e6;
    c.decodeMs = double(t.nsecsElapsed() - received) / 1e6;
    c.bytes = answer.size();
    c.rows = rows.size();
    return c;
}

Call medianCall(httplib::Client& client, const QByteArray& body, bool cbor, int runs) {
    callOnce(client, body, cbor); // warm the connection and the caches
    std::vector<double> times;
    std::vector<double> decoding;
    Call last;
    for (int i = 0; i < runs; ++i) {
        last = callOnce(client, body, cbor);
        times.push_back(last.ms);
        decoding.push_back(last.decodeMs);
    }
    last.ms = median(times);
    last.decodeMs = median(decoding);
    return last;
}

QByteArray requestFor(const Establishment& e, const Period& p) {
    QCborMap map;
    map.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    map.insert(QStringLiteral("id"), 1);
    map.insert(QStringLiteral("method"), QStringLiteral("GetNotaFiscal"));
    map.insert(QStringLiteral("params"),
               QCborArray{e.branch, e.company, e.stateRegistration, e.cityRegistration, e.series, QString(),
                          QString(), QString(), QString(), p.from.toString(Qt::ISODate),
                          p.to.toString(Qt::ISODate), QString()});
    return QJsonDocument(map.toJsonObject()).toJson(QJsonDocument::Compact);
}

void benchmark(const QString& label, const QString& connection, bool postgres, int runs) {
    Establishment e;
    std::vector<std::pair<int, Period>> periods;
    {
        const QString name = QStringLiteral("bench-periods");
        {
            QSqlDatabase db = zavdb::open(connection, name);
            e = busiest(db);
            for (int target : {10000, 100000})
                periods.push_back({target, periodFor(db, e, target)});
        }
        QSqlDatabase::removeDatabase(name);
    }
    Server server(connection);
    httplib::Client client("127.0.0.1", server.port());
    client.set_keep_alive(true);
    // Every call but Login is made under a session.
    if (const QString why =
            zavbench::signInClient(client, server.port(), QCoreApplication::applicationDirPath(), connection,
                                   QStringLiteral("BENCH"));
        !why.isEmpty())
        die(why);
    client.set_tcp_nodelay(true);
    client.set_read_timeout(120);

    std::printf("\n%s, establishment %s/%s/%s/%s/%s, median of %d runs\n", qPrintable(label),
                qPrintable(e.branch), qPrintable(e.company), qPrintable(e.stateRegistration),
                qPrintable(e.cityRegistration), qPrintable(e.series), runs);
    std::printf("%8s %23s %9s %9s %9s %9s %9s %8s %8s %8s %8s\n", "rows", "period", "db ms", "json ms",
                "(decode)", "cbor ms", "(decode)", "json MB", "cbor MB", "json/db", "cbor/db");
    for (const auto& [target, p] : periods) {
        const QString sql = shellSql(e, p, postgres);
        const double db = postgres ? psqlCopy(connection, sql, runs) : sqliteShell(connection, sql, runs);
        const QByteArray body = requestFor(e, p);
        const Call json = medianCall(client, body, false, runs);
        const Call cbor = medianCall(client, body, true, runs);
        if (json.rows != std::size_t(p.rows) || cbor.rows != std::size_t(p.rows))
            die(QStringLiteral("rows differ: database %1, JSON %2, CBOR %3")
                    .arg(p.rows)
                    .arg(json.rows)
                    .arg(cbor.rows));
        std::printf(
            "%8d %23s %9.1f %9.1f %9.1f %9.1f %9.1f %8.1f %8.1f %8.2f %8.2f\n", p.rows,
            qPrintable(p.from.toString(Qt::ISODate) + QStringLiteral("..") + p.to.toString(Qt::ISODate)), db,
            json.ms, json.decodeMs, cbor.ms, cbor.decodeMs, double(json.bytes) / 1e6,
            double(cbor.bytes) / 1e6, json.ms / db, cbor.ms / db);
        std::fflush(stdout);
    }
}

} // namespace

int run(QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("GetNotaFiscal over HTTP beside the database's own time."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("sqlite"), QStringLiteral("SQLite file (made when missing)."),
                      QStringLiteral("file"), QStringLiteral("var/bench-retrieval.sqlite")});
    parser.addOption({QStringLiteral("pg"),
                      QStringLiteral("PostgreSQL database (filled when empty); default "
                                     "ZAV_BENCH_PG; none: SQLite only."),
                      QStringLiteral("conn")});
    parser.addOption({QStringLiteral("invoices"), QStringLiteral("Invoices of a new database (1000000)."),
                      QStringLiteral("n"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs per figure (5)."), QStringLiteral("n"),
                      QStringLiteral("5")});
    parser.process(app);
    const int invoices = parser.value(QStringLiteral("invoices")).toInt();
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    const QString sqlite = QFileInfo(parser.value(QStringLiteral("sqlite"))).absoluteFilePath();
    QString pg = parser.value(QStringLiteral("pg"));
    if (pg.isEmpty())
        pg = qEnvironmentVariable("ZAV_BENCH_PG");
    // "none" is no database: SQLite only, whatever ZAV_BENCH_PG says.
    if (pg == u"none")
        pg.clear();

    ensureVolume(sqlite, invoices);
    benchmark(QStringLiteral("SQLite ") + sqlite, sqlite, false, runs);
    if (!pg.isEmpty()) {
        ensureVolume(pg, invoices);
        benchmark(QStringLiteral("PostgreSQL"), pg, true, runs);
    } else {
        std::printf("\nPostgreSQL: skipped (--pg none, or no --pg and no ZAV_BENCH_PG)\n");
    }
    return 0;
}

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // A failure unwinds to here: the server a run started stops with it.
    return zavbench::runReportingFailure("bench-retrieval-server", [&] { return run(app); });
}
