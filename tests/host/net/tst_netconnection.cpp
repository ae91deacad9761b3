// The connection to the application server, against a real zav50000-server
// process on a fresh database (SQLite, and PostgreSQL when ZAV_TEST_PG names
// one) and against a scripted loopback server for the answers a real server
// never gives: garbage, a body cut short, silence, a malformed packet.
#include "components/busyoverlay.h"
#include "data/clientdataset.h"
#include "database.h"
#include "invoicepacket.h"
#include "net/netconnection.h"
#include "recordingservices.h"
#include "scriptedhttpserver.h"
#include "seed.h"
#include "serverprocess.h"
#include "services/exceptions.h"
#include "services/hostservices.h"
#include "services/hosttexts.h"
#include "services/logindialog.h"
#include "services/qthostservices.h"
#include "services/session.h"
#include "services/signin.h"
#include "testdb.h"
#include "testtools.h"
#include "uitest.h"

#include <QApplication>
#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSize>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <map>

namespace {

const QString kErrConex = QStringLiteral("Ocorreu um erro na conexão com o servidor: ");
// What a call that ended without an answer after it may have reached the
// server says last.
const QString kMayBeDone = HostText::text(HostText::CallMayGoOn);
const QString kInvalid = QStringLiteral("Resposta inválida do servidor: ");

// The entries of the establishment with the most authorised invoices.
const char* const kEntriesSql = R"(
SELECT NRLANCTONF FROM NOTAFISCAL
WHERE CDFILIAL = :P_CDFILIAL AND CDEMPRESA = :P_CDEMPRESA AND CDINSCESTA = :P_CDINSCESTA
  AND CDINSCMUNI = :P_CDINSCMUNI AND CDSERIE = :P_CDSERIE AND IDSITUACAONFE = :P_IDSITUACAONFE
ORDER BY NRLANCTONF)";

struct Criteria {
    QVariantList args;
    QStringList entries; // the entry numbers the call must bring, sorted
};

Criteria criteriaFor(QSqlDatabase& db) {
    Criteria c;
    const std::optional<zavdb::BusiestEstablishment> busiest = zavdb::busiestEstablishment(db);
    if (!busiest)
        qFatal("no authorised invoice");
    const QVariantList est = busiest->keys();
    c.args = est;
    c.args << QString("") << QString("") << QString("") << QString("") << busiest->firstIssue
           << busiest->lastIssue << QString("");

    QSqlQuery e(db);
    if (!e.prepare(QString::fromLatin1(kEntriesSql)))
        qFatal("prepare: %s", qPrintable(e.lastError().text()));
    const char* names[] = {":P_CDFILIAL", ":P_CDEMPRESA", ":P_CDINSCESTA", ":P_CDINSCMUNI", ":P_CDSERIE"};
    for (int i = 0; i < 5; ++i)
        e.bindValue(QLatin1StringView(names[i]), est.at(i));
    e.bindValue(QStringLiteral(":P_IDSITUACAONFE"), QStringLiteral("A"));
    if (!e.exec())
        qFatal("entries: %s", qPrintable(e.lastError().text()));
    while (e.next())
        c.entries.append(e.value(0).toString());
    return c;
}

// Counts paint events: the proof that the screen repaints during a call.
class PaintCounter : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent*) override { ++paints; }
};

using zavtest::failureOf;

// GetNotaFiscal's twelve arguments for branch 0001, company 01, series 1
// and the period.
QVariantList periodArguments(const QDate& from, const QDate& to) {
    return QVariantList{QStringLiteral("0001"),
                        QStringLiteral("01"),
                        QStringLiteral("1"),
                        QString(""),
                        QStringLiteral("1"),
                        QString(""),
                        QString(""),
                        QString(""),
                        QString(""),
                        from,
                        to,
                        QString("")};
}

} // namespace

class tst_NetConnection : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void getNotaFiscalJsonAndCborAgree_data();
    void getNotaFiscalJsonAndCborAgree();
    void serverErrorReachesTheCaller_data();
    void serverErrorReachesTheCaller();
    void unreachableServer();
    void beforeConnectRunsBeforeEveryAttempt();
    void badAnswersRefused_data();
    void badAnswersRefused();
    void malformedPacketLeavesTheListClosed();
    void aLongListArrivesWholeOrNotAtAll();
    void timeouts();
    void aProgressingCallIsWaitedForAndShowsHowFar_data();
    void aProgressingCallIsWaitedForAndShowsHowFar();
    void aCallThatStopsProgressingIsGivenUp();
    void aCallThatNeverSaysItsTotalKeepsCallTimeout();
    void argumentsOnTheWire_data();
    void argumentsOnTheWire();
    void callWaitsWhileTheScreenRepaints();
    void closedOrDestroyedDuringACall();
    void aDroppedCallIsNeverSentAgain();
    void aCallWithoutAnAnswerSaysWhatMayHaveBeenDone_data();
    void aCallWithoutAnAnswerSaysWhatMayHaveBeenDone();
    void inputDuringACallIsDroppedNotReplayed();
    void httpsVerifiesTheServer();
    void plainHttpOnlyOnLoopback();
    void signInDialog_data();
    void signInDialog();
    void signInAndOutAtTheHostsPath();
    void anEndedSessionIsOpenedAgainAndTheCallMadeOnce_data();
    void anEndedSessionIsOpenedAgainAndTheCallMadeOnce();
    void signInAgainOverTheOpenScreens();
    void cleanupTestCase();

private:
    ServerProcess* server(const QString& dialect, QString* why, bool testMethods = false);
    void pointAt(TNetConnection& net, int port);

    zavtest::TestDatabases m_dbs;
    std::map<QString, std::unique_ptr<ServerProcess>> m_servers;
    QHash<int, QByteArray> m_tokens; // the test operator's session at each server, by port
};

ServerProcess* tst_NetConnection::server(const QString& dialect, QString* why, bool testMethods) {
    const QString key = testMethods ? dialect + QStringLiteral("-teste") : dialect;
    auto found = m_servers.find(key);
    if (found != m_servers.end())
        return found->second.get();
    auto process = std::make_unique<ServerProcess>();
    process->testMethods = testMethods;
    if (!process->start(m_dbs.connectionText(dialect), {QStringLiteral("--threads"), QStringLiteral("2")},
                        why))
        return nullptr;
    if (process->signIn(m_dbs.connectionText(dialect), QStringLiteral("OPER1"), why).isEmpty())
        return nullptr;
    m_tokens[process->port()] = process->token();
    return m_servers.emplace(key, std::move(process)).first->second.get();
}

void tst_NetConnection::cleanupTestCase() {
    m_servers.clear();
}

void tst_NetConnection::pointAt(TNetConnection& net, int port) {
    // The servers of these tests speak plain HTTP on loopback, as asked for.
    Session::values().webPlainHttp = true;
    // Under the test operator's session at that server (none for a peer of the test's own).
    Session::values().webToken = QString::fromLatin1(m_tokens.value(port));
    net.ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
    net.BeforeConnect = [&net, port](QObject*) {
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
    };
}

void tst_NetConnection::getNotaFiscalJsonAndCborAgree_data() {
    zavtest::addDialectRows("demo establishment");
}

void tst_NetConnection::getNotaFiscalJsonAndCborAgree() {
    ZAV_DATABASE(m_dbs, db);
    QString why;
    ServerProcess* app = server(dialect, &why);
    QVERIFY2(app, qPrintable(why));
    const Criteria criteria = criteriaFor(db);
    QVERIFY(criteria.entries.size() > 1);

    std::vector<std::unique_ptr<TClientDataSet>> lists;
    for (const bool cbor : {true, false}) {
        TNetConnection net;
        pointAt(net, app->port());
        net.UseCbor = cbor;
        net.SetConnected(true);
        QVERIFY2(net.Connected(), qPrintable(net.LastError()));
        auto list = std::make_unique<TClientDataSet>();
        invoicetest::declareFields(*list);
        list->SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
        list->SetData(net.AppServer(QStringLiteral("GetNotaFiscal"), criteria.args));
        QCOMPARE(list->RecordCount(), criteria.entries.size());
        QStringList entries, keys;
        for (list->First(); !list->Eof(); list->Next()) {
            entries.append(list->FieldByName(QStringLiteral("NRLANCTONF"))->AsString());
            keys.append(list->FieldByName(QStringLiteral("LANCAMENTO"))->AsString());
            QCOMPARE(list->FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("U"));
            QVERIFY(list->FieldByName(QStringLiteral("DTEMISSAO"))->AsDateTime().isValid());
        }
        QStringList sortedKeys = keys;
        std::sort(sortedKeys.begin(), sortedKeys.end());
        QCOMPARE(keys, sortedKeys);
        entries.sort();
        QCOMPARE(entries, criteria.entries);
        lists.push_back(std::move(list));
    }
    // The same list cell by cell, whichever encoding carried it.
    TClientDataSet& a = *lists[0];
    TClientDataSet& b = *lists[1];
    for (int r = 0; r < a.ViewRowCount(); ++r)
        for (int f = 0; f < a.Fields().size(); ++f)
            QCOMPARE(a.value(r, f), b.value(r, f));
}

void tst_NetConnection::serverErrorReachesTheCaller_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("message");
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "unknown method")
            << QStringLiteral("Nada") << QVariantList{} << QStringLiteral("Método desconhecido: Nada");
        zavtest::newRow(d, "too few arguments")
            << QStringLiteral("GetNotaFiscal") << QVariantList{QStringLiteral("0001")}
            << QStringLiteral("Número de argumentos inválido para GetNotaFiscal: esperados 12, recebidos 1");
        zavtest::newRow(d, "period reversed")
            << QStringLiteral("GetNotaFiscal") << periodArguments(QDate(2024, 5, 31), QDate(2024, 5, 1))
            << QStringLiteral(
                   "Período inválido: a data inicial 31/05/2024 é posterior à data final 01/05/2024.");
        zavtest::newRow(d, "empty date edit")
            << QStringLiteral("GetNotaFiscal") << periodArguments(QDate(), QDate(2024, 5, 1))
            << QStringLiteral("Argumento 10 (data inicial) inválido: esperado uma data AAAA-MM-DD");
    }
}

void tst_NetConnection::serverErrorReachesTheCaller() {
    ZAV_DATABASE(m_dbs, db);
    Q_UNUSED(db);
    QFETCH(QString, method);
    QFETCH(QVariantList, args);
    QFETCH(QString, message);
    QString why;
    ServerProcess* app = server(dialect, &why);
    QVERIFY2(app, qPrintable(why));
    for (const bool cbor : {true, false}) {
        TNetConnection net;
        pointAt(net, app->port());
        net.UseCbor = cbor;
        QCOMPARE(failureOf([&] { net.AppServer(method, args); }), message);
        // The server answered: the connection stays up for the next call.
        QVERIFY(net.Connected());
    }
}

void tst_NetConnection::unreachableServer() {
    const int port = ServerProcess::closedPort();
    QVERIFY(port > 0);
    TNetConnection net;
    pointAt(net, port);

    // The screen opens whatever the server's state: nothing is raised.
    net.SetConnected(true);
    QVERIFY(!net.Connected());
    QVERIFY2(
        net.LastError().startsWith(kErrConex + QStringLiteral("conexão recusada por 127.0.0.1:%1").arg(port)),
        qPrintable(net.LastError()));

    const QString call = failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); });
    QVERIFY2(call.startsWith(kErrConex + QStringLiteral("conexão recusada")), qPrintable(call));

    net.ThrowException = true;
    const QString thrown = failureOf([&] { net.SetConnected(true); });
    QVERIFY2(thrown.startsWith(kErrConex), qPrintable(thrown));
    QVERIFY(!net.Connected());

    // No address at all: said so, without trying.
    TNetConnection none;
    const QString unset = failureOf([&] { none.AppServer(QStringLiteral("GetNotaFiscal"), {}); });
    QVERIFY2(
        unset.startsWith(kErrConex + QStringLiteral("endereço do servidor de aplicação não configurado")),
        qPrintable(unset));
}

void tst_NetConnection::beforeConnectRunsBeforeEveryAttempt() {
    ScriptedHttpServer fake;
    QVERIFY(fake.listen());
    fake.body = R"({"jsonrpc":"2.0","id":1,"result":null})";
    int port = ServerProcess::closedPort();
    int attempts = 0;
    TNetConnection net;
    net.ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
    net.BeforeConnect = [&](QObject* sender) {
        QCOMPARE(sender, &net);
        ++attempts;
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
    };
    net.SetConnected(true);
    QCOMPARE(attempts, 1);
    QVERIFY(!net.Connected());

    // The session now names a server that answers: the next call connects
    // again and takes the new address.
    port = fake.port();
    QVERIFY(net.AppServer(QStringLiteral("GetNotaFiscal"), {}).isNull());
    QCOMPARE(attempts, 2);
    QVERIFY(net.Connected());
    QVERIFY(fake.lastRequestHead().startsWith("POST /ZAV50000.rdmCancelaNFE HTTP/1.1"));

    // While connected, calls do not reconnect.
    fake.body = R"({"jsonrpc":"2.0","id":1,"result":"ok"})";
    QCOMPARE(net.AppServer(QStringLiteral("GetNotaFiscal"), {}).toString(), QStringLiteral("ok"));
    QCOMPARE(attempts, 2);

    // A call that loses the connection leaves it closed: the next one reconnects.
    fake.mode = ScriptedHttpServer::Mode::CutShort;
    QVERIFY(failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); }).startsWith(kErrConex));
    QVERIFY(!net.Connected());
    fake.mode = ScriptedHttpServer::Mode::Answer;
    fake.body = R"({"jsonrpc":"2.0","id":1,"result":null})";
    net.AppServer(QStringLiteral("GetNotaFiscal"), {});
    QCOMPARE(attempts, 3);
}

void tst_NetConnection::badAnswersRefused_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message"); // the start of the failure's text

    using M = ScriptedHttpServer::Mode;
    const QByteArray json = "application/json";
    QTest::newRow("no HTTP at all") << int(M::Garbage) << 200 << json << QByteArray()
                                    << kErrConex + QStringLiteral("o servidor 127.0.0.1:");
    QTest::newRow("body cut short") << int(M::CutShort) << 200 << json << QByteArray()
                                    << kErrConex + QStringLiteral("o servidor 127.0.0.1:");
    QTest::newRow("a web page") << int(M::Answer) << 200 << QByteArray("text/html")
                                << QByteArray("<html>oi</html>")
                                << kInvalid + QStringLiteral("tipo de conteúdo inesperado \"text/html\"");
    QTest::newRow("not found, no JSON-RPC")
        << int(M::Answer) << 404 << QByteArray("text/plain") << QByteArray("not found")
        << kInvalid + QStringLiteral("o servidor respondeu HTTP 404");
    QTest::newRow("JSON that is no JSON") << int(M::Answer) << 200 << json << QByteArray("{\"jsonrpc\":")
                                          << kInvalid + QStringLiteral("JSON malformado");
    QTest::newRow("CBOR that is no CBOR")
        << int(M::Answer) << 200 << QByteArray("application/cbor") << QByteArray("\xbf\x67jsonrpc", 9)
        << kInvalid + QStringLiteral("CBOR malformado");
    QTest::newRow("not JSON-RPC") << int(M::Answer) << 200 << json << QByteArray(R"({"a":1})")
                                  << kInvalid + QStringLiteral("o campo jsonrpc deve ser \"2.0\"");
    QTest::newRow("answer to another call")
        << int(M::Answer) << 200 << json << QByteArray(R"({"jsonrpc":"2.0","id":99,"result":null})")
        << kInvalid + QStringLiteral("a resposta é de outra chamada");
    QTest::newRow("neither result nor error")
        << int(M::Answer) << 200 << json << QByteArray(R"({"jsonrpc":"2.0","id":1})")
        << kInvalid + QStringLiteral("resposta sem resultado nem erro");
    QTest::newRow("error without a message")
        << int(M::Answer) << 200 << json << QByteArray(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000}})")
        << kInvalid + QStringLiteral("erro sem mensagem (código -32000)");
    QTest::newRow("error on HTTP 500") << int(M::Answer) << 500 << json
                                       << QByteArray(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,)"
                                                     R"("message":"Erro interno do servidor."}})")
                                       << QStringLiteral("Erro interno do servidor.");
    QTest::newRow("a list as the result")
        << int(M::Answer) << 200 << json << QByteArray(R"({"jsonrpc":"2.0","id":1,"result":[1,2]})")
        << kInvalid + QStringLiteral("resultado de tipo inesperado");
    QTest::newRow("date in another notation")
        << int(M::Answer) << 200 << json
        << QByteArray(R"({"jsonrpc":"2.0","id":1,"result":{"fields":[{"name":"DTEMISSAO","type":"datetime",)"
                      R"("size":0}],"rows":[["31/12/2024"]]}})")
        << kInvalid +
               QStringLiteral("campo DTEMISSAO, linha 1: esperado data, recebido texto \"31/12/2024\"");
}

void tst_NetConnection::badAnswersRefused() {
    QFETCH(int, mode);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    ScriptedHttpServer fake;
    QVERIFY(fake.listen(ScriptedHttpServer::Mode(mode)));
    fake.status = status;
    fake.contentType = contentType;
    fake.body = body;

    TNetConnection net;
    pointAt(net, fake.port());
    net.UseCbor = false;
    if (fake.mode == ScriptedHttpServer::Mode::Garbage) {
        // Not even the health check gets an answer it can read.
        net.SetConnected(true);
        QVERIFY(!net.Connected());
        QVERIFY2(net.LastError().startsWith(message), qPrintable(net.LastError()));
        const QString failure = failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); });
        QVERIFY2(failure.startsWith(message), qPrintable(failure));
        return;
    }
    const QString failure = failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); });
    QVERIFY2(failure.startsWith(message), qPrintable(failure));
    QCOMPARE(fake.posts(), 1);
}

void tst_NetConnection::malformedPacketLeavesTheListClosed() {
    // A well-formed packet that lacks a field of the record: the call returns
    // it, the list refuses it and stays closed.
    ScriptedHttpServer fake;
    QVERIFY(fake.listen());
    DataPacket packet = invoicetest::invoices({QStringLiteral("k1")},
                                              invoicetest::packetFields(QStringLiteral("LANCAMENTO")));
    fake.body = QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                          {QStringLiteral("id"), 1},
                                          {QStringLiteral("result"), packet.toJson()}})
                    .toJson();
    TNetConnection net;
    pointAt(net, fake.port());
    TClientDataSet list;
    invoicetest::declareFields(list);
    list.SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
    const QString failure =
        failureOf([&] { list.SetData(net.AppServer(QStringLiteral("GetNotaFiscal"), {})); });
    QCOMPARE(failure, kInvalid + QStringLiteral("campo LANCAMENTO ausente"));
    QVERIFY(!list.Active());
    QVERIFY(!list.HasData());
}

void tst_NetConnection::aLongListArrivesWholeOrNotAtAll() {
    // A list of over a thousand invoices, hundreds of kilobytes, read as it
    // arrives: the same list in CBOR and in JSON. Then its last row turns
    // unreadable, so that the server fails after the first rows have left:
    // the call fails and the list stays closed, in either encoding.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("long.sqlite"));
    const QString name = QStringLiteral("tst_netconnection-long");
    QString why;
    const zavtest::LongList long_ = zavtest::makeLongList(file, 3000, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QVariantList args{long_.branch,
                            long_.company,
                            long_.stateRegistration,
                            long_.cityRegistration,
                            long_.series,
                            QString(),
                            QString(),
                            QString(),
                            QString(),
                            long_.from,
                            long_.to,
                            QString()};
    const int authorised = long_.authorised;
    QVERIFY(authorised > 1000);
    ServerProcess app;
    QVERIFY2(app.start(file, {}, &why), qPrintable(why));
    QVERIFY2(!app.signIn(file, QStringLiteral("OPER1"), &why).isEmpty(), qPrintable(why));
    m_tokens[app.port()] = app.token();

    std::vector<std::unique_ptr<TClientDataSet>> lists;
    for (const bool cbor : {true, false}) {
        TNetConnection net;
        pointAt(net, app.port());
        net.UseCbor = cbor;
        auto list = std::make_unique<TClientDataSet>();
        invoicetest::declareFields(*list);
        list->SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
        list->SetData(net.AppServer(QStringLiteral("GetNotaFiscal"), args));
        QCOMPARE(list->RecordCount(), authorised);
        lists.push_back(std::move(list));
    }
    for (int r = 0; r < lists[0]->ViewRowCount(); ++r)
        for (int f = 0; f < lists[0]->Fields().size(); ++f)
            QCOMPARE(lists[0]->value(r, f), lists[1]->value(r, f));

    // The row the server reads last, whatever its order: it goes unread.
    QString last;
    {
        TNetConnection net;
        pointAt(net, app.port());
        const DataPacket packet = net.AppServer(QStringLiteral("GetNotaFiscal"), args).value<DataPacket>();
        QCOMPARE(packet.rowCount(), authorised);
        last = packet.value(packet.rowCount() - 1, packet.indexOf(QStringLiteral("NRLANCTONF"))).toString();
    }
    {
        QSqlDatabase db = zavdb::open(file, name);
        QSqlQuery q(db);
        QVERIFY(q.prepare(QStringLiteral(
            "UPDATE NOTAFISCAL SET VRNOTAFISC = 'sem valor' WHERE NRLANCTONF = ? AND CDFILIAL = ?")));
        q.addBindValue(last);
        q.addBindValue(args.at(0));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        QCOMPARE(q.numRowsAffected(), 1);
    }
    QSqlDatabase::removeDatabase(name);
    for (const bool cbor : {true, false}) {
        TNetConnection net;
        pointAt(net, app.port());
        net.UseCbor = cbor;
        TClientDataSet list;
        invoicetest::declareFields(list);
        list.SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
        const QString failure =
            failureOf([&] { list.SetData(net.AppServer(QStringLiteral("GetNotaFiscal"), args)); });
        QVERIFY2(failure.startsWith(kErrConex) || failure.startsWith(kInvalid), qPrintable(failure));
        QVERIFY(!list.Active());
        QVERIFY(!list.HasData());
        QVERIFY(!net.Connected());
    }
}

void tst_NetConnection::timeouts() {
    // A server that accepts the connection and never says a word.
    ScriptedHttpServer silent;
    QVERIFY(silent.listen(ScriptedHttpServer::Mode::Silent));
    TNetConnection net;
    pointAt(net, silent.port());
    net.ConnectTimeout = 300;
    net.SetConnected(true);
    QVERIFY(!net.Connected());
    QCOMPARE(net.LastError(),
             kErrConex +
                 QStringLiteral("o servidor 127.0.0.1:%1 não respondeu em 0,3 s.").arg(silent.port()));

    // A server that passes the health check and then sits on the call.
    ScriptedHttpServer stuck;
    QVERIFY(stuck.listen(ScriptedHttpServer::Mode::SilentCall));
    TNetConnection slow;
    pointAt(slow, stuck.port());
    slow.CallTimeout = 400;
    slow.ProgressInterval = 100; // asked about, it does not know the question: CallTimeout holds
    slow.SetConnected(true);
    QVERIFY(slow.Connected());
    QCOMPARE(failureOf([&] { slow.AppServer(QStringLiteral("GetNotaFiscal"), {}); }),
             kErrConex +
                 QStringLiteral("o servidor 127.0.0.1:%1 não respondeu em 0,4 s. ").arg(stuck.port()) +
                 HostText::text(HostText::CallMayGoOn));
    QCOMPARE(stuck.posts(), 1);
    QCOMPARE(stuck.progressQuestions(), 1); // asked once; not again after "method not found"
    QVERIFY(!slow.Connected());
}

void tst_NetConnection::argumentsOnTheWire_data() {
    QTest::addColumn<bool>("cbor");
    QTest::newRow("cbor") << true;
    QTest::newRow("json") << false;
}

void tst_NetConnection::argumentsOnTheWire() {
    QFETCH(bool, cbor);
    ScriptedHttpServer fake;
    QVERIFY(fake.listen());
    fake.body = R"({"jsonrpc":"2.0","id":1,"result":null})";
    TNetConnection net;
    pointAt(net, fake.port());
    net.UseCbor = cbor;

    DataPacket list = invoicetest::invoices({QStringLiteral("k2"), QStringLiteral("k1")});
    list.setValue(1, list.indexOf(QStringLiteral("IDCHECK")), QStringLiteral("C"));
    list.setValue(1, list.indexOf(QStringLiteral("DSMOTIVOCANCNFE")),
                  QStringLiteral("Emitida em duplicidade"));
    const QVariant result =
        net.AppServer(QStringLiteral("Cancela_NotaFiscal"),
                      {QVariant::fromValue(list), QStringLiteral("João"), QDate(2024, 5, 31), QVariant(),
                       QDateTime(QDate(2024, 6, 1), QTime(13, 45)), QStringLiteral("SP")});
    QVERIFY(result.isNull());

    const QByteArray head = fake.lastRequestHead().toLower();
    QVERIFY(head.contains(cbor ? "content-type: application/cbor" : "content-type: application/json"));
    QVERIFY(head.contains(cbor ? "accept: application/cbor" : "accept: application/json"));

    const QCborMap request =
        cbor ? QCborValue::fromCbor(fake.lastRequestBody()).toMap()
             : QCborValue::fromJsonValue(QJsonDocument::fromJson(fake.lastRequestBody()).object()).toMap();
    QCOMPARE(request.value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
    QCOMPARE(request.value(QStringLiteral("method")).toString(), QStringLiteral("Cancela_NotaFiscal"));
    // The call's id: a random text of 128 bits, another for every call.
    const QString id = request.value(QStringLiteral("id")).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch(), qPrintable(id));
    const QCborArray params = request.value(QStringLiteral("params")).toArray();
    QCOMPARE(params.size(), 6);
    QCOMPARE(params.at(1).toString(), QStringLiteral("João"));
    QCOMPARE(params.at(2).toString(), QStringLiteral("2024-05-31"));
    QVERIFY(params.at(3).isNull());
    QCOMPARE(params.at(4).toString(), QStringLiteral("2024-06-01"));
    // The packet arrives whole and readable by the server's own decoder.
    const DataPacket sent =
        cbor ? DataPacket::fromCbor(params.at(0).toCbor()) : DataPacket::fromJson(params.at(0).toJsonValue());
    QCOMPARE(sent.fields(), list.fields());
    QCOMPARE(sent.rowCount(), 2);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < sent.fieldCount(); ++c)
            QCOMPARE(sent.value(r, c), list.value(r, c));

    // A value that has no place on the wire is refused before anything is sent.
    const QString refused = failureOf([&] { net.AppServer(QStringLiteral("X"), {QVariant(QSize(1, 1))}); });
    QVERIFY2(refused.startsWith(QStringLiteral("Argumento 1 de X")), qPrintable(refused));
    QCOMPARE(fake.posts(), 1);
    QVERIFY(net.AppServer(QStringLiteral("X"), {}).isNull());
    const QCborValue second =
        (cbor ? QCborValue::fromCbor(fake.lastRequestBody()).toMap()
              : QCborValue::fromJsonValue(QJsonDocument::fromJson(fake.lastRequestBody()).object()).toMap())
            .value(QStringLiteral("id"));
    QVERIFY(second.isString() && second.toString().size() == 32 && second.toString() != id);
}

// The busy animation over a screen, its caption sampled while a call runs.
struct SampledOverlay {
    QWidget screen;
    QTimer sampler;
    QStringList seen; // every caption shown, in order, once each

    SampledOverlay() {
        screen.resize(400, 200);
        screen.show();
        ActiveShowAvi(&screen, kAviServerCall);
        sampler.setInterval(50);
        QObject::connect(&sampler, &QTimer::timeout, &screen, [this] {
            const auto* overlay = screen.findChild<BusyOverlay*>();
            const QString text = overlay ? overlay->progressText() : QStringLiteral("(sem animação)");
            if (seen.isEmpty() || seen.constLast() != text)
                seen.append(text);
        });
        sampler.start();
    }
    ~SampledOverlay() { DeactiveShowAvi(); }
};

void tst_NetConnection::aProgressingCallIsWaitedForAndShowsHowFar_data() {
    zavtest::addDialectRows("10 units of 300 ms, CallTimeout 1 s");
}

void tst_NetConnection::aProgressingCallIsWaitedForAndShowsHowFar() {
    ZAV_DATABASE(m_dbs, db);
    QString why;
    ServerProcess* app = server(dialect, &why, true);
    QVERIFY2(app, qPrintable(why));
    SampledOverlay busy;
    QVERIFY(QTest::qWaitForWindowExposed(&busy.screen));
    TNetConnection net;
    pointAt(net, app->port());
    net.CallTimeout = 1000;
    net.StallTimeout = 2500;
    net.ProgressInterval = 100;
    net.ProgressUnit = QStringLiteral("notas");
    // Three seconds of work, each step said: far past CallTimeout, and a success.
    const QVariant result = net.AppServer(QStringLiteral("Teste_Progresso"), {10, 300, 0, 0});
    QVERIFY(result.isNull());
    QVERIFY(net.Connected());
    // The overlay said how far the call had come, rising, and nothing after it.
    const QRegularExpression howFar(QStringLiteral("^(\\d+) de 10 notas$"));
    QStringList counts;
    int previous = 0;
    for (const QString& text : busy.seen) {
        const QRegularExpressionMatch m = howFar.match(text);
        if (!m.hasMatch())
            continue;
        counts.append(text);
        QVERIFY2(m.captured(1).toInt() > previous, qPrintable(busy.seen.join(u'|')));
        previous = m.captured(1).toInt();
    }
    QVERIFY2(counts.size() >= 2, qPrintable(busy.seen.join(u'|')));
    QCOMPARE(busy.seen.constFirst(), QString());
    QTRY_COMPARE(busy.seen.constLast(), QString());
}

void tst_NetConnection::aCallThatStopsProgressingIsGivenUp() {
    QString why;
    ServerProcess* app = server(zavtest::kSQLite, &why, true);
    QVERIFY2(app, qPrintable(why));
    SampledOverlay busy;
    TNetConnection net;
    pointAt(net, app->port());
    net.CallTimeout = 1000;
    net.StallTimeout = 1500;
    net.ProgressInterval = 100;
    // Three units said, then silence for longer than StallTimeout.
    const QString failure = failureOf([&] {
        net.AppServer(QStringLiteral("Teste_Progresso"), {10, 100, 3, 6000});
    });
    const QString stalled =
        kErrConex + QStringLiteral("o servidor 127.0.0.1:%1 parou de progredir na chamada em "
                                   "3 de 10 e nada mudou em ")
                        .arg(app->port());
    QVERIFY2(failure.startsWith(stalled), qPrintable(failure));
    QVERIFY2(failure.endsWith(HostText::text(HostText::CallMayGoOn)), qPrintable(failure));
    QVERIFY(!failure.contains(QStringLiteral("não respondeu")));
    QVERIFY2(busy.seen.contains(QStringLiteral("3 de 10")), qPrintable(busy.seen.join(u'|')));
    QVERIFY(!net.Connected());
}

void tst_NetConnection::aCallThatNeverSaysItsTotalKeepsCallTimeout() {
    QString why;
    ServerProcess* app = server(zavtest::kSQLite, &why, true);
    QVERIFY2(app, qPrintable(why));
    TNetConnection net;
    pointAt(net, app->port());
    net.CallTimeout = 1000;
    net.StallTimeout = 60000;
    net.ProgressInterval = 100;
    // One unit of four seconds: it runs, and says nothing until its end.
    QCOMPARE(failureOf([&] {
                 net.AppServer(QStringLiteral("Teste_Progresso"), {1, 4000, 0, 0});
             }),
             kErrConex + QStringLiteral("o servidor 127.0.0.1:%1 não respondeu em 1 s. ").arg(app->port()) +
                 HostText::text(HostText::CallMayGoOn));
}

void tst_NetConnection::callWaitsWhileTheScreenRepaints() {
    ScriptedHttpServer fake;
    QVERIFY(fake.listen(ScriptedHttpServer::Mode::AnswerOnSignal));
    fake.body = R"({"jsonrpc":"2.0","id":1,"result":"respondido"})";

    PaintCounter screen;
    screen.resize(200, 100);
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));
    QTRY_VERIFY(screen.paints > 0);
    screen.paints = 0;

    TNetConnection net;
    pointAt(net, fake.port());
    bool returned = false;
    int paintsBeforeAnswer = -1;
    QString nested;
    // While the call waits: the screen is asked to repaint (as the busy
    // animation does); once it has repainted, a second call is tried and the
    // server is let answer.
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, &screen, [&] {
        if (returned)
            return;
        screen.update();
        if (screen.paints > 0 && fake.posts() == 1 && paintsBeforeAnswer < 0) {
            paintsBeforeAnswer = screen.paints;
            nested = failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); });
            fake.release();
        }
    });
    ticker.start();
    const QVariant result = net.AppServer(QStringLiteral("GetNotaFiscal"), {});
    returned = true;
    QCOMPARE(result.toString(), QStringLiteral("respondido"));
    // It returned only after the answer, which the server gave only after the
    // screen had repainted during the wait.
    QVERIFY(paintsBeforeAnswer > 0);
    QVERIFY2(nested.startsWith(QStringLiteral("Já há uma chamada ao servidor em andamento")),
             qPrintable(nested));
    QCOMPARE(fake.posts(), 1);
    QVERIFY(!net.Busy());
}

void tst_NetConnection::closedOrDestroyedDuringACall() {
    ScriptedHttpServer fake;
    QVERIFY(fake.listen(ScriptedHttpServer::Mode::SilentCall));

    // The screen closes (FormClose disconnects) while a call waits.
    TNetConnection net;
    pointAt(net, fake.port());
    connect(&fake, &ScriptedHttpServer::postReceived, &net, [&net] { net.SetConnected(false); });
    QCOMPARE(failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); }),
             kErrConex + QStringLiteral("a conexão foi fechada durante a chamada. ") + kMayBeDone);
    QVERIFY(!net.Connected());
    QVERIFY(!net.Busy());

    // The connection itself goes away while its call waits: the call ends
    // with a failure and touches nothing of it.
    auto doomed = std::make_unique<TNetConnection>();
    pointAt(*doomed, fake.port());
    TNetConnection* raw = doomed.get();
    connect(&fake, &ScriptedHttpServer::postReceived, raw, [&doomed] { doomed.reset(); });
    QCOMPARE(failureOf([&] { raw->AppServer(QStringLiteral("GetNotaFiscal"), {}); }),
             kErrConex + QStringLiteral("a conexão foi encerrada durante a chamada. ") + kMayBeDone);
    QVERIFY(!doomed);
}

void tst_NetConnection::aDroppedCallIsNeverSentAgain() {
    // The server reads the whole call and closes the connection without a
    // word: it may be cancelling the invoices all the same, so the call is
    // reported as failed and never sent a second time.
    ScriptedHttpServer fake;
    QVERIFY(fake.listen(ScriptedHttpServer::Mode::DropCall));
    for (const bool cbor : {true, false}) {
        TNetConnection net;
        pointAt(net, fake.port());
        net.UseCbor = cbor;
        net.SetConnected(true);
        QVERIFY2(net.Connected(), qPrintable(net.LastError()));
        const int before = fake.posts();
        QCOMPARE(
            failureOf([&] { net.AppServer(QStringLiteral("Cancela_NotaFiscal"), {QStringLiteral("x")}); }),
            kErrConex +
                QStringLiteral("o servidor 127.0.0.1:%1 fechou a conexão sem responder. ").arg(fake.port()) +
                kMayBeDone);
        QCOMPARE(fake.posts(), before + 1);
        QVERIFY(!net.Connected());
        // The next call is a call of its own: it connects again and is sent once.
        QVERIFY(failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), {}); }).startsWith(kErrConex));
        QCOMPARE(fake.posts(), before + 2);
    }
}

void tst_NetConnection::aCallWithoutAnAnswerSaysWhatMayHaveBeenDone_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<bool>("mayBeDone");
    QTest::newRow("closed before answering") << int(ScriptedHttpServer::Mode::DropCall)
                                             << QStringLiteral("fechou a conexão sem responder.") << true;
    QTest::newRow("closed in the middle of the answer")
        << int(ScriptedHttpServer::Mode::CutShort) << QStringLiteral("antes do fim da resposta") << true;
    QTest::newRow("nobody listens") << -1 << QStringLiteral("conexão recusada") << false;
}

// A call that ended without an answer once it may have reached the server
// says that its work may have been done, in part, and that confirming again
// concludes it; one that never reached a server says only why.
void tst_NetConnection::aCallWithoutAnAnswerSaysWhatMayHaveBeenDone() {
    QFETCH(int, mode);
    QFETCH(QString, cause);
    QFETCH(bool, mayBeDone);
    ScriptedHttpServer fake;
    if (mode >= 0)
        QVERIFY(fake.listen(ScriptedHttpServer::Mode(mode)));
    TNetConnection net;
    pointAt(net, mode >= 0 ? fake.port() : ServerProcess::closedPort());
    const QString failure =
        failureOf([&] { net.AppServer(QStringLiteral("Cancela_NotaFiscal"), {QStringLiteral("x")}); });
    QVERIFY2(failure.startsWith(kErrConex), qPrintable(failure));
    QVERIFY2(failure.contains(cause), qPrintable(failure));
    QCOMPARE(failure.endsWith(kMayBeDone), mayBeDone);
    QVERIFY(!net.Connected());
}

void tst_NetConnection::inputDuringACallIsDroppedNotReplayed() {
    QWidget screen;
    auto* layout = new QVBoxLayout(&screen);
    auto* button = new QPushButton(QStringLiteral("Confirmar"), &screen);
    auto* edit = new QLineEdit(&screen);
    layout->addWidget(button);
    layout->addWidget(edit);
    screen.show();
    QVERIFY(ui::focus(edit));
    int clicks = 0;
    connect(button, &QPushButton::clicked, &screen, [&clicks] { ++clicks; });

    // The same input outside a call reaches the widgets: the way it is
    // injected is the window system's own.
    ui::queueKey(edit, Qt::Key_A, QStringLiteral("a"));
    ui::queueClick(button);
    QTRY_COMPARE(clicks, 1);
    QTRY_COMPARE(edit->text(), QStringLiteral("a"));

    ScriptedHttpServer fake;
    QVERIFY(fake.listen(ScriptedHttpServer::Mode::AnswerOnSignal));
    fake.body = R"({"jsonrpc":"2.0","id":1,"result":"respondido"})";
    TNetConnection net;
    pointAt(net, fake.port());
    net.SetConnected(true);
    QVERIFY(net.Connected());
    // While the call waits: two clicks, keys and a shortcut-like key, then the
    // server answers a little later.
    connect(&fake, &ScriptedHttpServer::postReceived, &screen, [&] {
        QVERIFY(ui::focus(edit));
        ui::queueClick(button);
        ui::queueClick(button);
        ui::queueKey(edit, Qt::Key_B, QStringLiteral("b"));
        ui::queueKey(edit, Qt::Key_Return, QStringLiteral("\r"));
        QTimer::singleShot(150, &fake, [&fake] { fake.release(); });
    });
    QCOMPARE(net.AppServer(QStringLiteral("GetNotaFiscal"), {}).toString(), QStringLiteral("respondido"));
    // Nothing of it arrives afterwards either.
    QTest::qWait(200);
    QCOMPARE(clicks, 1);
    QCOMPARE(edit->text(), QStringLiteral("a"));
    QCOMPARE(fake.posts(), 1);
}

void tst_NetConnection::httpsVerifiesTheServer() {
    // The demo's kind of setup: a CA, the server's certificate signed by it.
    QTemporaryDir dir;
    QTemporaryDir other;
    for (QTemporaryDir* d : {&dir, &other}) {
        QProcess make;
        make.start(QStringLiteral("bash"), {QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh"),
                                            d->path(), QStringLiteral("s")});
        QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);
    }
    QString why;
    ZAV_SQLITE(m_dbs);
    ServerProcess app;
    QVERIFY2(app.startTls(m_dbs.connectionText(zavtest::kSQLite), dir.path(), {}, &why), qPrintable(why));
    const auto connectWith = [&](const QString& caFile, const QString& host) {
        Session::values().webPlainHttp = false;
        Session::values().webCaFile = caFile;
        auto net = std::make_unique<TNetConnection>();
        net->ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
        TNetConnection* raw = net.get();
        const int port = app.port();
        net->BeforeConnect = [raw, port, host](QObject*) {
            raw->Host = host;
            raw->Port = port;
        };
        net->SetConnected(true);
        return net;
    };
    // Verified against the CA of the host's configuration, under its name.
    for (const QString& host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
        auto net = connectWith(dir.filePath(QStringLiteral("ca.pem")), host);
        QVERIFY2(net->Connected(), qPrintable(net->LastError()));
        QCOMPARE(net->EndpointUrl().left(8), QStringLiteral("https://"));
        // The server's own answer came back (a call without a session).
        QCOMPARE(failureOf([&] { net->AppServer(QStringLiteral("Nenhum"), {}); }),
                 QStringLiteral("Chamada sem sessão: entre no sistema antes de chamar Nenhum."));
    }
    // Another CA's word is not taken; nor is a CA file that cannot be read.
    auto stranger = connectWith(other.filePath(QStringLiteral("ca.pem")), QStringLiteral("127.0.0.1"));
    QVERIFY(!stranger->Connected());
    QVERIFY2(stranger->LastError().startsWith(kErrConex + QStringLiteral("o certificado do servidor")),
             qPrintable(stranger->LastError()));
    auto missing = connectWith(dir.filePath(QStringLiteral("nada.pem")), QStringLiteral("127.0.0.1"));
    QVERIFY2(missing->LastError().contains(QStringLiteral("nada.pem")), qPrintable(missing->LastError()));
    // The same server asked in plain HTTP answers nothing a call could use.
    Session::values().webPlainHttp = true;
    TNetConnection plain;
    pointAt(plain, app.port());
    plain.SetConnected(true);
    QVERIFY(!plain.Connected());
    Session::values().webCaFile.clear();
}

void tst_NetConnection::plainHttpOnlyOnLoopback() {
    // Plain HTTP was asked for, but the server is another machine: refused
    // before anything is sent.
    Session::values().webPlainHttp = true;
    TNetConnection net;
    net.BeforeConnect = [&net](QObject*) {
        net.Host = QStringLiteral("192.0.2.10");
        net.Port = 8211;
    };
    net.SetConnected(true);
    QVERIFY(!net.Connected());
    QVERIFY2(net.LastError().contains(
                 QStringLiteral("HTTP sem TLS só é usado com um servidor na própria máquina")),
             qPrintable(net.LastError()));
    QVERIFY(failureOf([&] {
                net.AppServer(QStringLiteral("GetNotaFiscal"), {});
            }).contains(QStringLiteral("loopback")));
}

void tst_NetConnection::anEndedSessionIsOpenedAgainAndTheCallMadeOnce_data() {
    zavtest::addDialectRows("demo establishment");
}

// The administrator ends the operator's sessions in the middle of the day:
// the next call is refused by the server before any of its work, the host
// asks the operator to sign in again, and the call is made again, once. Not
// signing in leaves the refusal as the server said it; a second refusal is
// not asked about again.
void tst_NetConnection::anEndedSessionIsOpenedAgainAndTheCallMadeOnce() {
    ZAV_DATABASE(m_dbs, db);
    QString why;
    ServerProcess* app = server(dialect, &why);
    QVERIFY2(app, qPrintable(why));
    const QString connection = m_dbs.connectionText(dialect);
    // An operator of its own: ending its sessions leaves the other tests' alone.
    const QString code = QStringLiteral("OPER2");
    QVERIFY2(!app->signIn(connection, code, &why).isEmpty(), qPrintable(why));
    ScopedRecording rec;
    TNetConnection net;
    pointAt(net, app->port());
    Session::values().webURL = QStringLiteral("127.0.0.1");
    Session::values().webPort = app->port();
    SignIn(code, QString::fromLatin1(kTestPassword));
    const auto endSessions = [&] {
        QByteArray out;
        return zavtest::run(QStringLiteral(ZAV_BIN_DIR "/zav-admin"),
                            {QStringLiteral("--db"), connection, QStringLiteral("end-sessions"), code}, {},
                            &out);
    };
    const Criteria criteria = criteriaFor(db);
    const auto rows = [&] {
        const QVariant answer = net.AppServer(QStringLiteral("GetNotaFiscal"), criteria.args);
        return answer.canConvert<DataPacket>() ? answer.value<DataPacket>().rowCount() : -1;
    };
    const int listed = rows();
    QVERIFY(listed > 0);
    const QString ended = QStringLiteral("Sessão encerrada ou expirada: entre no sistema de novo.");

    // Signed in again: the call is made again and answers as before.
    QVERIFY(endSessions());
    const QString oldToken = Session::values().webToken;
    rec->onSignInAgain = [&](const QString&) {
        SignIn(Session::values().operador, QString::fromLatin1(kTestPassword));
        return true;
    };
    QCOMPARE(rows(), listed);
    QCOMPARE(rec->signInRequests, QStringList{ended});
    QVERIFY(Session::values().webToken != oldToken);
    QCOMPARE(Session::values().operador, code);

    // Not signed in: the refusal as the server said it, and no session.
    QVERIFY(endSessions());
    rec->signInRequests.clear();
    rec->onSignInAgain = [](const QString&) { return false; };
    QCOMPARE(failureOf([&] { rows(); }), ended);
    QCOMPARE(rec->signInRequests.size(), qsizetype(1));

    // "Signed in" without a session that works: the second refusal is thrown,
    // the operator not asked twice for one call.
    rec->signInRequests.clear();
    rec->onSignInAgain = [](const QString&) { return true; };
    QCOMPARE(failureOf([&] { rows(); }), ended);
    QCOMPARE(rec->signInRequests.size(), qsizetype(1));

    // Login itself is never asked about: its refusal is its own.
    QVERIFY(failureOf([&] {
                SignIn(code, QStringLiteral("senha-errada"));
            }).contains(QStringLiteral("Operador ou senha inválidos.")));
    QCOMPARE(rec->signInRequests.size(), qsizetype(1));
}

// The real dialog of the host when the session ended: the operator signed in
// is shown and cannot be changed, the server's words and what happens next
// are said, and the right password opens a new session for that operator.
void tst_NetConnection::signInAgainOverTheOpenScreens() {
    QString why;
    ServerProcess* app = server(zavtest::kSQLite, &why);
    QVERIFY2(app, qPrintable(why));
    Session::values().webURL = QStringLiteral("127.0.0.1");
    Session::values().webPort = app->port();
    Session::values().webPlainHttp = true;
    Session::values().operador = QStringLiteral("OPER1");
    Session::values().webToken = QStringLiteral("sessão-que-acabou");
    const QString ended = QStringLiteral("Sessão encerrada ou expirada: entre no sistema de novo.");
    struct Seen {
        QString operatorCode, message;
        bool operatorFixed = false;
        bool passwordHasFocus = false;
    } seen;
    QTimer answer;
    answer.setInterval(50);
    connect(&answer, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<TLoginDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        seen.operatorCode = dialog->edtOperador->text();
        seen.operatorFixed = dialog->edtOperador->isReadOnly();
        seen.message = dialog->lblMensagem->text();
        seen.passwordHasFocus = QApplication::focusWidget() == dialog->edtSenha;
        QTest::keyClicks(dialog->edtSenha, QString::fromLatin1(kTestPassword));
        QTest::keyClick(dialog->edtSenha, Qt::Key_Return);
    });
    answer.start();
    QtHostServices real;
    QVERIFY(real.signInAgain(ended));
    QCOMPARE(seen.operatorCode, QStringLiteral("OPER1"));
    QVERIFY(seen.operatorFixed);
    QVERIFY(seen.passwordHasFocus);
    QCOMPARE(seen.message, ended + u' ' + HostText::text(HostText::SignInAgain));
    QCOMPARE(Session::values().operador, QStringLiteral("OPER1"));
    QCOMPARE(Session::values().webToken.size(), 43);
}

void tst_NetConnection::signInDialog_data() {
    zavtest::addDialectRows("demo establishment");
}

// The sign-in dialog against the real server: nothing is sent without both
// fields; a refusal is said in the dialog, which stays open with the password
// cleared and no session; the right password opens the session the host then
// calls under, and signing out ends it at the server.
void tst_NetConnection::signInDialog() {
    ZAV_DATABASE(m_dbs, db);
    QString why;
    ServerProcess* app = server(dialect, &why);
    QVERIFY2(app, qPrintable(why));
    Session::values().webURL = QStringLiteral("127.0.0.1");
    Session::values().webPort = app->port();
    Session::values().webPlainHttp = true;
    Session::values().webToken.clear();
    Session::values().operador.clear();

    TLoginDialog dialog(QStringLiteral("OPER1"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.objectName(), QStringLiteral("frmLogin"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Entrar no sistema"));
    QTRY_COMPARE(QApplication::focusWidget(), dialog.edtSenha); // the operator is known
    QCOMPARE(dialog.edtSenha->echoMode(), QLineEdit::Password);

    QTest::mouseClick(dialog.btnEntrar, Qt::LeftButton);
    QCOMPARE(dialog.lblMensagem->text(), QStringLiteral("Informe o operador e a senha."));
    QVERIFY(dialog.isVisible());

    QTest::keyClicks(dialog.edtSenha, QStringLiteral("senha-errada"));
    QTest::keyClick(dialog.edtSenha, Qt::Key_Return); // Entrar is the default button
    QCOMPARE(dialog.lblMensagem->text(), QStringLiteral("Operador ou senha inválidos."));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.edtSenha->text().isEmpty());
    QCOMPARE(QApplication::focusWidget(), dialog.edtSenha);
    QVERIFY(dialog.btnEntrar->isEnabled());
    QVERIFY(Session::values().webToken.isEmpty());

    QTest::keyClicks(dialog.edtSenha, QString::fromLatin1(kTestPassword));
    QTest::mouseClick(dialog.btnEntrar, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(Session::values().operador, QStringLiteral("OPER1"));
    const QString token = Session::values().webToken;
    QCOMPARE(token.size(), 43);
    QVERIFY(token.toLatin1() != app->token()); // a session of its own

    // Calls go under the new session, and end with it.
    const auto list = [&] {
        TNetConnection net;
        net.ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = app->port();
        return failureOf([&] { net.AppServer(QStringLiteral("GetNotaFiscal"), criteriaFor(db).args); });
    };
    QCOMPARE(list(), QStringLiteral("(no failure)"));
    SignOut();
    QVERIFY(Session::values().webToken.isEmpty());
    Session::values().webToken = token;
    {
        // The host asks to sign in again; not signing in leaves the refusal.
        ScopedRecording rec;
        const QString refusal = list();
        QVERIFY2(refusal.contains(QStringLiteral("Sessão encerrada ou expirada")), qPrintable(refusal));
        QCOMPARE(rec->signInRequests.size(), qsizetype(1));
    }

    TLoginDialog cancelled(QString{});
    cancelled.show();
    QVERIFY(QTest::qWaitForWindowExposed(&cancelled));
    QTRY_COMPARE(QApplication::focusWidget(), cancelled.edtOperador);
    QTest::mouseClick(cancelled.btnCancelar, Qt::LeftButton);
    QCOMPARE(cancelled.result(), int(QDialog::Rejected));
    QVERIFY(!cancelled.isVisible());
}

// The host signs in and out at its own path, naming no screen's module: the
// requests a peer of the test's own reads, and the session its answer opens.
void tst_NetConnection::signInAndOutAtTheHostsPath() {
    ScriptedHttpServer fake;
    QVERIFY(fake.listen(ScriptedHttpServer::Mode::Answer));
    fake.body =
        R"({"jsonrpc":"2.0","id":1,"result":{"fields":[{"name":"OPERADOR","type":"string","size":30},)"
        R"({"name":"TOKEN","type":"string","size":43}],"rows":[["OPER2","t0k3n"]]}})";
    Session::values().webURL = QStringLiteral("127.0.0.1");
    Session::values().webPort = fake.port();
    Session::values().webPlainHttp = true;
    Session::values().webToken.clear();
    SignIn(QStringLiteral("OPER2"), QStringLiteral("uma-senha"));
    QCOMPARE(Session::values().operador, QStringLiteral("OPER2"));
    QCOMPARE(Session::values().webToken, QStringLiteral("t0k3n"));
    QVERIFY2(fake.lastRequestHead().startsWith("POST /sessao HTTP/1.1\r\n"),
             fake.lastRequestHead().constData());
    QVERIFY(fake.lastRequestBody().contains("Login"));

    fake.body = R"({"jsonrpc":"2.0","id":1,"result":null})";
    SignOut();
    QCOMPARE(fake.posts(), 2);
    QVERIFY2(fake.lastRequestHead().startsWith("POST /sessao HTTP/1.1\r\n"),
             fake.lastRequestHead().constData());
    QVERIFY(fake.lastRequestHead().contains("Bearer t0k3n"));
    QVERIFY(fake.lastRequestBody().contains("Logout"));
    QVERIFY(Session::values().webToken.isEmpty());
}

QTEST_MAIN(tst_NetConnection)
#include "tst_netconnection.moc"
