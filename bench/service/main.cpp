// bench-service: the service as fifty operators meet it. Fifty screens, each
// under a session of its own, list their invoices (GetNotaFiscal) over and
// over (a round every 250 ms at most) and every fifth round cancel ten of
// them; beside them one client signs in over and over and another probes
// /health. First with the local authority answering every request in
// 200 ms, then with it reading every request and never answering (a server
// and an authority of their own for each). The floor is the same calls with
// nothing else running, measured first in the same run.
//
//   bench-service [--screens N] [--seconds S]
//
// Its last line:
//   list_p99_ms=X list_p99_hung_ms=Y login_p99_ms=Z health_p99_ms=W errors=E
// (health and sign-ins: the worse of the two phases; errors: any call of
// either phase that failed, a cancellation's invoices not cancelled because
// the authority hangs excepted, since that is its answer).
#include "benchsupport.h"
#include "cancelfixture.h"
#include "nfeworld.h"
#include "serverprocess.h"

#include "database.h"
#include "seed.h"

#include <httplib.h>

#include <QCborArray>
#include <QCborMap>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using zavbench::die;
constexpr int kInvoicesPerScreen = 200;
constexpr int kTickedPerCancel = 10;
constexpr qint64 kRoundMs = 250;

struct Samples {
    std::mutex mutex;
    std::vector<double> ms;
    void add(double v) {
        std::lock_guard lock(mutex);
        ms.push_back(v);
    }
    double percentile(double p) {
        std::lock_guard lock(mutex);
        if (ms.empty())
            return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, size_t(p * double(ms.size())))];
    }
    double median() { return percentile(0.5); }
};

double msSince(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}

QByteArray rpc(const QString& method, const QJsonArray& params) {
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), 1},
                                     {QStringLiteral("method"), method},
                                     {QStringLiteral("params"), params}})
        .toJson(QJsonDocument::Compact);
}

// One call; the answer's JSON, or an empty object when it failed.
QJsonObject post(httplib::Client& client, const QByteArray& body, int* status) {
    const auto result =
        client.Post("/ZAV50000.rdmCancelaNFE", body.constData(), size_t(body.size()), "application/json");
    *status = result ? result->status : 0;
    if (!result)
        return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object();
}

QByteArray signIn(int port, const QString& who) {
    httplib::Client client("127.0.0.1", port);
    int status = 0;
    const QJsonObject a =
        post(client, rpc(QStringLiteral("Login"), {who, QString::fromLatin1(kTestPassword)}), &status);
    const QJsonArray rows =
        a.value(QStringLiteral("result")).toObject().value(QStringLiteral("rows")).toArray();
    return rows.isEmpty() ? QByteArray() : rows.first().toArray().at(2).toString().toUtf8();
}

struct Phase {
    Samples lists, logins, health;
    std::atomic<int> errors{0};
    std::atomic<int> cancels{0};
};

QJsonArray listParams(const canceltest::Establishment& e, int screen) {
    const int first = 1 + screen * kInvoicesPerScreen;
    return {e.branch,
            e.company,
            e.stateRegistration,
            e.cityRegistration,
            e.series,
            QString(),
            QString(),
            QString(),
            QString(),
            canceltest::issueDayOf(first).toString(Qt::ISODate),
            canceltest::issueDayOf(first + kInvoicesPerScreen - 1).toString(Qt::ISODate),
            QString()};
}

// The list's packet with its first `ticked` rows ticked.
QJsonObject tickedPacket(const QJsonObject& list, int ticked) {
    QJsonObject packet = list;
    const QJsonArray fields = list.value(QStringLiteral("fields")).toArray();
    int check = -1, reason = -1;
    for (int i = 0; i < fields.size(); ++i) {
        const QString name = fields.at(i).toObject().value(QStringLiteral("name")).toString();
        check = name == u"IDCHECK" ? i : check;
        reason = name == u"DSMOTIVOCANCNFE" ? i : reason;
    }
    QJsonArray rows = list.value(QStringLiteral("rows")).toArray();
    for (int r = 0; r < std::min<qsizetype>(ticked, rows.size()); ++r) {
        QJsonArray row = rows.at(r).toArray();
        row[check] = QStringLiteral("C");
        row[reason] = canceltest::kReason;
        rows[r] = row;
    }
    packet.insert(QStringLiteral("rows"), rows);
    return packet;
}

// Everything at once for `seconds`.
void load(int port, const QList<QByteArray>& tokens, const canceltest::Establishment& e,
          const canceltest::Registration& r, int seconds, Phase& phase) {
    std::atomic<bool> over{false};
    std::vector<std::thread> threads;
    threads.reserve(size_t(tokens.size()) + 2);
    for (int s = 0; s < tokens.size(); ++s)
        threads.emplace_back([&, s] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_read_timeout(std::chrono::seconds(120));
            client.set_default_headers({{"Authorization", "Bearer " + tokens.at(s).toStdString()}});
            int round = 0;
            QElapsedTimer pace;
            pace.start();
            while (!over.load()) {
                // An operator's pace: a round (a list, now and then a
                // cancellation) at most every kRoundMs, in both phases alike.
                if (const qint64 wait = kRoundMs - pace.restart(); wait > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
                QElapsedTimer t;
                t.start();
                int status = 0;
                const QJsonObject a =
                    post(client, rpc(QStringLiteral("GetNotaFiscal"), listParams(e, s)), &status);
                phase.lists.add(msSince(t));
                if (status != 200 || !a.contains(QStringLiteral("result"))) {
                    ++phase.errors;
                    continue;
                }
                // Every fifth round, ten of its invoices cancelled, as the screen does.
                if (++round % 5 != 0)
                    continue;
                const QJsonObject packet =
                    tickedPacket(a.value(QStringLiteral("result")).toObject(), kTickedPerCancel);
                const QJsonObject c = post(client,
                                           rpc(QStringLiteral("Cancela_NotaFiscal"),
                                               {packet, canceltest::kOperator, canceltest::today(),
                                                r.environment, r.certificate, r.state}),
                                           &status);
                ++phase.cancels;
                if (status != 200 || c.contains(QStringLiteral("error")))
                    ++phase.errors;
            }
        });
    threads.emplace_back([&] {
        while (!over.load()) {
            QElapsedTimer t;
            t.start();
            if (signIn(port, QStringLiteral("ENTRADA")).isEmpty())
                ++phase.errors;
            phase.logins.add(msSince(t));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    threads.emplace_back([&] {
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(true);
        while (!over.load()) {
            QElapsedTimer t;
            t.start();
            const auto result = client.Get("/health");
            phase.health.add(msSince(t));
            if (!result || result->status != 200)
                ++phase.errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    over.store(true);
    for (std::thread& t : threads)
        t.join();
}

struct Run {
    QTemporaryDir dir;
    QString file;
    canceltest::Establishment e;
    canceltest::Registration r;
};

// A server and an authority of their own, the screens signed in.
void phase(Run& run, const QStringList& authority, int screens, int seconds, Phase& out, Phase* floor) {
    QSqlDatabase db = zavdb::open(run.file, QStringLiteral("bench-service-%1").arg(authority.join(u' ')));
    NfeWorld world;
    if (const QString why = world.certificates(db); !why.isEmpty())
        die(why);
    if (const QString why = world.startAuthority(run.file, authority, 2000); !why.isEmpty())
        die(why);
    ServerProcess server;
    QString why;
    if (!server.start(run.file, world.serverArguments(), &why))
        die(why);
    for (const QString& who : {canceltest::kOperator, QStringLiteral("ENTRADA")})
        if (server.signIn(run.file, who, &why).isEmpty())
            die(why);
    QList<QByteArray> tokens;
    for (int s = 0; s < screens; ++s) {
        tokens.append(signIn(server.port(), canceltest::kOperator));
        if (tokens.last().isEmpty())
            die(QStringLiteral("screen %1 could not sign in").arg(s));
    }
    if (floor) // the same calls, one screen, nothing else running
        load(server.port(), {tokens.first()}, run.e, run.r, 3, *floor);
    load(server.port(), tokens, run.e, run.r, seconds, out);
    if (server.terminate(60000) != 0)
        die(QStringLiteral("the server did not stop with 0: %1")
                .arg(QString::fromUtf8(server.log().right(2000))));
}

int run(QCoreApplication& app) {
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("screens"), QStringLiteral("screens at once (default 50)"),
                      QStringLiteral("n"), QStringLiteral("50")});
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("seconds of each phase (default 15)"),
                      QStringLiteral("s"), QStringLiteral("15")});
    parser.process(app);
    const int screens = parser.value(QStringLiteral("screens")).toInt();
    const int seconds = parser.value(QStringLiteral("seconds")).toInt();
    if (screens < 1 || seconds < 1)
        die(QStringLiteral("--screens and --seconds must be positive"));
    Run r;
    r.file = r.dir.filePath(QStringLiteral("bench-service.sqlite"));
    {
        QSqlDatabase db = zavdb::open(r.file, QStringLiteral("bench-fill"));
        zavdb::createSchema(db);
        zavdb::SeedOptions options;
        zavdb::seedReference(db, options);
        zavdb::seedInvoices(db, options);
        r.e = canceltest::mainEstablishment(db);
        r.r = canceltest::registrationOf(db, r.e);
        if (const QString why =
                canceltest::insertInvoices(db, r.e, 1, screens * kInvoicesPerScreen, 'A', true);
            !why.isEmpty())
            die(why);
    }
    Phase floor, slow, hung;
    phase(r, {QStringLiteral("--delay-ms"), QStringLiteral("200")}, screens, seconds, slow, &floor);
    phase(r, {QStringLiteral("--hang")}, screens, seconds, hung, nullptr);
    std::printf("zav50000-server, SQLite, %d screens, %d s a phase (build %s)\n", screens, seconds,
                ZAV_BUILD_TYPE);
    const auto line = [](const char* what, Samples& s, Samples& f) {
        std::printf(
            "%-34s median %8.2f ms  p99 %8.2f ms  floor p99 %7.2f ms  p99 / floor %6.1f  (%zu calls)\n", what,
            s.median(), s.percentile(0.99), f.percentile(0.99),
            s.percentile(0.99) / std::max(0.01, f.percentile(0.99)), s.ms.size());
    };
    line("GetNotaFiscal, authority at 200 ms", slow.lists, floor.lists);
    line("GetNotaFiscal, authority hung", hung.lists, floor.lists);
    line("Login, authority at 200 ms", slow.logins, floor.logins);
    line("Login, authority hung", hung.logins, floor.logins);
    line("/health, authority at 200 ms", slow.health, floor.health);
    line("/health, authority hung", hung.health, floor.health);
    std::printf("cancellations: %d at 200 ms, %d hung\n", slow.cancels.load(), hung.cancels.load());
    std::fflush(stdout);
    std::printf("list_p99_ms=%.1f list_p99_hung_ms=%.1f login_p99_ms=%.1f health_p99_ms=%.1f errors=%d\n",
                slow.lists.percentile(0.99), hung.lists.percentile(0.99),
                std::max(slow.logins.percentile(0.99), hung.logins.percentile(0.99)),
                std::max(slow.health.percentile(0.99), hung.health.percentile(0.99)),
                slow.errors.load() + hung.errors.load() + floor.errors.load());
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    return zavbench::runReportingFailure("bench-service", [&] { return run(app); });
}
