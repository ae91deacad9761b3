// Cancellations signed with an A3 certificate: a real zav50000-server whose
// registration's key is on a SoftHSM token (SoftHSM's real PKCS#11 module,
// its tokens in a folder of this test's own), sending to a real local
// authority over mutual TLS with the token's key, on SQLite and PostgreSQL.
// The token's failures (a wrong PIN, a locked PIN, the token removed between
// two batches) each said to the operator, the invoices left authorised and
// nothing journalled that was not sent, then registered once the token is
// right again; /health and zav-doctor list the token; a thousand invoices
// through the token, each registered once at the authority.
#include "authorityclient.h"
#include "cancelfixture.h"
#include "nfeworld.h"
#include "serverprocess.h"
#include "testdb.h"

#include "authoritymessages.h"
#include "certificatestore.h"
#include "signingcertificate.h"
#include "soap.h"
#include "testtools.h"
#include "vocabulary.h"

#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/ssl.h>

using namespace canceltest;

namespace {

const QString kLabel = QStringLiteral("ZAV-A3-SRV");
const QString kLockedLabel = QStringLiteral("ZAV-A3-BLOQ");
const QString kSerial = QStringLiteral("0A3B4C5D");
const QString kLockedSerial = QStringLiteral("0B1C2D");
const QString kSetSerial =
    QStringLiteral("UPDATE INSCRESTAD SET NRSERIECERTIFIC = ? WHERE CDEMPRESA = ? AND CDINSCESTA = ?");

QString state(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                  {entryOf(n)});
}
QString journalState(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT IDSITUACAO FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entryOf(n)});
}
QByteArray storedEvent(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT XMLPROCEVENTO FROM NFEEVENTO WHERE NRLANCTONF = ?"),
                  {entryOf(n)})
        .toUtf8();
}
QString accessKey(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT NRACESSONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                  {entryOf(n)});
}

bool writeSecret(const QString& path, const QByteArray& content) {
    QFile::remove(path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// The cancellation events the authority holds for the NF-e, by its own
// protocol query (an A1 of the same company opens its mutual TLS).
int eventsAtAuthority(NfeWorld& nfe, const QString& serial, const QString& key, QString* why) {
    const auto client = authorityClient(nfe, serial, why);
    if (!client)
        return -1;
    const QByteArray body = zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(2, key));
    const auto result =
        client->Post("/ws/NFeConsultaProtocolo4", body.constData(), size_t(body.size()),
                     zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, "nfeConsultaNF").toStdString());
    if (!result) {
        *why = QStringLiteral("no answer to the protocol query");
        return -1;
    }
    QString error;
    const QByteArray payload = zavnfe::Soap::payload(QByteArray::fromStdString(result->body), &error);
    const auto answer = zavnfe::parseRetConsSitNFe(payload, &error);
    if (!answer) {
        *why = error;
        return -1;
    }
    int count = 0;
    for (const QByteArray& proc : answer->procEventos)
        if (const auto f = zavnfe::readProcEventoNFe(proc);
            f && f->eventType == QLatin1StringView(zavnfe::kCancellationEventType) &&
            zavnfe::registersEvent(f->answer.status))
            ++count;
    return count;
}

QJsonObject health(int port) {
    httplib::Client client("127.0.0.1", port);
    const auto result = client.Get("/health");
    return result ? QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object() : QJsonObject();
}

// SoftHSM's token file with its user-PIN-locked flag set or cleared, as a
// card that counted the wrong PINs reports it (SoftHSM counts none): its
// attributes are type, kind and value, 8 bytes each, big-endian; the flags
// are attribute 0x8000534B, the file's generation its first 8 bytes.
bool setPinLocked(const QString& tokenFolder, bool locked) {
    QFile object(tokenFolder + QStringLiteral("/token.object"));
    if (!object.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = object.readAll();
    const qsizetype flags = bytes.indexOf(QByteArray::fromHex("000000008000534b"));
    if (flags <= 0)
        return false;
    char& byte = bytes[flags + 16 + 5]; // CKF_USER_PIN_LOCKED, 0x00040000
    byte = char(locked ? (byte | 0x04) : (byte & ~0x04));
    bytes[7] = char(bytes[7] + 1);
    object.seek(0);
    return object.write(bytes) == bytes.size();
}

} // namespace

class TstA3Cancel : public QObject {
    Q_OBJECT

    zavtest::TestDatabases m_dbs;
    // One token folder for the whole program: SoftHSM reads it when the
    // server's process loads the module.
    SoftToken m_token;

    struct World {
        QSqlDatabase db;
        QString connection;
        Establishment e;
        Registration r;
        QString a1Serial; // the folder's A1 of the same company, for the authority's protocol query
        std::unique_ptr<NfeWorld> nfe;
        std::unique_ptr<ServerProcess> server;
    };

    // A fresh database with count invoices, the A1 folder (whose files hold
    // none of the tokens' serials), the tokens made anew, the authority.
    zavtest::Readiness fresh(const QString& dialect, World& w, int count) {
        if (zavtest::Readiness ready = zavtest::useFreshDatabase(m_dbs, dialect, &w.db); !ready.isReady())
            return ready;
        w.connection = m_dbs.connectionText(dialect);
        w.e = mainEstablishment(w.db);
        w.r = registrationOf(w.db, w.e);
        QString why;
        if (!(why = insertInvoices(w.db, w.e, 1, count, 'A', true)).isEmpty())
            return zavtest::Readiness::fail(why);
        w.nfe = std::make_unique<NfeWorld>();
        if (!(why = w.nfe->certificates(w.db)).isEmpty())
            return zavtest::Readiness::fail(why);
        // Tokens anew for each database: one for the registration, one to lock.
        for (const QString& label : {kLabel, kLockedLabel}) {
            QProcess::execute(QStringLiteral("softhsm2-util"),
                              {QStringLiteral("--delete-token"), QStringLiteral("--token"), label});
        }
        if (!(why = m_token.make(w.nfe->certificateFolder(), kLabel, kSerial + u':' + w.e.cnpj)).isEmpty() ||
            !(why = m_token.make(w.nfe->certificateFolder(), kLockedLabel, kLockedSerial + u':' + w.e.cnpj))
                 .isEmpty())
            return zavtest::Readiness::fail(why);
        if (!(why = exec(w.db, kSetSerial, {kSerial, w.e.company, w.e.stateRegistration})).isEmpty())
            return zavtest::Readiness::fail(why);
        w.a1Serial = w.r.certificate;
        w.r.certificate = kSerial;
        if (!(why = w.nfe->startAuthority(w.connection)).isEmpty())
            return zavtest::Readiness::fail(why);
        return zavtest::Readiness::ready();
    }

    QString startServer(World& w, const QString& tokens) {
        w.server = std::make_unique<ServerProcess>();
        QString why;
        if (!w.server->start(w.connection,
                             w.nfe->serverArguments() + QStringList{QStringLiteral("--tokens"), tokens},
                             &why))
            return why;
        return signIn(*w.server, w.connection);
    }

    Answer cancel(World& w, const QList<int>& ticked, int last) {
        Client client(w.server->port());
        QString why;
        InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(last), &why);
        Answer a;
        if (!why.isEmpty()) {
            a.errorMessage = why;
            a.errorCode = -1;
            return a;
        }
        for (int n : ticked)
            list.tick(entryOf(n), kReason);
        return client.cancel(list.packet(), kOperator, today(), w.r);
    }

    QString doctor(World& w) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QFileInfo(ServerProcess::binary()).dir().filePath(QStringLiteral("zav-doctor")),
                w.nfe->serverArguments() +
                    QStringList{QStringLiteral("--tokens"), m_token.configFile(), QStringLiteral("SP.2")});
        exitCodeWithin(p, 120000);
        return QString::fromUtf8(p.readAll());
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(QFileInfo::exists(QLatin1String(SoftToken::kModule))); }

    // A tokens' file that does not load refuses the start, with its error,
    // as a refused certificate folder does (exit status 4).
    void tokensFileRefusedAtStart_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("said");
        QTest::newRow("missing") << QByteArray() << QStringLiteral("inexistente");
        QTest::newRow("no module") << QByteArray("[empresa]\nrotulo = X\npin = x.pin\n")
                                   << QStringLiteral("precisa de modulo");
        QTest::newRow("no label nor serial")
            << QByteArray("[empresa]\nmodulo = /usr/lib/softhsm/libsofthsm2.so\npin = x.pin\n")
            << QStringLiteral("precisa de rotulo ou serie");
        QTest::newRow("no PIN file") << QByteArray("[empresa]\nmodulo = /usr/lib/softhsm/libsofthsm2.so\n"
                                                   "rotulo = X\n")
                                     << QStringLiteral("precisa de pin");
    }
    void tokensFileRefusedAtStart() {
        QFETCH(QByteArray, content);
        QFETCH(QString, said);
        ZAV_SQLITE(m_dbs);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("tokens.ini"));
        if (!content.isEmpty())
            QVERIFY(writeSecret(file, content));
        ServerProcess server;
        const int code = server.runToExit({QStringLiteral("--db"), m_dbs.connectionText(zavtest::kSQLite),
                                           QStringLiteral("--plain-http"), QStringLiteral("--listen"),
                                           QStringLiteral("127.0.0.1:0"), QStringLiteral("--tokens"), file});
        const QByteArray log = server.log();
        QCOMPARE(code, 4);
        QVERIFY2(QString::fromUtf8(log).contains(said), log.constData());
    }

    // Signed on the token, sent over mutual TLS with its key, registered once;
    // /health and zav-doctor list the token; the token removed between two
    // batches: said, the invoice untouched, nothing journalled; back, sent.
    void signsThroughTheToken_data() { zavtest::addDialectRows("fresh database"); }
    void signsThroughTheToken() {
        QFETCH(QString, dialect);
        World w;
        ZAV_READY(fresh(dialect, w, 3));
        QCOMPARE(startServer(w, m_token.configFile()), QString());

        Answer a = cancel(w, {1}, 3);
        QVERIFY2(a.null, qPrintable(a.describe()));
        QCOMPARE(state(w.db, 1), QStringLiteral("C"));
        const QByteArray proc = storedEvent(w.db, 1);
        QCOMPARE(w.nfe->verifySignature(proc), QString());
        QString why;
        QCOMPARE(eventsAtAuthority(*w.nfe, w.a1Serial, accessKey(w.db, 1), &why), 1);
        QCOMPARE(why, QString());

        // /health lists the tokens, each certificate with its serial as it carries it.
        const QJsonObject h = health(w.server->port());
        const QJsonArray tokens = h.value(QStringLiteral("tokens")).toArray();
        QCOMPARE(tokens.size(), 2);
        bool listed = false;
        for (const auto& t : tokens) {
            const QJsonObject token = t.toObject();
            QCOMPARE(token.value(QStringLiteral("situacao")).toString(), QStringLiteral("presente"));
            QVERIFY(!token.value(QStringLiteral("slot")).toString().isEmpty());
            QVERIFY(!token.value(QStringLiteral("serie")).toString().isEmpty());
            for (const auto& c : token.value(QStringLiteral("certificados")).toArray())
                if (token.value(QStringLiteral("rotulo")).toString() == kLabel &&
                    c.toObject().value(QStringLiteral("serie")).toString() == kSerial) {
                    listed = true;
                    QVERIFY(c.toObject().value(QStringLiteral("diasRestantes")).toInt() > 30);
                    QVERIFY(!c.toObject().contains(QStringLiteral("erro")));
                }
        }
        QVERIFY2(listed, QJsonDocument(h).toJson().constData());
        // The days-left gauge covers the token's certificates.
        httplib::Client scraper("127.0.0.1", w.server->port());
        const auto metrics = scraper.Get("/metrics");
        QVERIFY(metrics && metrics->status == 200);
        const QString exposition = QString::fromStdString(metrics->body);
        const QStringList onTokens = exposition.split(u'\n').filter(QStringLiteral("file=\"token "));
        QVERIFY2(
            onTokens
                    .filter(QRegularExpression(
                        QStringLiteral(
                            "^zav_certificate_days_left\\{file=\"token %1[^\"]*\",serial=\"%2\"\\} [1-9]")
                            .arg(kLabel, zavnfe::SigningCertificate::normalisedSerial(kSerial))))
                    .size() == 1,
            qPrintable(onTokens.join(u'\n')));
        QVERIFY2(exposition.contains(QStringLiteral("zav_tokens_unavailable 0")), qPrintable(exposition));

        const QString out = doctor(w);
        QVERIFY2(out.contains(QStringLiteral("Token A3 [%1]").arg(kLabel)), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("rótulo %1").arg(kLabel)), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("  %1  token").arg(kSerial)), qPrintable(out));

        // The token removed between two batches.
        const QString folder = m_token.folderOf(kLabel);
        QVERIFY(!folder.isEmpty());
        const QString away = folder + QStringLiteral(".fora");
        QVERIFY(QDir().rename(folder, away));
        a = cancel(w, {2}, 3);
        QCOMPARE(a.failures.size(), 1);
        QCOMPARE(a.failures.at(0).key, QStringLiteral("fa_assinar"));
        QVERIFY2(a.failures.at(0).text.contains(QStringLiteral("token")), qPrintable(a.failures.at(0).text));
        QCOMPARE(state(w.db, 2), QStringLiteral("A"));
        QCOMPARE(journalState(w.db, 2), QString());

        // Back. SoftHSM does not find a token folder again in a process that
        // saw it go (a card's module does, through its reader), so the token
        // comes back with a server started anew, as after replugging.
        QVERIFY(QDir().rename(away, folder));
        QCOMPARE(w.server->terminate(), 0);
        QCOMPARE(startServer(w, m_token.configFile()), QString());
        a = cancel(w, {2}, 3);
        QVERIFY2(a.null, qPrintable(a.describe()));
        QCOMPARE(state(w.db, 2), QStringLiteral("C"));
        QCOMPARE(journalState(w.db, 2), QStringLiteral("R"));
        QCOMPARE(eventsAtAuthority(*w.nfe, w.a1Serial, accessKey(w.db, 2), &why), 1);
    }

    // A wrong PIN and a locked one: each said with what to do, the invoice
    // authorised and nothing journalled; right again, registered.
    void pinFailures_data() { zavtest::addDialectRows("fresh database"); }
    void pinFailures() {
        QFETCH(QString, dialect);
        World w;
        ZAV_READY(fresh(dialect, w, 3));
        const QString pin = QFileInfo(m_token.configFile()).dir().filePath(QStringLiteral("servidor.pin"));
        QVERIFY(writeSecret(pin, "00000000\n"));
        const QString config = QFileInfo(m_token.configFile()).dir().filePath(QStringLiteral("servidor.ini"));
        QVERIFY(writeSecret(
            config, QStringLiteral("[empresa]\nmodulo = %1\nrotulo = %2\npin = %3\n\n"
                                   "[bloqueado]\nmodulo = %1\nrotulo = %4\npin = %5\n")
                        .arg(QLatin1String(SoftToken::kModule), kLabel, pin, kLockedLabel, m_token.pinFile())
                        .toUtf8()));
        QVERIFY(setPinLocked(m_token.folderOf(kLockedLabel), true));
        QCOMPARE(startServer(w, config), QString());

        // /health says the PIN refused and the PIN locked.
        const QByteArray h = QJsonDocument(health(w.server->port())).toJson();
        QVERIFY2(h.contains("recusou o PIN"), h.constData());
        QVERIFY2(h.contains("bloqueado"), h.constData());

        Answer a = cancel(w, {1}, 3);
        QCOMPARE(a.failures.size(), 1);
        QCOMPARE(a.failures.at(0).key, QStringLiteral("fa_assinar"));
        QVERIFY2(a.failures.at(0).text.contains(QStringLiteral("PIN")), qPrintable(a.failures.at(0).text));
        QCOMPARE(state(w.db, 1), QStringLiteral("A"));
        QCOMPARE(journalState(w.db, 1), QString());

        // The locked token's certificate for the registration.
        QCOMPARE(exec(w.db, kSetSerial, {kLockedSerial, w.e.company, w.e.stateRegistration}), QString());
        Registration locked = w.r;
        locked.certificate = kLockedSerial;
        std::swap(w.r, locked);
        a = cancel(w, {2}, 3);
        QCOMPARE(a.failures.size(), 1);
        QVERIFY2(a.failures.at(0).text.contains(QStringLiteral("bloqueado")),
                 qPrintable(a.failures.at(0).text));
        QCOMPARE(state(w.db, 2), QStringLiteral("A"));
        QCOMPARE(journalState(w.db, 2), QString());
        // Unlocked (the PIN reset at the card's maker's tool): registered.
        QVERIFY(setPinLocked(m_token.folderOf(kLockedLabel), false));
        a = cancel(w, {2}, 3);
        QVERIFY2(a.null, qPrintable(a.describe()));
        QCOMPARE(state(w.db, 2), QStringLiteral("C"));

        // The PIN file corrected: tried again, registered.
        std::swap(w.r, locked);
        QCOMPARE(exec(w.db, kSetSerial, {kSerial, w.e.company, w.e.stateRegistration}), QString());
        QFile right(m_token.pinFile());
        QVERIFY(right.open(QIODevice::ReadOnly));
        QVERIFY(writeSecret(pin, right.readAll()));
        a = cancel(w, {1}, 3);
        QVERIFY2(a.null, qPrintable(a.describe()));
        QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    }

    // A thousand invoices through the token: each cancelled once, its event
    // registered once at the authority.
    void thousandThroughTheToken_data() { zavtest::addDialectRows("fresh database"); }
    void thousandThroughTheToken() {
        QFETCH(QString, dialect);
        World w;
        ZAV_READY(fresh(dialect, w, 1000));
        QCOMPARE(startServer(w, m_token.configFile()), QString());
        const auto count = [&w](const char* sql) { return scalar(w.db, QLatin1String(sql)).toInt(); };
        const char* const cancelled = "SELECT COUNT(*) FROM NOTAFISCAL WHERE IDSITUACAONFE = 'C'";
        const char* const recorded = "SELECT COUNT(*) FROM CANCELAMENTONFE";
        const char* const registered = "SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'";
        const int before[] = {count(cancelled), count(recorded), count(registered)};
        QList<int> all;
        for (int n = 1; n <= 1000; ++n)
            all.append(n);
        const Answer a = cancel(w, all, 1000);
        QVERIFY2(a.null, qPrintable(a.describe()));
        QCOMPARE(count(cancelled), before[0] + 1000);
        QCOMPARE(count(recorded), before[1] + 1000);
        QCOMPARE(count(registered), before[2] + 1000);
        // The authority's own record: each NF-e with one cancellation.
        for (int n = 1; n <= 1000; ++n) {
            QString why;
            QVERIFY2(eventsAtAuthority(*w.nfe, w.a1Serial, accessKey(w.db, n), &why) == 1,
                     qPrintable(QStringLiteral("%1: %2").arg(n).arg(why)));
        }
    }

    void cleanupTestCase() {}
};

QTEST_GUILESS_MAIN(TstA3Cancel)
#include "tst_a3cancel.moc"
