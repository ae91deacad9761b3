// The local authority zav-authority as a real process: mutual TLS on
// loopback with certificates made by scripts/make-certificates.sh, invoices
// from a demo ERP database made by zav-dbinit, events built and signed by
// zavnfe, every stored signature checked again by the xmlsec1 command and
// every answer against the published schemas.
#include "accesskey.h"
#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "clienttls.h"
#include "cnpjcpf.h"
#include "eventsigner.h"
#include "nfeworld.h"
#include "schemaset.h"
#include "soap.h"
#include "states.h"
#include "testtools.h"
#include "tokenset.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <thread>

namespace {

using zavtest::run;
using zavtest::texts;

const QByteArray kPassword = "s3gredo";
const QString kSigner = QStringLiteral("A1B2C3D4");
const QString kOtherCompany = QStringLiteral("C0C0"); // of the trusted CA, another company's CNPJ
const QString kNoCnpj = QStringLiteral("D0D0");       // of the trusted CA, without a CNPJ
const QString kOtherCompanyCnpj = QStringLiteral("11222333000181");
const QString kStranger = QStringLiteral("0BAD");
const QString kExpired = QStringLiteral("E0");     // of the trusted CA, ended yesterday
const QString kNotYetValid = QStringLiteral("F0"); // of the trusted CA, starts in two days
const QString kReason = QStringLiteral("Pedido emitido em duplicidade pelo sistema");

struct Nfe {
    QString key, protocol;
};

struct Reply {
    int status = -1; // -1: no HTTP answer at all
    QByteArray body;
    QString error;
};

QString stateTime(const QDateTime& moment) {
    return zavfiscal::legalDateTime(moment, -3 * 3600);
}

// An A1 file read with OpenSSL alone: the certificate store refuses
// certificates outside their validity, and some tests must sign with them.
std::optional<zavnfe::SigningCertificate> readA1(const QString& name) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())),
                                                  BIO_free);
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr,
                                                        PKCS12_free);
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* issuers = nullptr;
    if (!p12 || !PKCS12_parse(p12.get(), kPassword.constData(), &key, &certificate, &issuers) || !key ||
        !certificate) {
        EVP_PKEY_free(key);
        X509_free(certificate);
        sk_X509_pop_free(issuers, X509_free);
        return std::nullopt;
    }
    zavnfe::SigningCertificate result(key, certificate);
    for (int i = 0; i < sk_X509_num(issuers); ++i)
        result.addIssuer(sk_X509_value(issuers, i));
    sk_X509_free(issuers); // the certificates now belong to result
    return result;
}

} // namespace

class TestAuthority : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_certs, m_erp;
    std::optional<zavnfe::SigningCertificate> m_signer, m_stranger, m_expired, m_notYetValid, m_otherCompany,
        m_noCnpj;
    QString m_cnpj;    // of the signer's company, the issuer of every invoice used here
    SoftToken m_token; // before any PKCS#11 module is loaded: it names SoftHSM's folder
    std::unique_ptr<QProcess> m_authority;
    int m_port = 0;
    QList<Nfe> m_fresh;
    QList<Nfe> m_spare; // authorised long ago, used by no authority of the test but their own
    Nfe m_late, m_old, m_recent, m_cancelled, m_denied;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Starts zav-authority with the certificates and the extra arguments;
    // the port it listens on, or 0.
    // clientCa: the --client-ca file, the test CA's unless given.
    int start(QProcess& process, const QStringList& extra, const QString& clientCa = {}) {
        process.setProgram(QStringLiteral(ZAV_BIN_DIR "/zav-authority"));
        process.setArguments(
            QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--cert"),
                        m_certs + QStringLiteral("/authority.pem"), QStringLiteral("--key"),
                        m_certs + QStringLiteral("/authority.key"), QStringLiteral("--client-ca"),
                        clientCa.isEmpty() ? m_certs + QStringLiteral("/ca.pem") : clientCa} +
            extra);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start();
        QByteArray out;
        QElapsedTimer clock;
        clock.start();
        while (!out.contains('\n') && clock.elapsed() < 30000 && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(200);
            out += process.readAllStandardOutput();
        }
        const QByteArray prefix = "listening on https://127.0.0.1:";
        if (!out.startsWith(prefix)) {
            qWarning("zav-authority did not start: %s %s", out.constData(),
                     process.readAllStandardError().constData());
            return 0;
        }
        return out.mid(prefix.size()).trimmed().toInt();
    }

    bool terminate(QProcess& process) {
        ::kill(pid_t(process.processId()), SIGTERM);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    // The Content-Type of a request to one of the authority's services, with
    // the action of its operation as the service's WSDL names it.
    static QByteArray soapType(const char* target) {
        const QByteArray path(target);
        if (path.endsWith("NFeRecepcaoEvento4"))
            return zavnfe::Soap::contentType(zavnfe::Soap::kEventService, zavnfe::Soap::kEventOperation);
        if (path.endsWith("NFeConsultaProtocolo4"))
            return zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, zavnfe::Soap::kStatusOperation);
        if (path.endsWith("NFeStatusServico4"))
            return zavnfe::Soap::contentType(zavnfe::Soap::kServiceStatusService,
                                             zavnfe::Soap::kServiceStatusOperation);
        return "application/soap+xml;charset=utf-8";
    }

    // withChain: the client presents the intermediates of its A1 file, as it
    // must, besides its own certificate.
    Reply post(int port, const char* target, const QByteArray& body, const zavnfe::SigningCertificate* client,
               const char* contentType = nullptr, bool withChain = true) {
        std::unique_ptr<httplib::SSLClient> http =
            client ? std::make_unique<httplib::SSLClient>("127.0.0.1", port, client->certificate(),
                                                          client->key())
                   : std::make_unique<httplib::SSLClient>("127.0.0.1", port);
        if (client && withChain)
            for (X509* issuer : client->issuers())
                if (SSL_CTX_add1_chain_cert(http->ssl_context(), issuer) != 1)
                    return {-1, {}, QStringLiteral("the chain was not accepted")};
        http->set_ca_cert_path((m_certs + QStringLiteral("/ca.pem")).toStdString().c_str());
        http->enable_server_certificate_verification(true);
        http->set_read_timeout(30, 0);
        const QByteArray type = contentType ? QByteArray(contentType) : soapType(target);
        auto result = http->Post(target, body.toStdString(), type.constData());
        if (!result)
            return {-1, {}, QStringLiteral("httplib error %1").arg(int(result.error()))};
        return {result->status, QByteArray::fromStdString(result->body), {}};
    }

    zavnfe::CancellationData data(const Nfe& nfe, const QDateTime& at = QDateTime::currentDateTimeUtc()) {
        zavnfe::CancellationData d;
        d.accessKey = nfe.key;
        d.issuerCnpj = zavfiscal::accessKeyIssuerCnpj(nfe.key);
        d.authorisationProtocol = nfe.protocol;
        d.environment = 2;
        d.reason = kReason;
        d.at = at;
        d.stateUtcOffsetSeconds = -3 * 3600;
        return d;
    }

    QByteArray unsignedBatch(const QList<zavnfe::CancellationData>& list) {
        QString error;
        QByteArray batch = zavnfe::CancellationBatch::buildFrom(QStringLiteral("4242"), list, &error);
        if (batch.isEmpty())
            qWarning("%s", qPrintable(error));
        return batch;
    }

    QByteArray sign(const QByteArray& batch, const zavnfe::SigningCertificate& signer) {
        QString error;
        QByteArray xml = zavnfe::EventSigner(signer).sign(batch, &error);
        if (xml.isEmpty())
            qWarning("%s", qPrintable(error));
        return xml;
    }

    Reply sendEvents(int port, const QByteArray& signedBatch) {
        return post(port, "/ws/NFeRecepcaoEvento4",
                    zavnfe::Soap::envelope(zavnfe::Soap::kEventService, signedBatch), &*m_signer);
    }

    // The retEnvEvento of a reply, checked against the schema.
    std::optional<zavnfe::BatchAnswer> batchAnswer(const Reply& reply) {
        if (reply.status != 200) {
            qWarning("HTTP %d %s %s", reply.status, qPrintable(reply.error), reply.body.constData());
            return std::nullopt;
        }
        QString error;
        const QByteArray payload = zavnfe::Soap::payload(reply.body, &error);
        const QString schema = zavnfe::SchemaSet::instance().validate(zavnfe::Schema::RetEnvEvento, payload);
        if (!schema.isEmpty()) {
            qWarning("retEnvEvento outside the schema: %s\n%s", qPrintable(schema), payload.constData());
            return std::nullopt;
        }
        auto answer = zavnfe::parseRetEnvEvento(payload, &error);
        if (!answer)
            qWarning("%s", qPrintable(error));
        return answer;
    }

    // What a service answers the signer, read by its parser; nothing, with a
    // warning, when the call or the answer fails.
    template <class Answer>
    std::optional<Answer> ask(int port, const char* target, const QByteArray& envelope,
                              std::optional<Answer> (*parse)(const QByteArray&, QString*)) {
        const Reply reply = post(port, target, envelope, &*m_signer);
        if (reply.status != 200) {
            qWarning("HTTP %d %s", reply.status, qPrintable(reply.error));
            return std::nullopt;
        }
        QString error;
        auto answer = parse(zavnfe::Soap::payload(reply.body, &error), &error);
        if (!answer)
            qWarning("%s", qPrintable(error));
        return answer;
    }

    std::optional<zavnfe::StatusAnswer> status(int port, const QString& key, int environment = 2) {
        return ask(port, "/ws/NFeConsultaProtocolo4",
                   zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(environment, key)),
                   zavnfe::parseRetConsSitNFe);
    }

    // xmlsec1 verifies the (only) signature of the document against the root,
    // through the intermediate.
    bool verifies(const QByteArray& xml, QByteArray* output) {
        QFile file(path(QStringLiteral("verify.xml")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(xml);
        file.close();
        return run(QStringLiteral("xmlsec1"),
                   {QStringLiteral("--verify"), QStringLiteral("--trusted-pem"),
                    m_certs + QStringLiteral("/ca.pem"), QStringLiteral("--untrusted-pem"),
                    m_certs + QStringLiteral("/intermediate.pem"), QStringLiteral("--id-attr:Id"),
                    QStringLiteral("http://www.portalfiscal.inf.br/nfe:infEvento"),
                    QStringLiteral("verify.xml")},
                   m_dir.path(), output);
    }

    // A stored procEventoNFe: in the schema, its signature verifying, its
    // retEvento for the key with the status given.
    void checkProcEvento(const QByteArray& proc, const QString& key, int expected) {
        QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema::ProcEventoNFe, proc), QString());
        QByteArray output;
        QVERIFY2(verifies(proc, &output), output.constData() + QByteArray("\n") + proc);
        const QByteArray ret = proc.mid(proc.indexOf("<retEvento"));
        QCOMPARE(texts(ret, QStringLiteral("chNFe")).value(0), key);
        QCOMPARE(texts(ret, QStringLiteral("cStat")).value(0).toInt(), expected);
        QCOMPARE(texts(ret, QStringLiteral("verAplic")).value(0), QStringLiteral("ZAV-AUT-LOCAL_1.00"));
    }

    // The signer's A1 as PEM files for the openssl command: its key and
    // certificate, and the intermediates of its file.
    bool writeSignerPem() {
        std::unique_ptr<BIO, decltype(&BIO_free)> own(
            BIO_new_file(path(QStringLiteral("signer.pem")).toLocal8Bit().constData(), "w"), BIO_free);
        std::unique_ptr<BIO, decltype(&BIO_free)> chain(
            BIO_new_file(path(QStringLiteral("signer-chain.pem")).toLocal8Bit().constData(), "w"), BIO_free);
        if (!own || !chain ||
            PEM_write_bio_PrivateKey(own.get(), m_signer->key(), nullptr, nullptr, 0, nullptr, nullptr) !=
                1 ||
            PEM_write_bio_X509(own.get(), m_signer->certificate()) != 1)
            return false;
        for (X509* issuer : m_signer->issuers())
            if (PEM_write_bio_X509(chain.get(), issuer) != 1)
                return false;
        return !m_signer->issuers().empty();
    }

    static QByteArray httpPost(const char* target, const QByteArray& body) {
        return QByteArray("POST ") + target +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + soapType(target) +
               "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
               body;
    }

    // The openssl command as a TLS client of the authority, presenting the
    // signer's A1 with its chain, sending request; all it printed.
    QByteArray sClient(int port, const QStringList& extra, const QByteArray& request) {
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.setWorkingDirectory(m_dir.path());
        client.start(QStringLiteral("openssl"),
                     QStringList{QStringLiteral("s_client"), QStringLiteral("-connect"),
                                 QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("-CAfile"),
                                 m_certs + QStringLiteral("/ca.pem"), QStringLiteral("-cert"),
                                 path(QStringLiteral("signer.pem")), QStringLiteral("-key"),
                                 path(QStringLiteral("signer.pem")), QStringLiteral("-cert_chain"),
                                 path(QStringLiteral("signer-chain.pem")), QStringLiteral("-ign_eof")} +
                         extra);
        if (!client.waitForStarted(10000))
            return {};
        client.write(request);
        client.closeWriteChannel();
        if (!client.waitForFinished(30000))
            client.kill();
        return client.readAll();
    }

    static QByteArray serviceStatusRequest(int environment = 2) {
        return zavnfe::Soap::envelope(zavnfe::Soap::kServiceStatusService,
                                      zavnfe::consStatServ(environment, QStringLiteral("35")));
    }

    std::optional<zavnfe::ServiceStatusAnswer> serviceStatus(int port, int environment = 2) {
        return ask(port, "/ws/NFeStatusServico4", serviceStatusRequest(environment),
                   zavnfe::parseRetConsStatServ);
    }

    // What GET /zav/requests says: the requests each service received.
    QHash<QString, int> requestCounts(int port) {
        httplib::SSLClient http("127.0.0.1", port, m_signer->certificate(), m_signer->key());
        for (X509* issuer : m_signer->issuers())
            SSL_CTX_add1_chain_cert(http.ssl_context(), issuer);
        http.set_ca_cert_path((m_certs + QStringLiteral("/ca.pem")).toStdString().c_str());
        http.enable_server_certificate_verification(true);
        QHash<QString, int> counts;
        auto result = http.Get("/zav/requests");
        if (!result || result->status != 200) {
            qWarning("GET /zav/requests failed");
            return counts;
        }
        for (const QString& line : QString::fromStdString(result->body).split(u'\n', Qt::SkipEmptyParts))
            counts.insert(line.section(u' ', 0, 0), line.section(u' ', 1, 1).toInt());
        return counts;
    }

    // The events a record file holds: status by access key.
    static QHash<QString, int> recordedEvents(const QString& record) {
        QHash<QString, int> events;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("record"));
            db.setDatabaseName(record);
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            QSqlQuery query(db);
            if (db.open() && query.exec(QStringLiteral("SELECT CHNFE, CSTAT FROM EVENT")))
                while (query.next())
                    events.insert(query.value(0).toString(), query.value(1).toInt());
            else
                qWarning("record %s: %s", qPrintable(record), qPrintable(query.lastError().text()));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("record"));
        return events;
    }

    // Starts an authority of the test's own; its port, or 0.
    int startOwn(QProcess& process, const QString& logName, const QStringList& extra) {
        return start(process,
                     QStringList{QStringLiteral("--db"), m_erp, QStringLiteral("--ordinary-hours"),
                                 QStringLiteral("876000"), QStringLiteral("--log-file"), path(logName)} +
                         extra);
    }

    Nfe stranger() const { // a valid key the authority never heard of
        return {zavfiscal::completeAccessKey(m_fresh[1].key.left(25) + QStringLiteral("999999") +
                                             m_fresh[1].key.mid(31, 12)),
                m_fresh[1].protocol};
    }

private Q_SLOTS:
    void initTestCase() {
        // A refused TLS handshake closes the socket under the client's write.
        std::signal(SIGPIPE, SIG_IGN);
        QVERIFY(m_dir.isValid());
        m_certs = path(QStringLiteral("certs"));
        QByteArray output;
        m_erp = path(QStringLiteral("erp.sqlite"));
        QVERIFY2(run(QStringLiteral(ZAV_BIN_DIR "/zav-dbinit"), {QStringLiteral("--db"), m_erp}, m_dir.path(),
                     &output),
                 output.constData());
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("erp"));
            db.setDatabaseName(m_erp);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(
                query.prepare(QStringLiteral("SELECT NRLANCTONF, NRACESSONFE, NRPROTOCOLONFE, IDSITUACAONFE "
                                             "FROM NOTAFISCAL ORDER BY NRLANCTONF")));
            QVERIFY(query.exec());
            // Every invoice used here is of one company, the one the signer's
            // certificate belongs to: the company with the most invoices.
            struct Row {
                QString entry, state;
                Nfe nfe;
            };
            QList<Row> rows;
            QHash<QString, int> perCompany;
            while (query.next()) {
                rows.append({query.value(0).toString(), query.value(3).toString(),
                             Nfe{query.value(1).toString(), query.value(2).toString()}});
                ++perCompany[zavfiscal::accessKeyIssuerCnpj(rows.back().nfe.key).left(8)];
            }
            QString company;
            for (auto it = perCompany.cbegin(); it != perCompany.cend(); ++it)
                if (company.isEmpty() || it.value() > perCompany.value(company))
                    company = it.key();
            QList<std::pair<QString, Nfe>> authorised;
            for (const Row& row : rows) {
                if (zavfiscal::accessKeyIssuerCnpj(row.nfe.key).left(8) != company)
                    continue;
                if (m_cnpj.isEmpty())
                    m_cnpj = zavfiscal::accessKeyIssuerCnpj(row.nfe.key);
                if (row.state == u"A")
                    authorised.append({row.entry, row.nfe});
                else if (row.state == u"C" && m_cancelled.key.isEmpty())
                    m_cancelled = row.nfe;
                else if (row.state == u"D" && m_denied.key.isEmpty())
                    m_denied = row.nfe;
            }
            QVERIFY(authorised.size() >= 40 && !m_cancelled.key.isEmpty() && !m_denied.key.isEmpty());
            const QDateTime now = QDateTime::currentDateTimeUtc();
            QSqlQuery update(db);
            QVERIFY(update.prepare(
                QStringLiteral("UPDATE NOTAFISCAL SET DHAUTORIZACAO = :at WHERE NRLANCTONF = :id")));
            auto authorise = [&](int index, const QDateTime& at) {
                update.bindValue(QStringLiteral(":at"), stateTime(at));
                update.bindValue(QStringLiteral(":id"), authorised[index].first);
                return update.exec();
            };
            for (int i = 0; i < 30; ++i) {
                QVERIFY2(authorise(i, now.addSecs(-3600)), qPrintable(update.lastError().text()));
                m_fresh.append(authorised[i].second);
            }
            QVERIFY(authorise(30, now.addDays(-3)));
            m_late = authorised[30].second;
            QVERIFY(authorise(31, now.addDays(-30)));
            m_old = authorised[31].second;
            QVERIFY(authorise(32, now.addSecs(-120)));
            m_recent = authorised[32].second;
            for (qsizetype i = 33; i < authorised.size(); ++i)
                m_spare.append(authorised[i].second);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("erp"));
        const QString script = QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh");
        QVERIFY2(run(QStringLiteral("bash"),
                     {script, m_certs, QString::fromLatin1(kPassword), kSigner + u':' + m_cnpj,
                      kExpired + u':' + m_cnpj + QStringLiteral(":-30:-1"),
                      kNotYetValid + u':' + m_cnpj + QStringLiteral(":2:30"),
                      kOtherCompany + u':' + kOtherCompanyCnpj, kNoCnpj},
                     m_dir.path(), &output),
                 output.constData());
        // Another CA and a certificate of its own: trusted by nobody here.
        QVERIFY2(run(QStringLiteral("bash"),
                     {script, path(QStringLiteral("other")), QString::fromLatin1(kPassword),
                      kStranger + u':' + m_cnpj},
                     m_dir.path(), &output),
                 output.constData());
        auto signer = zavnfe::CertificateStore(m_certs).find(kSigner, kPassword);
        QVERIFY2(signer.found(), qPrintable(signer.error));
        m_signer = signer.certificate;
        auto other = zavnfe::CertificateStore(path(QStringLiteral("other"))).find(kStranger, kPassword);
        QVERIFY2(other.found(), qPrintable(other.error));
        m_stranger = other.certificate;
        m_otherCompany = readA1(m_certs + QStringLiteral("/a1-") + kOtherCompany + QStringLiteral(".pfx"));
        m_noCnpj = readA1(m_certs + QStringLiteral("/a1-") + kNoCnpj + QStringLiteral(".pfx"));
        QVERIFY(m_otherCompany && m_noCnpj);
        QCOMPARE(m_signer->cnpj(), m_cnpj);
        QCOMPARE(m_noCnpj->cnpj(), QString());
        m_expired = readA1(m_certs + QStringLiteral("/a1-") + kExpired + QStringLiteral(".pfx"));
        m_notYetValid = readA1(m_certs + QStringLiteral("/a1-") + kNotYetValid + QStringLiteral(".pfx"));
        QVERIFY(m_expired && m_notYetValid);
        QVERIFY(m_expired->notAfter() < QDateTime::currentDateTimeUtc());
        QVERIFY(m_notYetValid->notBefore() > QDateTime::currentDateTimeUtc());

        m_authority = std::make_unique<QProcess>();
        m_port = start(*m_authority, {QStringLiteral("--db"), m_erp, QStringLiteral("--log-file"),
                                      path(QStringLiteral("a.log"))});
        QVERIFY(m_port > 0);
    }

    void cleanupTestCase() {
        if (m_authority && m_authority->state() != QProcess::NotRunning)
            QVERIFY(terminate(*m_authority));
    }

    void soapRoundTrip() {
        const QByteArray batch = sign(unsignedBatch({data(m_fresh[29])}), *m_signer);
        QVERIFY(!batch.isEmpty());
        const QByteArray envelope = zavnfe::Soap::envelope(zavnfe::Soap::kEventService, batch);
        QVERIFY(!envelope.contains("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<envEvento"));
        QVERIFY(envelope.contains(batch.mid(batch.indexOf("<envEvento")).trimmed())); // carried unchanged
        QString error;
        const QByteArray payload = zavnfe::Soap::payload(envelope, &error);
        QVERIFY2(!payload.isEmpty(), qPrintable(error));
        QVERIFY(!payload.contains("soap-envelope")); // the envelope's namespace stays behind
        // The evento cut out of the payload is the signed one, byte for byte,
        // and verifies on its own and inside procEventoNFe.
        const QByteArray evento = zavnfe::eventoOf(payload, m_fresh[29].key);
        QVERIFY(!evento.isEmpty());
        QVERIFY(batch.contains(evento));
        QByteArray output;
        QVERIFY2(verifies(evento, &output), output.constData());
        QVERIFY(zavnfe::eventoOf(payload, m_fresh[28].key).isEmpty());

        QCOMPARE(
            zavnfe::Soap::contentType(zavnfe::Soap::kEventService, "nfeRecepcaoEvento"),
            QByteArray("application/soap+xml;charset=utf-8;action=\"http://www.portalfiscal.inf.br/nfe/wsdl/"
                       "NFeRecepcaoEvento4/nfeRecepcaoEvento\""));
        QVERIFY(zavnfe::Soap::payload(zavnfe::Soap::fault(true, QStringLiteral("Serviço <parado>")), &error)
                    .isEmpty());
        QCOMPARE(error, QStringLiteral("Falha SOAP: Serviço <parado>"));
        QVERIFY(zavnfe::Soap::payload("<a/>", &error).isEmpty());
        QVERIFY(zavnfe::Soap::payload("<!DOCTYPE x [<!ENTITY e \"x\">]><x>&e;</x>", &error).isEmpty());
        QVERIFY2(error.contains(u"DTD"), qPrintable(error));
        QVERIFY(zavnfe::procEventoNFe("<evento", "<retEvento/>").isEmpty());
        QVERIFY(
            zavnfe::procEventoNFe(evento, "<outro xmlns=\"http://www.portalfiscal.inf.br/nfe\"/>").isEmpty());
    }

    void answersRefusedByTheClient_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::newRow("not XML") << QByteArray("<retEnvEvento");
        QTest::newRow("another root")
            << QByteArray("<retConsCad xmlns=\"http://www.portalfiscal.inf.br/nfe\"/>");
        QTest::newRow("another namespace")
            << QByteArray("<retEnvEvento xmlns=\"urn:x\"><cStat>128</cStat></retEnvEvento>");
        QTest::newRow("no cStat") << QByteArray(
            "<retEnvEvento xmlns=\"http://www.portalfiscal.inf.br/nfe\"/>");
        QTest::newRow("cStat not a number") << QByteArray(
            "<retEnvEvento xmlns=\"http://www.portalfiscal.inf.br/nfe\"><cStat>abc</cStat></retEnvEvento>");
        QTest::newRow("retEvento without cStat")
            << QByteArray("<retEnvEvento xmlns=\"http://www.portalfiscal.inf.br/nfe\"><cStat>128</cStat>"
                          "<retEvento><infEvento/></retEvento></retEnvEvento>");
    }
    void answersRefusedByTheClient() {
        QFETCH(QByteArray, xml);
        QString error;
        QVERIFY(!zavnfe::parseRetEnvEvento(xml, &error));
        QVERIFY(!error.isEmpty());
        QByteArray status = xml;
        status.replace("retEnvEvento", "retConsSitNFe");
        if (!status.contains("<retEvento>")) {
            error.clear();
            QVERIFY(!zavnfe::parseRetConsSitNFe(status, &error));
            QVERIFY(!error.isEmpty());
        }
    }

    void registration() {
        const Nfe nfe = m_fresh[0];
        const QByteArray batch = sign(unsignedBatch({data(nfe)}), *m_signer);
        auto answer = batchAnswer(sendEvents(m_port, batch));
        QVERIFY(answer);
        QCOMPARE(answer->status, 128);
        QCOMPARE(answer->statusText, QStringLiteral("Lote de evento processado"));
        QCOMPARE(answer->application, QStringLiteral("ZAV-AUT-LOCAL_1.00"));
        QCOMPARE(answer->events.size(), size_t(1));
        const zavnfe::EventResult& result = answer->events.front();
        QCOMPARE(result.accessKey, nfe.key);
        QCOMPARE(result.status, 135);
        QCOMPARE(result.statusText, QStringLiteral("Evento registrado e vinculado a NF-e"));
        QVERIFY2(QRegularExpression(QStringLiteral("^%1%2\\d{11}$")
                                        .arg(nfe.key.left(2), QDateTime::currentDateTimeUtc()
                                                                  .addSecs(qint64{-3} * 3600)
                                                                  .toString(QStringLiteral("yy"))))
                     .match(result.protocol)
                     .hasMatch(),
                 qPrintable(result.protocol));
        QVERIFY2(result.registeredAt.endsWith(u"-03:00") || result.registeredAt.endsWith(u"-04:00") ||
                     result.registeredAt.endsWith(u"-05:00"),
                 qPrintable(result.registeredAt));

        // Sent again (an answer believed lost): a duplicate, nothing changes.
        auto again = batchAnswer(sendEvents(m_port, batch));
        QVERIFY(again);
        QCOMPARE(again->events.front().status, 573);
        QCOMPARE(again->events.front().statusText, QStringLiteral("Rejeição: Duplicidade de Evento"));

        auto state = status(m_port, nfe.key);
        QVERIFY(state);
        QCOMPARE(state->status, 101);
        QCOMPARE(state->statusText, QStringLiteral("Cancelamento de NF-e homologado"));
        QCOMPARE(state->procEventos.size(), size_t(1));
        checkProcEvento(state->procEventos.front(), nfe.key, 135);
        QVERIFY(state->procEventos.front().contains(zavnfe::eventoOf(batch, nfe.key)));
        QCOMPARE(texts(state->procEventos.front().mid(state->procEventos.front().indexOf("<retEvento")),
                       QStringLiteral("nProt"))
                     .value(0),
                 result.protocol);
    }

    void rejections_data() {
        QTest::addColumn<QString>("nfe");      // which invoice
        QTest::addColumn<int>("shiftSeconds"); // dhEvento from now
        QTest::addColumn<QString>("field");    // what to change
        QTest::addColumn<QByteArray>("from");  // in the unsigned batch ("signed:" after signing)
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<int>("batchStatus");
        QTest::addColumn<int>("eventStatus");
        zavtest::addRow("217 not in record", "stranger", 0, "", QByteArray(), QByteArray(), 128, 217);
        zavtest::addRow("420 already cancelled", "cancelled", 0, "", QByteArray(), QByteArray(), 128, 420);
        zavtest::addRow("580 denied", "denied", 0, "", QByteArray(), QByteArray(), 128, 580);
        zavtest::addRow("222 protocol", "fresh", 0, "protocol", QByteArray(), QByteArray(), 128, 222);
        // The author is another establishment of the signer's company: the
        // certificate may sign for it, but it did not issue the NF-e.
        zavtest::addRow("574 author", "fresh", 0, "branch", QByteArray(), QByteArray(), 128, 574);
        // The author is another company than the certificate's.
        zavtest::addRow("213 author of another company", "fresh", 0, "cnpj", QByteArray(), QByteArray(), 213,
                        0);
        // The event of the signer's company signed with another company's A1.
        zavtest::addRow("213 another company's certificate", "fresh", 0, "otherCompany", QByteArray(),
                        QByteArray(), 213, 0);
        zavtest::addRow("292 certificate without CNPJ", "fresh", 0, "noCnpj", QByteArray(), QByteArray(), 292,
                        0);
        zavtest::addRow("501 out of term", "old", 0, "", QByteArray(), QByteArray(), 128, 501);
        zavtest::addRow("501 late without a late term", "late", 0, "", QByteArray(), QByteArray(), 128, 501);
        zavtest::addRow("579 before authorisation", "recent", -600, "", QByteArray(), QByteArray(), 128, 579);
        zavtest::addRow("578 in the future", "fresh", 3600, "", QByteArray(), QByteArray(), 128, 578);
        zavtest::addRow("4 minutes ahead is within the clock's tolerance", "stranger", 240, "", QByteArray(),
                        QByteArray(), 128, 217);
        zavtest::addRow("252 environment", "fresh", 0, "", QByteArray("<tpAmb>2</tpAmb>"),
                        QByteArray("<tpAmb>1</tpAmb>"), 128, 252);
        zavtest::addRow("572 Id", "fresh", 0, "id", QByteArray(), QByteArray(), 128, 572);
        zavtest::addRow("455 organ", "fresh", 0, "organ", QByteArray(), QByteArray(), 128, 455);
        zavtest::addRow("236 check digit", "fresh", 0, "digit", QByteArray(), QByteArray(), 128, 236);
        zavtest::addRow("215 schema", "fresh", 0, "",
                        QByteArray("<xJust>Pedido emitido em duplicidade pelo sistema"),
                        QByteArray("<xJust>Curta"), 215, 0);
        zavtest::addRow("297 tampered", "fresh", 0, "signed", QByteArray("duplicidade"),
                        QByteArray("duplicata"), 297, 0);
        zavtest::addRow("298 reference", "fresh", 0, "signed", QByteArray("URI=\"#ID"),
                        QByteArray("URI=\"#XD"), 298, 0);
        zavtest::addRow("297 another CA", "fresh", 0, "stranger", QByteArray(), QByteArray(), 297, 0);
        zavtest::addRow("297 certificate expired", "fresh", 0, "expired", QByteArray(), QByteArray(), 297, 0);
        zavtest::addRow("297 certificate not yet valid", "fresh", 0, "notYetValid", QByteArray(),
                        QByteArray(), 297, 0);
        // The key of another certificate than the one in KeyInfo signed it.
        zavtest::addRow("297 KeyInfo of another signer", "fresh", 0, "keyInfo", QByteArray(), QByteArray(),
                        297, 0);
    }
    void rejections() {
        QFETCH(QString, nfe);
        QFETCH(int, shiftSeconds);
        QFETCH(QString, field);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(int, batchStatus);
        QFETCH(int, eventStatus);
        const Nfe target = nfe == u"stranger"    ? stranger()
                           : nfe == u"cancelled" ? m_cancelled
                           : nfe == u"denied"    ? m_denied
                           : nfe == u"old"       ? m_old
                           : nfe == u"late"      ? m_late
                           : nfe == u"recent"    ? m_recent
                                                 : m_fresh[1];
        zavnfe::CancellationData d = data(target, QDateTime::currentDateTimeUtc().addSecs(shiftSeconds));
        if (field == u"protocol")
            d.authorisationProtocol = QStringLiteral("135269999999999");
        if (field == u"cnpj")
            d.issuerCnpj = kOtherCompanyCnpj;
        if (field == u"branch")
            d.issuerCnpj = zavfiscal::completeCnpj(QString(m_cnpj.left(8) + QStringLiteral("0999")));
        QByteArray batch = unsignedBatch({d});
        QVERIFY(!batch.isEmpty());
        const QByteArray key = target.key.toLatin1();
        if (field == u"id")
            batch.replace("Id=\"ID110111" + key + "01\"", "Id=\"ID110111" + key + "02\"");
        if (field == u"organ")
            batch.replace("<cOrgao>" + key.left(2) + "</cOrgao>",
                          key.left(2) == "43" ? "<cOrgao>35</cOrgao>" : "<cOrgao>43</cOrgao>");
        if (field == u"digit") // the key changed everywhere, its check digit now wrong
            batch.replace(key, key.left(43) + QByteArray::number((key.right(1).toInt() + 1) % 10));
        if (!from.isEmpty() && field != u"signed") {
            QVERIFY(batch.contains(from));
            batch.replace(from, to);
        }
        const zavnfe::SigningCertificate& signer = field == u"stranger"       ? *m_stranger
                                                   : field == u"expired"      ? *m_expired
                                                   : field == u"notYetValid"  ? *m_notYetValid
                                                   : field == u"keyInfo"      ? *m_stranger
                                                   : field == u"otherCompany" ? *m_otherCompany
                                                   : field == u"noCnpj"       ? *m_noCnpj
                                                                              : *m_signer;
        QByteArray signedBatch = sign(batch, signer);
        QVERIFY(!signedBatch.isEmpty());
        if (field == u"keyInfo") { // the trusted certificate put in place of the one that signed
            const QByteArray own =
                texts(sign(batch, *m_signer), QStringLiteral("X509Certificate")).value(0).toLatin1();
            const QByteArray used = texts(signedBatch, QStringLiteral("X509Certificate")).value(0).toLatin1();
            QVERIFY(!own.isEmpty() && !used.isEmpty() && own != used && signedBatch.contains(used));
            signedBatch.replace(used, own);
        }
        if (field == u"signed") {
            QVERIFY(signedBatch.contains(from));
            signedBatch.replace(from, to);
        }
        auto answer = batchAnswer(sendEvents(m_port, signedBatch));
        QVERIFY(answer);
        QCOMPARE(answer->status, batchStatus);
        QVERIFY2(answer->statusText.startsWith(u"Lote") || answer->statusText.startsWith(u"Rejeição"),
                 qPrintable(answer->statusText));
        if (batchStatus == 213)
            QVERIFY2(answer->statusText.startsWith(
                         u"Rejeição: CNPJ-Base do Autor difere do CNPJ-Base do Certificado Digital"),
                     qPrintable(answer->statusText));
        if (batchStatus == 292)
            QVERIFY2(answer->statusText.startsWith(u"Rejeição: Certificado Assinatura sem CNPJ"),
                     qPrintable(answer->statusText));
        if (eventStatus == 0) {
            QVERIFY(answer->events.empty());
        } else {
            QCOMPARE(answer->events.size(), size_t(1));
            QCOMPARE(answer->events.front().status, eventStatus);
            QVERIFY(answer->events.front().protocol.isEmpty());
            QVERIFY2(answer->events.front().statusText.startsWith(u"Rejeição: "),
                     qPrintable(answer->events.front().statusText));
        }
        // Nothing was registered for the invoice.
        auto state = status(m_port, target.key);
        QVERIFY(state);
        QVERIFY(state->procEventos.empty());
    }

    void statusQueries_data() {
        QTest::addColumn<QString>("nfe");
        QTest::addColumn<int>("environment");
        QTest::addColumn<int>("expected");
        QTest::newRow("authorised") << "fresh" << 2 << 100;
        QTest::newRow("cancelled in the ERP") << "cancelled" << 2 << 101;
        QTest::newRow("denied") << "denied" << 2 << 110;
        QTest::newRow("unknown") << "stranger" << 2 << 217;
        QTest::newRow("check digit") << "digit" << 2 << 236;
        QTest::newRow("environment") << "fresh" << 1 << 252;
    }
    void statusQueries() {
        QFETCH(QString, nfe);
        QFETCH(int, environment);
        QFETCH(int, expected);
        QString key = nfe == u"cancelled"  ? m_cancelled.key
                      : nfe == u"denied"   ? m_denied.key
                      : nfe == u"stranger" ? stranger().key
                                           : m_fresh[3].key;
        if (nfe == u"digit")
            key = key.left(43) + QString::number((key.right(1).toInt() + 1) % 10);
        auto state = status(m_port, key, environment);
        QVERIFY(state);
        QCOMPARE(state->status, expected);
        QVERIFY(state->procEventos.empty());
    }

    void batchOfTwenty() {
        QList<zavnfe::CancellationData> list;
        for (int i = 2; i < 22; ++i)
            list.append(data(m_fresh[i]));
        list[7].authorisationProtocol = QStringLiteral("135269999999999"); // m_fresh[9]
        const QByteArray batch = sign(unsignedBatch(list), *m_signer);
        auto answer = batchAnswer(sendEvents(m_port, batch));
        QVERIFY(answer);
        QCOMPARE(answer->status, 128);
        QCOMPARE(answer->events.size(), size_t(20));
        QSet<QString> keys, protocols;
        for (const zavnfe::EventResult& result : answer->events) {
            keys.insert(result.accessKey);
            QCOMPARE(result.status, result.accessKey == m_fresh[9].key ? 222 : 135);
            if (result.status == 135)
                protocols.insert(result.protocol);
        }
        QCOMPARE(keys.size(), 20);
        QCOMPARE(protocols.size(), 19); // one protocol each
        auto state = status(m_port, m_fresh[15].key);
        QVERIFY(state);
        QCOMPARE(state->procEventos.size(), size_t(1));
        checkProcEvento(state->procEventos.front(), m_fresh[15].key, 135);

        // 21 events are beyond the schema: the whole batch is refused.
        QByteArray big = sign(unsignedBatch(list.mid(0, 1)), *m_signer);
        const qsizetype at = big.indexOf("<evento");
        const QByteArray one = big.mid(at, big.indexOf("</evento>") + 9 - at);
        QByteArray many;
        for (int i = 0; i < 21; ++i)
            many += one;
        big.replace(one, many);
        auto refused = batchAnswer(sendEvents(m_port, big));
        QVERIFY(refused);
        QCOMPARE(refused->status, 215);
        QVERIFY2(refused->statusText.startsWith(u"Rejeição: Falha no schema XML"),
                 qPrintable(refused->statusText));
        QVERIFY(refused->events.empty());
    }

    // The same event from several connections at once is registered once.
    void concurrentDuplicates() {
        const QByteArray batch = sign(unsignedBatch({data(m_fresh[25])}), *m_signer);
        std::vector<Reply> replies(4);
        std::vector<std::thread> threads;
        threads.reserve(replies.size());
        for (Reply& reply : replies)
            threads.emplace_back([&, target = &reply] { *target = sendEvents(m_port, batch); });
        for (std::thread& thread : threads)
            thread.join();
        QList<int> statuses;
        for (const Reply& reply : replies) {
            auto answer = batchAnswer(reply);
            QVERIFY(answer);
            QCOMPARE(answer->events.size(), size_t(1));
            statuses.append(answer->events.front().status);
        }
        std::sort(statuses.begin(), statuses.end());
        QCOMPARE(statuses, (QList<int>{135, 573, 573, 573}));
    }

    // Batches of twenty sent at once on connections of their own, as the
    // server sends them (up to four in flight per authority): every event
    // checked and answered on its own, matched by chNFe; the one for an NF-e
    // already cancelled rejected (420) without harm to the nineteen others of
    // its batch; the record file holding every registered event, once.
    void parallelBatchesOfTwenty() {
        const int batchCount = std::min(4, int((m_spare.size() + 1) / 20));
        QVERIFY2(batchCount >= 2, qPrintable(QStringLiteral("%1 spare invoices").arg(m_spare.size())));
        QProcess authority;
        const QString record = path(QStringLiteral("parallel.sqlite"));
        const int port =
            startOwn(authority, QStringLiteral("parallel.log"), {QStringLiteral("--record"), record});
        QVERIFY(port > 0);
        std::vector<QByteArray> batches;
        QSet<QString> registering;
        qsizetype next = 0;
        for (int b = 0; b < batchCount; ++b) {
            QList<zavnfe::CancellationData> list;
            for (int i = 0; i < 20; ++i) {
                if (b == 0 && i == 7) {
                    list.append(data(m_cancelled));
                    continue;
                }
                list.append(data(m_spare[next++]));
                registering.insert(list.back().accessKey);
            }
            batches.push_back(sign(unsignedBatch(list), *m_signer));
            QVERIFY(!batches.back().isEmpty());
        }
        std::vector<Reply> replies(batches.size());
        std::vector<std::thread> threads;
        for (size_t b = 0; b < batches.size(); ++b)
            threads.emplace_back([&, b] { replies[b] = sendEvents(port, batches[b]); });
        for (std::thread& thread : threads)
            thread.join();

        QSet<QString> registered;
        for (size_t b = 0; b < replies.size(); ++b) {
            auto answer = batchAnswer(replies[b]);
            QVERIFY(answer);
            QCOMPARE(answer->status, 128);
            QCOMPARE(answer->events.size(), size_t(20));
            // Each answer is the one of its own event, whatever their order.
            const QStringList sentKeys = texts(batches[b], QStringLiteral("chNFe"));
            for (const zavnfe::EventResult& result : answer->events) {
                QVERIFY(sentKeys.contains(result.accessKey));
                if (result.accessKey == m_cancelled.key) {
                    QCOMPARE(result.status, 420);
                    QVERIFY(result.protocol.isEmpty());
                } else {
                    QCOMPARE(result.status, 135);
                    QVERIFY(!registered.contains(result.accessKey));
                    registered.insert(result.accessKey);
                }
            }
        }
        QCOMPARE(registered, registering);
        QCOMPARE(registered.size(), batchCount * 20 - 1);
        const QHash<QString, int> recorded = recordedEvents(record);
        QCOMPARE(recorded.size(), registered.size());
        for (const QString& key : registered)
            QCOMPARE(recorded.value(key), 135);
        QVERIFY(!recorded.contains(m_cancelled.key));
        const QHash<QString, int> counts = requestCounts(port);
        QCOMPARE(counts.value(QStringLiteral("evento")), batchCount);
        QCOMPARE(counts.value(QStringLiteral("consulta")), 0);
        QVERIFY(terminate(authority));
    }

    void transport() {
        // No client certificate, or one of another CA: refused by TLS itself.
        const QByteArray body =
            zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(2, m_fresh[3].key));
        QCOMPARE(post(m_port, "/ws/NFeConsultaProtocolo4", body, nullptr).status, -1);
        QCOMPARE(post(m_port, "/ws/NFeConsultaProtocolo4", body, &*m_stranger).status, -1);
        QCOMPARE(post(m_port, "/ws/NFeConsultaProtocolo4", body, &*m_signer).status, 200);
        // The A1 certificate without the intermediate of its file: the
        // authority trusts the root only, as the real ones trust ICP-Brasil's.
        QCOMPARE(post(m_port, "/ws/NFeConsultaProtocolo4", body, &*m_signer, nullptr, false).status, -1);
        // Not SOAP 1.2: a SOAP fault naming the cause.
        Reply reply = post(m_port, "/ws/NFeConsultaProtocolo4", body, &*m_signer, "text/xml");
        QCOMPARE(reply.status, 415);
        QString error;
        QVERIFY(zavnfe::Soap::payload(reply.body, &error).isEmpty());
        QVERIFY2(error.contains(u"application/soap+xml"), qPrintable(error));
        reply = post(m_port, "/ws/NFeRecepcaoEvento4", "<consSitNFe/>", &*m_signer);
        QCOMPARE(reply.status, 400);
        QCOMPARE(post(m_port, "/ws/Outro", body, &*m_signer).status, 404);
        QCOMPARE(m_authority->state(), QProcess::Running);
    }

    // The SOAP action and the message's namespace as the services' WSDL
    // define them: anything else is no operation of the service, refused at
    // the SOAP layer with a Sender fault and HTTP 500 before the message is
    // read, as the real services do; an event so sent is not registered.
    void soapContract_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("contentType"); // empty: the operation's own
        QTest::addColumn<QByteArray>("from");        // in the envelope
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QString>("reason"); // part of the fault's reason
        const QByteArray query("/ws/NFeConsultaProtocolo4");
        const QByteArray events("/ws/NFeRecepcaoEvento4");
        const QByteArray statusNs = QByteArray("xmlns=\"") + zavnfe::Soap::kStatusService + '"';
        const QByteArray eventNs = QByteArray("xmlns=\"") + zavnfe::Soap::kEventService + '"';
        QTest::newRow("query as the WSDL says")
            << query << QByteArray() << QByteArray() << QByteArray() << 200 << QString();
        QTest::newRow("query without an action")
            << query << QByteArray("application/soap+xml;charset=utf-8") << QByteArray() << QByteArray()
            << 500 << QStringLiteral("without a valid action");
        QTest::newRow("query with an empty action")
            << query << QByteArray("application/soap+xml; charset=utf-8; action=\"\"") << QByteArray()
            << QByteArray() << 500 << QStringLiteral("without a valid action");
        QTest::newRow("query with the event service's action")
            << query << zavnfe::Soap::contentType(zavnfe::Soap::kEventService, zavnfe::Soap::kEventOperation)
            << QByteArray() << QByteArray() << 500 << QStringLiteral("was not recognized");
        QTest::newRow("query with another operation of its service")
            << query << zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, "nfeConsultaNF2")
            << QByteArray() << QByteArray() << 500 << QStringLiteral("was not recognized");
        QTest::newRow("query's action unquoted")
            << query
            << QByteArray("application/soap+xml;charset=utf-8;action=") + zavnfe::Soap::kStatusService + '/' +
                   zavnfe::Soap::kStatusOperation
            << QByteArray() << QByteArray() << 200 << QString();
        QTest::newRow("query's message in the event service's namespace")
            << query << QByteArray() << statusNs << eventNs << 500 << QStringLiteral("namespace");
        QTest::newRow("query's message without a namespace")
            << query << QByteArray() << QByteArray(" ") + statusNs << QByteArray() << 500
            << QStringLiteral("namespace");
        QTest::newRow("query's message named otherwise")
            << query << QByteArray() << QByteArray("nfeDadosMsg") << QByteArray("nfeResultMsg") << 500
            << QStringLiteral("nfeDadosMsg");
        QTest::newRow("event without an action")
            << events << QByteArray("application/soap+xml;charset=utf-8") << QByteArray() << QByteArray()
            << 500 << QStringLiteral("without a valid action");
        QTest::newRow("event with the query's action")
            << events
            << zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, zavnfe::Soap::kStatusOperation)
            << QByteArray() << QByteArray() << 500 << QStringLiteral("was not recognized");
        QTest::newRow("event's message in the query's namespace")
            << events << QByteArray() << eventNs << statusNs << 500 << QStringLiteral("namespace");
        QTest::newRow("event's message without a namespace")
            << events << QByteArray() << QByteArray(" ") + eventNs << QByteArray() << 500
            << QStringLiteral("namespace");
        // Last: the one NF-e of these rows is then registered.
        QTest::newRow("event as the WSDL says")
            << events << QByteArray() << QByteArray() << QByteArray() << 200 << QString();
    }
    void soapContract() {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(int, httpStatus);
        QFETCH(QString, reason);
        const bool event = target.endsWith("NFeRecepcaoEvento4");
        const Nfe nfe = m_fresh[24];
        QByteArray envelope =
            event ? zavnfe::Soap::envelope(zavnfe::Soap::kEventService,
                                           sign(unsignedBatch({data(nfe)}), *m_signer))
                  : zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(2, nfe.key));
        if (!from.isEmpty()) {
            QVERIFY(envelope.contains(from));
            envelope.replace(from, to);
        }
        const Reply reply = post(m_port, target.constData(), envelope, &*m_signer,
                                 contentType.isEmpty() ? nullptr : contentType.constData());
        QCOMPARE(reply.status, httpStatus);
        QString error;
        const QByteArray payload = zavnfe::Soap::payload(reply.body, &error);
        if (httpStatus == 200) {
            QVERIFY2(!payload.isEmpty(), qPrintable(error));
        } else {
            QVERIFY(payload.isEmpty());
            QVERIFY2(error.startsWith(u"Falha SOAP: ") && error.contains(reason), qPrintable(error));
            QVERIFY2(reply.body.contains("soap:Sender"), reply.body.constData());
        }
        if (event) {
            auto state = status(m_port, nfe.key);
            QVERIFY(state);
            QCOMPARE(state->procEventos.size(), size_t(httpStatus == 200 ? 1 : 0));
        }
        QCOMPARE(m_authority->state(), QProcess::Running);
    }

    // A message with edit characters between its tags or at its ends is
    // refused whole with 588 before anything else about it is looked at; the
    // same event without them registers.
    void editCharactersRefused_data() {
        QTest::addColumn<QByteArray>("from"); // in the SOAP envelope of the signed batch
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<int>("batchStatus");
        // Outside infEvento: the signature still verifies.
        QTest::newRow("line break before the signature")
            << QByteArray("</infEvento><Signature") << QByteArray("</infEvento>\n<Signature") << 588;
        QTest::newRow("blank between the envelope's tags")
            << QByteArray("<soap:Body>") << QByteArray("<soap:Body> ") << 588;
        QTest::newRow("line break after the declaration") << QByteArray("?>") << QByteArray("?>\r\n") << 588;
        QTest::newRow("line break at the end")
            << QByteArray("</soap:Envelope>") << QByteArray("</soap:Envelope>\n") << 588;
        QTest::newRow("none: registered") << QByteArray() << QByteArray() << 128;
    }
    void editCharactersRefused() {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(int, batchStatus);
        const Nfe nfe = m_fresh[26];
        QByteArray envelope =
            zavnfe::Soap::envelope(zavnfe::Soap::kEventService, sign(unsignedBatch({data(nfe)}), *m_signer));
        QCOMPARE(zavnfe::editCharacterAt(envelope), qsizetype(-1));
        if (!from.isEmpty()) {
            QVERIFY(envelope.contains(from));
            envelope.replace(envelope.indexOf(from), from.size(), to);
        }
        auto answer = batchAnswer(post(m_port, "/ws/NFeRecepcaoEvento4", envelope, &*m_signer));
        QVERIFY(answer);
        QCOMPARE(answer->status, batchStatus);
        auto state = status(m_port, nfe.key);
        QVERIFY(state);
        if (batchStatus == 588) {
            QCOMPARE(
                answer->statusText,
                QStringLiteral("Rejeição: Não é permitida a presença de caracteres de edição no início/fim "
                               "da mensagem ou entre as tags da mensagem"));
            QVERIFY(answer->events.empty());
            QVERIFY(state->procEventos.empty());
        } else {
            QCOMPARE(answer->events.size(), size_t(1));
            QCOMPARE(answer->events.front().status, 135);
            QCOMPARE(state->procEventos.size(), size_t(1));
        }

        // The protocol query is held to the same rule.
        QByteArray query =
            zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(2, nfe.key));
        query.replace("<soap:Body>", "<soap:Body>\n");
        const Reply reply = post(m_port, "/ws/NFeConsultaProtocolo4", query, &*m_signer);
        QCOMPARE(reply.status, 200); // refused in the answer, as the authorities do, not by HTTP
        QString error;
        auto refused = zavnfe::parseRetConsSitNFe(zavnfe::Soap::payload(reply.body, &error), &error);
        QVERIFY2(refused, qPrintable(error));
        QCOMPARE(refused->status, 588);
    }

    // A client that resumes its TLS session is served again (OpenSSL needs a
    // session id context on a server that verifies client certificates).
    void sessionResumed() {
        QVERIFY(writeSignerPem());
        const QString session = path(QStringLiteral("session.pem"));
        QFile::remove(session);
        const QByteArray request = httpPost("/ws/NFeStatusServico4", serviceStatusRequest());
        const QByteArray first = sClient(m_port, {QStringLiteral("-sess_out"), session}, request);
        QVERIFY2(first.contains("New, ") && first.contains("HTTP/1.1 200") &&
                     first.contains("<cStat>107</cStat>"),
                 first.constData());
        QVERIFY(QFile::exists(session));
        for (int i = 0; i < 2; ++i) {
            const QByteArray again = sClient(m_port, {QStringLiteral("-sess_in"), session}, request);
            QVERIFY2(again.contains("Reused, ") && again.contains("HTTP/1.1 200") &&
                         again.contains("<cStat>107</cStat>"),
                     again.constData());
            QVERIFY2(!again.contains("internal error"), again.constData());
        }
        QCOMPARE(m_authority->state(), QProcess::Running);
    }

    // An event sent on a resumed TLS session, which carries no intermediates
    // of the client: the authority completes the signer's chain from the
    // intermediates its --client-ca holds, as the real ones hold ICP-Brasil's
    // chain. An authority holding the root alone cannot, and says 297. Its
    // handshake still trusts the roots only: a client without its chain is
    // refused either way.
    void eventOnResumedSession_data() {
        QTest::addColumn<bool>("holdsIntermediate");
        QTest::addColumn<int>("batchStatus");
        QTest::addColumn<int>("eventStatus");
        QTest::newRow("the authority holds the intermediate") << true << 128 << 135;
        QTest::newRow("the authority holds the root alone") << false << 297 << 0;
    }
    void eventOnResumedSession() {
        QFETCH(bool, holdsIntermediate);
        QFETCH(int, batchStatus);
        QFETCH(int, eventStatus);
        QVERIFY(writeSignerPem());
        QString clientCa = m_certs + QStringLiteral("/ca.pem");
        if (holdsIntermediate) // as make-certificates.sh writes it for the local authority
            clientCa = m_certs + QStringLiteral("/authority-trust.pem");
        QProcess authority;
        const int port = start(authority,
                               {QStringLiteral("--db"), m_erp, QStringLiteral("--ordinary-hours"),
                                QStringLiteral("876000"), QStringLiteral("--log-file"),
                                path(QStringLiteral("resumed.log"))},
                               clientCa);
        QVERIFY(port > 0);
        QCOMPARE(
            post(port, "/ws/NFeStatusServico4", serviceStatusRequest(), &*m_signer, nullptr, false).status,
            -1);
        const QString session = path(QStringLiteral("resumed-session.pem"));
        QFile::remove(session);
        const QByteArray first = sClient(port, {QStringLiteral("-sess_out"), session},
                                         httpPost("/ws/NFeStatusServico4", serviceStatusRequest()));
        QVERIFY2(first.contains("New, ") && first.contains("<cStat>107</cStat>"), first.constData());
        const Nfe nfe = m_spare.front();
        const QByteArray envelope =
            zavnfe::Soap::envelope(zavnfe::Soap::kEventService, sign(unsignedBatch({data(nfe)}), *m_signer));
        const QByteArray again = sClient(port, {QStringLiteral("-sess_in"), session},
                                         httpPost("/ws/NFeRecepcaoEvento4", envelope));
        QVERIFY2(again.contains("Reused, ") && again.contains("HTTP/1.1 200"), again.constData());
        const qsizetype body = again.indexOf("<?xml");
        const QByteArray end("</soap:Envelope>");
        const qsizetype bodyEnd = again.indexOf(end, body);
        QVERIFY2(body >= 0 && bodyEnd > body, again.constData());
        QString error;
        auto answer = zavnfe::parseRetEnvEvento(
            zavnfe::Soap::payload(again.mid(body, bodyEnd + end.size() - body), &error), &error);
        QVERIFY2(answer, qPrintable(error));
        QCOMPARE(answer->status, batchStatus);
        if (eventStatus != 0) {
            QCOMPARE(answer->events.size(), size_t(1));
            QCOMPARE(answer->events.front().status, eventStatus);
        } else {
            QVERIFY(answer->events.empty());
        }
        QVERIFY(terminate(authority));
    }

    // An A3 certificate: the company's key generated on a SoftHSM token
    // (scripts/make-token.sh), found by its serial, signing the event there
    // and opening the mutual TLS there (zavnfe::useAsTlsClient), the key never
    // read out. The authority checks the signature and the TLS client as it
    // checks an A1's, and registers the event.
    void tokenKeySignsAndConnects() {
        const QString serial = QStringLiteral("0A3B77");
        QString why = m_token.make(m_certs, QStringLiteral("ZAV-A3-AUT"), serial + u':' + m_cnpj);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QString error;
        const std::shared_ptr<zavnfe::TokenSet> tokens = zavnfe::TokenSet::load(m_token.configFile(), &error);
        QVERIFY2(tokens, qPrintable(error));
        const zavnfe::CertificateLookup found = tokens->find(serial);
        QVERIFY2(found.found(), qPrintable(found.error));
        QVERIFY(found.certificate->onToken());
        QCOMPARE(found.certificate->cnpj(), m_cnpj);

        QProcess authority;
        const int port = startOwn(authority, QStringLiteral("token.log"), {});
        QVERIFY(port > 0);
        const Nfe nfe = m_spare.front();
        const QByteArray batch = sign(unsignedBatch({data(nfe)}), *found.certificate);
        QVERIFY(!batch.isEmpty());
        httplib::SSLClient http("127.0.0.1", port);
        QCOMPARE(zavnfe::useAsTlsClient(http.ssl_context(), *found.certificate), QString());
        http.set_ca_cert_path((m_certs + QStringLiteral("/ca.pem")).toStdString().c_str());
        http.enable_server_certificate_verification(true);
        http.set_read_timeout(30, 0);
        auto result = http.Post("/ws/NFeRecepcaoEvento4",
                                zavnfe::Soap::envelope(zavnfe::Soap::kEventService, batch).toStdString(),
                                soapType("/ws/NFeRecepcaoEvento4").constData());
        QVERIFY2(result, qPrintable(QStringLiteral("httplib error %1").arg(int(result.error()))));
        auto answer = batchAnswer({result->status, QByteArray::fromStdString(result->body), {}});
        QVERIFY(answer);
        QCOMPARE(answer->status, 128);
        QCOMPARE(answer->events.size(), size_t(1));
        QCOMPARE(answer->events.front().status, 135);
        QCOMPARE(answer->events.front().accessKey, nfe.key);
        QVERIFY(terminate(authority));
    }

    // The xmlsec1 verifications a user copies from docs/nfe.md and the
    // README, run as they are written, in a folder laid out as the demo's
    // (var/certs, var/autoridade-2.db, var/zav.db), on an event the local
    // authority registered and stored: its record's EVENTO, and the
    // procEventoNFe the server stores of it. Of each block, the command that
    // writes the file and the verification.
    void documentedVerification_data() {
        QTest::addColumn<QString>("document");
        QTest::addColumn<int>("block"); // among the document's blocks that run xmlsec1 --verify
        QTest::newRow("docs/nfe.md, the authority's record") << QStringLiteral("docs/nfe.md") << 0;
        QTest::newRow("docs/nfe.md, the server's table") << QStringLiteral("docs/nfe.md") << 1;
        QTest::newRow("README.md") << QStringLiteral("README.md") << 0;
    }
    void documentedVerification() {
        QFETCH(QString, document);
        QFETCH(int, block);
        QFile file(QStringLiteral(ZAV_SOURCE_DIR "/") + document);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList blocks;
        const QStringList parts = QString::fromUtf8(file.readAll()).split(QStringLiteral("```"));
        for (qsizetype i = 1; i < parts.size(); i += 2)
            if (parts[i].contains(QStringLiteral("xmlsec1 --verify")))
                blocks.append(parts[i]);
        QVERIFY2(block < blocks.size(), qPrintable(document));
        // The verification with its continuation lines, and the line before it.
        const QStringList lines = blocks[block].split(u'\n');
        qsizetype first = -1;
        for (qsizetype i = 0; i < lines.size() && first < 0; ++i)
            if (lines[i].startsWith(QStringLiteral("xmlsec1 --verify")))
                first = i;
        QVERIFY(first >= 1);
        QStringList command{lines[first - 1]};
        for (qsizetype i = first; i < lines.size(); ++i) {
            command.append(lines[i]);
            if (!lines[i].endsWith(u'\\'))
                break;
        }
        QVERIFY2(command.front().startsWith(QStringLiteral("sqlite3 ")), qPrintable(command.front()));

        static QString demo; // made once for the rows
        if (demo.isEmpty()) {
            const QString folder = path(QStringLiteral("demo"));
            QVERIFY(QDir().mkpath(folder + QStringLiteral("/var")));
            QVERIFY(QFile::link(m_certs, folder + QStringLiteral("/var/certs")));
            QProcess authority;
            const QString record = folder + QStringLiteral("/var/autoridade-2.db");
            const int port =
                startOwn(authority, QStringLiteral("demo.log"), {QStringLiteral("--record"), record});
            QVERIFY(port > 0);
            auto answer =
                batchAnswer(sendEvents(port, sign(unsignedBatch({data(m_spare.front())}), *m_signer)));
            QVERIFY(answer);
            QCOMPARE(answer->events.size(), size_t(1));
            QCOMPARE(answer->events.front().status, 135);
            QVERIFY(terminate(authority));
            // The one column the README's command reads of the server's
            // table, filled as the server fills it: the event and its answer.
            QByteArray proc;
            {
                QSqlDatabase db =
                    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("demo"));
                db.setDatabaseName(record);
                QSqlQuery query(db);
                QVERIFY(db.open() && query.exec(QStringLiteral("SELECT EVENTO, RETEVENTO FROM EVENT")) &&
                        query.next());
                proc = zavnfe::procEventoNFe(query.value(0).toByteArray(), query.value(1).toByteArray());
                db.close();
                db.setDatabaseName(folder + QStringLiteral("/var/zav.db"));
                QVERIFY(db.open());
                QSqlQuery server(db);
                QVERIFY(server.exec(QStringLiteral("CREATE TABLE NFEEVENTO (XMLPROCEVENTO TEXT NOT NULL)")));
                QVERIFY(
                    server.prepare(QStringLiteral("INSERT INTO NFEEVENTO (XMLPROCEVENTO) VALUES (:proc)")));
                server.bindValue(QStringLiteral(":proc"), QString::fromUtf8(proc));
                QVERIFY2(server.exec(), qPrintable(server.lastError().text()));
            }
            QSqlDatabase::removeDatabase(QStringLiteral("demo"));
            QVERIFY(!proc.isEmpty());
            demo = folder;
        }
        QProcess shell;
        shell.setWorkingDirectory(demo);
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start(QStringLiteral("bash"), {QStringLiteral("-euo"), QStringLiteral("pipefail"),
                                             QStringLiteral("-c"), command.join(u'\n')});
        QVERIFY(shell.waitForFinished(60000));
        const QByteArray output = shell.readAll();
        QVERIFY2(shell.exitCode() == 0 && output.startsWith("OK"),
                 qPrintable(command.join(u'\n') + u'\n' + QString::fromUtf8(output)));
    }

    // The status service: in operation, or paused as asked on the command
    // line; a paused authority refuses events whole and protocol queries
    // with the same status.
    void serviceStatus_data() {
        QTest::addColumn<int>("paused");
        QTest::addColumn<int>("environment");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("text");
        QTest::newRow("107 in operation") << 0 << 2 << 107 << QStringLiteral("Serviço em Operação");
        QTest::newRow("252 another environment")
            << 0 << 1 << 252
            << QStringLiteral("Rejeição: Ambiente informado diverge do Ambiente de recebimento");
        QTest::newRow("108 paused for a short while")
            << 108 << 2 << 108 << QStringLiteral("Serviço Paralisado Momentaneamente (curto prazo)");
        QTest::newRow("109 paused without a forecast")
            << 109 << 2 << 109 << QStringLiteral("Serviço Paralisado sem Previsão");
    }
    void serviceStatus() {
        QFETCH(int, paused);
        QFETCH(int, environment);
        QFETCH(int, expected);
        QFETCH(QString, text);
        QProcess authority;
        int port = m_port;
        if (paused != 0) {
            port = start(authority,
                         {QStringLiteral("--db"), m_erp, QStringLiteral("--paused"), QString::number(paused),
                          QStringLiteral("--log-file"), path(QStringLiteral("p.log"))});
            QVERIFY(port > 0);
        }
        auto answer = serviceStatus(port, environment);
        QVERIFY(answer);
        QCOMPARE(answer->status, expected);
        QCOMPARE(answer->statusText, text);
        QCOMPARE(answer->environment, 2);
        QCOMPARE(answer->stateCode, QStringLiteral("35"));
        QCOMPARE(answer->application, QStringLiteral("ZAV-AUT-LOCAL_1.00"));
        QVERIFY2(answer->receivedAt.endsWith(u"-03:00"), qPrintable(answer->receivedAt));
        QCOMPARE(answer->averageSeconds.has_value(), expected == 107);
        if (expected == 107) { // a query outside its schema
            QByteArray query = serviceStatusRequest();
            query.replace("<xServ>STATUS</xServ>", "<xServ>CONSULTAR</xServ>");
            const Reply reply = post(port, "/ws/NFeStatusServico4", query, &*m_signer);
            QCOMPARE(reply.status, 200);
            QString error;
            auto refused = zavnfe::parseRetConsStatServ(zavnfe::Soap::payload(reply.body, &error), &error);
            QVERIFY2(refused, qPrintable(error));
            QCOMPARE(refused->status, 215);
            QVERIFY2(refused->statusText.contains(u"xServ"), qPrintable(refused->statusText));
        }

        if (paused != 0) {
            const Nfe nfe = m_fresh[27];
            auto refused = batchAnswer(sendEvents(port, sign(unsignedBatch({data(nfe)}), *m_signer)));
            QVERIFY(refused);
            QCOMPARE(refused->status, paused);
            QCOMPARE(refused->statusText, text);
            QVERIFY(refused->events.empty());
            auto state = status(port, nfe.key);
            QVERIFY(state);
            QCOMPARE(state->status, paused);
            QCOMPARE(state->statusText, text);
            QVERIFY(state->procEventos.empty());
            QVERIFY(terminate(authority));
        }
    }

    // An authority that does not trust the company's chain ends the
    // handshake with the alert unknown_ca.
    void untrustedChain() {
        QVERIFY(writeSignerPem());
        QProcess authority;
        const int port = start(authority, {QStringLiteral("--db"), m_erp, QStringLiteral("--tls-client-ca"),
                                           path(QStringLiteral("other/ca.pem")), QStringLiteral("--log-file"),
                                           path(QStringLiteral("u.log"))});
        QVERIFY(port > 0);
        // The handshake alone, no request after it: the authority closing on a
        // request it has not read would reset the connection, and the reset
        // can discard the alert before the client reads it.
        const QByteArray output = sClient(port, {}, QByteArray());
        QVERIFY2(output.contains("alert unknown ca"), output.constData());
        QVERIFY2(!output.contains("HTTP/1.1"), output.constData());
        QCOMPARE(post(port, "/ws/NFeStatusServico4", serviceStatusRequest(), &*m_signer).status, -1);
        QVERIFY(terminate(authority));
        // Each refused handshake is in the request log, with the peer, the
        // alert and why the client's certificate was not trusted.
        QFile log(path(QStringLiteral("u.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        const QStringList refused = text.split(u'\n').filter(QStringLiteral("handshake TLS recusado"));
        QVERIFY2(refused.size() >= 2, qPrintable(text));
        for (const QString& line : refused) {
            QVERIFY2(line.contains(QStringLiteral("127.0.0.1:")) && line.contains(u"unknown CA") &&
                         line.contains(u"certificado do cliente"),
                     qPrintable(line));
        }
    }

    // Event signatures are trusted only when they chain to --client-ca: not
    // to the system's CA store, nor to a CA that OpenSSL's environment
    // variables name. Each row runs an authority of its own.
    void onlyTheClientCaIsTrusted_data() {
        QTest::addColumn<QString>("variable");    // set for the authority, naming the other CA
        QTest::addColumn<bool>("bothInClientCa"); // --client-ca holds the test CA and the other CA
        QTest::addColumn<int>("strangerStatus");  // the other CA's signature: batch 297, or event 135
        QTest::addColumn<int>("strangerTls");     // HTTP status with the other CA's TLS certificate
        QTest::newRow("SSL_CERT_FILE names another CA") << "SSL_CERT_FILE" << false << 297 << -1;
        QTest::newRow("SSL_CERT_DIR names another CA") << "SSL_CERT_DIR" << false << 297 << -1;
        QTest::newRow("--client-ca with two CAs trusts both") << "" << true << 135 << 200;
    }
    void onlyTheClientCaIsTrusted() {
        QFETCH(QString, variable);
        QFETCH(bool, bothInClientCa);
        QFETCH(int, strangerStatus);
        QFETCH(int, strangerTls);
        const QString otherCa = path(QStringLiteral("other/ca.pem"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (variable == u"SSL_CERT_FILE") {
            environment.insert(variable, otherCa);
        } else if (variable == u"SSL_CERT_DIR") {
            // A hashed folder, as OpenSSL looks CAs up in one.
            const QString folder = path(QStringLiteral("other-hashed"));
            QVERIFY(QDir().mkpath(folder));
            QByteArray hash;
            QVERIFY2(run(QStringLiteral("openssl"),
                         {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                          QStringLiteral("-in"), otherCa},
                         m_dir.path(), &hash),
                     hash.constData());
            const QString link = folder + u'/' + QString::fromLatin1(hash.trimmed()) + QStringLiteral(".0");
            QVERIFY(QFile::exists(link) || QFile::copy(otherCa, link));
            environment.insert(variable, folder);
        }
        QString clientCa;
        if (bothInClientCa) {
            clientCa = path(QStringLiteral("two-cas.pem"));
            // The other chain's intermediate too: the events are sent over the
            // test CA's TLS certificate, whose handshake does not present it.
            QFile own(m_certs + QStringLiteral("/ca.pem"));
            QFile other(otherCa);
            QFile otherIntermediate(path(QStringLiteral("other/intermediate.pem")));
            QFile both(clientCa);
            QVERIFY(own.open(QIODevice::ReadOnly) && other.open(QIODevice::ReadOnly) &&
                    otherIntermediate.open(QIODevice::ReadOnly) && both.open(QIODevice::WriteOnly));
            QVERIFY(both.write(own.readAll() + other.readAll() + otherIntermediate.readAll()) > 0);
        }
        QProcess authority;
        authority.setProcessEnvironment(environment);
        const int port = start(
            authority,
            {QStringLiteral("--db"), m_erp, QStringLiteral("--log-file"), path(QStringLiteral("c.log"))},
            clientCa);
        QVERIFY(port > 0);

        const Nfe strangers = m_fresh[22];
        auto answer = batchAnswer(sendEvents(port, sign(unsignedBatch({data(strangers)}), *m_stranger)));
        QVERIFY(answer);
        if (strangerStatus == 297) {
            QCOMPARE(answer->status, 297);
            QVERIFY2(answer->statusText.startsWith(u"Rejeição: Assinatura difere do calculado"),
                     qPrintable(answer->statusText));
            QVERIFY(answer->events.empty());
        } else {
            QCOMPARE(answer->status, 128);
            QCOMPARE(answer->events.size(), size_t(1));
            QCOMPARE(answer->events.front().status, strangerStatus);
        }
        auto state = status(port, strangers.key);
        QVERIFY(state);
        QCOMPARE(state->procEventos.size(), size_t(strangerStatus == 135 ? 1 : 0));

        // The test CA's own signer still registers.
        const Nfe own = m_fresh[23];
        answer = batchAnswer(sendEvents(port, sign(unsignedBatch({data(own)}), *m_signer)));
        QVERIFY(answer);
        QCOMPARE(answer->status, 128);
        QCOMPARE(answer->events.size(), size_t(1));
        QCOMPARE(answer->events.front().status, 135);

        // The TLS layer trusts what --client-ca names, and nothing more.
        const QByteArray body =
            zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(2, own.key));
        QCOMPARE(post(port, "/ws/NFeConsultaProtocolo4", body, &*m_stranger).status, strangerTls);
        QVERIFY(terminate(authority));
    }

    // Dropped requests and answers, the delay, the late term, the record file
    // kept across a restart, and SIGTERM.
    void lostAnswers() {
        QProcess authority;
        const QString record = path(QStringLiteral("record.sqlite"));
        const int port = start(authority, {QStringLiteral("--db"), m_erp, QStringLiteral("--record"), record,
                                           QStringLiteral("--late-days"), QStringLiteral("7"),
                                           QStringLiteral("--delay-ms"), QStringLiteral("300"),
                                           QStringLiteral("--drop-requests"), QStringLiteral("1"),
                                           QStringLiteral("--drop-answers"), QStringLiteral("1"),
                                           QStringLiteral("--log-file"), path(QStringLiteral("b.log"))});
        QVERIFY(port > 0);
        const QByteArray batch = sign(unsignedBatch({data(m_late)}), *m_signer);

        Reply reply = sendEvents(port, batch);
        QCOMPARE(reply.status, -1); // closed without processing
        QElapsedTimer clock;
        clock.start();
        auto state = status(port, m_late.key);
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(state);
        QCOMPARE(state->status, 100);
        QVERIFY(state->procEventos.empty());

        reply = sendEvents(port, batch);
        QCOMPARE(reply.status, -1); // processed, the answer lost
        state = status(port, m_late.key);
        QVERIFY(state);
        QCOMPARE(state->status, 101);
        QCOMPARE(state->procEventos.size(), size_t(1));
        checkProcEvento(state->procEventos.front(), m_late.key, 155);
        const QByteArray stored = state->procEventos.front();

        auto again = batchAnswer(sendEvents(port, batch));
        QVERIFY(again);
        QCOMPARE(again->events.front().status, 573);
        QVERIFY(terminate(authority));

        QFile log(path(QStringLiteral("b.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QCOMPARE(std::count_if(lines.begin(), lines.end(),
                               [](const QByteArray& l) { return l.contains(" HTTP "); }),
                 5);

        // The record alone is enough to start again, and keeps the event.
        const int again2 = start(authority, {QStringLiteral("--record"), record});
        QVERIFY(again2 > 0);
        state = status(again2, m_late.key);
        QVERIFY(state);
        QCOMPARE(state->status, 101);
        QCOMPARE(state->procEventos.size(), size_t(1));
        QCOMPARE(state->procEventos.front(), stored);
        QVERIFY(terminate(authority));
    }

    // --consumo-indevido: every event batch and protocol query refused with
    // 656 at the batch level, nothing read or registered; the service status
    // still answers, and the requests are counted per service.
    void excessiveUse() {
        QProcess authority;
        const int port =
            startOwn(authority, QStringLiteral("656.log"), {QStringLiteral("--consumo-indevido")});
        QVERIFY(port > 0);
        const QString text = QStringLiteral("Rejeição: Consumo Indevido");
        const Nfe nfe = m_spare.front();
        for (int i = 0; i < 2; ++i) {
            auto refused = batchAnswer(sendEvents(port, sign(unsignedBatch({data(nfe)}), *m_signer)));
            QVERIFY(refused);
            QCOMPARE(refused->status, 656);
            QCOMPARE(refused->statusText, text);
            QVERIFY(refused->events.empty());
        }
        auto state = status(port, nfe.key);
        QVERIFY(state);
        QCOMPARE(state->status, 656);
        QCOMPARE(state->statusText, text);
        QVERIFY(state->procEventos.empty());
        auto service = serviceStatus(port);
        QVERIFY(service);
        QCOMPARE(service->status, 107);
        const QHash<QString, int> counts = requestCounts(port);
        QCOMPARE(counts.value(QStringLiteral("evento"), -1), 2);
        QCOMPARE(counts.value(QStringLiteral("consulta"), -1), 1);
        QCOMPARE(counts.value(QStringLiteral("status"), -1), 1);
        QVERIFY(terminate(authority));
        QFile log(path(QStringLiteral("656.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray written = log.readAll();
        QVERIFY2(written.contains("requisições recebidas: evento 2, consulta 1, status 1"),
                 written.constData());
    }

    // --hang-ms: the request is read and counted, then held unanswered for
    // the time asked and the connection closed without an answer; the next
    // request is held as well.
    void hangForAWhile() {
        QProcess authority;
        const int port = startOwn(authority, QStringLiteral("hang.log"),
                                  {QStringLiteral("--hang-ms"), QStringLiteral("1500")});
        QVERIFY(port > 0);
        QElapsedTimer clock;
        clock.start();
        Reply reply = sendEvents(port, sign(unsignedBatch({data(m_spare.front())}), *m_signer));
        QCOMPARE(reply.status, -1);
        QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!status(port, m_spare.front().key));
        const QHash<QString, int> counts = requestCounts(port);
        QCOMPARE(counts.value(QStringLiteral("evento")), 1);
        QCOMPARE(counts.value(QStringLiteral("consulta")), 1);
        QVERIFY(terminate(authority));
    }

    // --hang: held until the client gives up; a request held when SIGTERM
    // comes does not keep the authority from ending at once.
    void hangUntilTheClientGivesUp() {
        QProcess authority;
        const int port = startOwn(authority, QStringLiteral("hang2.log"), {QStringLiteral("--hang")});
        QVERIFY(port > 0);
        const QByteArray batch = sign(unsignedBatch({data(m_spare.front())}), *m_signer);
        // A client that gives up after a second.
        {
            httplib::SSLClient http("127.0.0.1", port, m_signer->certificate(), m_signer->key());
            for (X509* issuer : m_signer->issuers())
                QVERIFY(SSL_CTX_add1_chain_cert(http.ssl_context(), issuer) == 1);
            http.set_ca_cert_path((m_certs + QStringLiteral("/ca.pem")).toStdString().c_str());
            http.enable_server_certificate_verification(true);
            http.set_read_timeout(1, 0);
            const QByteArray envelope = zavnfe::Soap::envelope(zavnfe::Soap::kEventService, batch);
            QElapsedTimer clock;
            clock.start();
            auto result = http.Post("/ws/NFeRecepcaoEvento4", envelope.toStdString(),
                                    soapType("/ws/NFeRecepcaoEvento4").constData());
            QVERIFY(!result);
            QVERIFY(clock.elapsed() < 10000);
        }
        // One held while the authority is told to stop.
        Reply held;
        std::thread client([&] { held = sendEvents(port, batch); });
        QElapsedTimer clock;
        clock.start();
        while (requestCounts(port).value(QStringLiteral("evento")) < 2 && clock.elapsed() < 10000)
            QTest::qWait(50);
        QCOMPARE(requestCounts(port).value(QStringLiteral("evento")), 2);
        clock.restart();
        QVERIFY(terminate(authority));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        client.join();
        QCOMPARE(held.status, -1);
    }

    void refusedCommandLines_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no database") << QStringList{} << 1;
        QTest::newRow("negative late days")
            << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"), QStringLiteral("--late-days"),
                           QStringLiteral("-1")}
            << 1;
        QTest::newRow("late term twice")
            << QStringList{QStringLiteral("--db"),         QStringLiteral("x.sqlite"),
                           QStringLiteral("--late-days"),  QStringLiteral("7"),
                           QStringLiteral("--late-hours"), QStringLiteral("168")}
            << 1;
        QTest::newRow("environment 3") << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"),
                                                      QStringLiteral("--environment"), QStringLiteral("3")}
                                       << 1;
        QTest::newRow("missing database file")
            << QStringList{QStringLiteral("--db"), QStringLiteral("missing.sqlite")} << 2;
        QTest::newRow("database without invoices")
            << QStringList{QStringLiteral("--db"), QStringLiteral("empty.sqlite")} << 2;
        QTest::newRow("paused with another status")
            << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"), QStringLiteral("--paused"),
                           QStringLiteral("107")}
            << 1;
        QTest::newRow("hang twice") << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"),
                                                   QStringLiteral("--hang"), QStringLiteral("--hang-ms"),
                                                   QStringLiteral("100")}
                                    << 1;
        QTest::newRow("hang for no time") << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"),
                                                         QStringLiteral("--hang-ms"), QStringLiteral("0")}
                                          << 1;
        QTest::newRow("missing TLS client CA")
            << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"),
                           QStringLiteral("--tls-client-ca"), QStringLiteral("missing.pem")}
            << 1;
        QTest::newRow("CA file without a certificate")
            << QStringList{QStringLiteral("--db"), QStringLiteral("x.sqlite"), QStringLiteral("--client-ca"),
                           QStringLiteral("empty.sqlite")}
            << 1;
    }
    void refusedCommandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFile empty(path(QStringLiteral("empty.sqlite")));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        QVERIFY(start(process, arguments) == 0);
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), exitCode);
        QVERIFY(!QFile::exists(path(QStringLiteral("missing.sqlite"))));
    }
};

QTEST_GUILESS_MAIN(TestAuthority)
#include "tst_authority.moc"
