// bench-frontdoor: the application server's HTTP layer under load.
//
//   bench-frontdoor [--seconds N] [--clients N] [--tls]
//
// Makes a demo database, starts zav50000-server on it (plain HTTP on loopback,
// or HTTPS with the demo's kind of certificate with --tls), and measures:
//   - GetNotaFiscal of a list of about 50 invoices, answered in CBOR, from N
//     clients (8) each on one kept-alive connection, for S seconds (20):
//     requests a second and the 50th and 99th percentile of a call;
//   - GET /health the same way: the HTTP layer with next to no work, the raw
//     limit the calls are set beside;
//   - /health's latency, one probe at a time, while 20 connections trickle
//     their request heads a line every 300 ms.
// Ends with one line: calls_per_s=X p99_ms=Y health_per_s=Z ratio=X/Z
// slow_health_p99_ms=W.
#include "benchsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

using zavbench::die;

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

struct Load {
    double perSecond = 0;
    double p50 = 0;
    double p99 = 0;
    long failures = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// N threads, each with one easy handle (its connection kept alive), calling
// for the given time.
Load load(const QByteArray& url, const QByteArray& body, const QByteArray& caFile, int clients, int seconds,
          const QByteArray& token = {}) {
    std::vector<std::vector<double>> latencies{size_t(clients)};
    std::atomic<long> failures{0};
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    threads.reserve(size_t(clients));
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            CURL* e = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
            headers = curl_slist_append(headers, "Accept: application/cbor");
            headers = curl_slist_append(headers, "Expect:");
            const QByteArray authorization = "Authorization: Bearer " + token;
            if (!token.isEmpty())
                headers = curl_slist_append(headers, authorization.constData());
            curl_easy_setopt(e, CURLOPT_URL, url.constData());
            curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard);
            curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(e, CURLOPT_PROXY, "");
            if (!caFile.isEmpty())
                curl_easy_setopt(e, CURLOPT_CAINFO, caFile.constData());
            if (!body.isEmpty()) {
                curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
                curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.constData());
                curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(body.size()));
            }
            while (Clock::now() < end) {
                const auto start = Clock::now();
                long status = 0;
                if (curl_easy_perform(e) != CURLE_OK ||
                    (curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status), status != 200))
                    ++failures;
                latencies[size_t(c)].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            curl_slist_free_all(headers);
            curl_easy_cleanup(e);
        });
    for (std::thread& t : threads)
        t.join();
    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    Load r;
    r.perSecond = double(all.size()) / seconds;
    r.p50 = percentile(all, 0.50);
    r.p99 = percentile(all, 0.99);
    r.failures = failures;
    return r;
}

} // namespace

int run(QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The application server's HTTP layer under load: GetNotaFiscal (about 50 invoices, CBOR) from\n"
        "N clients on kept-alive connections beside GET /health, the raw limit, and /health while\n"
        "slow clients trickle their heads. Ends with calls_per_s, p99_ms, health_per_s, ratio and\n"
        "slow_health_p99_ms."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Seconds of each load (20)."), QStringLiteral("N"),
                                           QStringLiteral("20"));
    const QCommandLineOption clientsOption(QStringLiteral("clients"), QStringLiteral("Clients at once (8)."),
                                           QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption tlsOption(QStringLiteral("tls"),
                                       QStringLiteral("HTTPS with the demo's certificates."));
    parser.addOptions({secondsOption, clientsOption, tlsOption});
    parser.process(app);
    bool secondsOk = false;
    bool clientsOk = false;
    const int seconds = parser.value(secondsOption).toInt(&secondsOk);
    const int clients = parser.value(clientsOption).toInt(&clientsOk);
    if (!secondsOk || seconds < 1 || !clientsOk || clients < 1)
        die(QStringLiteral("--seconds and --clients take a whole number from 1 on"));
    const bool tls = parser.isSet(tlsOption);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const QString bin = QStringLiteral(ZAV_BIN_DIR);
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("demo.db"));
    if (QProcess::execute(bin + QStringLiteral("/zav-dbinit"), {QStringLiteral("--db"), db}) != 0)
        die(QStringLiteral("zav-dbinit failed"));
    QStringList serverArgs{QStringLiteral("--db"), db, QStringLiteral("--listen"),
                           QStringLiteral("127.0.0.1:0")};
    QByteArray caFile;
    if (tls) {
        if (QProcess::execute(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR) +
                                                           QStringLiteral("/scripts/make-certificates.sh"),
                                                       dir.path(), QStringLiteral("x")}) != 0)
            die(QStringLiteral("make-certificates.sh failed"));
        serverArgs << QStringLiteral("--tls-cert") << dir.filePath(QStringLiteral("server.pem"))
                   << QStringLiteral("--tls-key") << dir.filePath(QStringLiteral("server.key"));
        caFile = dir.filePath(QStringLiteral("ca.pem")).toLocal8Bit();
    } else {
        serverArgs << QStringLiteral("--plain-http");
    }
    // The server's log (a line per call) goes to a file, never to a pipe
    // nobody reads while the load runs: a full pipe would stop the server.
    const QString logFile = dir.filePath(QStringLiteral("server.log"));
    serverArgs << QStringLiteral("--log-file") << logFile;
    QProcess server;
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(bin + QStringLiteral("/zav50000-server"), serverArgs);
    int port = 0;
    static const QRegularExpression listening(QStringLiteral("ouvindo em https?://127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(20000);
    while (port == 0 && !deadline.hasExpired() && server.state() != QProcess::NotRunning) {
        QThread::msleep(100);
        QFile log(logFile);
        if (log.open(QIODevice::ReadOnly))
            if (const auto m = listening.match(QString::fromLocal8Bit(log.readAll())); m.hasMatch())
                port = m.captured(1).toInt();
    }
    if (port == 0)
        die(QStringLiteral("the server did not start; see %1").arg(logFile));

    const QByteArray base =
        QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(port).toLatin1();
    // Every call but Login is made under a session.
    QString why;
    const QByteArray token = zavbench::signIn(bin, db, QStringLiteral("BENCH"), base, caFile, &why);
    if (token.isEmpty())
        die(why);
    // The demo's branch 0001, company 01, series 1 over 60 days: about 50 invoices.
    const QByteArray call =
        QStringLiteral(
            R"({"jsonrpc":"2.0","id":1,"method":"GetNotaFiscal","params":["0001","01","110042490114",)"
            R"("30521457","1","","","","","%1","%2",""]})")
            .arg(QDate::currentDate().addDays(-60).toString(Qt::ISODate),
                 QDate::currentDate().toString(Qt::ISODate))
            .toUtf8();

    std::printf("bench-frontdoor: %d clients, %d s each, %s\n", clients, seconds, tls ? "HTTPS" : "HTTP");
    const Load health = load(base + "/health", {}, caFile, clients, seconds);
    std::printf("  GET /health            %9.0f requests/s  p50 %6.2f ms  p99 %6.2f ms  failures %ld\n",
                health.perSecond, health.p50, health.p99, health.failures);
    const Load calls = load(base + "/ZAV50000.rdmCancelaNFE", call, caFile, clients, seconds, token);
    std::printf("  GetNotaFiscal (CBOR)   %9.0f requests/s  p50 %6.2f ms  p99 %6.2f ms  failures %ld\n",
                calls.perSecond, calls.p50, calls.p99, calls.failures);

    // Twenty slow connections, each adding a header line every 300 ms.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 20; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (!s->waitForConnected(2000))
            die(QStringLiteral("a slow connection was refused"));
        s->write(tls ? QByteArray("\x16\x03\x01") : QByteArray("POST /ZAV50000.rdmCancelaNFE HTTP/1.1\r\n"));
        slow.push_back(std::move(s));
    }
    std::vector<double> probes;
    // One probe at a time, each on a connection of its own.
    CURL* e = curl_easy_init();
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    if (!caFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, caFile.constData());
    const QByteArray healthUrl = base + "/health";
    curl_easy_setopt(e, CURLOPT_URL, healthUrl.constData());
    long unanswered = 0;
    for (int probe = 0; probe < 30; ++probe) {
        for (auto& s : slow)
            if (s->state() == QAbstractSocket::ConnectedState) {
                // In TLS a connection can only hold still after its first
                // bytes: a trickle would be no record at all.
                if (!tls)
                    s->write("X-Slow: 1\r\n");
                s->flush();
            }
        const auto start = Clock::now();
        long status = 0;
        if (curl_easy_perform(e) != CURLE_OK ||
            (curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status), status != 200))
            ++unanswered;
        probes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        QThread::msleep(300);
    }
    curl_easy_cleanup(e);
    long open = 0;
    for (auto& s : slow)
        open += s->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    std::printf("  /health with 20 slow   p50 %6.2f ms  p99 %6.2f ms  unanswered %ld of 30  (slow ones still "
                "open: %ld)\n",
                percentile(probes, 0.5), percentile(probes, 0.99), unanswered, open);

    server.terminate();
    server.waitForFinished(15000);
    std::printf("calls_per_s=%.0f p99_ms=%.2f health_per_s=%.0f ratio=%.3f slow_health_p99_ms=%.2f\n",
                calls.perSecond, calls.p99, health.perSecond,
                calls.perSecond / std::max(1.0, health.perSecond), percentile(probes, 0.99));
    return 0;
}

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // A failure unwinds to here: the server the run started stops with it.
    return zavbench::runReportingFailure("bench-frontdoor", [&] { return run(app); });
}
