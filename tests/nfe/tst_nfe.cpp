// Cancellation events built, checked and signed; the signatures verified by
// the independent xmlsec1 command against a CA made here with openssl.
#include "accesskey.h"
#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"
#include "nfesample.h"
#include "testtools.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/pem.h>

namespace {

using zavtest::run;
using zavtest::texts;

const QString kKey = QStringLiteral("35261203123456000195550010000012341000123452");
const QString kOtherKey = QStringLiteral("43261203123456000195550010000056781000567810");

zavnfe::CancellationData sample() {
    return zavtest::sampleCancellation(kKey, QStringLiteral("03123456000195"),
                                       QStringLiteral("  Pedido <duplicado> & cancelado após conferência  "));
}

} // namespace

class TestNfe : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString certs() const { return m_dir.filePath(QStringLiteral("certs")); }

    // A certificate signed by the test CA with the given serial and dates,
    // exported to certs/<name>.pfx with the password.
    void issue(const QString& name, const QString& serial, const QString& start, const QString& end,
               const QString& password) {
        QFile serialFile(m_dir.filePath(QStringLiteral("serial.txt")));
        QVERIFY(serialFile.open(QIODevice::WriteOnly));
        serialFile.write(serial.toLatin1() + "\n");
        serialFile.close();
        const QString d = m_dir.path();
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                     QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                     QStringLiteral("-out"), name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                     QStringLiteral("/CN=EMPRESA TESTE ") + name},
                    d));
        QByteArray out;
        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"),
                      QStringLiteral("ca.cnf"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                      QStringLiteral("-out"), name + QStringLiteral(".pem"), QStringLiteral("-startdate"),
                      start, QStringLiteral("-enddate"), end, QStringLiteral("-notext")},
                     d, &out),
                 out.constData());
        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("pkcs12"), QStringLiteral("-export"), QStringLiteral("-inkey"),
                      name + QStringLiteral(".key"), QStringLiteral("-in"), name + QStringLiteral(".pem"),
                      QStringLiteral("-certfile"), QStringLiteral("ca.pem"), QStringLiteral("-passout"),
                      QStringLiteral("pass:") + password, QStringLiteral("-out"),
                      QStringLiteral("certs/") + name + QStringLiteral(".pfx")},
                     d, &out),
                 out.constData());
    }

    static QList<zavnfe::CancellationEvent> eventsOf(const QList<zavnfe::CancellationData>& list) {
        QList<zavnfe::CancellationEvent> made;
        QString error;
        for (const auto& data : list) {
            auto event = zavnfe::CancellationEvent::create(data, &error);
            if (!event)
                qWarning("%s", qPrintable(error));
            made.append(*event);
        }
        return made;
    }

    static QByteArray unsignedBatch(const QList<zavnfe::CancellationData>& list) {
        QString error;
        return zavnfe::CancellationBatch::build(QStringLiteral("42"), eventsOf(list), &error);
    }

    zavnfe::SigningCertificate signingCertificate() {
        const zavnfe::CertificateLookup lookup =
            zavnfe::CertificateStore(certs()).find(QStringLiteral("a1b2c3d4e5f6"), "segredo");
        if (!lookup.found())
            qWarning("%s", qPrintable(lookup.error));
        return *lookup.certificate;
    }

    QByteArray signedBatch(const QList<zavnfe::CancellationData>& list) {
        QString error;
        return zavnfe::EventSigner(signingCertificate()).sign(unsignedBatch(list), &error);
    }

    // Runs scripts/make-certificates.sh with the arguments.
    bool makeCertificates(const QStringList& arguments, QByteArray* output) {
        return run(QStringLiteral("bash"),
                   QStringList{QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh")} + arguments,
                   m_dir.path(), output);
    }

    // untrusted: an intermediate CA that completes the chain, trusted only
    // through the root.
    bool verify(const QByteArray& xml, int signature, QByteArray* output,
                const QString& trusted = QStringLiteral("ca.pem"), const QString& untrusted = {}) {
        QFile file(m_dir.filePath(QStringLiteral("signed.xml")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(xml);
        file.close();
        QStringList arguments{QStringLiteral("--verify"), QStringLiteral("--trusted-pem"), trusted};
        if (!untrusted.isEmpty())
            arguments += {QStringLiteral("--untrusted-pem"), untrusted};
        arguments +=
            {QStringLiteral("--id-attr:Id"), QStringLiteral("http://www.portalfiscal.inf.br/nfe:infEvento"),
             QStringLiteral("--node-xpath"),
             QStringLiteral("(//*[local-name()='Signature'])[%1]").arg(signature),
             QStringLiteral("signed.xml")};
        return run(QStringLiteral("xmlsec1"), arguments, m_dir.path(), output);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        const QString d = m_dir.path();
        QVERIFY(QDir(d).mkpath(QStringLiteral("certs")));
        QFile config(m_dir.filePath(QStringLiteral("ca.cnf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\n"
                     "certificate = ca.pem\nprivate_key = ca.key\ndefault_md = sha256\npolicy = any\n"
                     "serial = serial.txt\nunique_subject = no\n[any]\ncommonName = supplied\n");
        config.close();
        QFile(m_dir.filePath(QStringLiteral("index.txt"))).open(QIODevice::WriteOnly);
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                     QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                     QStringLiteral("ca.key"), QStringLiteral("-out"), QStringLiteral("ca.pem"),
                     QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                     QStringLiteral("/CN=AC TESTE")},
                    d));
        issue(QStringLiteral("valid"), QStringLiteral("00A1B2C3D4E5F6"), QStringLiteral("20200101000000Z"),
              QStringLiteral("20991231000000Z"), QStringLiteral("segredo"));
        issue(QStringLiteral("expired"), QStringLiteral("0BAD01"), QStringLiteral("20200101000000Z"),
              QStringLiteral("20210101000000Z"), QStringLiteral("segredo"));
        issue(QStringLiteral("other"), QStringLiteral("0C0FFEE0"), QStringLiteral("20200101000000Z"),
              QStringLiteral("20991231000000Z"), QStringLiteral("outra"));
        issue(QStringLiteral("future"), QStringLiteral("0F0E0D"), QStringLiteral("20990101000000Z"),
              QStringLiteral("20991231000000Z"), QStringLiteral("segredo"));
        QFile junk(m_dir.filePath(QStringLiteral("certs/junk.p12")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a certificate");
        junk.close();
        // Folders where nothing matches A1B2C3D4E5F6: only other serials that
        // the password opens, only junk, nothing at all.
        for (const char* folder : {"nomatch", "junkonly", "empty"})
            QVERIFY(QDir(d).mkpath(QString::fromLatin1(folder)));
        QVERIFY(QFile::copy(m_dir.filePath(QStringLiteral("certs/expired.pfx")),
                            m_dir.filePath(QStringLiteral("nomatch/expired.pfx"))));
        QVERIFY(QFile::copy(m_dir.filePath(QStringLiteral("certs/future.pfx")),
                            m_dir.filePath(QStringLiteral("nomatch/future.p12"))));
        QVERIFY(QFile::copy(m_dir.filePath(QStringLiteral("certs/junk.p12")),
                            m_dir.filePath(QStringLiteral("junkonly/junk.pfx"))));
        // A .pfx that is a folder, and the right certificate under another extension: neither is read.
        QVERIFY(QDir(d).mkpath(QStringLiteral("nomatch/folder.pfx")));
        QVERIFY(QFile::copy(m_dir.filePath(QStringLiteral("certs/valid.pfx")),
                            m_dir.filePath(QStringLiteral("nomatch/valid.pem"))));
    }

    void eventXml() {
        QString error;
        auto event = zavnfe::CancellationEvent::create(sample(), &error);
        QVERIFY2(event, qPrintable(error));
        QCOMPARE(event->id(), QStringLiteral("ID110111") + kKey + QStringLiteral("01"));
        const QByteArray xml = zavnfe::CancellationBatch::build(QStringLiteral("42"), {*event}, &error);
        QVERIFY2(!xml.isEmpty(), qPrintable(error));
        QVERIFY(xml.contains("<envEvento xmlns=\"http://www.portalfiscal.inf.br/nfe\" versao=\"1.00\">"));
        QVERIFY(xml.contains("<infEvento Id=\"ID110111" + kKey.toLatin1() + "01\">"));
        QVERIFY(xml.contains("&lt;duplicado&gt; &amp; cancelado"));
        QCOMPARE(texts(xml, QStringLiteral("idLote")), QStringList{QStringLiteral("42")});
        QCOMPARE(texts(xml, QStringLiteral("cOrgao")), QStringList{QStringLiteral("35")});
        QCOMPARE(texts(xml, QStringLiteral("tpAmb")), QStringList{QStringLiteral("2")});
        QCOMPARE(texts(xml, QStringLiteral("dhEvento")),
                 QStringList{QStringLiteral("2026-12-08T10:00:00-03:00")});
        QCOMPARE(texts(xml, QStringLiteral("nSeqEvento")), QStringList{QStringLiteral("1")});
        QCOMPARE(texts(xml, QStringLiteral("descEvento")), QStringList{QStringLiteral("Cancelamento")});
        QCOMPARE(texts(xml, QStringLiteral("xJust")),
                 QStringList{QStringLiteral("Pedido <duplicado> & cancelado após conferência")});
    }

    void refused_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        // One row a line: the field given a wrong value, and a part of the message.
        const struct {
            const char* name;
            const char* field;
            QString value;
            const char* message;
        } rows[] = {
            {"check digit", "key", QStringLiteral("35261203123456000195550010000012341000123453"), "Chave"},
            {"short key", "key", kKey.left(43), "Chave"},
            {"unknown state", "key", QStringLiteral("99261203123456000195550010000012341000123450"), "Chave"},
            {"cnpj", "cnpj", QStringLiteral("0312345600019"), "CNPJ"},
            {"protocol", "protocol", QStringLiteral("13526000001234"), "Protocolo"},
            {"environment", "environment", QStringLiteral("3"), "Ambiente"},
            {"half hour", "offset", QStringLiteral("-9000"), "Fuso"},
            {"short after trim", "reason", QStringLiteral("   curta demais    "), "mínimo de 15"},
            {"too long", "reason", QString(256, u'a'), "no máximo 255"},
            {"line break", "reason", QStringLiteral("Pedido duplicado\nno sistema"), "quebras de linha"},
            {"tab", "reason", QStringLiteral("Pedido duplicado\tno sistema"), "tabulações"},
            {"curly quote", "reason", QStringLiteral("Pedido “duplicado” no sistema"), "U+201C"},
            {"emoji", "reason", QStringLiteral("Pedido duplicado no sistema 😀"), "U+1F600"},
            {"C1 control", "reason", QStringLiteral("Pedido duplicado\u0093 no sistema"), "U+0093"},
        };
        for (const auto& row : rows)
            QTest::newRow(row.name) << row.field << row.value << row.message;
    }
    void refused() {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, message);
        auto data = sample();
        if (field == u"key")
            data.accessKey = value;
        else if (field == u"cnpj")
            data.issuerCnpj = value;
        else if (field == u"protocol")
            data.authorisationProtocol = value;
        else if (field == u"environment")
            data.environment = value.toInt();
        else if (field == u"offset")
            data.stateUtcOffsetSeconds = value.toInt();
        else
            data.reason = value;
        QString error;
        QVERIFY(!zavnfe::CancellationEvent::create(data, &error));
        QVERIFY2(error.contains(message), qPrintable(error));
    }

    void reasonLimitsAccepted() {
        auto data = sample();
        for (const QString& reason :
             {QString(15, u'x'), QString(255, u'ÿ'), QStringLiteral("Çá <'\"> & ~ ^ ª º ©")}) {
            data.reason = reason;
            QString error;
            QVERIFY2(zavnfe::CancellationEvent::create(data, &error), qPrintable(error));
        }
    }

    void batchRules() {
        QString error;
        auto one = *zavnfe::CancellationEvent::create(sample(), &error);
        QVERIFY(
            zavnfe::CancellationBatch::build(QStringLiteral("1234567890123456"), {one}, &error).isEmpty());
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("12a"), {one}, &error).isEmpty());
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1"), {}, &error).isEmpty());
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1"), {one, one}, &error).isEmpty());
        QVERIFY2(error.contains(kKey), qPrintable(error));
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1"),
                                                 QList<zavnfe::CancellationEvent>(21, one), &error)
                    .isEmpty());
    }

    void certificateLookup_data() {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<int>("failure");
        using F = zavnfe::CertificateFailure;
        QTest::newRow("lower case") << "a1b2c3d4e5f6" << QByteArray("segredo") << int(F::None);
        QTest::newRow("colons and zeros") << "00:A1:B2:C3:D4:E5:F6" << QByteArray("segredo") << int(F::None);
        // other.pfx has another password: the serial may be in it, so the
        // password is named as the likely cause.
        QTest::newRow("wrong serial") << "DEADBEEF" << QByteArray("segredo") << int(F::WrongPassword);
        QTest::newRow("expired") << "bad01" << QByteArray("segredo") << int(F::Expired);
        QTest::newRow("not yet valid") << "f0e0d" << QByteArray("segredo") << int(F::NotYetValid);
        QTest::newRow("wrong password") << "a1b2c3d4e5f6" << QByteArray("errada") << int(F::WrongPassword);
        QTest::newRow("other password") << "c0ffee0" << QByteArray("segredo") << int(F::WrongPassword);
    }
    void certificateLookup() {
        QFETCH(QString, serial);
        QFETCH(QByteArray, password);
        QFETCH(int, failure);
        const auto lookup = zavnfe::CertificateStore(certs()).find(serial, password);
        QCOMPARE(int(lookup.failure), failure);
        QCOMPARE(lookup.found(), failure == int(zavnfe::CertificateFailure::None));
        if (!lookup.found())
            QVERIFY2(lookup.error.contains(zavnfe::SigningCertificate::normalisedSerial(serial)),
                     qPrintable(lookup.error));
        else
            QCOMPARE(lookup.certificate->serialHex(), QStringLiteral("A1B2C3D4E5F6"));
        if (failure == int(zavnfe::CertificateFailure::Expired))
            QVERIFY2(lookup.error.contains(u"01/01/2021"), qPrintable(lookup.error));
        if (failure == int(zavnfe::CertificateFailure::NotYetValid))
            QVERIFY2(lookup.error.contains(u"01/01/2099"), qPrintable(lookup.error));
        const auto missing =
            zavnfe::CertificateStore(m_dir.filePath(QStringLiteral("none"))).find(serial, password);
        QCOMPARE(missing.failure, zavnfe::CertificateFailure::FolderMissing);
    }

    // The validity is checked against the time given, both ends included.
    void validityBounds_data() {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<int>("failure");
        using F = zavnfe::CertificateFailure;
        const QDateTime start(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
        const QDateTime end(QDate(2021, 1, 1), QTime(0, 0), Qt::UTC);
        QTest::newRow("second before start") << "A1B2C3D4E5F6" << start.addSecs(-1) << int(F::NotYetValid);
        QTest::newRow("at start") << "A1B2C3D4E5F6" << start << int(F::None);
        QTest::newRow("at end") << "BAD01" << end << int(F::None);
        QTest::newRow("second after end") << "BAD01" << end.addSecs(1) << int(F::Expired);
        QTest::newRow("future one in its time")
            << "F0E0D" << QDateTime(QDate(2099, 6, 1), QTime(12, 0), Qt::UTC) << int(F::None);
    }
    void validityBounds() {
        QFETCH(QString, serial);
        QFETCH(QDateTime, now);
        QFETCH(int, failure);
        const auto lookup = zavnfe::CertificateStore(certs()).find(serial, "segredo", now);
        QCOMPARE(int(lookup.failure), failure);
        QCOMPARE(lookup.found(), failure == int(zavnfe::CertificateFailure::None));
    }

    void certificateFolders_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        using F = zavnfe::CertificateFailure;
        QTest::newRow("only other serials") << "nomatch" << int(F::NotFound) << "não encontrado";
        QTest::newRow("only junk") << "junkonly" << int(F::NotFound) << "junk.pfx";
        QTest::newRow("empty folder") << "empty" << int(F::NotFound) << "não encontrado";
        QTest::newRow("missing folder") << "none" << int(F::FolderMissing) << "inexistente";
        QTest::newRow("a file, not a folder") << "certs/valid.pfx" << int(F::FolderMissing) << "inexistente";
        QTest::newRow("no folder named") << "" << int(F::FolderMissing) << "Pasta";
    }
    void certificateFolders() {
        QFETCH(QString, folder);
        QFETCH(int, failure);
        QFETCH(QString, message);
        const QString path = folder.isEmpty() ? QString() : m_dir.filePath(folder);
        const auto lookup = zavnfe::CertificateStore(path).find(QStringLiteral("A1B2C3D4E5F6"), "segredo");
        QCOMPARE(int(lookup.failure), failure);
        QVERIFY(!lookup.found());
        QVERIFY2(lookup.error.contains(message), qPrintable(lookup.error));
        if (!folder.isEmpty())
            QVERIFY2(lookup.error.contains(path), qPrintable(lookup.error));
    }

    // scripts/make-certificates.sh: the serial, subject and validity asked
    // for, a certificate that signs events verifiable against its CA, files
    // kept on a second run, and a run that does not fit the folder refused.
    void certificateScript() {
        const QString out = m_dir.filePath(QStringLiteral("made"));
        QByteArray output;
        QVERIFY2(makeCertificates({out, QStringLiteral("s3nh@ 'x'"),
                                   QStringLiteral("00A1B2C3D4E5F6:03123456000195"),
                                   QStringLiteral("BEEF:3:30"), QStringLiteral("C0DE:03123456000195:-30:-1")},
                                  &output),
                 output.constData());
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const zavnfe::CertificateStore store(out);
        const auto made = store.find(QStringLiteral("A1B2C3D4E5F6"), "s3nh@ 'x'");
        QVERIFY2(made.found(), qPrintable(made.error));
        QCOMPARE(made.certificate->serialHex(), QStringLiteral("A1B2C3D4E5F6"));
        QCOMPARE(made.certificate->subject(), QStringLiteral("/CN=EMPRESA 00A1B2C3D4E5F6:03123456000195"));
        QVERIFY(qAbs(made.certificate->notBefore().secsTo(now.addDays(-1))) < 600);
        QVERIFY(qAbs(made.certificate->notAfter().secsTo(now.addDays(365))) < 600);
        QCOMPARE(store.find(QStringLiteral("beef"), "s3nh@ 'x'").failure,
                 zavnfe::CertificateFailure::NotYetValid);
        QCOMPARE(store.find(QStringLiteral("c0de"), "s3nh@ 'x'").failure,
                 zavnfe::CertificateFailure::Expired);
        const auto beef = store.find(QStringLiteral("beef"), "s3nh@ 'x'", now.addDays(10));
        QVERIFY2(beef.found(), qPrintable(beef.error));
        QCOMPARE(beef.certificate->subject(), QStringLiteral("/CN=EMPRESA BEEF"));

        QString error;
        const auto event = zavnfe::CancellationEvent::create(sample(), &error);
        QVERIFY2(event, qPrintable(error));
        const QByteArray batch = zavnfe::CancellationBatch::build(QStringLiteral("7"), {*event}, &error);
        const QByteArray xml = zavnfe::EventSigner(*made.certificate).sign(batch, &error);
        QVERIFY2(!xml.isEmpty(), qPrintable(error));
        // Issued by the intermediate, which the file carries: the root alone
        // does not vouch for it, the root with the intermediate does.
        const QString intermediate = out + QStringLiteral("/intermediate.pem");
        QVERIFY(!verify(xml, 1, &output, out + QStringLiteral("/ca.pem")));
        QVERIFY2(verify(xml, 1, &output, out + QStringLiteral("/ca.pem"), intermediate), output.constData());
        QVERIFY(!verify(xml, 1, &output, QStringLiteral("ca.pem"), intermediate)); // another root does not
        QCOMPARE(made.certificate->issuers().size(), size_t(2));
        QVERIFY2(texts(xml, QStringLiteral("X509Certificate")).size() == 1,
                 xml.constData()); // the signer's only
        QCOMPARE(made.certificate->cnpj(), QStringLiteral("03123456000195"));
        QCOMPARE(beef.certificate->cnpj(), QString());
        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("verify"), QStringLiteral("-CAfile"), QStringLiteral("ca.pem"),
                      QStringLiteral("intermediate.pem")},
                     out, &output),
                 output.constData());

        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("verify"), QStringLiteral("-purpose"), QStringLiteral("sslserver"),
                      QStringLiteral("-verify_ip"), QStringLiteral("127.0.0.1"), QStringLiteral("-CAfile"),
                      QStringLiteral("ca.pem"), QStringLiteral("authority.pem")},
                     out, &output),
                 output.constData());
        QVERIFY(!run(QStringLiteral("openssl"),
                     {QStringLiteral("verify"), QStringLiteral("-verify_ip"), QStringLiteral("10.0.0.1"),
                      QStringLiteral("-CAfile"), QStringLiteral("ca.pem"), QStringLiteral("authority.pem")},
                     out, &output));

        auto digest = [&out](const QString& name) {
            QFile file(out + u'/' + name);
            return file.open(QIODevice::ReadOnly)
                       ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                       : QByteArray();
        };
        const QStringList files{QStringLiteral("ca.pem"),
                                QStringLiteral("ca.key"),
                                QStringLiteral("intermediate.pem"),
                                QStringLiteral("intermediate.key"),
                                QStringLiteral("authority.pem"),
                                QStringLiteral("a1-00A1B2C3D4E5F6.pfx"),
                                QStringLiteral("authority-trust.pem")};
        QList<QByteArray> before;
        for (const QString& name : files)
            before.append(digest(name));
        QVERIFY(!before.contains(QByteArray()));
        QVERIFY2(
            makeCertificates({out, QStringLiteral("s3nh@ 'x'"),
                              QStringLiteral("00A1B2C3D4E5F6:03123456000195"), QStringLiteral("0F:-1:2")},
                             &output),
            output.constData());
        for (int i = 0; i < files.size(); ++i)
            QVERIFY2(digest(files[i]) == before[i], qPrintable(files[i]));
        QVERIFY(store.find(QStringLiteral("F"), "s3nh@ 'x'").found());
        // A serial is shown as the certificate carries it, its leading zero
        // kept, and matched without it, in any case, with colons or not.
        QString listError;
        bool listed = false;
        for (const zavnfe::CertificateEntry& entry : store.entries("s3nh@ 'x'", &listError)) {
            if (entry.file != u"a1-0F.pfx")
                continue;
            listed = true;
            QCOMPARE(entry.serialText, QStringLiteral("0F"));
            QCOMPARE(entry.serial, QStringLiteral("F"));
        }
        QVERIFY2(listed, qPrintable(listError));
        for (const char* typed : {"0f", "00:0F", "f"}) {
            const zavnfe::CertificateLookup found = store.find(QString::fromLatin1(typed), "s3nh@ 'x'");
            QVERIFY2(found.found(), typed);
            QCOMPARE(found.certificate->serialText(), QStringLiteral("0F"));
        }

        // Refused, leaving the folder as it was: the kept file under another
        // password or for another CNPJ, a serial another file holds, one that
        // is not hexadecimal, a file the root issued without the intermediate
        // (as an earlier version of the script made them).
        const QString d = m_dir.path();
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"),
                     QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                     QStringLiteral("old.key"), QStringLiteral("-out"), QStringLiteral("old.csr"),
                     QStringLiteral("-subj"), QStringLiteral("/CN=EMPRESA A1B2C3D4E5F7")},
                    d));
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                     QStringLiteral("old.csr"), QStringLiteral("-CA"), out + QStringLiteral("/ca.pem"),
                     QStringLiteral("-CAkey"), out + QStringLiteral("/ca.key"), QStringLiteral("-set_serial"),
                     QStringLiteral("0xA1B2C3D4E5F7"), QStringLiteral("-days"), QStringLiteral("30"),
                     QStringLiteral("-out"), QStringLiteral("old.pem")},
                    d));
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("pkcs12"), QStringLiteral("-export"), QStringLiteral("-inkey"),
                     QStringLiteral("old.key"), QStringLiteral("-in"), QStringLiteral("old.pem"),
                     QStringLiteral("-passout"), QStringLiteral("pass:segredo"), QStringLiteral("-out"),
                     out + QStringLiteral("/a1-A1B2C3D4E5F7.pfx")},
                    d));
        const QStringList entries =
            QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QStringList& refused :
             {QStringList{out, QStringLiteral("segredo"), QStringLiteral("A1B2C3D4E5F7")},
              QStringList{out, QStringLiteral("outra"), QStringLiteral("A1B2C3D4E5F6")},
              QStringList{out, QStringLiteral("s3nh@ 'x'"), QStringLiteral("00A1B2C3D4E5F6:11222333000181")},
              QStringList{out, QStringLiteral("s3nh@ 'x'"), QStringLiteral("0beef")},
              QStringList{out, QStringLiteral("s3nh@ 'x'"), QStringLiteral("12"), QStringLiteral("XY")}}) {
            QVERIFY2(!makeCertificates(refused, &output), qPrintable(refused.join(u' ')));
            QVERIFY2(!output.trimmed().isEmpty(), qPrintable(refused.join(u' ')));
            QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), entries);
        }
    }

    void signatureVerifies() {
        auto second = sample();
        second.accessKey = kOtherKey;
        const QByteArray xml = signedBatch({sample(), second});
        QVERIFY(!xml.isEmpty());
        for (int i = 1; i <= 2; ++i) {
            QByteArray output;
            QVERIFY2(verify(xml, i, &output), output.constData());
        }
        QCOMPARE(texts(xml, QStringLiteral("xJust")),
                 QStringList(2, QStringLiteral("Pedido <duplicado> & cancelado após conferência")));
        QCOMPARE(texts(xml, QStringLiteral("X509Certificate")).size(), 2); // the signer's only, not the CA
        QVERIFY(xml.contains("<Reference URI=\"#ID110111" + kOtherKey.toLatin1() + "01\">"));
        QCOMPARE(xml.count("Transform Algorithm="), 4);
        QVERIFY(xml.contains("http://www.w3.org/2000/09/xmldsig#rsa-sha1"));
        QVERIFY(xml.contains("http://www.w3.org/2000/09/xmldsig#sha1"));
        QVERIFY(xml.contains("</infEvento><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">"));

        // Nothing the authorities refuse as edit characters: no line break
        // anywhere (the base64 values unwrapped), no blank between tags.
        QVERIFY2(!xml.contains('\n') && !xml.contains('\r'), xml.constData());
        QCOMPARE(zavnfe::editCharacterAt(xml), qsizetype(-1));
        QVERIFY(xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?><envEvento"));
        QVERIFY(QRegularExpression(QStringLiteral("<X509Certificate>[A-Za-z0-9+/]{500,}=*</X509Certificate>"))
                    .match(QString::fromLatin1(xml))
                    .hasMatch());
        QCOMPARE(zavnfe::CancellationBatch::problemBeforeSending(xml), QString());

        QByteArray tampered = xml;
        tampered.replace("cancelado", "cancelada");
        QByteArray output;
        QVERIFY(!verify(tampered, 1, &output));
    }

    // One signer, its key built once, signs one batch after another, single
    // events and a batch of twenty: every signature verifies, each carries
    // the signer's certificate alone, and the bytes are those a signer made
    // for that batch alone would give (RSA PKCS#1 v1.5 signs alike).
    void oneSignerSignsMany() {
        QList<zavnfe::CancellationData> twenty;
        for (int i = 0; i < 20; ++i) {
            zavnfe::CancellationData data = sample();
            data.accessKey = zavfiscal::completeAccessKey(
                kKey.left(25) + QStringLiteral("%1").arg(700 + i, 9, 10, QLatin1Char('0')) + kKey.mid(34, 9));
            QCOMPARE(data.accessKey.size(), 44);
            twenty.append(data);
        }
        auto second = sample();
        second.accessKey = kOtherKey;
        const std::vector<QByteArray> batches{unsignedBatch({sample()}), unsignedBatch(twenty),
                                              unsignedBatch({second}), unsignedBatch({sample(), second})};
        const zavnfe::EventSigner signer(signingCertificate());
        const std::vector<QList<zavnfe::CancellationData>> lists{
            {sample()}, twenty, {second}, {sample(), second}};
        for (size_t b = 0; b < batches.size(); ++b) {
            const QByteArray& batch = batches[b];
            QString error;
            const QByteArray xml = signer.sign(batch, &error);
            QVERIFY2(!xml.isEmpty(), qPrintable(error));
            QCOMPARE(xml, zavnfe::EventSigner(signingCertificate()).sign(batch, &error));
            // Signed as it is built, never written out unsigned: the same bytes.
            QCOMPARE(signer.signEvents(QStringLiteral("42"), eventsOf(lists[b]), &error), xml);
            const int events = int(texts(batch, QStringLiteral("chNFe")).size());
            QCOMPARE(texts(xml, QStringLiteral("X509Certificate")).size(), events);
            QCOMPARE(xml.count("<Signature "), events);
            for (int i = 1; i <= events; ++i) {
                QByteArray output;
                QVERIFY2(verify(xml, i, &output), output.constData());
            }
            QCOMPARE(zavnfe::CancellationBatch::problemBeforeSending(xml), QString());
        }
        // A batch it cannot sign leaves the signer able to sign the next.
        QString error;
        QVERIFY(signer.sign("<envEvento/>", &error).isEmpty());
        QVERIFY(!error.isEmpty());
        QVERIFY(!signer.sign(batches.front(), &error).isEmpty());
        // What build refuses, signing as it builds refuses in build's words.
        QString built;
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("42"), eventsOf({sample(), sample()}), &built)
                    .isEmpty());
        QVERIFY(signer.signEvents(QStringLiteral("42"), eventsOf({sample(), sample()}), &error).isEmpty());
        QCOMPARE(error, built);
        QVERIFY(signer.signEvents(QStringLiteral("4x"), eventsOf({sample()}), &error).isEmpty());
        QVERIFY(
            zavnfe::CancellationBatch::build(QStringLiteral("4x"), eventsOf({sample()}), &built).isEmpty());
        QCOMPARE(error, built);
        QVERIFY(signer.signEvents(QStringLiteral("42"), {}, &error).isEmpty());
        QVERIFY(error.contains(QStringLiteral("de 1 a 20 eventos")));
        QVERIFY(!signer.signEvents(QStringLiteral("43"), eventsOf({second}), &error).isEmpty());
    }

    void editCharacters_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<int>("at");
        QTest::newRow("none") << QByteArray("<a><b>x y</b><c/></a>") << -1;
        QTest::newRow("blanks inside a text") << QByteArray("<a><b> x </b></a>") << -1;
        QTest::newRow("line feed between tags") << QByteArray("<a>\n<b/></a>") << 3;
        QTest::newRow("blank between tags") << QByteArray("<a><b/> </a>") << 7;
        QTest::newRow("tab and CR between tags") << QByteArray("<a><b/>\t\r</a>") << 7;
        QTest::newRow("after the declaration") << QByteArray("<?xml version=\"1.0\"?>\n<a/>") << 21;
        QTest::newRow("line feed at the end") << QByteArray("<a/>\n") << 4;
        QTest::newRow("blank at the start") << QByteArray(" <a/>") << 0;
    }
    void editCharacters() {
        QFETCH(QByteArray, xml);
        QFETCH(int, at);
        QCOMPARE(zavnfe::editCharacterAt(xml), qsizetype(at));
    }

    // A signed batch the authority would refuse whole is caught before it is
    // sent: edit characters, or anything outside the schema. The signer and
    // the checks of CancellationEvent let nothing of the kind through, so the
    // signed bytes are changed here.
    void problemBeforeSending_data() {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("message");
        QTest::newRow("line break before the signature")
            << QByteArray("</infEvento><Signature") << QByteArray("</infEvento>\n<Signature")
            << QStringLiteral("caracteres de edição");
        QTest::newRow("environment outside the schema")
            << QByteArray("<tpAmb>2</tpAmb>") << QByteArray("<tpAmb>3</tpAmb>")
            << QStringLiteral("Lote fora do esquema envEventoCancNFe_v1.00.xsd: Elemento 'tpAmb'");
        QTest::newRow("signature missing")
            << QByteArray("<Signature ") << QByteArray("<Assinatura ")
            << QStringLiteral("Lote fora do esquema envEventoCancNFe_v1.00.xsd");
    }
    void problemBeforeSending() {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, message);
        QByteArray xml = signedBatch({sample()});
        QVERIFY(xml.contains(from));
        xml.replace(from, to);
        if (from.startsWith("<Signature"))
            xml.replace("</Signature>", "</Assinatura>");
        const QString problem = zavnfe::CancellationBatch::problemBeforeSending(xml);
        QVERIFY2(problem.contains(message), qPrintable(problem));
        QVERIFY2(!problem.contains(u'\n'), qPrintable(problem)); // one line for the failure row
    }

    // The company's CNPJ in a certificate: ICP-Brasil's otherName first, the
    // common name's "NAME:CNPJ" otherwise.
    void certificateCnpj_data() {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("altName");
        QTest::addColumn<QString>("cnpj");
        zavtest::addRow("otherName", "/CN=EMPRESA A", "otherName:2.16.76.1.3.3;OCTETSTRING:43218765000107",
                        "43218765000107");
        zavtest::addRow("otherName as text", "/CN=EMPRESA B", "otherName:2.16.76.1.3.3;UTF8:07654321000172",
                        "07654321000172");
        zavtest::addRow("otherName before the common name", "/CN=EMPRESA C:11222333000181",
                        "otherName:2.16.76.1.3.3;OCTETSTRING:43218765000107", "43218765000107");
        zavtest::addRow("common name only", "/CN=EMPRESA D:11222333000181", "", "11222333000181");
        zavtest::addRow("another otherName ignored", "/CN=EMPRESA E",
                        "otherName:2.16.76.1.3.1;OCTETSTRING:43218765000107", "");
        zavtest::addRow("13 digits", "/CN=EMPRESA F:1122233300018", "", "");
        zavtest::addRow("none", "/CN=EMPRESA G", "", "");
    }
    void certificateCnpj() {
        QFETCH(QString, subject);
        QFETCH(QString, altName);
        QFETCH(QString, cnpj);
        QStringList arguments{QStringLiteral("req"),
                              QStringLiteral("-x509"),
                              QStringLiteral("-newkey"),
                              QStringLiteral("ec"),
                              QStringLiteral("-pkeyopt"),
                              QStringLiteral("ec_paramgen_curve:prime256v1"),
                              QStringLiteral("-nodes"),
                              QStringLiteral("-keyout"),
                              QStringLiteral("cnpj.key"),
                              QStringLiteral("-out"),
                              QStringLiteral("cnpj.pem"),
                              QStringLiteral("-days"),
                              QStringLiteral("2"),
                              QStringLiteral("-subj"),
                              subject};
        if (!altName.isEmpty())
            arguments += {QStringLiteral("-addext"), QStringLiteral("subjectAltName=") + altName};
        QByteArray output;
        QVERIFY2(run(QStringLiteral("openssl"), arguments, m_dir.path(), &output), output.constData());
        QFile file(m_dir.filePath(QStringLiteral("cnpj.pem")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray pem = file.readAll();
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())),
                                                      BIO_free);
        std::unique_ptr<X509, decltype(&X509_free)> certificate(
            PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
        QVERIFY(certificate);
        QCOMPARE(zavnfe::SigningCertificate::cnpjOf(certificate.get()), cnpj);
    }
};

QTEST_GUILESS_MAIN(TestNfe)
#include "tst_nfe.moc"
