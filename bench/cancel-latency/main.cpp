// bench-cancel-latency: the operator's wait for one Cancela_NotaFiscal of
// 1,000 ticked invoices, made as the screen makes it (TNetConnection, the
// list of GetNotaFiscal in a TClientDataSet, ticked with a reason), against
// the local tax authority answering every request after a fixed latency
// (--delay-ms), 200 ms and then 500 ms; and the requests the authority
// received, counted in its log. The floor is the batches (20 events each)
// over the batches in flight times the latency.
//
//   bench-cancel-latency [--invoices N] [--latencies 200,500]
//
// It starts what it needs itself: a new SQLite file with the demo data and
// the benchmark's invoices, the certificates, the local authority and the
// server, a new pair for each latency. Its last line:
//   wait_200ms_s=X wait_500ms_s=Y requests=Z
// (requests: those of the 200 ms run).
#include "benchsupport.h"
#include "cancelfixture.h"
#include "invoicepacket.h"
#include "nfeworld.h"
#include "serverprocess.h"

#include "data/clientdataset.h"
#include "net/netconnection.h"
#include "services/session.h"

#include "database.h"
#include "seed.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kBatch = 20;
constexpr int kLots = 4; // the authorities' table's default

using zavbench::die;

struct Figures {
    double waitS = 0;
    int eventRequests = 0, queryRequests = 0;
};

int countLines(const QByteArray& log, const QByteArray& what) {
    int n = 0;
    for (const QByteArray& line : log.split('\n'))
        n += line.contains(what) ? 1 : 0;
    return n;
}

// The invoices first .. first + count - 1 cancelled in one call, the
// authority answering after latencyMs.
Figures measure(const QString& file, int latencyMs, int first, int count) {
    QSqlDatabase db = zavdb::open(file, QStringLiteral("bench-latency-%1").arg(latencyMs));
    const canceltest::Establishment e = canceltest::mainEstablishment(db);
    const canceltest::Registration r = canceltest::registrationOf(db, e);
    NfeWorld world;
    if (const QString why = world.certificates(db); !why.isEmpty())
        die(why);
    if (const QString why =
            world.startAuthority(file, {QStringLiteral("--delay-ms"), QString::number(latencyMs)});
        !why.isEmpty())
        die(why);
    ServerProcess server;
    QString why;
    if (!server.start(file, world.serverArguments(), &why))
        die(why);
    const QByteArray token = server.signIn(file, canceltest::kOperator, &why);
    if (token.isEmpty())
        die(why);

    Session::values().webPlainHttp = true; // the benchmark's server on loopback
    Session::values().webToken = QString::fromLatin1(token);
    Session::values().operador = canceltest::kOperator;
    TNetConnection net;
    net.ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
    const int port = server.port();
    net.BeforeConnect = [&net, port](QObject*) {
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
    };
    TClientDataSet list;
    invoicetest::declareFields(list);
    const QDate from = canceltest::issueDayOf(first), to = canceltest::issueDayOf(first + count - 1);
    list.SetData(net.AppServer(QStringLiteral("GetNotaFiscal"),
                               {e.branch, e.company, e.stateRegistration, e.cityRegistration, e.series,
                                QString(), QString(), QString(), QString(), from, to, QString()}));
    if (list.RecordCount() != count)
        die(QStringLiteral("GetNotaFiscal listed %1 invoices, expected %2")
                .arg(list.RecordCount())
                .arg(count));
    for (int row = 1; row <= list.RecordCount(); ++row) {
        list.SetRecNo(row);
        list.Edit();
        list.FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->SetAsString(canceltest::kReason);
        list.FieldByName(QStringLiteral("IDCHECK"))->SetAsString(QStringLiteral("C"));
        list.Post();
    }
    const QByteArray logBefore = world.authority().log();

    QElapsedTimer clock;
    clock.start();
    const QVariant failures = net.AppServer(QStringLiteral("Cancela_NotaFiscal"),
                                            {list.DataVariant(), canceltest::kOperator,
                                             QDate::fromString(canceltest::today(), Qt::ISODate),
                                             r.environment, r.certificate, r.state});
    Figures f;
    f.waitS = double(clock.nsecsElapsed()) / 1e9;
    if (!failures.isNull()) {
        TClientDataSet errors;
        errors.SetData(failures);
        if (errors.RecordCount() > 0) {
            errors.First();
            die(QStringLiteral("%1 invoices not cancelled, the first: %2 %3 %4")
                    .arg(errors.RecordCount())
                    .arg(errors.FieldByName(QStringLiteral("NRLANCTONF"))->AsString(),
                         errors.FieldByName(QStringLiteral("CDERRO"))->AsString(),
                         errors.FieldByName(QStringLiteral("DSERRO"))->AsString()));
        }
    }
    const QByteArray log = world.authority().log().mid(logBefore.size());
    f.eventRequests = countLines(log, "NFeRecepcaoEvento4");
    f.queryRequests = countLines(log, "NFeConsultaProtocolo4");
    return f;
}

int run(QApplication& app) {
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("invoices"), QStringLiteral("ticked invoices (default 1000)"),
                      QStringLiteral("n"), QStringLiteral("1000")});
    parser.addOption({QStringLiteral("latencies"),
                      QStringLiteral("the authority's latencies in ms (default 200,500)"),
                      QStringLiteral("ms,ms"), QStringLiteral("200,500")});
    parser.process(app);
    const int invoices = parser.value(QStringLiteral("invoices")).toInt();
    QList<int> latencies;
    for (const QString& ms : parser.value(QStringLiteral("latencies")).split(u','))
        latencies.append(ms.toInt());
    if (invoices < 1 || latencies.contains(0))
        die(QStringLiteral("--invoices and --latencies must be positive"));

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("bench-latency.sqlite"));
    {
        QSqlDatabase db = zavdb::open(file, QStringLiteral("bench-fill"));
        zavdb::createSchema(db);
        zavdb::SeedOptions options;
        zavdb::seedReference(db, options);
        zavdb::seedInvoices(db, options);
        const canceltest::Establishment e = canceltest::mainEstablishment(db);
        if (const QString why =
                canceltest::insertInvoices(db, e, 1, invoices * int(latencies.size()), 'A', true);
            !why.isEmpty())
            die(why);
    }
    std::printf(
        "Cancela_NotaFiscal of %d ticked invoices through TNetConnection, local authority on SQLite\n",
        invoices);
    QStringList last;
    for (qsizetype i = 0; i < latencies.size(); ++i) {
        const int ms = latencies.at(i);
        const Figures f = measure(file, ms, 1 + int(i) * invoices, invoices);
        const int batches = (invoices + kBatch - 1) / kBatch;
        const double floor = double(batches) * ms / 1000.0 / kLots;
        std::printf("latency %4d ms  wait %7.2f s  floor %6.2f s  wait / floor %5.2f  "
                    "requests: %d events + %d queries (%d invoices)\n",
                    ms, f.waitS, floor, f.waitS / floor, f.eventRequests, f.queryRequests, invoices);
        last.append(QStringLiteral("wait_%1ms_s=%2").arg(ms).arg(f.waitS, 0, 'f', 2));
        if (i == 0)
            last.append(QStringLiteral("requests=%1").arg(f.eventRequests + f.queryRequests));
    }
    // The requests last, as the goal's line names them.
    last.append(last.takeAt(1));
    std::fflush(stdout);
    std::printf("%s\n", qPrintable(last.join(u' ')));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return zavbench::runReportingFailure("bench-cancel-latency", [&] { return run(app); });
}
