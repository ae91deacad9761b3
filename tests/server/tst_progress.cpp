// The progress of a running call as its caller asks for it (Progresso_Chamada),
// against the tests' build of the real server, whose Teste_Progresso works
// slowly and says how far it has come: on SQLite and on PostgreSQL, only the
// session that made the call learns anything of it, the question is answered
// while every worker is busy with long calls, an id runs once at a time, and a
// malformed id is refused.
#include "serverprocess.h"
#include "testdb.h"

#include <httplib.h>

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QThread>

#include <future>

namespace {

const char* const kPath = "/ZAV50000.rdmCancelaNFE";

struct Reply {
    int status = 0;
    QCborMap message;
    QString state() const { return cell(0).toString(); }
    int done() const { return int(cell(1).toInteger()); }
    int total() const { return int(cell(2).toInteger()); }
    int errorCode() const {
        return int(message.value(QStringLiteral("error")).toMap().value(QStringLiteral("code")).toInteger());
    }
    QString errorMessage() const {
        return message.value(QStringLiteral("error")).toMap().value(QStringLiteral("message")).toString();
    }
    QCborValue cell(qsizetype column) const {
        const QCborMap result = message.value(QStringLiteral("result")).toMap();
        return result.value(QStringLiteral("rows")).toArray().at(0).toArray().at(column);
    }
};

Reply call(int port, const QByteArray& token, const QString& method, const QCborArray& params,
           const QCborValue& id, bool cbor = false) {
    QCborMap map;
    map.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    map.insert(QStringLiteral("id"), id);
    map.insert(QStringLiteral("method"), method);
    map.insert(QStringLiteral("params"), params);
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120);
    httplib::Headers headers;
    if (!token.isEmpty())
        headers.emplace("Authorization", "Bearer " + token.toStdString());
    const QByteArray body =
        cbor ? map.toCborValue().toCbor() : QJsonDocument(map.toJsonObject()).toJson(QJsonDocument::Compact);
    const auto result = client.Post(kPath, headers, body.constData(), size_t(body.size()),
                                    cbor ? "application/cbor" : "application/json");
    Reply reply;
    if (!result)
        return reply;
    reply.status = result->status;
    const QByteArray answer = QByteArray::fromStdString(result->body);
    reply.message = result->get_header_value("Content-Type").starts_with("application/cbor")
                        ? QCborValue::fromCbor(answer).toMap()
                        : QCborValue::fromJsonValue(QJsonDocument::fromJson(answer).object()).toMap();
    return reply;
}

Reply progress(int port, const QByteArray& token, const QCborValue& of, bool cbor = false) {
    return call(port, token, QStringLiteral("Progresso_Chamada"), {of}, QStringLiteral("pergunta"), cbor);
}

// Teste_Progresso of total units of stepMs each, under the id, on a thread.
std::future<Reply> slowCall(int port, const QByteArray& token, const QString& id, int total, int stepMs,
                            int stopAt = 0, int stopMs = 0) {
    return std::async(std::launch::async, [=] {
        return call(port, token, QStringLiteral("Teste_Progresso"), {total, stepMs, stopAt, stopMs}, id);
    });
}

// Asks until the call has said how far it has come (or 20 s have gone).
Reply waitForProgress(int port, const QByteArray& token, const QString& id) {
    Reply r;
    for (int i = 0; i < 200; ++i) {
        r = progress(port, token, id);
        if (r.state() == QLatin1StringView("andamento") && r.total() > 0)
            return r;
        QThread::msleep(100);
    }
    return r;
}

} // namespace

class tst_Progress : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void onlyTheCallersSessionSeesItsCall_data();
    void onlyTheCallersSessionSeesItsCall();
    void answeredWhileEveryWorkerIsBusy();
    void badIdsRefused_data();
    void badIdsRefused();

private:
    // The tests' server on the dialect, with two workers, and two sessions.
    bool start(const QString& dialect, QString* why);

    zavtest::TestDatabases m_dbs;
    ServerProcess m_server;
    QByteArray m_first;
    QByteArray m_second;
};

bool tst_Progress::start(const QString& dialect, QString* why) {
    m_server.testMethods = true;
    if (!m_server.start(m_dbs.connectionText(dialect), {QStringLiteral("--threads"), QStringLiteral("2")},
                        why))
        return false;
    m_first = m_server.signIn(m_dbs.connectionText(dialect), QStringLiteral("OPER1"), why);
    m_second = m_server.signIn(m_dbs.connectionText(dialect), QStringLiteral("OPER2"), why);
    return !m_first.isEmpty() && !m_second.isEmpty();
}

void tst_Progress::onlyTheCallersSessionSeesItsCall_data() {
    zavtest::addDialectRows("a call of 8 units");
}

void tst_Progress::onlyTheCallersSessionSeesItsCall() {
    ZAV_DATABASE(m_dbs, db);
    QString why;
    QVERIFY2(start(dialect, &why), qPrintable(why));
    const int port = m_server.port();
    const QString id = QStringLiteral("0f3a9c1e5b7d4a2c8e6f1b3d5a7c9e0f");

    std::future<Reply> running = slowCall(port, m_first, id, 8, 400);
    const Reply first = waitForProgress(port, m_first, id);
    QCOMPARE(first.state(), QStringLiteral("andamento"));
    QCOMPARE(first.total(), 8);
    QVERIFY(first.done() >= 1 && first.done() < 8);
    // In CBOR too, the same answer.
    const Reply inCbor = progress(port, m_first, id, true);
    QCOMPARE(inCbor.state(), QStringLiteral("andamento"));
    QVERIFY(inCbor.done() >= first.done());

    // Another session learns nothing: the call is as unknown as an id never used.
    const Reply stranger = progress(port, m_second, id);
    const Reply never = progress(port, m_second, QStringLiteral("nunca-usado"));
    QCOMPARE(stranger.state(), QStringLiteral("desconhecida"));
    QCOMPARE(stranger.message, never.message);
    QCOMPARE(stranger.done(), 0);
    QCOMPARE(stranger.total(), 0);
    // A token of no session is told to sign in, whatever the id: the
    // session's token with its first character changed (a random token may
    // well begin with the "x" this once wrote over it, and was then itself).
    QByteArray noSession = m_first;
    noSession[0] = noSession.at(0) == 'x' ? 'y' : 'x';
    QCOMPARE(progress(port, noSession, id).status, 401);
    QCOMPARE(progress(port, QByteArray(), id).status, 401);

    // The same id cannot run twice in one session (a free worker takes it and
    // refuses it); in another session it is another call.
    const Reply twice = call(port, m_first, QStringLiteral("Teste_Progresso"), {1, 0, 0, 0}, id);
    QCOMPARE(twice.errorCode(), -32600);
    QVERIFY2(twice.errorMessage().contains(QStringLiteral("já há uma chamada em andamento")),
             qPrintable(twice.errorMessage()));
    const Reply elsewhere = call(port, m_second, QStringLiteral("Teste_Progresso"), {1, 0, 0, 0}, id);
    QVERIFY2(elsewhere.message.contains(QStringLiteral("result")), qPrintable(elsewhere.errorMessage()));

    // The call ends as it would have without being asked about, and says so.
    const Reply ended = running.get();
    QVERIFY2(ended.message.contains(QStringLiteral("result")), qPrintable(ended.errorMessage()));
    const Reply after = progress(port, m_first, id);
    QCOMPARE(after.state(), QStringLiteral("encerrada"));
    QCOMPARE(after.done(), 8);
    QCOMPARE(after.total(), 8);
    // Ended, the id may be used again.
    const Reply again = call(port, m_first, QStringLiteral("Teste_Progresso"), {1, 0, 0, 0}, id);
    QVERIFY2(again.message.contains(QStringLiteral("result")), qPrintable(again.errorMessage()));
    m_server.stop();
}

void tst_Progress::answeredWhileEveryWorkerIsBusy() {
    QString why;
    QVERIFY2(start(QStringLiteral("sqlite"), &why), qPrintable(why));
    const int port = m_server.port();
    // Two long calls take both workers; each is seen running before the next.
    const QString a = QStringLiteral("chamada-a");
    const QString b = QStringLiteral("chamada-b");
    std::future<Reply> first = slowCall(port, m_first, a, 40, 500);
    QCOMPARE(waitForProgress(port, m_first, a).state(), QStringLiteral("andamento"));
    std::future<Reply> second = slowCall(port, m_first, b, 40, 500);
    QCOMPARE(waitForProgress(port, m_first, b).state(), QStringLiteral("andamento"));
    // Both workers are busy for many seconds more: a question that had to
    // wait for one would be answered only once a call had ended, and would
    // find it ended. It finds both running, and moving on.
    const Reply atA = progress(port, m_first, a);
    const Reply atB = progress(port, m_first, b);
    QCOMPARE(atA.state(), QStringLiteral("andamento"));
    QCOMPARE(atB.state(), QStringLiteral("andamento"));
    QVERIFY(atA.done() < 40 && atB.done() < 40);
    // A bad id is refused there too.
    QCOMPARE(progress(port, m_first, 7).errorCode(), -32602);
    QCOMPARE(progress(port, m_first, QStringLiteral("desconhecida")).state(), QStringLiteral("desconhecida"));
    QCOMPARE(progress(port, m_first, a).state(), QStringLiteral("andamento"));
    m_server.stop();
    first.wait();
    second.wait();
}

void tst_Progress::badIdsRefused_data() {
    QTest::addColumn<QCborValue>("id");
    QTest::newRow("a number") << QCborValue(7);
    QTest::newRow("null") << QCborValue(nullptr);
    QTest::newRow("empty") << QCborValue(QString());
    QTest::newRow("65 characters") << QCborValue(QString(65, u'a'));
    QTest::newRow("a blank") << QCborValue(QStringLiteral("a b"));
    QTest::newRow("not ASCII") << QCborValue(QStringLiteral("ação"));
    QTest::newRow("a list") << QCborValue(QCborArray{QStringLiteral("a")});
}

void tst_Progress::badIdsRefused() {
    QFETCH(QCborValue, id);
    if (!m_server.running()) {
        QString why;
        QVERIFY2(start(QStringLiteral("sqlite"), &why), qPrintable(why));
    }
    const Reply refused = progress(m_server.port(), m_first, id);
    QCOMPARE(refused.errorCode(), -32602);
    QVERIFY2(refused.errorMessage().startsWith(QStringLiteral("Argumento 1 (id da chamada) inválido")),
             qPrintable(refused.errorMessage()));
    // Nor is the question asked without its one argument.
    QCOMPARE(call(m_server.port(), m_first, QStringLiteral("Progresso_Chamada"), {}, 1).errorCode(), -32602);
}

QTEST_GUILESS_MAIN(tst_Progress)
#include "tst_progress.moc"
