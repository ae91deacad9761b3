// The server's front door against its real process on loopback: what a web
// page, a slow or greedy caller, or an ambiguous body can make of it. Each
// case is bounded in time and in count.
#include "serverprocess.h"
#include "testdb.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

namespace {

const QByteArray kPath = "/ZAV50000.rdmCancelaNFE";

struct Answer {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QString message() const {
        const QJsonObject o = QJsonDocument::fromJson(body).object();
        return o.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
    }
    int code() const {
        return QJsonDocument::fromJson(body)
            .object()
            .value(QStringLiteral("error"))
            .toObject()
            .value(QStringLiteral("code"))
            .toInt();
    }
};

// One request on a connection of its own, written as given; the answer read
// whole (by its Content-Length), or what came before the peer closed.
Answer exchange(int port, const QByteArray& request, int timeoutMs = 5000) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    Answer a;
    if (!socket.waitForConnected(timeoutMs))
        return a;
    socket.write(request);
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))) &&
            socket.state() != QAbstractSocket::ConnectedState)
            break;
        data += socket.readAll();
        const qsizetype end = data.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        qsizetype length = -1;
        for (const QByteArray& line : data.left(end).split('\n'))
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        if (length >= 0 && data.size() >= end + 4 + length)
            break;
    }
    data += socket.readAll();
    const qsizetype end = data.indexOf("\r\n\r\n");
    a.head = end < 0 ? data : data.left(end);
    a.body = end < 0 ? QByteArray() : data.mid(end + 4);
    if (a.head.startsWith("HTTP/1.1 "))
        a.status = a.head.mid(9, 3).toInt();
    return a;
}

// The sessions of the test operator, by server port: every call below is
// made under one, so that what is tested is the door, not the sign-in.
QHash<int, QByteArray>& authorizations() {
    static QHash<int, QByteArray> byPort;
    return byPort;
}

QByteArray post(int port, const QByteArray& body, const QByteArray& contentType, const QByteArray& extra = {},
                const QByteArray& host = "127.0.0.1") {
    return "POST " + kPath + " HTTP/1.1\r\nHost: " + host + ":" + QByteArray::number(port) +
           "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n" + authorizations().value(port) + extra + "Connection: close\r\n\r\n" + body;
}

QByteArray health(int port, const QByteArray& host = "127.0.0.1", const QByteArray& extra = {}) {
    return "GET /health HTTP/1.1\r\nHost: " + host + ":" + QByteArray::number(port) + "\r\n" + extra +
           "Connection: close\r\n\r\n";
}

const QByteArray kUnknownMethod = R"({"jsonrpc":"2.0","id":7,"method":"Nenhum","params":[]})";

// The peak and current resident memory of a process, from /proc.
qint64 memoryOf(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').first().toLongLong() * 1024;
    return -1;
}

} // namespace

class TestFrontDoor : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    std::unique_ptr<ServerProcess> m_server;
    int port() const { return m_server->port(); }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void crossSiteCallsRefused_data();
    void crossSiteCallsRefused();
    void rangeNeverApplied();
    void slowCallersStarveNobody();
    void bodiesBoundedBeforeTheyCost();
    void oneReadingOfARequest_data();
    void oneReadingOfARequest();
    void httpsOnly();
    void callsWithoutASessionFloodNoLog();
    void memoryGivenBack();
};

void TestFrontDoor::initTestCase() {
    QString why;
    ZAV_SQLITE(m_dbs);
    m_server = std::make_unique<ServerProcess>();
    QVERIFY2(m_server->start(m_dbs.connectionText(zavtest::kSQLite),
                             {QStringLiteral("--idle-timeout"), QStringLiteral("2"),
                              QStringLiteral("--threads"), QStringLiteral("4")},
                             &why),
             qPrintable(why));
    QVERIFY2(
        !m_server->signIn(m_dbs.connectionText(zavtest::kSQLite), QStringLiteral("OPER1"), &why).isEmpty(),
        qPrintable(why));
    authorizations()[m_server->port()] = m_server->authorization();
}

void TestFrontDoor::cleanupTestCase() {
    if (m_server)
        QCOMPARE(m_server->terminate(), 0);
}

void TestFrontDoor::crossSiteCallsRefused_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const int p = m_server ? m_server->port() : 0;
    // What a web page can send without asking the server first.
    QTest::newRow("text/plain") << post(p, kUnknownMethod, "text/plain") << 415;
    QTest::newRow("form") << post(p, kUnknownMethod, "application/x-www-form-urlencoded") << 415;
    QTest::newRow("multipart") << post(p, kUnknownMethod, "multipart/form-data; boundary=x") << 415;
    QTest::newRow("no content type") << ("POST " + kPath +
                                         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                         QByteArray::number(kUnknownMethod.size()) +
                                         "\r\nConnection: close\r\n\r\n" + kUnknownMethod)
                                     << 415;
    QTest::newRow("an Origin") << post(p, kUnknownMethod, "application/json",
                                       "Origin: http://example.com\r\n")
                               << 403;
    QTest::newRow("an Origin on health") << health(p, "127.0.0.1", "Origin: http://example.com\r\n") << 403;
    // DNS rebinding: the page's own name pointing at the server.
    QTest::newRow("a foreign Host") << post(p, kUnknownMethod, "application/json", {}, "evil.example") << 421;
    QTest::newRow("a foreign Host on health") << health(p, "evil.example") << 421;
    QTest::newRow("no Host") << QByteArray("GET /health HTTP/1.1\r\nConnection: close\r\n\r\n") << 400;
    // And what the server's own callers send.
    QTest::newRow("json") << post(p, kUnknownMethod, "application/json; charset=utf-8") << 200;
    QTest::newRow("localhost") << post(p, kUnknownMethod, "application/json", {}, "localhost") << 200;
    QTest::newRow("health") << health(p) << 200;
}

void TestFrontDoor::crossSiteCallsRefused() {
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const QByteArray logBefore = m_server->log();
    const Answer a = exchange(port(), request);
    QCOMPARE(a.status, status);
    QVERIFY2(!a.head.toLower().contains("access-control-"), a.head.constData());
    if (status == 200)
        return;
    // Refused at the door: no method ran (the call log has no new line).
    QThread::msleep(50);
    QCOMPARE(m_server->log().mid(logBefore.size()).count("Nenhum"), 0);
    if (status != 400)
        QVERIFY2(!a.message().isEmpty(), a.body.constData());
}

void TestFrontDoor::rangeNeverApplied() {
    QByteArray ranges = "Range: bytes=0-";
    for (int i = 0; i < 2600; ++i)
        ranges += ",0-";
    const Answer plain = exchange(port(), post(port(), kUnknownMethod, "application/json"));
    const Answer ranged = exchange(port(), post(port(), kUnknownMethod, "application/json", ranges + "\r\n"));
    QCOMPARE(plain.status, 200);
    QCOMPARE(ranged.status, 200); // never 206
    QCOMPARE(ranged.body, plain.body);
    QVERIFY(!ranged.head.toLower().contains("multipart"));
}

void TestFrontDoor::slowCallersStarveNobody() {
    // Twenty connections that trickle their heads, a line every 300 ms, and
    // twenty idle kept-alive ones; every health probe still answers within 2 s.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 40; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QStringLiteral("127.0.0.1"), quint16(port()));
        QVERIFY(s->waitForConnected(2000));
        if (i < 20)
            s->write("POST " + kPath + " HTTP/1.1\r\n");
        else
            s->write(health(port()).replace("Connection: close\r\n", ""));
        s->flush();
        slow.push_back(std::move(s));
    }
    for (int probe = 0; probe < 6; ++probe) {
        for (int i = 0; i < 20; ++i) {
            slow[size_t(i)]->write("X-Slow-" + QByteArray::number(probe) + ": 1\r\n");
            slow[size_t(i)]->flush();
        }
        QElapsedTimer timer;
        timer.start();
        const Answer a = exchange(port(), health(port()), 2000);
        QVERIFY2(
            a.status == 200,
            qPrintable(QStringLiteral("probe %1 unanswered after %2 ms").arg(probe).arg(timer.elapsed())));
        QThread::msleep(300);
    }
    // A connection that sends nothing more is closed by the idle timeout (2 s
    // here), holding no worker meanwhile.
    auto silent = std::make_unique<QTcpSocket>();
    silent->connectToHost(QStringLiteral("127.0.0.1"), quint16(port()));
    QVERIFY(silent->waitForConnected(2000));
    silent->write("POST " + kPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    QVERIFY(silent->waitForDisconnected(6000));
}

void TestFrontDoor::bodiesBoundedBeforeTheyCost() {
    const qint64 pid = m_server->pid();
    QVERIFY(pid > 0);
    const qint64 bodyBytes = 48ll * 1024 * 1024;
    struct Case {
        const char* name;
        QByteArray type;
        QByteArray body;
        int code;
    };
    QByteArray longString = R"({"jsonrpc":"2.0","id":1,"method":"GetNotaFiscal","params":[")";
    longString += QByteArray(bodyBytes, 'a') + R"("]})";
    QByteArray nulls("\xa4\x67jsonrpc\x63"
                     "2.0\x62id\x01\x66method\x6dGetNotaFiscal\x66params\x9f",
                     43);
    nulls += QByteArray(bodyBytes, '\xf6') + "\xff";
    QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
    const Case cases[] = {{"one long string", "application/json", longString, -32600},
                          {"CBOR nulls", "application/cbor", nulls, -32600},
                          {"deep nesting", "application/json", deep, -32600}};
    for (const Case& c : cases) {
        const qint64 peakBefore = memoryOf(pid, "VmHWM:");
        const Answer a = exchange(port(), post(port(), c.body, c.type), 30000);
        const qint64 peakAfter = memoryOf(pid, "VmHWM:");
        QVERIFY2(a.status == 200 && a.code() == c.code,
                 qPrintable(QStringLiteral("%1: %2 %3")
                                .arg(QLatin1String(c.name))
                                .arg(a.status)
                                .arg(QString::fromUtf8(a.body.left(200)))));
        // The body is held once while it arrives; the check that refuses it
        // costs at most about as much again.
        QVERIFY2(peakAfter - peakBefore < 3 * qint64(c.body.size()),
                 qPrintable(QStringLiteral("%1: peak grew by %2 MiB for a body of %3 MiB")
                                .arg(QLatin1String(c.name))
                                .arg((peakAfter - peakBefore) >> 20)
                                .arg(c.body.size() >> 20)));
    }
    // Too large for the server's limit: refused from its Content-Length, unread.
    const QByteArray head = "POST " + kPath +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                            "Content-Length: 999999999999\r\nConnection: close\r\n\r\n";
    QCOMPARE(exchange(port(), head).status, 413);
    // A million header lines: refused, the connection dropped.
    QByteArray flood = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 20000; ++i)
        flood += "X-H: 1\r\n";
    const Answer refused = exchange(port(), flood + "\r\n", 5000);
    QVERIFY2(refused.status == 0 || refused.status == 431 || refused.status >= 400, refused.head.constData());
    QVERIFY(refused.status != 200);
}

void TestFrontDoor::oneReadingOfARequest_data() {
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("JSON key twice") << QByteArray("application/json")
                                    << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"GetNotaFiscal",)"
                                                  R"("method":"Cancela_NotaFiscal","params":[]})")
                                    << QStringLiteral("a chave \"method\" aparece duas vezes");
    QCborMap twice;
    QByteArray cborTwice("\xa5\x67jsonrpc\x63"
                         "2.0\x62id\x01\x66method\x6dGetNotaFiscal\x66method\x62XX"
                         "\x66params\x80",
                         51);
    QTest::newRow("CBOR key twice") << QByteArray("application/cbor") << cborTwice
                                    << QStringLiteral("a chave \"method\" aparece duas vezes");
    QCborMap request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                     {QStringLiteral("id"), 1},
                     {QStringLiteral("method"), QStringLiteral("Nenhum")},
                     {QStringLiteral("params"), QCborArray()}};
    QTest::newRow("CBOR with a second item")
        << QByteArray("application/cbor") << request.toCborValue().toCbor() + request.toCborValue().toCbor()
        << QStringLiteral("dados a mais depois da requisição");
    QTest::newRow("JSON with a second object")
        << QByteArray("application/json") << kUnknownMethod + kUnknownMethod
        << QStringLiteral("dados a mais depois da requisição");
}

void TestFrontDoor::oneReadingOfARequest() {
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    const Answer a = exchange(port(), post(port(), body, type));
    QCOMPARE(a.status, 200);
    QCOMPARE(a.code(), -32600);
    QVERIFY2(a.message().contains(message), qPrintable(a.message()));
}

void TestFrontDoor::httpsOnly() {
    // The server with its certificate: TLS 1.2 and later, verified against
    // the CA that signed it; plain HTTP on its port gets nothing.
    QTemporaryDir dir;
    QProcess make;
    make.start(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh"),
                                        dir.path(), QStringLiteral("senha")});
    QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);
    ServerProcess tls;
    QString why;
    QVERIFY2(tls.start(m_dbs.connectionText(zavtest::kSQLite),
                       {QStringLiteral("--tls-cert"), dir.filePath(QStringLiteral("server.pem")),
                        QStringLiteral("--tls-key"), dir.filePath(QStringLiteral("server.key"))},
                       &why),
             qPrintable(why));
    QSslSocket socket;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(dir.filePath(QStringLiteral("ca.pem"))));
    config.setProtocol(QSsl::TlsV1_2OrLater);
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), quint16(tls.port()));
    QVERIFY2(socket.waitForEncrypted(5000), qPrintable(socket.errorString()));
    socket.write(health(tls.port()));
    QByteArray answer;
    while (socket.waitForReadyRead(3000))
        answer += socket.readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());

    // Older protocols are not spoken: a client that offers only TLS 1.1 (its
    // own floor lowered) gets no session, where TLS 1.2 gets one.
    const auto handshake = [&](const char* version) {
        QProcess client;
        client.start(QStringLiteral("openssl"),
                     {QStringLiteral("s_client"), QStringLiteral("-connect"),
                      QStringLiteral("127.0.0.1:%1").arg(tls.port()), QLatin1String(version),
                      QStringLiteral("-cipher"), QStringLiteral("DEFAULT:@SECLEVEL=0"),
                      QStringLiteral("-CAfile"), dir.filePath(QStringLiteral("ca.pem"))});
        client.closeWriteChannel();
        client.waitForFinished(10000);
        return client.readAllStandardOutput();
    };
    const QByteArray modern = handshake("-tls1_2");
    QVERIFY2(modern.contains("Verify return code: 0 (ok)") && !modern.contains("Cipher is (NONE)"),
             modern.constData());
    QVERIFY2(handshake("-tls1_1").contains("Cipher is (NONE)"), "TLS 1.1 was accepted");

    // Plain HTTP to the TLS port: no answer a client could take for one.
    QCOMPARE(exchange(tls.port(), health(tls.port()), 3000).status, 0);

    // Anyone who reaches the port makes the HTTP library complain, once a
    // connection: a flood of them is a few lines in the log, and how many
    // were left out is said once the flood's window has passed.
    const auto junk = [&] {
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), quint16(tls.port()));
        if (s.waitForConnected(2000)) {
            s.write("GET / HTTP/1.1\r\n\r\n");
            s.waitForDisconnected(2000);
        }
    };
    const auto libraryLines = [&] { return tls.log().count(" http: "); };
    const qsizetype before = libraryLines();
    constexpr int kFlood = 150;
    for (int i = 0; i < kFlood; ++i)
        junk();
    const qsizetype written = libraryLines() - before;
    QVERIFY2(written > 0 && written <= 20, qPrintable(QString::number(written)));
    QTest::qWait(5500);
    junk();
    QTRY_VERIFY2(tls.log().contains("mensagens como as anteriores omitidas"),
                 tls.log().right(400).constData());
    QCOMPARE(tls.terminate(), 0);
}

// Anyone may call without a session, as fast as the door answers: such calls
// are a few lines in the log, and how many were left out is said once the
// flood's window has passed, while a call under a session is always logged.
void TestFrontDoor::callsWithoutASessionFloodNoLog() {
    ServerProcess server;
    QString why;
    QVERIFY2(server.start(m_dbs.connectionText(zavtest::kSQLite), {}, &why), qPrintable(why));
    const QByteArray stranger =
        "POST " + kPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(server.port()) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(kUnknownMethod.size()) +
        "\r\nConnection: close\r\n\r\n" + kUnknownMethod;
    const auto refusedLines = [&] { return server.log().count("Chamada sem sessão"); };
    constexpr int kFlood = 150;
    for (int i = 0; i < kFlood; ++i)
        QCOMPARE(exchange(server.port(), stranger).status, 401);
    const qsizetype written = refusedLines();
    QVERIFY2(written > 0 && written <= 20, qPrintable(QString::number(written)));
    // The calls are still counted where the monitoring looks.
    const QByteArray metrics =
        exchange(server.port(), "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    QByteArray::number(server.port()) + "\r\nConnection: close\r\n\r\n")
            .body;
    qint64 unauthorised = 0;
    for (const QByteArray& line : metrics.split('\n'))
        if (line.startsWith("zav_calls_total{") && line.contains("outcome=\"unauthorized\""))
            unauthorised += line.mid(line.lastIndexOf(' ') + 1).toLongLong();
    QCOMPARE(unauthorised, qint64(kFlood));

    QTest::qWait(5500);
    QCOMPARE(exchange(server.port(), stranger).status, 401);
    QTRY_VERIFY2(
        server.log().contains(QByteArray::number(kFlood - written) + " chamadas sem sessão omitidas"),
        server.log().right(600).constData());
    QCOMPARE(server.terminate(), 0);
}

void TestFrontDoor::memoryGivenBack() {
    // A server that has sent large lists goes back, once idle, to about the
    // private memory it started with. (The SQLite file it maps counts in its
    // resident size as file pages, shared with the system's cache: not the
    // server's to give back.)
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("volume.db"));
    QProcess init;
    init.start(QStringLiteral(ZAV_BIN_DIR "/zav-dbinit"),
               {QStringLiteral("--db"), db, QStringLiteral("--invoices"), QStringLiteral("100000")});
    QVERIFY2(init.waitForFinished(120000) && init.exitCode() == 0, init.readAllStandardError().constData());
    ServerProcess server;
    QString why;
    QVERIFY2(server.start(db, {}, &why), qPrintable(why));
    QVERIFY2(!server.signIn(db, QStringLiteral("OPER1"), &why).isEmpty(), qPrintable(why));
    authorizations()[server.port()] = server.authorization();
    QCOMPARE(exchange(server.port(), health(server.port())).status, 200);
    const qint64 fresh = memoryOf(server.pid(), "RssAnon:");
    QVERIFY(fresh > 0);

    // The establishment with the most invoices, over the whole year.
    QSqlDatabase sqlite =
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("memoryGivenBack"));
    QStringList est;
    {
        sqlite.setDatabaseName(db);
        QVERIFY(sqlite.open());
        QSqlQuery q(sqlite);
        QVERIFY(q.exec(QStringLiteral(
                    "SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE FROM NOTAFISCAL "
                    "GROUP BY 1, 2, 3, 4, 5 ORDER BY COUNT(*) DESC LIMIT 1")) &&
                q.next());
        for (int i = 0; i < 5; ++i)
            est << q.value(i).toString();
    }
    sqlite.close();
    sqlite = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("memoryGivenBack"));
    const QByteArray call =
        QStringLiteral(R"({"jsonrpc":"2.0","id":1,"method":"GetNotaFiscal","params":)"
                       R"(["%1","%2","%3","%4","%5","","","","","2000-01-01","2100-01-01",""]})")
            .arg(est[0], est[1], est[2], est[3], est[4])
            .toUtf8();
    // Four lists at once, twice over.
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<QTcpSocket>> calls;
        for (int i = 0; i < 4; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            s->connectToHost(QStringLiteral("127.0.0.1"), quint16(server.port()));
            QVERIFY(s->waitForConnected(2000));
            s->write(post(server.port(), call, "application/json", "Accept: application/cbor\r\n"));
            calls.push_back(std::move(s));
        }
        qint64 received = 0;
        for (auto& s : calls) {
            while (s->state() == QAbstractSocket::ConnectedState && s->waitForReadyRead(30000))
                received += s->readAll().size();
            received += s->readAll().size();
        }
        QVERIFY2(received > qint64{4} * 1024 * 1024, qPrintable(QString::number(received)));
    }
    QThread::msleep(500);
    const qint64 idle = memoryOf(server.pid(), "RssAnon:");
    QVERIFY2(
        idle <= 2 * fresh,
        qPrintable(
            QStringLiteral("private memory %1 MiB idle, %2 MiB fresh").arg(idle >> 20).arg(fresh >> 20)));
    QCOMPARE(server.terminate(), 0);
}

QTEST_MAIN(TestFrontDoor)
#include "tst_frontdoor.moc"
