// bench-cancel: Cancela_NotaFiscal of 1,000 ticked invoices in one call, end to
// end over HTTP (the list sent as the screen sends it, JSON), beside the
// server's own cancellation code (InvoiceCanceller) run in this process on the
// same database for another 1,000 invoices, both signing every event and
// sending it to the local tax authority (zav-authority, HTTPS with the A1
// certificate); and beside the signing alone (building and signing 1,000
// events in this process): what the call costs on top of the cryptography.
//
//   bench-cancel [--sqlite FILE] [--pg CONNTEXT] [--invoices N] [--runs N]
//
// SQLite: a new file (default a temporary one). PostgreSQL (--pg, else
// ZAV_BENCH_PG, else ZAV_TEST_PG): a database zavbench_cancel created on that
// server and dropped at the end. Each database holds the schema, the demo data
// and runs x 2 x N invoices of the benchmark's own, each with one open
// receivable. Figures are medians over the runs.
#include "accesskey.h"
#include "benchsupport.h"
#include "cancellation/invoicecanceller.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"
#include "states.h"

#include "database.h"
#include "invoicewriter.h"
#include "seed.h"
#include "transaction.h"

#include <httplib.h>

#include <QCborArray>
#include <QCborMap>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

const char* const kReason = "Erro de digitação no valor da nota";
const char* const kOperator = "BENCH";

using zavbench::die;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QString digits(qint64 value, int width) {
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

struct Establishment {
    QString branch, company, stateRegistration, cityRegistration, series, cnpj, stateCode;
    QString environment, certificate, state;
};

Establishment mainEstablishment(QSqlDatabase& db) {
    Establishment e;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral(
            "SELECT F.CDFILIAL, F.CDEMPRESA, F.CDINSCESTA, F.CDINSCMUNI, F.CDSERIE, F.NRCNPJFILIAL, "
            "I.IDTPAMBIENTENFE, I.NRSERIECERTIFIC, I.SGESTADO FROM FILIAL F JOIN INSCRESTAD I ON "
            "I.CDEMPRESA = F.CDEMPRESA AND I.CDINSCESTA = F.CDINSCESTA ORDER BY F.CDFILIAL")) ||
        !q.next())
        die(QStringLiteral("no branch: %1").arg(q.lastError().text()));
    e = {q.value(0).toString(),
         q.value(1).toString(),
         q.value(2).toString(),
         q.value(3).toString(),
         q.value(4).toString(),
         q.value(5).toString(),
         {},
         q.value(6).toString(),
         q.value(7).toString(),
         q.value(8).toString()};
    const zavfiscal::State* state = zavfiscal::stateByAbbreviation(e.state);
    if (!state)
        die(QStringLiteral("unknown state %1").arg(e.state));
    e.stateCode = QLatin1String(state->code);
    return e;
}

// Invoice n of the benchmark: entry "3" + nine digits, issued on day n after
// 1990-01-01, authorised, with one open receivable.
QString entryOf(int n) {
    return QStringLiteral("3") + digits(n, 9);
}
QDate dayOf(int n) {
    return QDate(1990, 1, 1).addDays(n);
}

void insertInvoices(QSqlDatabase& db, const Establishment& e, int count) {
    zavdb::Transaction transaction(db);
    zavdb::InvoiceWriter writer(db);
    for (int n = 1; n <= count; ++n) {
        zavdb::InvoiceRecord invoice;
        invoice.entry = entryOf(n);
        invoice.branch = e.branch;
        invoice.company = e.company;
        invoice.stateRegistration = e.stateRegistration;
        invoice.cityRegistration = e.cityRegistration;
        invoice.series = e.series;
        invoice.number = 300000000 + n;
        invoice.issued = dayOf(n);
        invoice.bookEntry = digits(n, 12);
        invoice.value = 250.0;
        invoice.counterpartyKind = u'L';
        invoice.counterparty = e.branch == u"0002" ? QStringLiteral("0001") : QStringLiteral("0002");
        invoice.name = QStringLiteral("Filial %1").arg(n);
        invoice.stateCode = e.stateCode;
        invoice.issuerCnpj = e.cnpj;
        invoice.nfeSeries = 1;
        invoice.keyCode = n + 11;
        invoice.protocol = QStringLiteral("1") + e.stateCode + QStringLiteral("90") + digits(n, 10);
        invoice.authorisedAt = invoice.issued.toString(Qt::ISODate) + QStringLiteral("T10:00:00-03:00");
        writer.add(invoice);
        writer.addReceivable({invoice.entry, 1, invoice.issued.addDays(30), 250.0, u'A'});
    }
    writer.flush();
    transaction.commit();
}

class Server {
public:
    // The application server, or with a pattern the local authority. The
    // output goes to a file: a pipe nobody reads during a long call fills up
    // and stops the process in the middle of the batch.
    Server(const QString& program, const QStringList& arguments, const char* pattern) {
        const QString binary = QCoreApplication::applicationDirPath() + u'/' + program;
        const QString logFile = m_logDir.filePath(QStringLiteral("log.txt"));
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(logFile);
        m_process.start(binary, arguments);
        const QRegularExpression listening(QString::fromLatin1(pattern));
        const QDeadlineTimer deadline(30000);
        QByteArray log;
        while (m_port == 0 && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            QThread::msleep(50);
            QFile file(logFile);
            if (file.open(QIODevice::ReadOnly))
                log = file.readAll();
            const auto match = listening.match(QString::fromUtf8(log));
            if (match.hasMatch())
                m_port = match.captured(1).toInt();
        }
        if (m_port == 0)
            die(QStringLiteral("%1 did not start: %2").arg(program, QString::fromUtf8(log)));
    }
    ~Server() {
        m_process.terminate();
        if (!m_process.waitForFinished(15000))
            m_process.kill();
    }
    int port() const { return m_port; }

private:
    QTemporaryDir m_logDir;
    QProcess m_process;
    int m_port = 0;
};

QByteArray request(const QString& method, const QCborArray& params) {
    QCborMap map;
    map.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    map.insert(QStringLiteral("id"), 1);
    map.insert(QStringLiteral("method"), method);
    map.insert(QStringLiteral("params"), params);
    return QJsonDocument(map.toJsonObject()).toJson(QJsonDocument::Compact);
}

QCborMap post(httplib::Client& client, const QByteArray& body) {
    const auto result =
        client.Post("/ZAV50000.rdmCancelaNFE", body.constData(), size_t(body.size()), "application/json");
    if (!result || result->status != 200)
        die(QStringLiteral("HTTP call failed"));
    return QCborValue::fromJsonValue(
               QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object())
        .toMap();
}

// The list of invoices first .. first + count - 1 as GetNotaFiscal gives it, all ticked.
QCborMap tickedList(httplib::Client& client, const Establishment& e, int from, int count) {
    const QCborMap answer =
        post(client, request(QStringLiteral("GetNotaFiscal"),
                             {e.branch, e.company, e.stateRegistration, e.cityRegistration, e.series,
                              QString(), QString(), QString(), QString(), dayOf(from).toString(Qt::ISODate),
                              dayOf(from + count - 1).toString(Qt::ISODate), QString()}));
    QCborMap packet = answer.value(QStringLiteral("result")).toMap();
    const QCborArray fields = packet.value(QStringLiteral("fields")).toArray();
    qsizetype check = -1, reason = -1;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const QString name = fields.at(i).toMap().value(QStringLiteral("name")).toString();
        check = name == u"IDCHECK" ? i : check;
        reason = name == u"DSMOTIVOCANCNFE" ? i : reason;
    }
    QCborArray rows = packet.value(QStringLiteral("rows")).toArray();
    if (rows.size() != count)
        die(QStringLiteral("GetNotaFiscal listed %1 invoices, expected %2").arg(rows.size()).arg(count));
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QCborArray row = rows.at(i).toArray();
        row[check] = QStringLiteral("C");
        row[reason] = QString::fromUtf8(kReason);
        rows[i] = row;
    }
    packet.insert(QStringLiteral("rows"), rows);
    return packet;
}

struct Figures {
    double call = 0, inProcess = 0, signing = 0;
};

const char* const kPassword = "bench-cancel-1234";
constexpr int kTermHours = 24 * 36500; // the benchmark's invoices are from 1990

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        die(QStringLiteral("cannot write %1").arg(path));
}

// The certificates (the product's script), the local authority on the
// database, and the server's options pointing at both.
struct Authority {
    std::unique_ptr<Server> process;
    QStringList serverArguments;
    QString table;
    QString certificates;
};

Authority startAuthority(const QString& connection, const Establishment& e, const QTemporaryDir& dir) {
    Authority a;
    a.certificates = dir.filePath(QStringLiteral("certs"));
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh"),
                                          a.certificates, QString::fromLatin1(kPassword),
                                          e.certificate + u':' + e.cnpj}); // the certificate of its CNPJ
    if (!script.waitForFinished(120000) || script.exitCode() != 0)
        die(QStringLiteral("make-certificates.sh failed: %1").arg(QString::fromUtf8(script.readAll())));
    const QString certs = a.certificates + u'/';
    a.process = std::make_unique<Server>(
        QStringLiteral("zav-authority"),
        QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--cert"),
                    certs + QStringLiteral("authority.pem"), QStringLiteral("--key"),
                    certs + QStringLiteral("authority.key"), QStringLiteral("--client-ca"),
                    certs + QStringLiteral("ca.pem"), QStringLiteral("--db"), connection,
                    QStringLiteral("--ordinary-hours"), QString::number(kTermHours)},
        "listening on https://127\\.0\\.0\\.1:(\\d+)");
    const QString password = dir.filePath(QStringLiteral("senha"));
    writeFile(password, QByteArray(kPassword) + "\n");
    QFile::setPermissions(password, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    a.table = dir.filePath(QStringLiteral("autoridades.ini"));
    writeFile(
        a.table,
        QStringLiteral("[geral]\nca = %1ca.pem\n[*.*]\nevento = https://127.0.0.1:%2/ws/NFeRecepcaoEvento4\n"
                       "consulta = https://127.0.0.1:%2/ws/NFeConsultaProtocolo4\nprazoHoras = %3\n")
            .arg(certs)
            .arg(a.process->port())
            .arg(kTermHours)
            .toUtf8());
    a.serverArguments = {QStringLiteral("--certificates"),
                         a.certificates,
                         QStringLiteral("--certificate-password-file"),
                         password,
                         QStringLiteral("--authorities"),
                         a.table};
    return a;
}

Figures measure(const QString& connection, int invoices, int runs) {
    {
        const QString name = QStringLiteral("bench-fill");
        {
            QSqlDatabase db = zavdb::open(connection, name);
            zavdb::createSchema(db);
            zavdb::SeedOptions options;
            zavdb::seedReference(db, options);
            zavdb::seedInvoices(db, options);
            insertInvoices(db, mainEstablishment(db), 2 * runs * invoices);
        }
        QSqlDatabase::removeDatabase(name);
    }
    const QString name = QStringLiteral("bench-direct");
    Figures f;
    {
        QSqlDatabase db = zavdb::open(connection, name);
        const Establishment e = mainEstablishment(db);
        // In this process, as one session of the benchmark's operator.
        const zavserver::CancellationContext context{
            QString::fromLatin1(kOperator), QDate::currentDate(),       e.environment, e.certificate, e.state,
            QStringLiteral("bench-direct"), QStringLiteral("127.0.0.1")};
        QTemporaryDir dir;
        Authority authority = startAuthority(connection, e, dir);
        zavserver::NfeSettings settings;
        settings.certificateFolder = authority.certificates;
        settings.certificatePassword = kPassword;
        QString error;
        settings.authorities = zavserver::AuthorityConfig::load(authority.table, &error);
        if (!settings.authorities)
            die(error);
        const zavnfe::CertificateLookup certificate =
            zavnfe::CertificateStore(authority.certificates).find(e.certificate, kPassword);
        if (!certificate.found())
            die(certificate.error);
        Server server(QStringLiteral("zav50000-server"),
                      QStringList{QStringLiteral("--db"), connection, QStringLiteral("--listen"),
                                  QStringLiteral("127.0.0.1:0"), QStringLiteral("--plain-http")} +
                          authority.serverArguments,
                      "ouvindo em https?://127\\.0\\.0\\.1:(\\d+)");
        httplib::Client client("127.0.0.1", server.port());
        client.set_keep_alive(true);
        // Every call but Login is made under a session.
        if (const QString why =
                zavbench::signInClient(client, server.port(), QCoreApplication::applicationDirPath(),
                                       connection, QString::fromLatin1(kOperator));
            !why.isEmpty())
            die(why);
        client.set_tcp_nodelay(true);
        client.set_read_timeout(600);

        std::vector<double> calls, direct, signing;
        for (int run = 0; run < runs; ++run) {
            // End to end: one call of the whole ticked list; and the same work
            // on as many other invoices without HTTP, JSON or packet. The two
            // take turns going first, so that neither always meets the
            // database warmer.
            const int base = 1 + 2 * run * invoices;
            const QByteArray body =
                request(QStringLiteral("Cancela_NotaFiscal"),
                        {tickedList(client, e, base, invoices), QString::fromLatin1(kOperator),
                         QDate::currentDate().toString(Qt::ISODate), e.environment, e.certificate, e.state});
            auto overHttp = [&] {
                QElapsedTimer t;
                t.start();
                const QCborMap answer = post(client, body);
                calls.push_back(double(t.nsecsElapsed()) / 1e6);
                if (!answer.value(QStringLiteral("result")).isNull())
                    die(QStringLiteral("not every invoice was cancelled: %1")
                            .arg(QString::fromUtf8(
                                     QJsonDocument(answer.toJsonObject()).toJson(QJsonDocument::Compact))
                                     .left(300)));
            };
            auto inProcess = [&] {
                zavserver::InvoiceCanceller canceller(db, context, settings);
                QElapsedTimer t;
                t.start();
                for (int n = base + invoices; n < base + 2 * invoices; ++n) {
                    const auto outcome =
                        canceller.cancel({entryOf(n), QString::fromUtf8(kReason), e.branch, e.company});
                    if (!outcome.cancelled)
                        die(QStringLiteral("invoice %1 not cancelled: %2 %3")
                                .arg(entryOf(n), outcome.key, outcome.text));
                }
                direct.push_back(double(t.nsecsElapsed()) / 1e6);
            };
            if (run % 2 == 0) {
                overHttp();
                inProcess();
            } else {
                inProcess();
                overHttp();
            }

            // Building and signing as many events, nothing else.
            zavnfe::CancellationData data;
            data.accessKey = zavfiscal::composeAccessKey(
                {e.stateCode, QDate(1990, 1, 1), e.cnpj, 55, 1, 300000001, 1, 12});
            data.issuerCnpj = e.cnpj;
            data.authorisationProtocol = QStringLiteral("135900000000001");
            data.environment = e.environment.toInt();
            data.reason = QString::fromUtf8(kReason);
            data.stateUtcOffsetSeconds = -3 * 3600;
            const zavnfe::EventSigner signer(*certificate.certificate);
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < invoices; ++i) {
                data.at = QDateTime::currentDateTimeUtc();
                const auto event = zavnfe::CancellationEvent::create(data, &error);
                if (!event)
                    die(error);
                const QByteArray batch =
                    zavnfe::CancellationBatch::build(QStringLiteral("1"), {*event}, &error);
                if (signer.sign(batch, &error).isEmpty())
                    die(error);
            }
            signing.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        f = {median(calls), median(direct), median(signing)};
    }
    QSqlDatabase::removeDatabase(name);
    return f;
}

void print(const char* dialect, const Figures& f, int invoices) {
    std::printf("%-10s  call %8.1f ms  %6.3f ms/invoice | in-process %8.1f ms  %6.3f ms/invoice | "
                "signing alone %6.3f ms/invoice | call / signing %5.1f | in-process / call %5.1f %%\n",
                dialect, f.call, f.call / invoices, f.inProcess, f.inProcess / invoices, f.signing / invoices,
                f.call / f.signing, 100.0 * f.inProcess / f.call);
}

} // namespace

int run(QCoreApplication& app) {
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("sqlite"), QStringLiteral("new SQLite file (default: a temporary one)"),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("pg"),
                      QStringLiteral("PostgreSQL server (default ZAV_BENCH_PG, ZAV_TEST_PG)"),
                      QStringLiteral("conntext")});
    parser.addOption({QStringLiteral("invoices"), QStringLiteral("ticked invoices per call (default 1000)"),
                      QStringLiteral("n"), QStringLiteral("1000")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("runs (default 5)"), QStringLiteral("n"),
                      QStringLiteral("5")});
    parser.process(app);
    const int invoices = parser.value(QStringLiteral("invoices")).toInt();
    const int runs = parser.value(QStringLiteral("runs")).toInt();
    if (invoices < 1 || runs < 1)
        die(QStringLiteral("--invoices and --runs must be positive"));

    std::printf("Cancela_NotaFiscal, %d ticked invoices per call, median of %d runs\n", invoices, runs);
    QTemporaryDir dir;
    QString file = parser.value(QStringLiteral("sqlite"));
    if (file.isEmpty())
        file = dir.filePath(QStringLiteral("bench-cancel.sqlite"));
    if (QFile::exists(file))
        die(QStringLiteral("%1 exists: the benchmark needs a new file").arg(file));
    print("SQLite", measure(file, invoices, runs), invoices);

    QString pg = parser.value(QStringLiteral("pg"));
    if (pg.isEmpty())
        pg = zavbench::benchServer();
    if (pg.isEmpty()) {
        std::printf("PostgreSQL  skipped: no --pg, ZAV_BENCH_PG or ZAV_TEST_PG\n");
        return 0;
    }
    zavbench::onScratchDatabase(pg, QStringLiteral("zavbench_cancel"), [&](const QString& connection) {
        print("PostgreSQL", measure(connection, invoices, runs), invoices);
    });
    return 0;
}

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    return zavbench::runReportingFailure("bench-cancel", [&] { return run(app); });
}
