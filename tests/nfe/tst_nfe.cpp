// Cancellation events built, checked and signed; the signatures verified by
// the independent xmlsec1 command against a CA made here with openssl.
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString kKey = QStringLiteral("35261203123456000195550010000012341000123452");
const QString kOtherKey = QStringLiteral("43261203123456000195550010000056781000567810");

zavnfe::CancellationData sample() {
    zavnfe::CancellationData data;
    data.accessKey = kKey;
    data.issuerCnpj = QStringLiteral("03123456000195");
    data.authorisationProtocol = QStringLiteral("135260000012345");
    data.environment = 2;
    data.reason = QStringLiteral("  Pedido <duplicado> & cancelado após conferência  ");
    data.at = QDateTime(QDate(2026, 12, 8), QTime(13, 0, 0), Qt::UTC);
    data.stateUtcOffsetSeconds = -3 * 3600;
    return data;
}

// Text of each element with that local name, in document order.
QStringList texts(const QByteArray& xml, const QString& name) {
    QStringList found;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == name)
            found.append(reader.readElementText(QXmlStreamReader::IncludeChildElements));
    }
    return found;
}

bool run(const QString& program, const QStringList& arguments, const QString& dir, QByteArray* output = nullptr) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(60000);
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
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
        QVERIFY(run(QStringLiteral("openssl"), {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                                                QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                                QStringLiteral("-out"), name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                                                QStringLiteral("/CN=EMPRESA TESTE ") + name},
                    d));
        QByteArray out;
        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"), QStringLiteral("ca.cnf"),
                      QStringLiteral("-in"), name + QStringLiteral(".csr"), QStringLiteral("-out"), name + QStringLiteral(".pem"),
                      QStringLiteral("-startdate"), start, QStringLiteral("-enddate"), end, QStringLiteral("-notext")},
                     d, &out),
                 out.constData());
        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("pkcs12"), QStringLiteral("-export"), QStringLiteral("-inkey"), name + QStringLiteral(".key"),
                      QStringLiteral("-in"), name + QStringLiteral(".pem"), QStringLiteral("-certfile"), QStringLiteral("ca.pem"),
                      QStringLiteral("-passout"), QStringLiteral("pass:") + password, QStringLiteral("-out"),
                      QStringLiteral("certs/") + name + QStringLiteral(".pfx")},
                     d, &out),
                 out.constData());
    }

    QByteArray signedBatch(const QList<zavnfe::CancellationData>& list) {
        QList<zavnfe::CancellationEvent> events;
        QString error;
        for (const auto& data : list) {
            auto event = zavnfe::CancellationEvent::create(data, &error);
            if (!event)
                qWarning("%s", qPrintable(error));
            events.append(*event);
        }
        const QByteArray batch = zavnfe::CancellationBatch::build(QStringLiteral("42"), events, &error);
        const zavnfe::CertificateLookup lookup =
            zavnfe::CertificateStore(certs()).find(QStringLiteral("a1b2c3d4e5f6"), "segredo");
        if (!lookup.found())
            qWarning("%s", qPrintable(lookup.error));
        return zavnfe::EventSigner(*lookup.certificate).sign(batch, &error);
    }

    bool verify(const QByteArray& xml, int signature, QByteArray* output) {
        QFile file(m_dir.filePath(QStringLiteral("signed.xml")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(xml);
        file.close();
        return run(QStringLiteral("xmlsec1"),
                   {QStringLiteral("--verify"), QStringLiteral("--trusted-pem"), QStringLiteral("ca.pem"),
                    QStringLiteral("--id-attr:Id"), QStringLiteral("http://www.portalfiscal.inf.br/nfe:infEvento"),
                    QStringLiteral("--node-xpath"),
                    QStringLiteral("(//*[local-name()='Signature'])[%1]").arg(signature), QStringLiteral("signed.xml")},
                   m_dir.path(), output);
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
                    {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                     QStringLiteral("-nodes"), QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                     QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                     QStringLiteral("/CN=AC TESTE")},
                    d));
        issue(QStringLiteral("valid"), QStringLiteral("00A1B2C3D4E5F6"), QStringLiteral("20200101000000Z"),
              QStringLiteral("20991231000000Z"), QStringLiteral("segredo"));
        issue(QStringLiteral("expired"), QStringLiteral("0BAD01"), QStringLiteral("20200101000000Z"),
              QStringLiteral("20210101000000Z"), QStringLiteral("segredo"));
        issue(QStringLiteral("other"), QStringLiteral("0C0FFEE0"), QStringLiteral("20200101000000Z"),
              QStringLiteral("20991231000000Z"), QStringLiteral("outra"));
        QFile junk(m_dir.filePath(QStringLiteral("certs/junk.p12")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a certificate");
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
        QCOMPARE(texts(xml, QStringLiteral("dhEvento")), QStringList{QStringLiteral("2026-12-08T10:00:00-03:00")});
        QCOMPARE(texts(xml, QStringLiteral("nSeqEvento")), QStringList{QStringLiteral("1")});
        QCOMPARE(texts(xml, QStringLiteral("descEvento")), QStringList{QStringLiteral("Cancelamento")});
        QCOMPARE(texts(xml, QStringLiteral("xJust")),
                 QStringList{QStringLiteral("Pedido <duplicado> & cancelado após conferência")});
    }

    void refused_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("check digit") << "key" << "35261203123456000195550010000012341000123453" << "Chave";
        QTest::newRow("short key") << "key" << kKey.left(43) << "Chave";
        QTest::newRow("unknown state") << "key" << "99261203123456000195550010000012341000123450" << "Chave";
        QTest::newRow("cnpj") << "cnpj" << "0312345600019" << "CNPJ";
        QTest::newRow("protocol") << "protocol" << "13526000001234" << "Protocolo";
        QTest::newRow("environment") << "environment" << "3" << "Ambiente";
        QTest::newRow("half hour") << "offset" << "-9000" << "Fuso";
        QTest::newRow("short after trim") << "reason" << "   curta demais    " << "pelo menos 15";
        QTest::newRow("too long") << "reason" << QString(256, u'a') << "no máximo 255";
        QTest::newRow("line break") << "reason" << "Pedido duplicado\nno sistema" << "quebras de linha";
        QTest::newRow("tab") << "reason" << "Pedido duplicado\tno sistema" << "tabulações";
        QTest::newRow("curly quote") << "reason" << QStringLiteral("Pedido “duplicado” no sistema") << "U+201C";
        QTest::newRow("emoji") << "reason" << QStringLiteral("Pedido duplicado no sistema 😀") << "U+1F600";
        QTest::newRow("C1 control") << "reason" << QStringLiteral("Pedido duplicado\u0093 no sistema") << "U+0093";
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
        for (const QString& reason : {QString(15, u'x'), QString(255, u'ÿ'), QStringLiteral("Çá <'\"> & ~ ^ ª º ©")}) {
            data.reason = reason;
            QString error;
            QVERIFY2(zavnfe::CancellationEvent::create(data, &error), qPrintable(error));
        }
    }

    void batchRules() {
        QString error;
        auto one = *zavnfe::CancellationEvent::create(sample(), &error);
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1234567890123456"), {one}, &error).isEmpty());
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("12a"), {one}, &error).isEmpty());
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1"), {}, &error).isEmpty());
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1"), {one, one}, &error).isEmpty());
        QVERIFY2(error.contains(kKey), qPrintable(error));
        QVERIFY(zavnfe::CancellationBatch::build(QStringLiteral("1"), QList<zavnfe::CancellationEvent>(21, one), &error).isEmpty());
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
            QVERIFY2(lookup.error.contains(zavnfe::SigningCertificate::normalisedSerial(serial)), qPrintable(lookup.error));
        else
            QCOMPARE(lookup.certificate->serialHex(), QStringLiteral("A1B2C3D4E5F6"));
        if (failure == int(zavnfe::CertificateFailure::Expired))
            QVERIFY2(lookup.error.contains(u"01/01/2021"), qPrintable(lookup.error));
        const auto missing = zavnfe::CertificateStore(m_dir.filePath(QStringLiteral("none"))).find(serial, password);
        QCOMPARE(missing.failure, zavnfe::CertificateFailure::FolderMissing);
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

        QByteArray tampered = xml;
        tampered.replace("cancelado", "cancelada");
        QByteArray output;
        QVERIFY(!verify(tampered, 1, &output));
    }
};

QTEST_GUILESS_MAIN(TestNfe)
#include "tst_nfe.moc"
