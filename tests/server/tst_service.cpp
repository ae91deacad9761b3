// The server stays up for every operator: through the real processes (a real
// zav50000-server, the local authority, SQLite and PostgreSQL), a call refused
// for its session leaves no trace and is done once when repeated after a new
// sign-in; a stop in the middle of a large confirm answers it with what was
// done and exits 0; a hung authority costs the other operators nothing; a
// guesser slows only himself; connections the database broke are mended; and
// nothing costly is spent on a request before its session is known.
#include "authorityclient.h"
#include "cancelfixture.h"
#include "nfeworld.h"
#include "serverprocess.h"
#include "testdb.h"
#include "testtools.h"

#include "database.h"

#include "certificatestore.h"

#include <httplib.h>

#include <QCborValue>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <openssl/ssl.h>

#include <atomic>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace canceltest;

namespace {

const QByteArray kPath = "/ZAV50000.rdmCancelaNFE";

struct World {
    QSqlDatabase db;
    QString connection;
    Establishment e;
    Registration r;
    std::unique_ptr<NfeWorld> nfe;
    std::unique_ptr<ServerProcess> server;
};

// An answer read off a raw connection.
struct Raw {
    int status = 0;
    QJsonObject json;
    int code() const {
        return json.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt();
    }
    QString message() const {
        return json.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
    }
};

// One request written by hand from a loopback address of the caller's choice
// (127.0.0.x: a workstation of its own), its answer read whole.
Raw exchange(int port, const QByteArray& request, const QString& from = QStringLiteral("127.0.0.1"),
             int timeoutMs = 20000) {
    QTcpSocket socket;
    Raw raw;
    if (!socket.bind(QHostAddress(from), 0))
        return raw;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(5000))
        return raw;
    socket.write(request);
    QByteArray reply;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            reply += socket.readAll();
    }
    reply += socket.readAll();
    const qsizetype headEnd = reply.indexOf("\r\n\r\n");
    if (!reply.startsWith("HTTP/1.1 ") || headEnd < 0)
        return raw;
    raw.status = reply.mid(9, 3).toInt();
    raw.json = QJsonDocument::fromJson(reply.mid(headEnd + 4)).object();
    return raw;
}

QByteArray post(int port, const QByteArray& body, const QByteArray& token = {},
                const QByteArray& extra = {}) {
    QByteArray r =
        "POST " + kPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!token.isEmpty())
        r += "Authorization: Bearer " + token + "\r\n";
    return r + extra + "Connection: close\r\n\r\n" + body;
}

QByteArray call(const QString& method, const QJsonArray& params) {
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), 1},
                                     {QStringLiteral("method"), method},
                                     {QStringLiteral("params"), params}})
        .toJson(QJsonDocument::Compact);
}

QByteArray login(const QString& who, const QString& password) {
    return call(QStringLiteral("Login"), {who, password});
}

QString state(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                  {entryOf(n)});
}
int count(QSqlDatabase& db, const QString& sql, const QVariantList& values = {}) {
    return scalar(db, sql, values).toInt();
}

// The requests of each of the authority's services ("evento", "consulta",
// "status"), as it counts them on their arrival.
QMap<QString, int> authorityRequests(NfeWorld& nfe, const Registration& r) {
    QMap<QString, int> counts;
    QString why;
    const auto client = authorityClient(nfe, r.certificate, &why);
    if (!client)
        return counts;
    const auto result = client->Get("/zav/requests");
    if (!result || result->status != 200)
        return counts;
    for (const QString& line : QString::fromStdString(result->body).split(u'\n', Qt::SkipEmptyParts))
        counts.insert(line.section(u' ', 0, 0), line.section(u' ', 1, 1).toInt());
    return counts;
}

int eventRequests(World& w) {
    return authorityRequests(*w.nfe, w.r).value(QStringLiteral("evento"));
}

// The resident memory of a process (kB), from /proc.
qint64 memoryOf(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

QByteArray tokenOf(const Raw& raw) {
    const QJsonArray rows =
        raw.json.value(QStringLiteral("result")).toObject().value(QStringLiteral("rows")).toArray();
    return rows.isEmpty() ? QByteArray() : rows.first().toArray().at(2).toString().toUtf8();
}

// A PostgreSQL cluster of the test's own (scripts/pg-start.sh on a folder and
// a port of its own), so that restarting it disturbs no other test.
class PrivateCluster {
public:
    ~PrivateCluster() { run(QStringLiteral("stop"), {QStringLiteral("-m"), QStringLiteral("fast")}); }

    QString start() {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                                QFile::ExeOther);
        m_port = ServerProcess::closedPort();
        return startCluster();
    }
    // Down at once, as a crash or `pg_ctl restart -m immediate` takes it, then up again.
    QString restart() {
        QString why = run(QStringLiteral("stop"), {QStringLiteral("-m"), QStringLiteral("immediate")});
        if (!why.isEmpty())
            return why;
        return startCluster();
    }
    QString connection() const { return m_connection; }

private:
    QString cluster() const { return m_dir.filePath(QStringLiteral("pg")); }
    QString startCluster() {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZAV_PG_DIR"), cluster());
        env.insert(QStringLiteral("ZAV_PG_PORT"), QString::number(m_port));
        env.insert(QStringLiteral("ZAV_VAR"), m_dir.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("bash"),
                {qEnvironmentVariable("ZAV_SOURCE_DIR") + QStringLiteral("/scripts/pg-start.sh")});
        if (!p.waitForFinished(120000) || p.exitCode() != 0)
            return QStringLiteral("pg-start: %1").arg(QString::fromLocal8Bit(p.readAllStandardError()));
        m_connection = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split(u'\n').last();
        return {};
    }
    QString run(const QString& action, const QStringList& options) {
        if (m_connection.isEmpty())
            return {};
        const QString pgCtl = QStringLiteral("/usr/lib/postgresql/15/bin/pg_ctl");
        QStringList arguments{QStringLiteral("-D"), cluster(), QStringLiteral("-w")};
        arguments << options << action;
        QProcess p;
        if (geteuid() == 0)
            p.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                                                           QStringLiteral("--"), pgCtl} +
                                                   arguments);
        else
            p.start(pgCtl, arguments);
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            return QStringLiteral("pg_ctl %1: %2")
                .arg(action, QString::fromLocal8Bit(p.readAllStandardError()));
        return {};
    }

    QTemporaryDir m_dir;
    int m_port = 0;
    QString m_connection;
};

} // namespace

class TstService : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

    zavtest::Readiness fresh(const QString& dialect, World& w, int invoices,
                             const QStringList& authority = {}, int answerMs = 10000,
                             const QStringList& serverExtra = {}) {
        if (zavtest::Readiness ready = zavtest::useFreshDatabase(m_dbs, dialect, &w.db); !ready.isReady())
            return ready;
        QString why;
        w.connection = m_dbs.connectionText(dialect);
        w.e = mainEstablishment(w.db);
        w.r = registrationOf(w.db, w.e);
        if (invoices > 0 && !(why = insertInvoices(w.db, w.e, 1, invoices, 'A', true)).isEmpty())
            return zavtest::Readiness::fail(why);
        w.nfe = std::make_unique<NfeWorld>();
        if (!(why = w.nfe->certificates(w.db)).isEmpty())
            return zavtest::Readiness::fail(why);
        if (!(why = w.nfe->startAuthority(w.connection, authority, answerMs)).isEmpty())
            return zavtest::Readiness::fail(why);
        w.server = std::make_unique<ServerProcess>();
        if (!w.server->start(w.connection, w.nfe->serverArguments() + serverExtra, &why))
            return zavtest::Readiness::fail(why);
        return zavtest::Readiness::unless(signIn(*w.server, w.connection));
    }

    // The list with the invoices ticked.
    static QCborMap ticked(Client& client, const World& w, int first, int last, QString* why) {
        InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(2000), why);
        for (int n = first; n <= last; ++n)
            list.tick(entryOf(n), kReason);
        return list.packet();
    }

private Q_SLOTS:
    void refusedForItsSessionLeavesNoTrace_data() { zavtest::addDialectRows("fresh database"); }
    void refusedForItsSessionLeavesNoTrace();
    void stopAnswersEveryCallInProgress_data();
    void stopAnswersEveryCallInProgress();
    void oneSessionsCallsLeaveEachOtherAlone_data() { zavtest::addDialectRows("fresh database"); }
    void oneSessionsCallsLeaveEachOtherAlone();
    void hungAuthorityCostsOthersNothing_data() { zavtest::addDialectRows("fresh database"); }
    void hungAuthorityCostsOthersNothing();
    void guessersNeverLockTheOperatorOut_data() { zavtest::addDialectRows("fresh database"); }
    void guessersNeverLockTheOperatorOut();
    void brokenConnectionsAreMended();
    void databaseRestartIsRecoveredFrom();
    void nothingCostlyBeforeTheSession_data() { zavtest::addDialectRows("fresh database"); }
    void nothingCostlyBeforeTheSession();
    void smallerDoorFaults_data() { zavtest::addDialectRows("fresh database"); }
    void smallerDoorFaults();
    void heldConnectionsKeepNobodyOut();
    void tlsSuites_data();
    void tlsSuites();
    void auditRecordsAreAppendOnly_data() { zavtest::addDialectRows("fresh database"); }
    void auditRecordsAreAppendOnly();
};

// A cancellation sent under a session that ended (signed out elsewhere) or
// expired is refused before any of its work: no event, no journal row, no
// record, the invoice as it was, nothing sent to the authority; sent again
// after a new sign-in it is done, once.
void TstService::refusedForItsSessionLeavesNoTrace() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 3));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const struct {
        int invoice;
        QString sql;
    } ends[] = {
        {1, QStringLiteral("UPDATE SESSAOOPER SET DHENCERRADA = %1").arg(now)},
        {2, QStringLiteral("UPDATE SESSAOOPER SET DHEXPIRA = %1").arg(now - 1)},
    };
    for (const auto& end : ends) {
        const QString entry = entryOf(end.invoice);
        Client client(w.server->port());
        QString why;
        const QCborMap packet = ticked(client, w, end.invoice, end.invoice, &why);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const int sentBefore = eventRequests(w);
        QCOMPARE(exec(w.db, end.sql), QString());
        const Answer a = client.cancel(packet, kOperator, today(), w.r);
        QCOMPARE(a.httpStatus, 401);
        QCOMPARE(a.errorCode, -32001);
        QCOMPARE(a.errorMessage, QStringLiteral("Sessão encerrada ou expirada: entre no sistema de novo."));
        QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entry}),
                 0);
        QCOMPARE(
            count(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"), {entry}),
            0);
        QCOMPARE(state(w.db, end.invoice), QStringLiteral("A"));
        QCOMPARE(eventRequests(w), sentBefore);
        // Signed in again, the same call does its work, once.
        QCOMPARE(signIn(*w.server, w.connection), QString());
        Client again(w.server->port());
        const Answer done = again.cancel(packet, kOperator, today(), w.r);
        QVERIFY2(done.null, qPrintable(done.describe()));
        QCOMPARE(state(w.db, end.invoice), QStringLiteral("C"));
        QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entry}),
                 1);
        QCOMPARE(
            count(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"), {entry}),
            1);
        QCOMPARE(eventRequests(w), sentBefore + 1);
    }
}

void TstService::stopAnswersEveryCallInProgress_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QStringList>("authority");
    QTest::addColumn<int>("afterBatches"); // batches the authority received before the stop
    const QStringList slow{QStringLiteral("--delay-ms"), QStringLiteral("400")};
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "slow authority, first batch") << slow << 1;
        zavtest::newRow(d, "slow authority, later batches") << slow << 12;
        zavtest::newRow(d, "hung authority") << QStringList{QStringLiteral("--hang")} << 1;
    }
}

// SIGTERM while a confirm of 1,000 invoices waits on the authority (after its
// first batch, after a dozen, or with the authority hung): the call
// is answered, every invoice cancelled with its record, pending and said so,
// or not reached and said so; the server exits 0; a second confirm concludes
// the rest with no invoice cancelled twice.
void TstService::stopAnswersEveryCallInProgress() {
    QFETCH(QString, dialect);
    QFETCH(QStringList, authority);
    QFETCH(int, afterBatches);
    World w;
    ZAV_READY(fresh(dialect, w, 1000, authority, 20000));
    Client client(w.server->port());
    QString why;
    const QCborMap packet = ticked(client, w, 1, 1000, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    Answer answer;
    std::thread confirm([&] { answer = client.cancel(packet, kOperator, today(), w.r); });
    // Stopped once that many batches are on their way.
    QTRY_VERIFY_WITH_TIMEOUT(eventRequests(w) >= afterBatches, 30000);
    w.server->signalTerminate();
    confirm.join();
    QCOMPARE(w.server->waitForExit(60000), 0);
    QVERIFY2(!w.server->log().contains("Fatal error"), w.server->log().right(2000).constData());
    QCOMPARE(answer.httpStatus, 200);
    QVERIFY2(answer.errorCode == 0, qPrintable(answer.describe()));
    QMap<QString, Failure> failures;
    for (const Failure& f : answer.failures)
        failures.insert(f.entry, f);
    int cancelled = 0, pending = 0, notReached = 0;
    for (int n = 1; n <= 1000; ++n) {
        const QString entry = entryOf(n);
        const QString journalled =
            scalar(w.db, QStringLiteral("SELECT IDSITUACAO FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entry});
        if (!failures.contains(entry)) {
            ++cancelled;
            QCOMPARE(state(w.db, n), QStringLiteral("C"));
            QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                           {entry}),
                     1);
            continue;
        }
        const Failure& f = failures[entry];
        QCOMPARE(state(w.db, n), QStringLiteral("A"));
        QCOMPARE(f.key, QStringLiteral("fa_transmi"));
        if (f.text.startsWith(QStringLiteral("Pedido pendente"))) {
            ++pending;
            QCOMPARE(journalled, QStringLiteral("P"));
        } else {
            ++notReached;
            QCOMPARE(f.text, QStringLiteral("O servidor estava sendo encerrado: a nota não foi enviada à "
                                            "SEFAZ. Confirme de novo para concluir."));
            QCOMPARE(journalled, QString()); // neither signed nor journalled
        }
    }
    QCOMPARE(cancelled + pending + notReached, 1000);
    QVERIFY2(notReached > 0, "the stop came after every invoice was reached");
    // The rest, confirmed again on a new server (and an authority that answers).
    QCOMPARE(w.nfe->authority().terminate(), 0);
    QCOMPARE(w.nfe->startAuthority(w.connection), QString());
    const int before = w.server->port();
    w.server = std::make_unique<ServerProcess>();
    QVERIFY2(w.server->start(w.connection, w.nfe->serverArguments(), &why), qPrintable(why));
    carrySessions(before, w.server->port());
    Client again(w.server->port());
    const QCborMap rest = ticked(again, w, 1, 1000, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const Answer second = again.cancel(rest, kOperator, today(), w.r);
    QVERIFY2(second.null, qPrintable(second.describe()));
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")), 1000);
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'")), 1000);
    QCOMPARE(count(w.db,
                   QStringLiteral(
                       "SELECT COUNT(*) FROM NOTAFISCAL WHERE IDSITUACAONFE = 'C' AND NRLANCTONF BETWEEN ? "
                       "AND ?"),
                   {entryOf(1), entryOf(1000)}),
             1000);
}

// Two calls of one session confirming the same list at once (two windows of
// one workstation): each invoice cancelled once, and neither call asks the
// authority about, or sends again, the events the other has on their way.
void TstService::oneSessionsCallsLeaveEachOtherAlone() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 100, {QStringLiteral("--delay-ms"), QStringLiteral("300")}));
    QString why;
    QCborMap packet;
    {
        Client lister(w.server->port());
        packet = ticked(lister, w, 1, 100, &why);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    Answer answers[2];
    std::thread calls[2];
    for (int i = 0; i < 2; ++i)
        calls[i] = std::thread([&, i] {
            Client client(w.server->port());
            answers[i] = client.cancel(packet, kOperator, today(), w.r);
        });
    for (std::thread& t : calls)
        t.join();
    for (const Answer& a : answers) {
        QVERIFY2(a.errorCode == 0, qPrintable(a.describe()));
        for (const Failure& f : a.failures)
            QVERIFY2(f.key == u"MS01" || f.text == QStringLiteral("Nota fiscal já cancelada."),
                     qPrintable(a.describe()));
    }
    QCOMPARE(answers[0].failures.size() + answers[1].failures.size(), qsizetype(100));
    QCOMPARE(count(w.db,
                   QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF BETWEEN ? AND ?"),
                   {entryOf(1), entryOf(100)}),
             100);
    const QMap<QString, int> asked = authorityRequests(*w.nfe, w.r);
    QCOMPARE(asked.value(QStringLiteral("consulta")), 0);
    QCOMPARE(count(w.db,
                   QStringLiteral("SELECT SUM(NRTENTATIVAS) FROM NFEEVENTO WHERE NRLANCTONF BETWEEN ? AND ?"),
                   {entryOf(1), entryOf(100)}),
             100);
}

// Eight operators confirming against an authority that reads and never
// answers: a ninth signs in, lists and asks for health while all eight still
// wait; the breaker, one for the authority, stops every call's sending once
// it opens, so the authority gets a bounded number of batches in all.
void TstService::hungAuthorityCostsOthersNothing() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 160, {QStringLiteral("--hang")}, 4000));
    QString why;
    std::vector<QCborMap> packets;
    {
        Client lister(w.server->port());
        for (int k = 0; k < 8; ++k) {
            packets.push_back(ticked(lister, w, k * 20 + 1, k * 20 + 20, &why));
            QVERIFY2(why.isEmpty(), qPrintable(why));
        }
    }
    std::atomic<int> finished{0};
    std::vector<Answer> answers(8);
    std::vector<std::thread> confirms;
    confirms.reserve(8);
    for (int k = 0; k < 8; ++k)
        confirms.emplace_back([&, k] {
            Client client(w.server->port());
            answers[size_t(k)] = client.cancel(packets[size_t(k)], kOperator, today(), w.r);
            ++finished;
        });
    QTRY_VERIFY_WITH_TIMEOUT(eventRequests(w) > 0, 20000);
    // The ninth operator, while every confirm waits.
    ServerProcess& server = *w.server;
    const QByteArray token = server.signIn(w.connection, QStringLiteral("NONO"), &why);
    QVERIFY2(!token.isEmpty(), qPrintable(why));
    Client ninth(server.port());
    const InvoiceList list = InvoiceList::fetch(ninth, w.e, issueDayOf(1), issueDayOf(2000), &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(list.size(), qsizetype(160));
    const Raw health =
        exchange(server.port(), "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QCOMPARE(health.status, 200);
    QCOMPARE(finished.load(), 0);
    for (std::thread& t : confirms)
        t.join();
    int pending = 0;
    for (const Answer& a : answers) {
        QVERIFY2(a.errorCode == 0, qPrintable(a.describe()));
        QCOMPARE(a.failures.size(), 20);
        for (const Failure& f : a.failures) {
            QVERIFY2(f.text.startsWith(QStringLiteral("Pedido pendente")) ||
                         f.text.startsWith(QStringLiteral("SEFAZ indisponível")),
                     qPrintable(f.text));
            pending += f.text.startsWith(QStringLiteral("Pedido pendente"));
        }
    }
    // At most the authority's batches in flight (4) went out before the
    // breaker opened for every call: 20 invoices each.
    QVERIFY2(pending <= 4 * 20, qPrintable(QString::number(pending)));
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO")), pending);
}

// Operator codes are no secret: guesses from one address never keep the
// operator out at another; a success on a shared address clears its count;
// guesses sent at once are counted one after another.
void TstService::guessersNeverLockTheOperatorOut() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 0));
    ServerProcess& server = *w.server;
    QString why;
    for (const char* who : {"ANA", "BETO", "CAIO", "DORA"})
        QVERIFY2(!server.signIn(w.connection, QString::fromLatin1(who), &why).isEmpty(), qPrintable(why));
    QCOMPARE(exec(w.db, QStringLiteral("DELETE FROM FALHALOGIN")), QString());
    const int port = server.port();
    const auto attempt = [&](const char* who, const char* password, const char* from) {
        return exchange(port, post(port, login(QString::fromLatin1(who), QString::fromLatin1(password))),
                        QString::fromLatin1(from));
    };
    // Five wrong guesses from one address; the right password from another
    // is never refused, from the guesser's address it waits.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(attempt("ANA", "errada", "127.0.0.2").message(),
                 QStringLiteral("Operador ou senha inválidos."));
    QVERIFY(!tokenOf(attempt("ANA", kTestPassword, "127.0.0.3")).isEmpty());
    QVERIFY(
        attempt("ANA", kTestPassword, "127.0.0.2").message().startsWith(QStringLiteral("Muitas tentativas")));
    // A shared address: one user's typos, then his success, and a colleague
    // who never failed signs in at once, typo and all.
    for (int i = 0; i < 5; ++i)
        attempt("BETO", "errada", "127.0.0.4");
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE FALHALOGIN SET DHULTIMA = DHULTIMA - 3600 + 60")), QString());
    QVERIFY(!tokenOf(attempt("BETO", kTestPassword, "127.0.0.4")).isEmpty());
    QCOMPARE(attempt("CAIO", "errada", "127.0.0.4").message(),
             QStringLiteral("Operador ou senha inválidos."));
    QVERIFY(!tokenOf(attempt("CAIO", kTestPassword, "127.0.0.4")).isEmpty());
    // Sixteen guesses at once: five are checked, the rest refused unchecked.
    std::atomic<int> checked{0}, throttled{0};
    std::vector<std::thread> guesses;
    guesses.reserve(16);
    for (int i = 0; i < 16; ++i)
        guesses.emplace_back([&] {
            const Raw r = attempt("DORA", "errada", "127.0.0.5");
            if (r.message() == QStringLiteral("Operador ou senha inválidos."))
                ++checked;
            else if (r.message().startsWith(QStringLiteral("Muitas tentativas")))
                ++throttled;
        });
    for (std::thread& t : guesses)
        t.join();
    QCOMPARE(checked.load(), 5);
    QCOMPARE(throttled.load(), 11);
    // An operator guessed at from everywhere within the hour is slowed, never
    // refused, from a clean address.
    QCOMPARE(exec(w.db, QStringLiteral(
                            "UPDATE FALHALOGIN SET NRFALHAS = 500, DHULTIMA = %1 WHERE DSCHAVE = 'O:DORA'")
                            .arg(QDateTime::currentSecsSinceEpoch())),
             QString());
    QVERIFY(!tokenOf(attempt("DORA", kTestPassword, "127.0.0.6")).isEmpty());
    // The log says whom each failed sign-in tried.
    QVERIFY(server.waitForLog("tried=DORA"));
}

// The database closes every connection of the server (as a restart does,
// here by ending their backends: the cluster is shared with the other tests):
// the next calls, the sign-in among them, work on fresh connections; a
// confirm cut in the middle leaves nothing half-done and a second confirm
// concludes it, no invoice cancelled twice.
void TstService::brokenConnectionsAreMended() {
    if (zavtest::postgresServer().isEmpty())
        QSKIP("PostgreSQL (ZAV_TEST_PG) not configured");
    World w;
    ZAV_READY(fresh(zavtest::kPostgreSQL, w, 200, {QStringLiteral("--delay-ms"), QStringLiteral("300")},
                    10000, {QStringLiteral("--threads"), QStringLiteral("4")}));
    const QString endBackends = QStringLiteral("SELECT COUNT(pg_terminate_backend(pid)) FROM "
                                               "pg_stat_activity WHERE datname = current_database() AND "
                                               "pid <> pg_backend_pid()");
    Client client(w.server->port());
    QString why;
    for (int round = 0; round < 2; ++round) {
        // Every worker holds a connection, then the database drops them all.
        for (int i = 0; i < 8; ++i) {
            InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(10), &why);
            QVERIFY2(why.isEmpty(), qPrintable(why));
        }
        QVERIFY(scalar(w.db, endBackends).toInt() > 0);
        for (int i = 0; i < 16; ++i) {
            const InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(10), &why);
            QVERIFY2(why.isEmpty(), qPrintable(why));
            QCOMPARE(list.size(), qsizetype(10));
        }
        QVERIFY(scalar(w.db, endBackends).toInt() > 0);
        const Raw signIn =
            exchange(w.server->port(), post(w.server->port(), login(kOperator, kTestPassword)));
        QVERIFY2(!tokenOf(signIn).isEmpty(), qPrintable(signIn.message()));
    }
    // During a batch.
    const QCborMap packet = ticked(client, w, 1, 200, &why);
    Answer first;
    std::thread confirm([&] { first = client.cancel(packet, kOperator, today(), w.r); });
    QTRY_VERIFY_WITH_TIMEOUT(eventRequests(w) > 0, 20000);
    scalar(w.db, endBackends);
    confirm.join();
    QVERIFY2(first.errorCode == 0, qPrintable(first.describe()));
    const QCborMap rest = ticked(client, w, 1, 200, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const Answer second = client.cancel(rest, kOperator, today(), w.r);
    QVERIFY2(second.null, qPrintable(second.describe()));
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")), 200);
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'")), 200);
}

// PostgreSQL taken down at once and started again (its own cluster): right
// after, every call and every sign-in works, the workers' dead connections
// replaced; a confirm caught by the restart leaves nothing half-done and a
// second confirm concludes it, none twice.
void TstService::databaseRestartIsRecoveredFrom() {
    if (zavtest::postgresServer().isEmpty())
        QSKIP("PostgreSQL (ZAV_TEST_PG) not configured");
    PrivateCluster pg;
    QString why = pg.start();
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QProcess dbinit;
    dbinit.start(qEnvironmentVariable("ZAV_BIN_DIR") + QStringLiteral("/zav-dbinit"),
                 {QStringLiteral("--db"), pg.connection()});
    QVERIFY(dbinit.waitForFinished(120000));
    QVERIFY2(dbinit.exitCode() == 0, dbinit.readAllStandardError().constData());
    World w;
    w.connection = pg.connection();
    const auto reopen = [&w] {
        w.db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("restart"));
        w.db = zavdb::open(w.connection, QStringLiteral("restart"));
    };
    reopen();
    w.e = mainEstablishment(w.db);
    w.r = registrationOf(w.db, w.e);
    QCOMPARE(insertInvoices(w.db, w.e, 1, 200, 'A', true), QString());
    w.nfe = std::make_unique<NfeWorld>();
    QCOMPARE(w.nfe->certificates(w.db), QString());
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--delay-ms"), QStringLiteral("300")}),
             QString());
    w.server = std::make_unique<ServerProcess>();
    QVERIFY2(w.server->start(w.connection,
                             w.nfe->serverArguments() +
                                 QStringList{QStringLiteral("--threads"), QStringLiteral("4")},
                             &why),
             qPrintable(why));
    QCOMPARE(signIn(*w.server, w.connection), QString());
    Client client(w.server->port());
    // Idle: every worker holds a connection when the database goes down.
    for (int i = 0; i < 8; ++i) {
        InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(10), &why);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    why = pg.restart();
    QVERIFY2(why.isEmpty(), qPrintable(why));
    for (int i = 0; i < 16; ++i) {
        const InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(10), &why);
        QVERIFY2(why.isEmpty(), qPrintable(QStringLiteral("call %1 after the restart: %2").arg(i).arg(why)));
    }
    for (int i = 0; i < 4; ++i) {
        const Raw signedIn =
            exchange(w.server->port(), post(w.server->port(), login(kOperator, kTestPassword)));
        QVERIFY2(!tokenOf(signedIn).isEmpty(), qPrintable(signedIn.message()));
    }
    // During sign-ins: those the restart catches may fail; the next ones work.
    std::atomic<bool> over{false};
    std::thread signIns([&] {
        while (!over.load())
            exchange(w.server->port(), post(w.server->port(), login(kOperator, kTestPassword)));
    });
    why = pg.restart();
    over.store(true);
    signIns.join();
    QVERIFY2(why.isEmpty(), qPrintable(why));
    for (int i = 0; i < 8; ++i) {
        const Raw signedIn =
            exchange(w.server->port(), post(w.server->port(), login(kOperator, kTestPassword)));
        QVERIFY2(!tokenOf(signedIn).isEmpty(), qPrintable(signedIn.message()));
    }
    // During a batch.
    const QCborMap packet = ticked(client, w, 1, 200, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    Answer first;
    std::thread confirm([&] { first = client.cancel(packet, kOperator, today(), w.r); });
    QTRY_VERIFY_WITH_TIMEOUT(eventRequests(w) > 0, 20000);
    why = pg.restart();
    confirm.join();
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QVERIFY2(first.errorCode == 0, qPrintable(first.describe()));
    reopen();
    const QCborMap rest = ticked(client, w, 1, 200, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const Answer second = client.cancel(rest, kOperator, today(), w.r);
    QVERIFY2(second.null, qPrintable(second.describe()));
    QCOMPARE(count(w.db,
                   QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF BETWEEN ? AND ?"),
                   {entryOf(1), entryOf(200)}),
             200);
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'")), 200);
    QCOMPARE(w.server->terminate(), 0);
    w.db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("restart"));
}

// Large bodies without a session are refused from their head, before a byte
// is kept; with one, the bodies read at once are bounded; a body of many
// short texts is refused before it is built.
void TstService::nothingCostlyBeforeTheSession() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 0));
    ServerProcess& server = *w.server;
    const qint64 pid = server.pid();
    const qint64 before = memoryOf(pid, "VmRSS:");
    const qint64 announced = qint64{60} * 1024 * 1024;
    const QByteArray head = "POST " + kPath +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                            "Content-Length: " +
                            QByteArray::number(announced) + "\r\n";
    // Eight without a token, one with the token of no session: each refused
    // at once, with what they sent dropped.
    std::vector<std::unique_ptr<QTcpSocket>> held;
    held.reserve(9);
    for (int i = 0; i < 9; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QStringLiteral("127.0.0.1"), quint16(server.port()));
        QVERIFY(s->waitForConnected(5000));
        s->write(
            head +
            (i == 8 ? QByteArray("Authorization: Bearer ") + QByteArray(43, 'x') + "\r\n" : QByteArray()) +
            "\r\n");
        s->write(QByteArray(qsizetype{1024} * 1024, 'a'));
        held.push_back(std::move(s));
    }
    for (auto& s : held) {
        QByteArray reply;
        QDeadlineTimer deadline(10000);
        while (!reply.contains("\r\n\r\n") && !deadline.hasExpired())
            if (s->waitForReadyRead(500))
                reply += s->readAll();
        QVERIFY2(reply.startsWith("HTTP/1.1 401"), reply.left(200).constData());
    }
    QVERIFY2(memoryOf(pid, "VmRSS:") - before < qint64{32} * 1024,
             qPrintable(QStringLiteral("%1 kB more").arg(memoryOf(pid, "VmRSS:") - before)));
    held.clear();
    // Under a session: a body of 15 M one-letter texts is refused unbuilt.
    QByteArray shortTexts = R"({"jsonrpc":"2.0","id":1,"method":"GetNotaFiscal","params":[[)";
    shortTexts.reserve(qsizetype{64} * 1024 * 1024);
    for (int i = 0; i < 12 * 1024 * 1024; ++i)
        shortTexts += i ? ",\"a\"" : "\"a\"";
    shortTexts += "]]}";
    const qint64 peakBefore = memoryOf(pid, "VmHWM:");
    const Raw refused = exchange(server.port(), post(server.port(), shortTexts, server.token()),
                                 QStringLiteral("127.0.0.1"), 60000);
    QCOMPARE(refused.code(), -32600);
    QVERIFY2(refused.message().contains(QStringLiteral("valores demais")), qPrintable(refused.message()));
    // The body held once (48 MiB), and little besides.
    QVERIFY2(memoryOf(pid, "VmHWM:") - peakBefore < qint64{160} * 1024,
             qPrintable(QStringLiteral("peak %1 kB more").arg(memoryOf(pid, "VmHWM:") - peakBefore)));
}

void TstService::smallerDoorFaults() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 2));
    ServerProcess& server = *w.server;
    const int port = server.port();
    const QByteArray list = call(QStringLiteral("Logout"), {});
    // A bare token, without its scheme, is no session.
    const QByteArray bare = "POST " + kPath +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                            "Authorization: " +
                            server.token() + "\r\nContent-Length: " + QByteArray::number(list.size()) +
                            "\r\nConnection: close\r\n\r\n" + list;
    QCOMPARE(exchange(port, bare).status, 401);
    // Two Host headers.
    QCOMPARE(exchange(port, post(port, list, server.token(), "Host: elsewhere.example\r\n")).status, 400);
    // A NUL in a field of the list is an argument refusal on every database.
    Client client(port);
    QString why;
    InvoiceList invoices = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(10), &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    invoices.tick(entryOf(1), kReason);
    invoices.set(entryOf(1), QStringLiteral("CDFILIAL"), QString(w.e.branch + QChar(0)));
    const Answer nul = client.cancel(invoices.packet(), kOperator, today(), w.r);
    QCOMPARE(nul.errorCode, -32602);
    QVERIFY2(nul.errorMessage.contains(QStringLiteral("NUL")), qPrintable(nul.errorMessage));
    QVERIFY(!server.log().contains("ocorrência"));
    // Signed out, a token is not answered by the progress question.
    const QByteArray progress = call(QStringLiteral("Progresso_Chamada"), {QStringLiteral("abc")});
    QCOMPARE(exchange(port, post(port, progress, server.token())).status, 200);
    QCOMPARE(exchange(port, post(port, list, server.token())).status, 200); // Logout
    QCOMPARE(exchange(port, post(port, progress, server.token())).status, 401);
}

// Connections held without a request (a head begun and never ended, from one
// address and from five) never keep a new operator from signing in: each
// address has a share well under the table, a full table makes room by
// closing the oldest head of the busiest address, and a head that trickles
// is closed at its deadline however often it sends.
void TstService::heldConnectionsKeepNobodyOut() {
    World w;
    ZAV_READY(fresh(zavtest::kSQLite, w, 0));
    const int port = w.server->port();
    const QByteArray begun = "POST " + kPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (const int addresses : {1, 5}) {
        std::vector<std::unique_ptr<QTcpSocket>> held;
        held.reserve(300);
        for (int i = 0; i < 300; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            s->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(10 + i % addresses)), 0);
            s->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
            if (s->waitForConnected(2000)) {
                s->write(begun);
                s->flush();
            }
            held.push_back(std::move(s));
        }
        QCoreApplication::processEvents();
        const Raw signedIn =
            exchange(port, post(port, login(kOperator, kTestPassword)), QStringLiteral("127.0.0.99"), 10000);
        QVERIFY2(!tokenOf(signedIn).isEmpty(), qPrintable(QStringLiteral("%1 address(es): %2 %3")
                                                              .arg(addresses)
                                                              .arg(signedIn.status)
                                                              .arg(signedIn.message())));
    }
    // A head sent a byte a second: closed at its deadline (the idle timeout
    // never sees it silent).
    QTcpSocket trickle;
    trickle.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    QVERIFY(trickle.waitForConnected(2000));
    trickle.write(begun);
    bool closed = false;
    for (int second = 0; second < 30 && !closed; ++second) {
        trickle.write("a");
        trickle.flush();
        closed = trickle.waitForDisconnected(1000) || trickle.state() != QAbstractSocket::ConnectedState;
    }
    QVERIFY2(closed, "a trickling head kept its connection for 30 s");
}

void TstService::tlsSuites_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("cipher");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("TLS 1.3") << QStringLiteral("-tls1_3") << QString() << true;
    QTest::newRow("ECDHE with AES-GCM")
        << QStringLiteral("-tls1_2") << QStringLiteral("ECDHE-RSA-AES128-GCM-SHA256") << true;
    QTest::newRow("ECDHE with ChaCha20")
        << QStringLiteral("-tls1_2") << QStringLiteral("ECDHE-RSA-CHACHA20-POLY1305") << true;
    QTest::newRow("RSA key exchange, AES-GCM (no forward secrecy)")
        << QStringLiteral("-tls1_2") << QStringLiteral("AES128-GCM-SHA256") << false;
    QTest::newRow("RSA key exchange, CBC-SHA1")
        << QStringLiteral("-tls1_2") << QStringLiteral("AES128-SHA") << false;
    QTest::newRow("ECDHE with CBC-SHA1")
        << QStringLiteral("-tls1_2") << QStringLiteral("ECDHE-RSA-AES128-SHA") << false;
    QTest::newRow("ECDHE with CBC-SHA256")
        << QStringLiteral("-tls1_2") << QStringLiteral("ECDHE-RSA-AES128-SHA256") << false;
    QTest::newRow("TLS 1.1") << QStringLiteral("-tls1_1") << QString() << false;
}

// The suites the server's TLS offers, as a client that asks for one finds:
// forward secrecy and AEAD only.
void TstService::tlsSuites() {
    QFETCH(QString, version);
    QFETCH(QString, cipher);
    QFETCH(bool, accepted);
    World w;
    ZAV_READY(fresh(zavtest::kSQLite, w, 0));
    ServerProcess tls;
    QString why;
    QVERIFY2(tls.startTls(w.connection, w.nfe->certificateFolder(), {}, &why), qPrintable(why));
    QStringList arguments{QStringLiteral("s_client"),
                          QStringLiteral("-connect"),
                          QStringLiteral("127.0.0.1:%1").arg(tls.port()),
                          version,
                          QStringLiteral("-CAfile"),
                          w.nfe->caFile()};
    if (!cipher.isEmpty())
        arguments << QStringLiteral("-cipher") << cipher;
    if (version == u"-tls1_1")
        arguments << QStringLiteral("-cipher") << QStringLiteral("DEFAULT@SECLEVEL=0");
    QProcess client;
    client.start(QStringLiteral("openssl"), arguments);
    QVERIFY(client.waitForStarted());
    client.closeWriteChannel();
    QVERIFY(client.waitForFinished(20000));
    const QByteArray said = client.readAllStandardOutput();
    const bool agreed = said.contains("Cipher is ") && !said.contains("Cipher is (NONE)");
    QVERIFY2(agreed == accepted, said.left(1500).constData());
}

// A cancellation's record and a registered event are never rewritten nor
// deleted, whoever asks; a rejected event gives way to a new one. On
// PostgreSQL the workstation's role creates no temporary tables.
void TstService::auditRecordsAreAppendOnly() {
    QFETCH(QString, dialect);
    World w;
    ZAV_READY(fresh(dialect, w, 2));
    Client client(w.server->port());
    QString why;
    const Answer done = client.cancel(ticked(client, w, 1, 1, &why), kOperator, today(), w.r);
    QVERIFY2(done.null, qPrintable(done.describe()));
    const QVariantList entry{entryOf(1)};
    const QStringList refused{
        QStringLiteral(
            "UPDATE CANCELAMENTONFE SET DSMOTIVOCANC = 'outro motivo qualquer' WHERE NRLANCTONF = ?"),
        QStringLiteral("DELETE FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
        QStringLiteral("UPDATE NFEEVENTO SET XMLENVIO = 'x' WHERE NRLANCTONF = ?"),
        QStringLiteral("UPDATE NFEEVENTO SET NRPROTOCOLO = '1' WHERE NRLANCTONF = ?"),
        QStringLiteral("UPDATE NFEEVENTO SET IDSITUACAO = 'P' WHERE NRLANCTONF = ?"),
        QStringLiteral("DELETE FROM NFEEVENTO WHERE NRLANCTONF = ?"),
    };
    for (const QString& sql : refused)
        QVERIFY2(!exec(w.db, sql, entry).isEmpty(), qPrintable(sql));
    QCOMPARE(count(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"), entry),
             1);
    // What the journal's own rules change stays changeable.
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NFEEVENTO SET NRCONSULTAS = 3 WHERE NRLANCTONF = ?"), entry),
             QString());
    if (dialect == zavtest::kPostgreSQL) {
        const auto direct = [&w](const char* sql) {
            QSqlQuery q(w.db);
            return q.exec(QString::fromLatin1(sql)) ? QString() : q.lastError().text();
        };
        QCOMPARE(direct("SET ROLE zav_estacao"), QString());
        const QString temp = direct("CREATE TEMPORARY TABLE RASCUNHO (N INTEGER)");
        QCOMPARE(direct("RESET ROLE"), QString());
        QVERIFY2(!temp.isEmpty(), "the workstation's role created a temporary table");
    }
}

QTEST_GUILESS_MAIN(TstService)
#include "tst_service.moc"
