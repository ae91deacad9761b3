// bench-events: NF-e cancellation events per second, built (CancellationEvent
// and CancellationBatch), built and signed (EventSigner), and built, signed
// and registered (POST over HTTPS with mutual TLS to the local authority,
// zav-authority, in a SOAP envelope from zavnfe::Soap), in batches of 1 and of
// 20 events; beside RSA-2048 signatures per second as `openssl speed` counts
// them in the same run, since signing is what an event costs most. The last
// line, events_per_rsa_sign=X, is events built and signed per second one by
// one, as the server signs them, over those RSA signatures per second.
// Beside it, events_per_token_sign=X: the same through an A3 key on a
// SoftHSM token (scripts/make-token.sh, SoftHSM's real PKCS#11 module, its
// tokens in the temporary folder), events built and signed per second one by
// one over the token's own RSA-2048 signatures per second in the same run.
//
//   bench-events [--invoices N] [--events N] [--runs N]
//
// Everything is real and made here in a temporary folder: the certificates
// (scripts/make-certificates.sh), an ERP demo database in SQLite with N
// invoices (zav-dbinit, default 5000), and the authority reading it, with
// terms wide enough that every authorised invoice may be cancelled, keeping
// its record in its own SQLite file. Each run and batch size builds, signs
// and registers --events events (default 200) of invoices not cancelled
// before. Figures are medians over the runs; no timing is judged here.

#include "accesskey.h"
#include "authoritymessages.h"
#include "benchsupport.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"
#include "soap.h"
#include "states.h"
#include "tokenset.h"

#include "database.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

const char* const kReason = "Erro de digitação no valor da nota";
const char* const kPassword = "bench-senha";
const char* const kSerial = "BE0C0001";
const char* const kTokenSerial = "BE0C0A03"; // the A3 certificate's, on the SoftHSM token
const char* const kTokenLabel = "BENCH A3";
constexpr int kSigningThreads = 4; // as many as the server's batches in flight per authority
const char* const kEventPath = "/ws/NFeRecepcaoEvento4";
const char* const kStatusPath = "/ws/NFeConsultaProtocolo4";

// The authorised invoices, with their issuing state and environment; the
// issuer is the CNPJ inside the access key, which is what the authority
// compares the author with.
const char* const kAuthorisedSql = R"(
SELECT N.NRACESSONFE, N.NRPROTOCOLONFE, I.IDTPAMBIENTENFE, N.DHAUTORIZACAO
FROM NOTAFISCAL N
JOIN INSCRESTAD I ON I.CDEMPRESA = N.CDEMPRESA AND I.CDINSCESTA = N.CDINSCESTA
WHERE N.IDSITUACAONFE = :state
ORDER BY N.NRLANCTONF
)";

// Thrown, not exit(): the stack unwinds so that the authority is stopped and
// the temporary folder removed. No event loop runs in this program.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void die(const QString& text) {
    throw Failure(text.toStdString());
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QByteArray runTool(const QString& program, const QStringList& arguments, int timeoutMs = 300000) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs))
        die(QStringLiteral("%1 did not finish: %2").arg(program, process.errorString()));
    QByteArray output = process.readAll();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        die(QStringLiteral("%1 %2 failed:\n%3")
                .arg(program, arguments.join(u' '), QString::fromUtf8(output)));
    return output;
}

std::vector<zavnfe::CancellationData> authorisedInvoices(const QString& connection) {
    std::vector<zavnfe::CancellationData> invoices;
    const QString name = QStringLiteral("bench-events");
    {
        QSqlDatabase db = zavdb::open(connection, name);
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.prepare(QString::fromLatin1(kAuthorisedSql)))
            die(QStringLiteral("reading the invoices: %1").arg(q.lastError().text()));
        q.bindValue(QStringLiteral(":state"), QStringLiteral("A"));
        if (!q.exec())
            die(QStringLiteral("reading the invoices: %1").arg(q.lastError().text()));
        // The demo's invoices of today can carry an authorisation time ahead
        // of now (the seed writes the machine's clock with the state's
        // offset); the authority would rightly refuse those with 579.
        const QDateTime latest = QDateTime::currentDateTimeUtc().addSecs(-60);
        while (q.next()) {
            const QDateTime authorised = QDateTime::fromString(q.value(3).toString(), Qt::ISODate);
            if (!authorised.isValid() || authorised > latest)
                continue;
            zavnfe::CancellationData data;
            data.accessKey = q.value(0).toString();
            data.issuerCnpj = zavfiscal::accessKeyIssuerCnpj(data.accessKey);
            data.authorisationProtocol = q.value(1).toString();
            data.environment = q.value(2).toInt();
            data.reason = QString::fromUtf8(kReason);
            const zavfiscal::State* state =
                zavfiscal::stateByCode(zavfiscal::accessKeyStateCode(data.accessKey));
            if (!state)
                die(QStringLiteral("invoice %1 of an unknown state").arg(data.accessKey));
            data.stateUtcOffsetSeconds = state->utcOffsetSeconds;
            invoices.push_back(std::move(data));
        }
    }
    QSqlDatabase::removeDatabase(name);
    // One A1 signs them all, and the authority refuses an author of another
    // company than the certificate's (213): the invoices of the company that
    // issued the most.
    std::map<QString, int> perCompany;
    for (const zavnfe::CancellationData& data : invoices)
        ++perCompany[data.issuerCnpj.left(8)];
    const auto company = std::max_element(perCompany.begin(), perCompany.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    if (company != perCompany.end())
        std::erase_if(invoices, [&](const zavnfe::CancellationData& data) {
            return data.issuerCnpj.left(8) != company->first;
        });
    return invoices;
}

// The local authority, on a port it picks; stopped (SIGTERM) on destruction.
class Authority {
public:
    // Without a record file the authority keeps its record in memory.
    Authority(const QString& certificates, const QString& database, const QString& record, QString log)
        : m_log(std::move(log)) {
        const QString binary = QCoreApplication::applicationDirPath() + QStringLiteral("/zav-authority");
        const QString c = certificates + u'/';
        // Terms of about a century: every authorised invoice of the demo may be cancelled.
        QStringList arguments{QStringLiteral("--listen"),
                              QStringLiteral("127.0.0.1:0"),
                              QStringLiteral("--cert"),
                              c + QStringLiteral("authority.pem"),
                              QStringLiteral("--key"),
                              c + QStringLiteral("authority.key"),
                              QStringLiteral("--client-ca"),
                              c + QStringLiteral("ca.pem"),
                              QStringLiteral("--db"),
                              database,
                              QStringLiteral("--ordinary-hours"),
                              QStringLiteral("876000"),
                              QStringLiteral("--late-days"),
                              QStringLiteral("36500")};
        if (!record.isEmpty())
            arguments << QStringLiteral("--record") << record;
        // Its request log goes to a file: a pipe nobody reads would fill and stop it.
        m_process.setStandardErrorFile(m_log);
        m_process.start(binary, arguments);
        static const QRegularExpression listening(
            QStringLiteral("listening on https://127\\.0\\.0\\.1:(\\d+)"));
        QByteArray output;
        m_port = zavbench::listeningPort(m_process, QProcess::StandardOutput, listening, 60000, &output);
        if (m_port == 0)
            die(QStringLiteral("zav-authority did not start: %1 %2")
                    .arg(QString::fromUtf8(output), logTail()));
    }
    ~Authority() {
        m_process.terminate();
        if (!m_process.waitForFinished(15000))
            m_process.kill();
    }
    Authority(const Authority&) = delete;
    Authority& operator=(const Authority&) = delete;
    int port() const { return m_port; }
    // For a failure's message: whether the authority is still up, and what it wrote.
    QString condition() {
        if (m_process.state() == QProcess::Running)
            return QStringLiteral("the authority is running; its log ends with:\n%1").arg(logTail());
        return QStringLiteral("the authority ended (%1, code %2); its log ends with:\n%3")
            .arg(m_process.exitStatus() == QProcess::CrashExit ? QStringLiteral("crashed")
                                                               : QStringLiteral("exited"))
            .arg(m_process.exitCode())
            .arg(logTail());
    }

private:
    QString logTail() const {
        QFile file(m_log);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().right(1500)) : QString();
    }

    QString m_log;
    QProcess m_process;
    int m_port = 0;
};

struct Batch {
    QString id;
    QList<zavnfe::CancellationEvent> events;
    QByteArray xml;
    QStringList keys;
};

// The batches of `count` invoices from `first`, `size` events each: their
// events made, their XML not yet.
std::vector<Batch> makeEvents(const std::vector<zavnfe::CancellationData>& invoices, size_t first, int count,
                              int size, qint64* batchId) {
    std::vector<Batch> batches;
    QString error;
    for (int done = 0; done < count; done += size) {
        Batch batch;
        for (int i = done; i < std::min(count, done + size); ++i) {
            zavnfe::CancellationData data = invoices[first + size_t(i)];
            data.at = QDateTime::currentDateTimeUtc();
            auto event = zavnfe::CancellationEvent::create(data, &error);
            if (!event)
                die(QStringLiteral("event of %1: %2").arg(data.accessKey, error));
            batch.events.append(*event);
            batch.keys.append(data.accessKey);
        }
        batch.id = QString::number(++*batchId);
        batches.push_back(std::move(batch));
    }
    return batches;
}

// The envEvento batches written out, unsigned.
std::vector<Batch> build(const std::vector<zavnfe::CancellationData>& invoices, size_t first, int count,
                         int size, qint64* batchId) {
    std::vector<Batch> batches = makeEvents(invoices, first, count, size, batchId);
    QString error;
    for (Batch& batch : batches) {
        batch.xml = zavnfe::CancellationBatch::build(batch.id, batch.events, &error);
        if (batch.xml.isEmpty())
            die(QStringLiteral("batch: %1").arg(error));
    }
    return batches;
}

// The batches built and signed as the server does it: the signer signs the
// batch's document as it builds it, never written out unsigned.
std::vector<Batch> buildSigned(const zavnfe::EventSigner& signer,
                               const std::vector<zavnfe::CancellationData>& invoices, size_t first, int count,
                               int size, qint64* batchId) {
    std::vector<Batch> batches = makeEvents(invoices, first, count, size, batchId);
    QString error;
    for (Batch& batch : batches) {
        batch.xml = signer.signEvents(batch.id, batch.events, &error);
        if (batch.xml.isEmpty())
            die(QStringLiteral("signing: %1").arg(error));
    }
    return batches;
}

// Posts every batch and insists on each event being registered: a figure of
// rejections would measure nothing.
void registerAll(httplib::SSLClient& client, Authority& authority, const std::vector<Batch>& batches) {
    const std::string contentType =
        zavnfe::Soap::contentType(zavnfe::Soap::kEventService, zavnfe::Soap::kEventOperation).toStdString();
    QElapsedTimer clock;
    clock.start();
    for (const Batch& batch : batches) {
        const QByteArray envelope = zavnfe::Soap::envelope(zavnfe::Soap::kEventService, batch.xml);
        const auto result =
            client.Post(kEventPath, envelope.constData(), size_t(envelope.size()), contentType.c_str());
        if (!result)
            die(QStringLiteral(
                    "POST of batch %1 (%2 events, %3 ms into the phase) failed: %4 (TLS verification %5); %6")
                    .arg(batch.id)
                    .arg(batch.keys.size())
                    .arg(clock.elapsed())
                    .arg(QString::fromStdString(httplib::to_string(result.error())))
                    .arg(client.get_openssl_verify_result())
                    .arg(authority.condition()));
        if (result->status != 200)
            die(QStringLiteral("HTTP %1: %2")
                    .arg(result->status)
                    .arg(QString::fromStdString(result->body).left(500)));
        QString error;
        const QByteArray payload = zavnfe::Soap::payload(QByteArray::fromStdString(result->body), &error);
        const auto answer = payload.isEmpty() ? std::nullopt : zavnfe::parseRetEnvEvento(payload, &error);
        if (!answer)
            die(QStringLiteral("answer: %1").arg(error));
        if (answer->status != 128 || answer->events.size() != size_t(batch.keys.size()))
            die(QStringLiteral("batch answered %1 %2 with %3 events for %4")
                    .arg(answer->status)
                    .arg(answer->statusText)
                    .arg(answer->events.size())
                    .arg(batch.keys.size()));
        std::set<QString> pending(batch.keys.cbegin(), batch.keys.cend());
        for (const zavnfe::EventResult& event : answer->events) {
            if (event.status != 135 || pending.erase(event.accessKey) != 1)
                die(QStringLiteral("event of %1 answered %2 %3")
                        .arg(event.accessKey)
                        .arg(event.status)
                        .arg(event.statusText));
        }
    }
}

// A fresh connection, opened by a status query outside the timings: the one
// kept alive may have been closed by the authority while openssl ran.
void reconnect(httplib::SSLClient& client, const zavnfe::CancellationData& invoice) {
    client.stop();
    const QByteArray envelope = zavnfe::Soap::envelope(
        zavnfe::Soap::kStatusService, zavnfe::consSitNFe(invoice.environment, invoice.accessKey));
    const std::string contentType =
        zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, zavnfe::Soap::kStatusOperation).toStdString();
    const auto result =
        client.Post(kStatusPath, envelope.constData(), size_t(envelope.size()), contentType.c_str());
    QString error;
    if (!result || result->status != 200 ||
        !zavnfe::parseRetConsSitNFe(zavnfe::Soap::payload(QByteArray::fromStdString(result->body), &error),
                                    &error))
        die(QStringLiteral("status query of %1 failed: %2 (TLS verification %3)")
                .arg(invoice.accessKey,
                     result ? error : QString::fromStdString(httplib::to_string(result.error())))
                .arg(client.get_openssl_verify_result()));
}

// RSA-2048 signatures per second by `openssl speed`, one process, one thread,
// on the wall clock as the events are timed (-elapsed): by default it divides
// by its CPU time, which on a loaded machine is half the wall time or less
// and would double the limit the events are held to.
double opensslSigns() {
    const QByteArray output =
        runTool(QStringLiteral("openssl"),
                {QStringLiteral("speed"), QStringLiteral("-elapsed"), QStringLiteral("-seconds"),
                 QStringLiteral("3"), QStringLiteral("rsa2048")});
    static const QRegularExpression line(
        QStringLiteral("^rsa\\s+2048 bits\\s+\\S+\\s+\\S+\\s+([0-9.]+)\\s+([0-9.]+)\\s*$"),
        QRegularExpression::MultilineOption);
    const auto match = line.match(QString::fromUtf8(output));
    bool ok = false;
    const double signs = match.hasMatch() ? match.captured(1).toDouble(&ok) : 0;
    if (!ok || signs <= 0)
        die(QStringLiteral("no signs/s in the output of openssl speed:\n%1").arg(QString::fromUtf8(output)));
    return signs;
}

// RSA-2048 signatures per second with the A1 file's own key, in this
// process, each with a context of its own as xmlsec makes one per signature:
// not the limit the events are judged by, but what tells the signature's
// share of an event from the XML's.
double inProcessSigns(EVP_PKEY* key, int count) {
    const QByteArray text("<SignedInfo>bench</SignedInfo>");
    std::vector<unsigned char> signature(size_t(EVP_PKEY_get_size(key)));
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        size_t size = signature.size();
        const bool ok = context && EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, key) == 1 &&
                        EVP_DigestSign(context, signature.data(), &size,
                                       reinterpret_cast<const unsigned char*>(text.constData()),
                                       size_t(text.size())) == 1;
        EVP_MD_CTX_free(context);
        if (!ok)
            die(QStringLiteral("the key did not sign"));
    }
    return count * 1e9 / double(std::max<qint64>(1, timer.nsecsElapsed()));
}

double perSecond(int events, const std::function<void()>& work) {
    QElapsedTimer timer;
    timer.start();
    work();
    return events * 1e9 / double(std::max<qint64>(1, timer.nsecsElapsed()));
}

struct Figures {
    double built = 0, signedToo = 0, registered = 0;
};

int run(QCoreApplication& app) {
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("invoices"),
                      QStringLiteral("invoices of the demo database (default 5000)"), QStringLiteral("n"),
                      QStringLiteral("5000")});
    parser.addOption({QStringLiteral("events"), QStringLiteral("events per batch size and run (default 200)"),
                      QStringLiteral("n"), QStringLiteral("200")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("runs (default 5)"), QStringLiteral("n"),
                      QStringLiteral("5")});
    parser.addOption({QStringLiteral("memory"),
                      QStringLiteral("the authority keeps its record in memory, not in SQLite")});
    parser.process(app);
    const int invoiceCount = parser.value(QStringLiteral("invoices")).toInt();
    const int events = parser.value(QStringLiteral("events")).toInt();
    const int runs = parser.value(QStringLiteral("runs")).toInt();
    if (invoiceCount < 1 || events < 1 || runs < 1)
        die(QStringLiteral("--invoices, --events and --runs must be positive"));
    const std::vector<int> sizes{1, int(zavnfe::CancellationBatch::kMaxEvents)};

    QTemporaryDir dir;
    if (!dir.isValid())
        die(QStringLiteral("no temporary folder: %1").arg(dir.errorString()));
    const QString database = dir.filePath(QStringLiteral("erp.sqlite"));
    runTool(QCoreApplication::applicationDirPath() + QStringLiteral("/zav-dbinit"),
            {QStringLiteral("--db"), database, QStringLiteral("--invoices"), QString::number(invoiceCount)});
    const std::vector<zavnfe::CancellationData> invoices = authorisedInvoices(database);
    if (invoices.empty())
        die(QStringLiteral("no authorised invoice to cancel"));
    // The certificate of the invoices' company: its CNPJ in the certificate.
    const QString certificates = dir.filePath(QStringLiteral("certs"));
    runTool(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh"),
                                     certificates, QString::fromLatin1(kPassword),
                                     QString::fromLatin1(kSerial) + u':' + invoices.front().issuerCnpj});
    const size_t needed = size_t(runs) * sizes.size() * size_t(events);
    if (invoices.size() < needed)
        die(QStringLiteral("%1 authorised invoices, %2 needed: raise --invoices or lower --events/--runs")
                .arg(invoices.size())
                .arg(needed));

    const zavnfe::CertificateLookup lookup =
        zavnfe::CertificateStore(certificates).find(QString::fromLatin1(kSerial), kPassword);
    if (!lookup.found())
        die(lookup.error);
    const zavnfe::EventSigner signer(*lookup.certificate);

    // The same company's A3 certificate on a SoftHSM token of this run's own.
    const QString tokens = dir.filePath(QStringLiteral("tokens"));
    QDir().mkpath(tokens);
    const QString softhsmConf = dir.filePath(QStringLiteral("softhsm2.conf"));
    {
        QFile conf(softhsmConf);
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write(
                QStringLiteral("directories.tokendir = %1\nobjectstore.backend = file\nlog.level = ERROR\n")
                    .arg(tokens)
                    .toUtf8()) < 0)
            die(QStringLiteral("%1 cannot be written").arg(softhsmConf));
    }
    qputenv("SOFTHSM2_CONF", softhsmConf.toLocal8Bit()); // before the module is loaded
    const QString pinFile = dir.filePath(QStringLiteral("token.pin"));
    runTool(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-token.sh"), certificates,
                                     pinFile, QString::fromLatin1(kTokenLabel),
                                     QString::fromLatin1(kTokenSerial) + u':' + invoices.front().issuerCnpj});
    zavnfe::TokenConfig tokenConfig;
    tokenConfig.name = QStringLiteral("bench");
    tokenConfig.module = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
    tokenConfig.label = QString::fromLatin1(kTokenLabel);
    tokenConfig.pinFile = pinFile;
    zavnfe::TokenSet tokenSet({tokenConfig});
    const zavnfe::CertificateLookup onToken = tokenSet.find(QString::fromLatin1(kTokenSerial));
    if (!onToken.found())
        die(onToken.error);
    const zavnfe::EventSigner tokenSigner(*onToken.certificate);

    const bool memory = parser.isSet(QStringLiteral("memory"));
    Authority authority(certificates, database,
                        memory ? QString() : dir.filePath(QStringLiteral("authority-record.sqlite")),
                        dir.filePath(QStringLiteral("authority.log")));
    // One kept-alive connection, as the application server holds one per authority.
    httplib::SSLClient client("127.0.0.1", authority.port(), lookup.certificate->certificate(),
                              lookup.certificate->key());
    // The A1 file's intermediates go with its certificate: the authority
    // trusts the root only.
    for (X509* issuer : lookup.certificate->issuers())
        if (SSL_CTX_add1_chain_cert(client.ssl_context(), issuer) != 1)
            die(QStringLiteral("the intermediate certificate was not accepted for the handshake"));
    client.set_ca_cert_path((certificates + QStringLiteral("/ca.pem")).toStdString());
    client.enable_server_certificate_verification(true);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    client.set_read_timeout(60);

    std::printf(
        "NF-e cancellation events per second: %d events per batch size and run, median of %d runs;\n"
        "authority zav-authority on 127.0.0.1 over mutual TLS, record %s, %zu authorised invoices of %d\n\n",
        events, runs, memory ? "in memory" : "in SQLite", invoices.size(), invoiceCount);
    std::vector<std::vector<double>> built(sizes.size()), signedToo(sizes.size()), registered(sizes.size());
    std::vector<double> openssl, inProcess, tokenSigned, tokenSigns, tokenThreads;
    size_t next = 0;
    qint64 batchId = 0;
    for (int run = 0; run < runs; ++run) {
        for (size_t s = 0; s < sizes.size(); ++s) {
            const int size = sizes[s];
            // The same invoices for the three, registered only by the last.
            built[s].push_back(perSecond(events, [&] { build(invoices, next, events, size, &batchId); }));
            signedToo[s].push_back(
                perSecond(events, [&] { buildSigned(signer, invoices, next, events, size, &batchId); }));
            reconnect(client, invoices[next]);
            registered[s].push_back(perSecond(events, [&] {
                registerAll(client, authority, buildSigned(signer, invoices, next, events, size, &batchId));
            }));
            next += size_t(events);
        }
        openssl.push_back(opensslSigns());
        inProcess.push_back(inProcessSigns(lookup.certificate->key(), 300));
        // Through the token: the invoices of this run again, signed only.
        const size_t again = next - size_t(events) * sizes.size();
        tokenSigned.push_back(
            perSecond(events, [&] { buildSigned(tokenSigner, invoices, again, events, 1, &batchId); }));
        tokenSigns.push_back(inProcessSigns(onToken.certificate->key(), 300));
        // The server's threads on the one token at once, a signer each: the
        // token's sessions must not make the pace fall below one thread's.
        tokenThreads.push_back(perSecond(events, [&] {
            std::vector<std::thread> threads;
            threads.reserve(kSigningThreads);
            for (int t = 0; t < kSigningThreads; ++t)
                threads.emplace_back([&, t] {
                    const zavnfe::EventSigner own(*onToken.certificate);
                    const int share = events / kSigningThreads + (t < events % kSigningThreads ? 1 : 0);
                    qint64 ids = batchId + qint64(t) * events;
                    buildSigned(own, invoices, again + size_t(t * (events / kSigningThreads)), share, 1,
                                &ids);
                });
            for (std::thread& thread : threads)
                thread.join();
        }));
        batchId += qint64(kSigningThreads) * events;
    }

    const double signs = median(openssl);
    std::printf("%5s | %12s | %12s | %12s | %10s | %9s | %9s | %9s\n", "batch", "built ev/s", "+signed ev/s",
                "+registered", "openssl", "built", "signed", "registered");
    std::printf("%5s | %12s | %12s | %12s | %10s | %9s | %9s | %9s\n", "", "", "", "ev/s", "signs/s",
                "/openssl", "/openssl", "/openssl");
    for (size_t s = 0; s < sizes.size(); ++s) {
        const Figures f{median(built[s]), median(signedToo[s]), median(registered[s])};
        std::printf("%5d | %12.0f | %12.1f | %12.1f | %10.1f | %9.2f | %9.3f | %9.3f\n", sizes[s], f.built,
                    f.signedToo, f.registered, signs, f.built / signs, f.signedToo / signs,
                    f.registered / signs);
    }
    std::printf("\nRSA-2048 signatures with the A1 key in this process: %.1f/s (%.3f of openssl speed);\n"
                "events built and signed one by one over them: %.3f\n",
                median(inProcess), median(inProcess) / signs, median(signedToo.front()) / median(inProcess));
    // The ratio that judges the signing: events built and signed per second one
    // by one (the server signs each event in its own envEvento and journals it
    // so before it joins a batch of twenty), over the RSA-2048 signatures per
    // second that are its raw limit (one signature per event).
    std::printf("\nRSA-2048 signatures with the A3 key on the SoftHSM token: %.1f/s;\n"
                "events built and signed one by one through the token: %.1f/s\n",
                median(tokenSigns), median(tokenSigned));
    std::printf(
        "events built and signed through the token from %d threads at once: %.1f/s (%.2f of one thread)\n",
        kSigningThreads, median(tokenThreads), median(tokenThreads) / median(tokenSigned));
    std::printf("\nevents_per_rsa_sign=%.3f\n", median(signedToo.front()) / signs);
    // The same ratio for an A3 key: events built and signed through the token
    // one by one over the token's own signatures per second (its raw limit).
    std::printf("events_per_token_sign=%.3f\n", median(tokenSigned) / median(tokenSigns));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // A peer closing a kept-alive TLS connection must give an error, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    try {
        return run(app);
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "bench-events: %s\n", failure.what());
        return 1;
    }
}
