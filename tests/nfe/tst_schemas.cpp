// The cancellation messages checked against the public schemas built into
// the library: events made by CancellationBatch and signed by EventSigner
// with a certificate from scripts/make-certificates.sh (the openssl command),
// and faults the authority would reject, each with a useful Portuguese text.
#include "accesskey.h"
#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"
#include "nfesample.h"
#include "schemaset.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace {

const QString kCnpj = QStringLiteral("03123456000195");
const QString kSerial = QStringLiteral("5C4E1A07");
const QByteArray kPassword = "senha-dos-esquemas";
const QByteArray kNfe = "http://www.portalfiscal.inf.br/nfe";

// An access key of São Paulo for invoice number n, with its check digit.
QString accessKey(int number) {
    return zavfiscal::completeAccessKey(QStringLiteral("352612") + kCnpj + QStringLiteral("55001") +
                                        QStringLiteral("%1").arg(number, 9, 10, QLatin1Char('0')) +
                                        QStringLiteral("100012345"));
}

zavnfe::CancellationData cancellation(int number) {
    return zavtest::sampleCancellation(accessKey(number), kCnpj,
                                       QStringLiteral("Pedido <duplicado> & cancelado após conferência"));
}

// Line (from 1) of the first occurrence of marker, as libxml2 counts them.
int lineOf(const QByteArray& xml, const QByteArray& marker) {
    const qsizetype at = xml.indexOf(marker);
    return at < 0 ? -1 : int(xml.left(at).count('\n')) + 1;
}

// An answer to one event; its protocol (and Id) ends with sequence.
QByteArray retEvento(const QString& key, const QByteArray& status = "135", int sequence = 1) {
    const QByteArray protocol = "1352600000" + QByteArray::number(sequence).rightJustified(5, '0');
    return "<retEvento versao=\"1.00\"><infEvento Id=\"ID" + protocol +
           "\"><tpAmb>2</tpAmb>"
           "<verAplic>ZAV-AUT-LOCAL_1.00</verAplic><cOrgao>35</cOrgao><cStat>" +
           status + "</cStat><xMotivo>Evento registrado e vinculado a NF-e</xMotivo><chNFe>" +
           key.toLatin1() +
           "</chNFe><tpEvento>110111</tpEvento><xEvento>Cancelamento "
           "registrado</xEvento><nSeqEvento>1</nSeqEvento>"
           "<dhRegEvento>2026-12-08T10:00:05-03:00</dhRegEvento><nProt>" +
           protocol + "</nProt></infEvento></retEvento>";
}

QByteArray retEnvEvento(const QByteArray& events) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<retEnvEvento xmlns=\"" + kNfe +
           "\" versao=\"1.00\"><idLote>42</idLote><tpAmb>2</tpAmb><verAplic>ZAV-AUT-LOCAL_1.00</verAplic>"
           "<cOrgao>35</cOrgao><cStat>128</cStat><xMotivo>Lote de evento processado</xMotivo>" +
           events + "</retEnvEvento>";
}

QByteArray procEvento(const QByteArray& evento, const QByteArray& ret) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<procEventoNFe xmlns=\"" + kNfe +
           "\" versao=\"1.00\">" + evento + ret + "</procEventoNFe>";
}

// The first signed evento of a batch, cut out as the bytes the signer wrote.
QByteArray firstEvento(const QByteArray& batch) {
    const qsizetype start = batch.indexOf("<evento ");
    const qsizetype end = batch.indexOf("</evento>", start);
    return start < 0 || end < 0 ? QByteArray() : batch.mid(start, end + 9 - start);
}

QByteArray replaced(QByteArray xml, const QByteArray& before, const QByteArray& after) {
    if (!xml.contains(before))
        qWarning("'%s' is not in the message", before.constData());
    return xml.replace(before, after);
}

} // namespace

class TestSchemas : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray m_unsigned; // one event, as CancellationBatch writes it
    QByteArray m_signed;   // the same, signed
    QByteArray m_twenty;   // twenty events, signed
    QByteArray m_other;    // one more event for another invoice, signed
    std::optional<zavnfe::SigningCertificate> m_certificate;

    QByteArray signedBatch(const QList<zavnfe::CancellationData>& list) {
        QString error;
        const QByteArray batch = zavnfe::CancellationBatch::buildFrom(QStringLiteral("42"), list, &error);
        if (batch.isEmpty()) {
            qWarning("%s", qPrintable(error));
            return {};
        }
        QByteArray signedXml = zavnfe::EventSigner(*m_certificate).sign(batch, &error);
        if (signedXml.isEmpty())
            qWarning("%s", qPrintable(error));
        return signedXml;
    }

    // Twenty-one events: the twenty of one batch and the other one, on a
    // line of its own so that the error's line can be checked.
    QByteArray twentyOne() const {
        QByteArray xml = m_twenty;
        xml.insert(xml.lastIndexOf("</envEvento>"), "\n" + firstEvento(m_other));
        return xml;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        const QString certs = m_dir.filePath(QStringLiteral("certs"));
        QProcess script;
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh"),
                                              certs, QString::fromLatin1(kPassword), kSerial + u':' + kCnpj});
        QVERIFY(script.waitForFinished(120000));
        QVERIFY2(script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0,
                 script.readAll().constData());
        const zavnfe::CertificateLookup lookup = zavnfe::CertificateStore(certs).find(kSerial, kPassword);
        QVERIFY2(lookup.found(), qPrintable(lookup.error));
        m_certificate = *lookup.certificate;

        // The schemas must come from the library, never from the folder the
        // process runs in: run from an empty one.
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("empty")));
        QVERIFY(QDir::setCurrent(m_dir.filePath(QStringLiteral("empty"))));

        QString error;
        auto event = zavnfe::CancellationEvent::create(cancellation(1), &error);
        QVERIFY2(event, qPrintable(error));
        m_unsigned = zavnfe::CancellationBatch::build(QStringLiteral("42"), {*event}, &error);
        QVERIFY2(!m_unsigned.isEmpty(), qPrintable(error));
        m_signed = signedBatch({cancellation(1)});
        QVERIFY(!m_signed.isEmpty());
        QList<zavnfe::CancellationData> twenty;
        for (int i = 1; i <= 20; ++i)
            twenty.append(cancellation(100 + i));
        m_twenty = signedBatch(twenty);
        QVERIFY(!m_twenty.isEmpty());
        m_other = signedBatch({cancellation(200)});
        QVERIFY(!m_other.isEmpty());
    }

    void valid_data() {
        QTest::addColumn<int>("schema");
        QTest::addColumn<QByteArray>("xml");
        const int env = int(zavnfe::Schema::EnvEvento);
        QTest::newRow("signed event, reason with < & and accents") << env << m_signed;
        QTest::newRow("twenty signed events") << env << m_twenty;

        auto reason = [this](const QString& text) {
            auto data = cancellation(7);
            data.reason = text;
            return signedBatch({data});
        };
        QTest::newRow("reason of 15 characters") << env << reason(QString(15, u'x'));
        QTest::newRow("reason of 255 characters up to U+00FF") << env << reason(QString(254, u'ÿ') + u'!');
        QTest::newRow("reason with quotes and symbols")
            << env << reason(QStringLiteral("Çá <'\"> & ~ ^ ª º © ½ teste"));

        const QString key = accessKey(1);
        const QByteArray evento = firstEvento(m_signed);
        QTest::newRow("procEventoNFe: signed evento and retEvento")
            << int(zavnfe::Schema::ProcEventoNFe) << procEvento(evento, retEvento(key));
        QTest::newRow("procEventoNFe: late cancellation 155")
            << int(zavnfe::Schema::ProcEventoNFe) << procEvento(evento, retEvento(key, "155"));
        QTest::newRow("retEnvEvento with two events")
            << int(zavnfe::Schema::RetEnvEvento)
            << retEnvEvento(retEvento(key) + retEvento(accessKey(2), "573", 2));
        QTest::newRow("retEnvEvento rejecting the batch")
            << int(zavnfe::Schema::RetEnvEvento) << retEnvEvento({});
        const int cons = int(zavnfe::Schema::ConsStatServ);
        const int ret = int(zavnfe::Schema::RetConsStatServ);
        QTest::newRow("consStatServ") << cons << zavnfe::consStatServ(1, QStringLiteral("43"));
        QTest::newRow("retConsStatServ in operation") << ret << serviceStatus(107, 1);
        QTest::newRow("retConsStatServ paused") << ret << serviceStatus(109, {});
    }

    // A retConsStatServ as the authority writes it, tMed when given.
    static QByteArray serviceStatus(int status, std::optional<int> seconds) {
        zavnfe::ServiceStatusAnswer answer;
        answer.environment = 2;
        answer.application = QStringLiteral("SP_NFE_PL009_V4");
        answer.status = status;
        answer.statusText = QStringLiteral("Serviço em Operação");
        answer.stateCode = QStringLiteral("35");
        answer.receivedAt = QStringLiteral("2026-12-08T10:00:00-03:00");
        answer.averageSeconds = seconds;
        return zavnfe::retConsStatServ(answer);
    }

    // The service status messages: the query as the client builds it, the
    // answer as the client reads it, both held to the published schemas.
    void serviceStatusMessages_data() {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("refused"); // part of the parser's error; empty: read
        QTest::newRow("as written") << QByteArray() << QByteArray() << QString();
        QTest::newRow("tMed not a number")
            << QByteArray("<tMed>1</tMed>") << QByteArray("<tMed>x</tMed>") << QStringLiteral("tMed");
        QTest::newRow("cUF of no state") << QByteArray("<cUF>35</cUF>") << QByteArray("<cUF>99</cUF>")
                                         << QStringLiteral("fora do esquema");
        QTest::newRow("fields out of order")
            << QByteArray("<tpAmb>2</tpAmb><verAplic>SP_NFE_PL009_V4</verAplic>")
            << QByteArray("<verAplic>SP_NFE_PL009_V4</verAplic><tpAmb>2</tpAmb>")
            << QStringLiteral("fora do esquema retConsStatServ_v4.00.xsd: Elemento 'verAplic'");
        QTest::newRow("another root") << QByteArray("retConsStatServ") << QByteArray("retConsSitNFe")
                                      << QStringLiteral("não é um retConsStatServ");
    }
    void serviceStatusMessages() {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, refused);
        QByteArray xml = serviceStatus(107, 1);
        if (!from.isEmpty()) {
            QVERIFY(xml.contains(from));
            xml.replace(from, to);
        }
        QString error;
        const auto answer = zavnfe::parseRetConsStatServ(xml, &error);
        if (!refused.isEmpty()) {
            QVERIFY(!answer);
            QVERIFY2(error.contains(refused), qPrintable(error));
            return;
        }
        QVERIFY2(answer, qPrintable(error));
        QCOMPARE(answer->status, 107);
        QCOMPARE(answer->statusText, QStringLiteral("Serviço em Operação"));
        QCOMPARE(answer->application, QStringLiteral("SP_NFE_PL009_V4"));
        QCOMPARE(answer->environment, 2);
        QCOMPARE(answer->stateCode, QStringLiteral("35"));
        QCOMPARE(answer->receivedAt, QStringLiteral("2026-12-08T10:00:00-03:00"));
        QCOMPARE(answer->averageSeconds, std::optional<int>(1));

        // The query: the schema refuses another service or a state code
        // that is no state's.
        const QByteArray query = zavnfe::consStatServ(2, QStringLiteral("35"));
        QVERIFY(query.contains("<tpAmb>2</tpAmb><cUF>35</cUF><xServ>STATUS</xServ>"));
        QByteArray other = query;
        QVERIFY(!zavnfe::SchemaSet::instance()
                     .validate(zavnfe::Schema::ConsStatServ, other.replace("STATUS", "CONSULTAR"))
                     .isEmpty());
        other = query;
        QVERIFY(!zavnfe::SchemaSet::instance()
                     .validate(zavnfe::Schema::ConsStatServ, other.replace("<cUF>35", "<cUF>91"))
                     .isEmpty());
    }
    void valid() {
        QFETCH(int, schema);
        QFETCH(QByteArray, xml);
        QVERIFY(!xml.isEmpty());
        QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema(schema), xml), QString());
    }

    void refused_data() {
        QTest::addColumn<int>("schema");
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QStringList>("fragments"); // each must appear in the message
        QTest::addColumn<QByteArray>("marker");     // the error's line is the marker's (empty: none)
        const int env = int(zavnfe::Schema::EnvEvento);
        const QByteArray id = "ID110111" + accessKey(1).toLatin1() + "01";
        const QByteArray reason = "Pedido &lt;duplicado&gt; &amp; cancelado após conferência";

        QTest::newRow("unsigned event")
            << env << m_unsigned << QStringList{"Elemento 'evento'", "falta o elemento Signature"}
            << QByteArray("<evento");
        QTest::newRow("Id of the wrong shape")
            << env << replaced(m_signed, "Id=\"" + id + "\"", "Id=\"" + id.chopped(2) + "1\"")
            << QStringList{"Elemento 'infEvento', atributo 'Id'", "ID[0-9]{52}"} << QByteArray("<infEvento");
        QTest::newRow("reason too short")
            << env << replaced(m_signed, reason, "Curta demais")
            << QStringList{"Elemento 'xJust'", "12 caracteres, menos que o mínimo de 15"}
            << QByteArray("<xJust");
        QTest::newRow("reason too long")
            << env << replaced(m_signed, reason, QByteArray(256, 'a'))
            << QStringList{"Elemento 'xJust'", "mais que o máximo de 255"} << QByteArray("<xJust");
        QTest::newRow("reason with a typographic quote")
            << env << replaced(m_signed, "&lt;duplicado&gt;", "“duplicado”")
            << QStringList{"Elemento 'xJust'", "não segue o formato"} << QByteArray("<xJust");
        QTest::newRow("reason with a trailing blank")
            << env << replaced(m_signed, "conferência<", "conferência <")
            << QStringList{"Elemento 'xJust'", "não segue o formato"} << QByteArray("<xJust");
        QTest::newRow("extra element")
            << env << replaced(m_signed, "</xJust>", "</xJust><xCondUso>uso</xCondUso>")
            << QStringList{"Elemento 'xCondUso'", "não esperado"} << QByteArray("<xCondUso");
        QTest::newRow("elements out of order")
            << env
            << replaced(m_signed, "<tpAmb>2</tpAmb><CNPJ>" + kCnpj.toLatin1() + "</CNPJ>",
                        "<CNPJ>" + kCnpj.toLatin1() + "</CNPJ><tpAmb>2</tpAmb>")
            << QStringList{"Elemento 'CNPJ'", "esperado: tpAmb"} << QByteArray("<CNPJ");
        QTest::newRow("wrong namespace")
            << env << replaced(m_signed, "xmlns=\"" + kNfe + "\"", "xmlns=\"" + kNfe + "/v2\"")
            << QStringList{"Elemento 'envEvento'", "não é o elemento raiz"} << QByteArray("<envEvento");
        QTest::newRow("no namespace")
            << env << replaced(m_signed, " xmlns=\"" + kNfe + "\"", "")
            << QStringList{"Elemento 'envEvento'", "não é o elemento raiz"} << QByteArray("<envEvento");
        QTest::newRow("21 events") << env << twentyOne() << QStringList{"Elemento 'evento'", "não esperado"}
                                   << QByteArray("\n<evento") + QByteArray(" ");
        QTest::newRow("batch version")
            << env
            << replaced(m_signed, "<envEvento xmlns=\"" + kNfe + "\" versao=\"1.00\">",
                        "<envEvento xmlns=\"" + kNfe + "\" versao=\"4.00\">")
            << QStringList{"Elemento 'envEvento', atributo 'versao'", "'4.00'"} << QByteArray("<envEvento");
        QTest::newRow("environment 3")
            << env << replaced(m_signed, "<tpAmb>2</tpAmb>", "<tpAmb>3</tpAmb>")
            << QStringList{"Elemento 'tpAmb'", "o valor '3' não é um dos permitidos"} << QByteArray("<tpAmb");
        QTest::newRow("half-hour offset")
            << env << replaced(m_signed, "-03:00</dhEvento>", "-03:30</dhEvento>")
            << QStringList{"Elemento 'dhEvento'", "2026-12-08T10:00:00-03:30"} << QByteArray("<dhEvento");
        QTest::newRow("third transform")
            << env
            << replaced(
                   m_signed, "</Transforms>",
                   "<Transform Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/></Transforms>")
            << QStringList{"Elemento 'Transform'"} << QByteArray();
        QTest::newRow("SHA-256 signature method")
            << env << replaced(m_signed, "xmldsig#rsa-sha1", "xmldsig-more#rsa-sha256")
            << QStringList{"Elemento 'SignatureMethod', atributo 'Algorithm'", "rsa-sha1"}
            << QByteArray("<SignatureMethod");
        QTest::newRow("malformed") << env << m_signed.left(m_signed.indexOf("</detEvento>"))
                                   << QStringList{"XML mal formado", "(linha "} << QByteArray();
        QTest::newRow("empty") << env << QByteArray() << QStringList{"XML mal formado"} << QByteArray();
        QTest::newRow("DOCTYPE with an entity")
            << env
            << replaced(m_signed, "?>",
                        "?>\n<!DOCTYPE envEvento [<!ENTITY motivo \"Pedido duplicado no sistema\">]>\n")
            << QStringList{"DOCTYPE"} << QByteArray();
        QTest::newRow("batch checked as an answer")
            << int(zavnfe::Schema::RetEnvEvento) << m_signed
            << QStringList{"Elemento 'envEvento'", "não é o elemento raiz"} << QByteArray("<envEvento");

        const QByteArray evento = firstEvento(m_signed);
        const QByteArray ret = retEvento(accessKey(1));
        const int proc = int(zavnfe::Schema::ProcEventoNFe);
        QTest::newRow("procEventoNFe without the signature")
            << proc << procEvento(firstEvento(m_unsigned), ret)
            << QStringList{"Elemento 'evento'", "Signature"} << QByteArray("<evento");
        QTest::newRow("procEventoNFe with the answer first")
            << proc << procEvento(ret, evento) << QStringList{"Elemento 'retEvento'", "esperado: evento"}
            << QByteArray("<retEvento");
        QTest::newRow("procEventoNFe, retEvento without cStat")
            << proc << procEvento(evento, replaced(ret, "<cStat>135</cStat>", ""))
            << QStringList{"Elemento 'xMotivo'", "esperado: cStat"} << QByteArray("<xMotivo");
        QByteArray answers;
        for (int i = 1; i <= 21; ++i)
            answers += (i == 21 ? "\n" : "") + retEvento(accessKey(i), "135", i);
        QTest::newRow("retEnvEvento with 21 answers")
            << int(zavnfe::Schema::RetEnvEvento) << retEnvEvento(answers)
            << QStringList{"Elemento 'retEvento'", "não esperado"} << QByteArray("\n<retEvento");
        QTest::newRow("retEnvEvento, two answers with one Id")
            << int(zavnfe::Schema::RetEnvEvento) << retEnvEvento(ret + "\n" + retEvento(accessKey(2)))
            << QStringList{"Elemento 'infEvento', atributo 'Id'", "repete outro Id"}
            << QByteArray("\n<retEvento");
    }
    void refused() {
        QFETCH(int, schema);
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, fragments);
        QFETCH(QByteArray, marker);
        const QString message = zavnfe::SchemaSet::instance().validate(zavnfe::Schema(schema), xml);
        QVERIFY2(!message.isEmpty(), "accepted");
        for (const QString& fragment : fragments)
            QVERIFY2(message.contains(fragment), qPrintable(message));
        if (!marker.isEmpty()) {
            const int line = lineOf(xml, marker) + (marker.startsWith('\n') ? 1 : 0);
            QVERIFY2(message.contains(QStringLiteral("(linha %1)").arg(line)), qPrintable(message));
        }
        // Every message a line, with no English words of the validator left.
        for (const QString& text : message.split(u'\n')) {
            QVERIFY2(!text.contains(u"Element '") && !text.contains(u"expected"), qPrintable(text));
        }
    }

    void errorsAreLimited() {
        QByteArray xml = m_twenty;
        xml.replace("<tpAmb>2</tpAmb>", "<tpAmb>3</tpAmb>");
        const QString message = zavnfe::SchemaSet::instance().validate(zavnfe::Schema::EnvEvento, xml);
        const QStringList lines = message.split(u'\n');
        QCOMPARE(lines.size(), zavnfe::SchemaSet::kMaxErrors + 1);
        QVERIFY2(lines.last().startsWith(u"(e mais "), qPrintable(message));
        QVERIFY2(lines.first().contains(u"tpAmb"), qPrintable(message));
    }

    // Each thread validates with its own context against the shared schemas;
    // every answer must be the one a lone caller gets.
    void concurrentCallers() {
        const zavnfe::SchemaSet& set = zavnfe::SchemaSet::instance();
        const QList<QPair<zavnfe::Schema, QByteArray>> cases = {
            {zavnfe::Schema::EnvEvento, m_twenty},
            {zavnfe::Schema::EnvEvento, m_unsigned},
            {zavnfe::Schema::EnvEvento, twentyOne()},
            {zavnfe::Schema::ProcEventoNFe, procEvento(firstEvento(m_signed), retEvento(accessKey(1)))},
            {zavnfe::Schema::RetEnvEvento, m_signed.left(100)},
        };
        QStringList expected;
        for (const auto& [schema, xml] : cases)
            expected.append(set.validate(schema, xml));
        QVERIFY(expected.at(0).isEmpty());
        QVERIFY(!expected.at(1).isEmpty());

        std::atomic<int> mismatches{0};
        std::vector<std::thread> threads;
        threads.reserve(8);
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 30; ++i) {
                    const qsizetype which = (t + i) % cases.size();
                    if (set.validate(cases.at(which).first, cases.at(which).second) != expected.at(which))
                        ++mismatches;
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(mismatches.load(), 0);
    }

    // Errors reach the caller only: nothing on the process's stderr.
    void nothingOnStderr() {
        QTemporaryFile capture;
        QVERIFY(capture.open());
        fflush(stderr);
        const int saved = dup(STDERR_FILENO);
        QVERIFY(saved >= 0);
        QVERIFY(dup2(capture.handle(), STDERR_FILENO) >= 0);
        const zavnfe::SchemaSet& set = zavnfe::SchemaSet::instance();
        const QStringList answers = {
            set.validate(zavnfe::Schema::EnvEvento, m_unsigned),
            set.validate(zavnfe::Schema::EnvEvento, twentyOne()),
            set.validate(zavnfe::Schema::EnvEvento, "<envEvento"),
            set.validate(zavnfe::Schema::EnvEvento,
                         "<?xml version=\"1.0\"?><!DOCTYPE a SYSTEM \"http://127.0.0.1:9/a.dtd\"><a/>"),
            set.validate(zavnfe::Schema::ProcEventoNFe, m_signed),
        };
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        for (const QString& answer : answers)
            QVERIFY(!answer.isEmpty());
        QFile written(capture.fileName());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestSchemas)
#include "tst_schemas.moc"
