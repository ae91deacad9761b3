// The application server as its callers meet it: a real zav50000-server
// process on loopback, over HTTP, on SQLite and on PostgreSQL, with the demo
// database plus a set of invoices written by this test whose answers are known.
#include "serverprocess.h"
#include "testdb.h"

#include "accesskey.h"
#include "database.h"
#include "seed.h"
#include "states.h"

#include <httplib.h>

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamWriter>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <map>

namespace {

const char* const kPath = "/ZAV50000.rdmCancelaNFE";

// ----- HTTP and JSON-RPC

struct Reply {
    int status = 0;
    QByteArray contentType;
    QByteArray body;
    QCborMap message; // the decoded JSON-RPC response
};

QCborMap decode(const QByteArray& body, const QByteArray& contentType) {
    if (contentType.startsWith("application/cbor"))
        return QCborValue::fromCbor(body).toMap();
    return QCborValue::fromJsonValue(QJsonDocument::fromJson(body).object()).toMap();
}

// The session of each server's test operator, by the server's port.
QHash<int, QByteArray>& tokens() {
    static QHash<int, QByteArray> byPort;
    return byPort;
}

// A client that calls under the session of the server on that port.
void authorize(httplib::Client& client, int port) {
    if (tokens().contains(port))
        client.set_default_headers({{"Authorization", "Bearer " + tokens().value(port).toStdString()}});
}

Reply post(httplib::Client& client, const QByteArray& body, bool cbor = false,
           const char* contentType = "application/json") {
    httplib::Headers headers;
    if (cbor)
        headers.emplace("Accept", "application/cbor");
    Reply reply;
    const auto result = client.Post(kPath, headers, body.constData(), size_t(body.size()), contentType);
    if (!result)
        return reply;
    reply.status = result->status;
    reply.contentType = QByteArray::fromStdString(result->get_header_value("Content-Type"));
    reply.body = QByteArray::fromStdString(result->body);
    reply.message = decode(reply.body, reply.contentType);
    return reply;
}

Reply postTo(httplib::Client& client, const char* path, const QByteArray& body) {
    Reply reply;
    const auto result = client.Post(path, body.constData(), size_t(body.size()), "application/json");
    if (!result)
        return reply;
    reply.status = result->status;
    reply.contentType = QByteArray::fromStdString(result->get_header_value("Content-Type"));
    reply.body = QByteArray::fromStdString(result->body);
    reply.message = decode(reply.body, reply.contentType);
    return reply;
}

Reply post(int port, const QByteArray& body, bool cbor = false,
           const char* contentType = "application/json") {
    httplib::Client client("127.0.0.1", port);
    authorize(client, port);
    client.set_read_timeout(60);
    return post(client, body, cbor, contentType);
}

QByteArray request(const QString& method, const QCborArray& params, const QCborValue& id = 7) {
    QCborMap map;
    map.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    map.insert(QStringLiteral("id"), id);
    map.insert(QStringLiteral("method"), method);
    map.insert(QStringLiteral("params"), params);
    return QJsonDocument(map.toJsonObject()).toJson(QJsonDocument::Compact);
}

int errorCode(const Reply& reply) {
    return int(
        reply.message.value(QStringLiteral("error")).toMap().value(QStringLiteral("code")).toInteger());
}
QString errorMessage(const Reply& reply) {
    return reply.message.value(QStringLiteral("error")).toMap().value(QStringLiteral("message")).toString();
}

// A result packet read into rows of named cells.
struct Packet {
    QCborArray fields;
    QList<QCborArray> rows;
    QStringList names;
    QCborValue cell(qsizetype row, const QString& name) const { return rows.at(row).at(names.indexOf(name)); }
    QString text(qsizetype row, const QString& name) const { return cell(row, name).toString(); }
};

Packet packetOf(const Reply& reply) {
    Packet p;
    const QCborMap result = reply.message.value(QStringLiteral("result")).toMap();
    p.fields = result.value(QStringLiteral("fields")).toArray();
    for (const auto& f : p.fields)
        p.names.append(f.toMap().value(QStringLiteral("name")).toString());
    for (const auto& r : result.value(QStringLiteral("rows")).toArray())
        p.rows.append(r.toArray());
    return p;
}

// ----- NF-e access keys

QString stateCode(const QString& state) {
    const zavfiscal::State* s = zavfiscal::stateByAbbreviation(state);
    return s ? QString::fromLatin1(s->code) : QString();
}

// "43218765000105" as the operator's mask shows it: "43.218.765/0001-05".
QString masked(const QString& registration) {
    if (registration.size() == 14)
        return QStringLiteral("%1.%2.%3/%4-%5")
            .arg(registration.mid(0, 2), registration.mid(2, 3), registration.mid(5, 3),
                 registration.mid(8, 4), registration.mid(12, 2));
    if (registration.size() == 11)
        return QStringLiteral("%1.%2.%3-%4")
            .arg(registration.mid(0, 3), registration.mid(3, 3), registration.mid(6, 3),
                 registration.mid(9, 2));
    return registration;
}

// ----- the invoices this test writes, in March 2020, far from the demo's dates

struct Establishment {
    QString branch, company, stateRegistration, cityRegistration, series;
};

struct Scenario {
    Establishment main, otherSeries, otherBranch;
    QString sharedRegistration, customerA, customerB; // two customers, one registration
    QString otherRegistration, customerC;
    QString supplierRegistration, supplier, supplierName;
};

const char* const kInsertSql =
    "INSERT INTO NOTAFISCAL (NRLANCTONF, CDFILIAL, CDFILIEMIT, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE, "
    "NRNOTAFISCALELE, DTEMISSAO, IDENTRSAIDOP, NRLANCTBDOC, VRNOTAFISC, IDTPDESTREM, CDCLIENTE, CDFORNECED, "
    "CDFILIRECE, NMRAZAO, IDSITUACAONFE, NRACESSONFE, NRPROTOCOLONFE, DHAUTORIZACAO, CDOPERBLOQ, DHBLOQUEIO) "
    "VALUES (:lancto, :filial, :filial, :empresa, :ie, :im, :serie, :numero, :emissao, 'S', :doc, :valor, "
    ":tipo, "
    ":cliente, :fornecedor, :filirece, :razao, :situacao, :chave, :protocolo, :autorizacao, :operador, "
    ":bloqueio)";

struct TestInvoice {
    int n;              // entry 90000000nn, invoice number 1000nn
    const char* issued; // YYYY-MM-DD
    char state;         // A, C, D
    char kind;          // C, F, L
    char party;         // a, b, c: customers; s: supplier; r: the other branch
    char where = 'm';   // m main, s other series, o other branch
    bool held = false;
};

const TestInvoice kInvoices[] = {
    {1, "2020-03-01", 'A', 'C', 'a'},
    {2, "2020-03-02", 'A', 'C', 'a'},
    {3, "2020-03-10", 'A', 'F', 's'},
    {4, "2020-03-15", 'A', 'L', 'r'},
    {5, "2020-03-16", 'A', 'C', 'a'},
    {6, "2020-03-05", 'C', 'C', 'a'},
    {7, "2020-03-05", 'D', 'C', 'a'},
    {8, "2020-03-05", 'A', 'C', 'a', 'o'},
    {9, "2020-03-05", 'A', 'C', 'a', 's'},
    {10, "2020-03-06", 'A', 'C', 'c'},
    {11, "2020-03-07", 'A', 'C', 'a', 'm', true},
    {12, "2020-03-08", 'A', 'C', 'b'},
};

QString entryOf(int n) {
    return QStringLiteral("90000000%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString firstValue(QSqlDatabase& db, const QString& sql, const QVariantList& values = {}, int column = 0) {
    QSqlQuery q(db);
    if (!q.prepare(sql))
        return {};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec() || !q.next())
        return {};
    return q.value(column).toString();
}

QString readScenario(QSqlDatabase& db, Scenario& s) {
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE FROM FILIAL "
                               "ORDER BY CDFILIAL")))
        return q.lastError().text();
    QList<Establishment> branches;
    while (q.next())
        branches.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                         q.value(3).toString(), q.value(4).toString()});
    if (branches.size() < 2)
        return QStringLiteral("the demo data needs two branches");
    s.main = branches.at(0);
    s.otherBranch = branches.at(1);
    s.otherSeries = s.main;
    s.otherSeries.series =
        firstValue(db,
                   QStringLiteral("SELECT CDSERIE FROM SERIENF WHERE CDEMPRESA = ? AND CDINSCESTA = ? "
                                  "AND CDINSCMUNI = ? AND CDSERIE <> ? ORDER BY CDSERIE"),
                   {s.main.company, s.main.stateRegistration, s.main.cityRegistration, s.main.series});
    s.sharedRegistration = firstValue(
        db, QStringLiteral(
                "SELECT NRINSJURCLIE FROM CLIENTE GROUP BY NRINSJURCLIE HAVING COUNT(*) > 1 ORDER BY 1"));
    s.customerA =
        firstValue(db, QStringLiteral("SELECT CDCLIENTE FROM CLIENTE WHERE NRINSJURCLIE = ? ORDER BY 1"),
                   {s.sharedRegistration});
    s.customerB =
        firstValue(db,
                   QStringLiteral("SELECT CDCLIENTE FROM CLIENTE WHERE NRINSJURCLIE = ? AND CDCLIENTE <> ? "
                                  "ORDER BY 1"),
                   {s.sharedRegistration, s.customerA});
    s.customerC =
        firstValue(db, QStringLiteral("SELECT CDCLIENTE FROM CLIENTE WHERE NRINSJURCLIE <> ? ORDER BY 1"),
                   {s.sharedRegistration});
    s.otherRegistration =
        firstValue(db, QStringLiteral("SELECT NRINSJURCLIE FROM CLIENTE WHERE CDCLIENTE = ?"), {s.customerC});
    s.supplier = firstValue(db, QStringLiteral("SELECT CDFORNECED FROM FORNECEDOR ORDER BY 1"));
    s.supplierRegistration = firstValue(
        db, QStringLiteral("SELECT NRINSJURFORN FROM FORNECEDOR WHERE CDFORNECED = ?"), {s.supplier});
    s.supplierName = firstValue(
        db, QStringLiteral("SELECT NMRAZSOCFORN FROM FORNECEDOR WHERE CDFORNECED = ?"), {s.supplier});
    if (s.otherSeries.series.isEmpty() || s.customerB.isEmpty() || s.customerC.isEmpty() ||
        s.supplier.isEmpty())
        return QStringLiteral("the demo data needs a second series, two customers sharing a registration, "
                              "another customer and a supplier");
    return {};
}

QString writeScenario(QSqlDatabase& db, const Scenario& s) {
    QSqlQuery q(db);
    if (!q.prepare(QString::fromLatin1(kInsertSql)))
        return q.lastError().text();
    for (const TestInvoice& inv : kInvoices) {
        const Establishment& e = inv.where == 'o' ? s.otherBranch : inv.where == 's' ? s.otherSeries : s.main;
        const QString number = QStringLiteral("%1").arg(100000 + inv.n, 9, 10, QLatin1Char('0'));
        const QString first43 = QStringLiteral("352003") + QStringLiteral("11222333000181") +
                                QStringLiteral("55") + QStringLiteral("009") + number + QStringLiteral("1") +
                                QStringLiteral("%1").arg(inv.n, 8, 10, QLatin1Char('0'));
        const QVariant none(QMetaType::fromType<QString>());
        const QString party = inv.party == 'a'   ? s.customerA
                              : inv.party == 'b' ? s.customerB
                              : inv.party == 'c' ? s.customerC
                              : inv.party == 's' ? s.supplier
                                                 : s.otherBranch.branch;
        q.bindValue(QStringLiteral(":lancto"), entryOf(inv.n));
        q.bindValue(QStringLiteral(":filial"), e.branch);
        q.bindValue(QStringLiteral(":empresa"), e.company);
        q.bindValue(QStringLiteral(":ie"), e.stateRegistration);
        q.bindValue(QStringLiteral(":im"), e.cityRegistration);
        q.bindValue(QStringLiteral(":serie"), e.series);
        q.bindValue(QStringLiteral(":numero"), number);
        q.bindValue(QStringLiteral(":emissao"), QDate::fromString(QLatin1String(inv.issued), Qt::ISODate));
        q.bindValue(QStringLiteral(":doc"), QStringLiteral("%1").arg(inv.n, 12, 10, QLatin1Char('0')));
        q.bindValue(QStringLiteral(":valor"), 1000.0 + inv.n + 0.25);
        q.bindValue(QStringLiteral(":tipo"), QString(QLatin1Char(inv.kind)));
        q.bindValue(QStringLiteral(":cliente"), inv.kind == 'C' ? QVariant(party) : none);
        q.bindValue(QStringLiteral(":fornecedor"), inv.kind == 'F' ? QVariant(party) : none);
        q.bindValue(QStringLiteral(":filirece"), inv.kind == 'L' ? QVariant(party) : none);
        q.bindValue(QStringLiteral(":razao"),
                    inv.kind == 'F' ? s.supplierName : QStringLiteral("Razão %1").arg(inv.n));
        q.bindValue(QStringLiteral(":situacao"), QString(QLatin1Char(inv.state)));
        q.bindValue(QStringLiteral(":chave"), zavfiscal::completeAccessKey(first43));
        q.bindValue(QStringLiteral(":protocolo"),
                    QStringLiteral("1352000000000%1").arg(inv.n, 2, 10, QLatin1Char('0')));
        q.bindValue(QStringLiteral(":autorizacao"),
                    QStringLiteral("%1T10:00:00-03:00").arg(QLatin1String(inv.issued)));
        q.bindValue(QStringLiteral(":operador"), inv.held ? QVariant(QStringLiteral("OUTRO")) : none);
        q.bindValue(QStringLiteral(":bloqueio"),
                    inv.held ? QVariant(QStringLiteral("2020-03-20T09:00:00-03:00")) : none);
        if (!q.exec())
            return QStringLiteral("invoice %1: %2").arg(inv.n).arg(q.lastError().text());
    }
    return {};
}

QCborArray paramsFor(const Establishment& e, const QString& from, const QString& to,
                     const QString& number = {}, const QString& party = {}, const QString& receiving = {},
                     const QString& kind = {}) {
    return {e.branch,
            e.company,
            e.stateRegistration,
            e.cityRegistration,
            e.series,
            number,
            party,
            receiving,
            kind,
            from,
            to,
            QString()};
}

} // namespace

class TstServer : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;
    std::map<QString, std::unique_ptr<ServerProcess>> m_servers;
    std::map<QString, Scenario> m_scenarios;
    QTemporaryDir m_tmp;

    // The dialect's database with this test's invoices and a server on it; the
    // row fails or skips as the fixture says.
    zavtest::Readiness prepare(const QString& dialect, QSqlDatabase* dbOut = nullptr);
    ServerProcess* serverFor(const QString& dialect) { return m_servers.at(dialect).get(); }

private Q_SLOTS:
    void filters_data();
    void filters();
    void recordLayout_data();
    void recordLayout();
    void accessKeysOfTheDemoInvoices_data();
    void accessKeysOfTheDemoInvoices();
    void demoCoversStatesKindsAndDates_data();
    void demoCoversStatesKindsAndDates();
    void jsonAndCborAgree_data();
    void jsonAndCborAgree();
    void badArguments_data();
    void badArguments();
    void badRequests_data();
    void badRequests();
    void httpErrorsAndHealth();
    void bodyOverTheLimit();
    void databaseFailureIsReportedAndServingGoesOn();
    void aLongListLeavesInPiecesAndABreakIsNoList();
    void commandLine_data();
    void commandLine();
    void sigtermFinishesTheCallInProgress();
    void sessionsGuardEveryCall_data();
    void sessionsGuardEveryCall();
    void signInAtTheHostsPathOrTheModules_data();
    void signInAtTheHostsPathOrTheModules();
    void volumeGenerator();
    void cleanupTestCase();
};

#define PREPARE(dialect, db)                                                                                 \
    QSqlDatabase db;                                                                                         \
    ZAV_READY(prepare(dialect, &db))

zavtest::Readiness TstServer::prepare(const QString& dialect, QSqlDatabase* dbOut) {
    QSqlDatabase db;
    if (zavtest::Readiness ready = zavtest::useDatabase(m_dbs, dialect, &db); !ready.isReady())
        return ready;
    QString why;
    if (dbOut)
        *dbOut = db;
    if (!m_scenarios.contains(dialect)) {
        Scenario s;
        why = readScenario(db, s);
        if (why.isEmpty())
            why = writeScenario(db, s);
        if (!why.isEmpty())
            return zavtest::Readiness::fail(why);
        m_scenarios[dialect] = s;
    }
    if (!m_servers.contains(dialect)) {
        auto server = std::make_unique<ServerProcess>();
        if (!server->start(m_dbs.connectionText(dialect), {}, &why))
            return zavtest::Readiness::fail(why);
        if (server->signIn(m_dbs.connectionText(dialect), QStringLiteral("OPER1"), &why).isEmpty())
            return zavtest::Readiness::fail(why);
        tokens()[server->port()] = server->token();
        m_servers[dialect] = std::move(server);
    }
    return zavtest::Readiness::ready();
}

// ----- which invoices GetNotaFiscal returns

void TstServer::filters_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>(
        "party"); // $A: the shared customer registration, $M masked, $C, $S supplier, $B branch
    QTest::addColumn<QString>("receiving");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QList<int>>("expected");

    const QString from = QStringLiteral("2020-03-02");
    const QString to = QStringLiteral("2020-03-15");
    for (const QString& d : zavtest::dialects()) {
        const auto row = [&d](const char* tag, const QString& first, const QString& last, const char* number,
                              const char* party, const char* receiving, const char* kind,
                              const QList<int>& expected) {
            zavtest::newRow(d, tag) << first << last << QString::fromUtf8(number) << QString::fromUtf8(party)
                                    << QString::fromUtf8(receiving) << QString::fromUtf8(kind) << expected;
        };
        row("the period, every kind: authorised invoices of the establishment only", from, to, "", "", "", "",
            {2, 3, 4, 10, 11, 12});
        row("the first day alone is in the period", from, from, "", "", "", "", {2});
        row("the last day alone is in the period", to, to, "", "", "", "", {4});
        row("a period without invoices", "2019-01-01", "2019-12-31", "", "", "", "", {});
        row("invoice number without its zeros", from, to, "100003", "", "", "", {3});
        row("invoice number with nine digits", from, to, "000100003", "", "", "", {3});
        row("a number not issued", from, to, "999", "", "", "", {});
        row("customer registration: every customer holding it", from, to, "", "$A", "", "C", {2, 11, 12});
        row("customer registration under its mask", from, to, "", "$M", "", "C", {2, 11, 12});
        row("another customer", from, to, "", "$C", "", "C", {10});
        row("customers, none named", from, to, "", "", "", "C", {2, 10, 11, 12});
        row("a registration of no customer", from, to, "", "00000000000191", "", "C", {});
        row("supplier registration", from, to, "", "$S", "", "F", {3});
        row("a customer's registration as supplier", from, to, "", "$A", "", "F", {});
        row("suppliers, none named", from, to, "", "", "", "F", {3});
        row("receiving branch", from, to, "", "$B", "$B", "L", {4});
        row("receiving branches, none named", from, to, "", "", "", "L", {4});
        row("a branch that received nothing", from, to, "", "$O", "$O", "L", {});
    }
}

void TstServer::filters() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, number);
    QFETCH(QString, party);
    QFETCH(QString, receiving);
    QFETCH(QString, kind);
    QFETCH(QList<int>, expected);
    const Scenario& s = m_scenarios.at(dialect);
    const auto resolve = [&s](const QString& value) {
        if (value == u"$A")
            return s.sharedRegistration;
        if (value == u"$M")
            return masked(s.sharedRegistration);
        if (value == u"$C")
            return s.otherRegistration;
        if (value == u"$S")
            return s.supplierRegistration;
        if (value == u"$B")
            return s.otherBranch.branch;
        if (value == u"$O")
            return s.main.branch;
        return value;
    };

    const Reply reply =
        post(serverFor(dialect)->port(),
             request(QStringLiteral("GetNotaFiscal"),
                     paramsFor(s.main, from, to, number, resolve(party), resolve(receiving), kind)));
    QCOMPARE(reply.status, 200);
    QVERIFY2(!reply.message.contains(QStringLiteral("error")), qPrintable(errorMessage(reply)));
    const Packet p = packetOf(reply);
    QCOMPARE(p.fields.size(), 17);

    QStringList got;
    for (qsizetype i = 0; i < p.rows.size(); ++i) {
        got.append(p.text(i, QStringLiteral("NRLANCTONF")));
        // Only the invoice another operator's cancellation holds is blocked.
        const bool held = got.last() == entryOf(11);
        QCOMPARE(p.text(i, QStringLiteral("IDBLOQUEADO")), held ? QStringLiteral("S") : QStringLiteral("N"));
    }
    QStringList want;
    for (int n : expected)
        want.append(entryOf(n));
    got.sort();
    QCOMPARE(got, want);
}

// ----- the 17 fields

void TstServer::recordLayout_data() {
    zavtest::addDialectRows("test invoices and the demo's last 60 days");
}

void TstServer::recordLayout() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    const Scenario& s = m_scenarios.at(dialect);
    const Reply reply =
        post(serverFor(dialect)->port(),
             request(QStringLiteral("GetNotaFiscal"), paramsFor(s.main, QStringLiteral("2020-03-01"),
                                                                QDate::currentDate().toString(Qt::ISODate))));
    QCOMPARE(reply.status, 200);
    const Packet p = packetOf(reply);

    const QList<std::tuple<QString, QString, int>> layout{
        {"IDCHECK", "string", 1},         {"IDBLOQUEADO", "string", 1},      {"CDFILIEMIT", "string", 4},
        {"NRLANCTONF", "string", 10},     {"DTEMISSAO", "datetime", 0},      {"NMRAZAO", "string", 50},
        {"VRNOTAFISC", "float", 0},       {"CDFILIAL", "string", 4},         {"NRLANCTBDOC", "string", 12},
        {"IDENTRSAIDOP", "string", 1},    {"CDEMPRESA", "string", 2},        {"CDFILIRECE", "string", 4},
        {"LANCAMENTO", "string", 76},     {"DSMOTIVOCANCNFE", "string", 50}, {"NRNOTAFISCALELE", "string", 9},
        {"NRPROTOCOLONFE", "string", 15}, {"NRACESSONFE", "string", 50}};
    QCOMPARE(p.fields.size(), qsizetype(layout.size()));
    for (qsizetype i = 0; i < p.fields.size(); ++i) {
        const QCborMap f = p.fields.at(i).toMap();
        QCOMPARE(f.value(QStringLiteral("name")).toString(), std::get<0>(layout.at(i)));
        QCOMPARE(f.value(QStringLiteral("type")).toString(), std::get<1>(layout.at(i)));
        QCOMPARE(int(f.value(QStringLiteral("size")).toInteger()), std::get<2>(layout.at(i)));
    }

    // Demo invoices from the last 60 days and this test's from March 2020.
    QVERIFY(p.rows.size() > 6);
    static const QRegularExpression isoDay(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    QSet<QString> keys;
    QList<std::pair<QString, QString>> byKey; // LANCAMENTO, then "date number entry"
    for (qsizetype i = 0; i < p.rows.size(); ++i) {
        QCOMPARE(p.rows.at(i).size(), qsizetype(17));
        QCOMPARE(p.text(i, "IDCHECK"), QStringLiteral("U"));
        QCOMPARE(p.text(i, "DSMOTIVOCANCNFE"), QString());
        QVERIFY(p.cell(i, "DSMOTIVOCANCNFE").isString());
        QCOMPARE(p.text(i, "CDFILIAL"), s.main.branch);
        QCOMPARE(p.text(i, "CDEMPRESA"), s.main.company);
        QVERIFY(isoDay.match(p.text(i, "DTEMISSAO")).hasMatch());
        // JSON has one kind of number: 50.00 may come back as the integer 50.
        QVERIFY(p.cell(i, "VRNOTAFISC").isDouble() || p.cell(i, "VRNOTAFISC").isInteger());
        const QString key = p.text(i, "LANCAMENTO");
        QCOMPARE(key.size(), 36); // every key the same width
        QVERIFY2(!keys.contains(key), qPrintable(key));
        keys.insert(key);
        byKey.append({key, p.text(i, "DTEMISSAO") + p.text(i, "NRNOTAFISCALELE") + p.text(i, "NRLANCTONF")});
    }
    // Sorting by the key sorts by issue date, then number.
    std::sort(byKey.begin(), byKey.end());
    for (qsizetype i = 1; i < byKey.size(); ++i)
        QVERIFY2(byKey.at(i - 1).second < byKey.at(i).second, qPrintable(byKey.at(i).first));

    // The invoices this test wrote come back as written.
    const auto row = [&p](int n) {
        for (qsizetype i = 0; i < p.rows.size(); ++i)
            if (p.text(i, "NRLANCTONF") == entryOf(n))
                return i;
        return qsizetype(-1);
    };
    const qsizetype three = row(3);
    const qsizetype four = row(4);
    QVERIFY(three >= 0 && four >= 0);
    QCOMPARE(p.text(three, "NMRAZAO"), s.supplierName);
    QCOMPARE(p.cell(three, "VRNOTAFISC").toDouble(), 1003.25);
    QCOMPARE(p.text(three, "DTEMISSAO"), QStringLiteral("2020-03-10"));
    QCOMPARE(p.text(three, "NRNOTAFISCALELE"), QStringLiteral("000100003"));
    QCOMPARE(p.text(three, "NRLANCTBDOC"), QStringLiteral("000000000003"));
    QCOMPARE(p.text(three, "IDENTRSAIDOP"), QStringLiteral("S"));
    QCOMPARE(p.text(three, "CDFILIEMIT"), s.main.branch);
    QVERIFY(p.cell(three, "CDFILIRECE").isNull());
    QCOMPARE(p.text(four, "CDFILIRECE"), s.otherBranch.branch);
    QCOMPARE(p.text(three, "NRPROTOCOLONFE"), QStringLiteral("135200000000003"));
    QVERIFY(zavfiscal::isValidAccessKey(p.text(three, "NRACESSONFE")));
    QCOMPARE(p.text(three, "LANCAMENTO"), s.main.branch.leftJustified(4) + QStringLiteral("20200310") +
                                              s.main.series.leftJustified(5) + QStringLiteral("000100003") +
                                              entryOf(3));
}

// ----- the demo database

void TstServer::accessKeysOfTheDemoInvoices_data() {
    zavtest::addDialectRows("the main establishment's last 60 days");
}

void TstServer::accessKeysOfTheDemoInvoices() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    const Scenario& s = m_scenarios.at(dialect);
    const QString state = firstValue(db,
                                     QStringLiteral("SELECT SGESTADO FROM INSCRESTAD WHERE CDEMPRESA = ? AND "
                                                    "CDINSCESTA = ?"),
                                     {s.main.company, s.main.stateRegistration});
    const QString cnpj =
        firstValue(db, QStringLiteral("SELECT NRCNPJFILIAL FROM FILIAL WHERE CDFILIAL = ?"), {s.main.branch});
    const QString exported =
        firstValue(db,
                   QStringLiteral("SELECT CDEXPSERIENF FROM SERIENF WHERE CDEMPRESA = ? AND "
                                  "CDINSCESTA = ? AND CDINSCMUNI = ? AND CDSERIE = ?"),
                   {s.main.company, s.main.stateRegistration, s.main.cityRegistration, s.main.series});
    const QDate today = QDate::currentDate();
    const Reply reply = post(
        serverFor(dialect)->port(),
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.main, today.addDays(-60).toString(Qt::ISODate), today.toString(Qt::ISODate))));
    const Packet p = packetOf(reply);
    QVERIFY2(p.rows.size() >= 5, "several demo invoices per establishment");
    static const QRegularExpression protocol(QStringLiteral("^1\\d{14}$"));
    QSet<QString> seen;
    for (qsizetype i = 0; i < p.rows.size(); ++i) {
        const QString key = p.text(i, "NRACESSONFE");
        QVERIFY2(zavfiscal::isValidAccessKey(key), qPrintable(key));
        QCOMPARE(key.mid(0, 2), stateCode(state));
        const QDate issued = QDate::fromString(p.text(i, "DTEMISSAO"), Qt::ISODate);
        QCOMPARE(key.mid(2, 4), issued.toString(QStringLiteral("yyMM")));
        QCOMPARE(key.mid(6, 14), cnpj);
        QCOMPARE(key.mid(20, 2), QStringLiteral("55"));
        QCOMPARE(key.mid(22, 3).toInt(), exported.toInt());
        QCOMPARE(key.mid(25, 9), p.text(i, "NRNOTAFISCALELE"));
        QCOMPARE(key.mid(34, 1), QStringLiteral("1"));
        QVERIFY2(key.mid(35, 8).toInt() != key.mid(25, 9).toInt() % 100000000, "cNF differs from the number");
        QVERIFY2(protocol.match(p.text(i, "NRPROTOCOLONFE")).hasMatch(),
                 qPrintable(p.text(i, "NRPROTOCOLONFE")));
        QVERIFY(!seen.contains(key));
        seen.insert(key);
    }
}

void TstServer::demoCoversStatesKindsAndDates_data() {
    zavtest::addDialectRows("demo invoices");
}

void TstServer::demoCoversStatesKindsAndDates() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    const QString demo = QStringLiteral(" FROM NOTAFISCAL WHERE NRLANCTONF NOT LIKE '90000000%'");
    for (const char* state : {"A", "C", "D"})
        QVERIFY2(firstValue(
                     db, QStringLiteral("SELECT COUNT(*)") + demo + QStringLiteral(" AND IDSITUACAONFE = ?"),
                     {QString::fromLatin1(state)})
                         .toInt() > 0,
                 state);
    for (const char* kind : {"C", "F", "L"})
        QVERIFY2(firstValue(db,
                            QStringLiteral("SELECT COUNT(*)") + demo + QStringLiteral(" AND IDTPDESTREM = ?"),
                            {QString::fromLatin1(kind)})
                         .toInt() > 0,
                 kind);
    const QDate today = QDate::currentDate();
    QCOMPARE(firstValue(db, QStringLiteral("SELECT MAX(DTEMISSAO)") + demo).left(10),
             today.toString(Qt::ISODate));
    QCOMPARE(firstValue(db, QStringLiteral("SELECT MIN(DTEMISSAO)") + demo).left(10),
             today.addDays(-60).toString(Qt::ISODate));
    // Every establishment with a series has several invoices, across branches.
    QVERIFY(firstValue(db, QStringLiteral("SELECT COUNT(DISTINCT CDFILIAL)") + demo).toInt() >= 2);
    QCOMPARE(
        firstValue(db, QStringLiteral("SELECT COUNT(*) FROM (SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, "
                                      "CDINSCMUNI, CDSERIE") +
                           demo +
                           QStringLiteral(" GROUP BY CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE "
                                          "HAVING COUNT(*) < 3) FEW")),
        QStringLiteral("0"));
}

// ----- encodings

void TstServer::jsonAndCborAgree_data() {
    zavtest::addDialectRows("the demo's last 60 days");
}

void TstServer::jsonAndCborAgree() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    const Scenario& s = m_scenarios.at(dialect);
    const QByteArray body =
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.main, QStringLiteral("2020-01-01"), QDate::currentDate().toString(Qt::ISODate)),
                QStringLiteral("id-1"));
    const int port = serverFor(dialect)->port();
    const Reply json = post(port, body, false);
    const Reply cbor = post(port, body, true);
    QVERIFY(json.contentType.startsWith("application/json"));
    QCOMPARE(cbor.contentType, QByteArray("application/cbor"));
    QVERIFY(json.body.startsWith('{'));
    QCOMPARE(json.message.value(QStringLiteral("id")).toString(), QStringLiteral("id-1"));
    QCOMPARE(cbor.message.value(QStringLiteral("id")).toString(), QStringLiteral("id-1"));
    QVERIFY(packetOf(json).rows.size() > 6);
    // Compared as JSON values: the order of a map's keys and the integral
    // doubles JSON writes without decimals are not differences.
    const QJsonValue jsonResult = QJsonDocument::fromJson(json.body).object().value(QStringLiteral("result"));
    QCOMPARE(QCborValue::fromCbor(cbor.body).toMap().value(QStringLiteral("result")).toJsonValue(),
             jsonResult);

    // A request in CBOR gets the same answer.
    const QByteArray cborBody = QCborValue::fromJsonValue(QJsonDocument::fromJson(body).object()).toCbor();
    const Reply fromCbor = post(port, cborBody, true, "application/cbor");
    QCOMPARE(QCborValue::fromCbor(fromCbor.body).toMap().value(QStringLiteral("result")).toJsonValue(),
             jsonResult);

    // Accept with weights: CBOR only when it weighs at least as much as JSON.
    httplib::Client client("127.0.0.1", port);
    authorize(client, port);
    const auto weighted = client.Post(kPath, {{"Accept", "application/cbor;q=0.5, application/json"}},
                                      body.constData(), size_t(body.size()), "application/json");
    QVERIFY(weighted);
    QVERIFY(
        QByteArray::fromStdString(weighted->get_header_value("Content-Type")).startsWith("application/json"));
}

// ----- what the server refuses

void TstServer::badArguments_data() {
    QTest::addColumn<int>("position"); // 0: replace the whole list
    QTest::addColumn<QCborValue>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    const auto row = [](const char* tag, int position, const QCborValue& value, const char* message,
                        int code = -32602) {
        QTest::newRow(tag) << position << value << code << QString::fromUtf8(message);
    };
    row("three arguments", 0, QCborArray{"0001", "01", "x"},
        "Número de argumentos inválido para GetNotaFiscal: esperados 12, recebidos 3");
    row("thirteen arguments", 13, QString(), "esperados 12, recebidos 13");
    row("no params at all", -1, QCborValue(), "esperados 12, recebidos 0");
    row("named params", -2, QCborValue(), "Argumentos nomeados não são aceitos");
    row("branch as a number", 1, 1, "Argumento 1 (filial) inválido: esperado um texto, recebido um número");
    row("branch too long", 1, "00001", "Argumento 1 (filial) inválido: no máximo 4 caracteres, recebidos 5");
    row("branch empty", 1, "  ", "Argumento 1 (filial) inválido: deve ser informado");
    row("company null", 2, QCborValue(nullptr),
        "Argumento 2 (empresa) inválido: esperado um texto, recebido nulo");
    row("state registration too long", 3, "12345678901234567", "Argumento 3 (inscrição estadual) inválido");
    row("municipal registration as a list", 4, QCborArray{}, "Argumento 4 (inscrição municipal) inválido");
    row("series empty", 5, "", "Argumento 5 (série) inválido: deve ser informado");
    row("invoice number with letters", 6, "12a",
        "Argumento 6 (número da nota fiscal) inválido: esperados só dígitos");
    row("invoice number too long", 6, "1234567890", "Argumento 6 (número da nota fiscal) inválido");
    row("counterparty value not a registration", 7, "ABC", "Argumento 7 (destinatário/remetente) inválido");
    row("receiving branch too long", 8, "00011", "Argumento 8 (filial destinatária) inválido");
    row("unknown counterparty kind", 9, "X", "Argumento 9 (tipo de destinatário/remetente) inválido");
    row("start date not a day", 10, "2020-02-30",
        "Argumento 10 (data inicial) inválido: esperado uma data AAAA-MM-DD");
    row("start date in Brazilian form", 10, "02/03/2020", "Argumento 10 (data inicial) inválido");
    row("start date with a time", 10, "2020-03-02T00:00:00", "Argumento 10 (data inicial) inválido");
    row("end date as a number", 11, 20200315,
        "Argumento 11 (data final) inválido: esperado uma data AAAA-MM-DD");
    row("reserved argument as a number", 12, 0, "Argumento 12 (reservado) inválido");
    row("period the wrong way round", 11, "2020-03-01",
        "Período inválido: a data inicial 02/03/2020 é posterior à data final 01/03/2020.");
    row("reserved argument with text is accepted", 12, "qualquer", "", 0);
    row("counterparty value ignored without a kind", 7, "ABC", "", 0);
}

void TstServer::badArguments() {
    PREPARE(zavtest::kSQLite, db);
    QFETCH(int, position);
    QFETCH(QCborValue, value);
    QFETCH(int, code);
    QFETCH(QString, message);
    const Scenario& s = m_scenarios.at(zavtest::kSQLite);
    QCborArray params = paramsFor(s.main, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15"));
    if (QByteArray(QTest::currentDataTag()).startsWith("counterparty value not"))
        params[8] = QStringLiteral("C");

    QCborMap map;
    map.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    map.insert(QStringLiteral("id"), 1);
    map.insert(QStringLiteral("method"), QStringLiteral("GetNotaFiscal"));
    if (position == 0)
        map.insert(QStringLiteral("params"), value);
    else if (position == -2)
        map.insert(QStringLiteral("params"), QCborMap{{QStringLiteral("filial"), QStringLiteral("0001")}});
    else if (position > 0) {
        if (position == 13)
            params.append(value);
        else
            params[position - 1] = value;
        map.insert(QStringLiteral("params"), params);
    }
    const QByteArray body = QJsonDocument(map.toJsonObject()).toJson(QJsonDocument::Compact);
    const Reply reply = post(serverFor(zavtest::kSQLite)->port(), body);
    QCOMPARE(reply.status, 200);
    QCOMPARE(errorCode(reply), code);
    if (code != 0)
        QVERIFY2(errorMessage(reply).startsWith(message) || errorMessage(reply).contains(message),
                 qPrintable(errorMessage(reply)));
    else
        QCOMPARE(packetOf(reply).rows.size(), qsizetype(6));
}

void TstServer::badRequests_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QCborValue>("id");

    QTest::newRow("malformed JSON") << QByteArray("{\"jsonrpc\":\"2.0\",") << -32700
                                    << QStringLiteral("Requisição malformada: JSON inválido")
                                    << QCborValue(nullptr);
    QTest::newRow("a batch") << QByteArray("[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"GetNotaFiscal\"}]")
                             << -32600 << QStringLiteral("lotes") << QCborValue(nullptr);
    QTest::newRow("wrong version") << QByteArray(
                                          "{\"jsonrpc\":\"1.0\",\"id\":5,\"method\":\"GetNotaFiscal\"}")
                                   << -32600 << QStringLiteral("jsonrpc deve ser \"2.0\"") << QCborValue(5);
    QTest::newRow("no id") << QByteArray("{\"jsonrpc\":\"2.0\",\"method\":\"GetNotaFiscal\",\"params\":[]}")
                           << -32600 << QStringLiteral("falta o campo id") << QCborValue(nullptr);
    QTest::newRow("id as an object")
        << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":{},\"method\":\"GetNotaFiscal\",\"params\":[]}") << -32600
        << QStringLiteral("o campo id deve ser") << QCborValue(nullptr);
    QTest::newRow("method as a number")
        << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"method\":3}") << -32600
        << QStringLiteral("o campo method") << QCborValue(QStringLiteral("x"));
    QTest::newRow("unknown method") << request(QStringLiteral("Foo"), {}) << -32601
                                    << QStringLiteral("Método desconhecido: Foo") << QCborValue(7);
    QTest::newRow("method name in another case")
        << request(QStringLiteral("getnotafiscal"), {}) << -32601
        << QStringLiteral("Método desconhecido: getnotafiscal") << QCborValue(7);
    QTest::newRow("the cancellation with numbers for its arguments")
        << request(QStringLiteral("Cancela_NotaFiscal"), {1, 2, 3, 4, 5, 6}) << -32602
        << QString::fromUtf8("Argumento 1 (lista de notas fiscais) inválido") << QCborValue(7);
    QTest::newRow("params as a text")
        << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"GetNotaFiscal\",\"params\":\"x\"}")
        << -32600 << QStringLiteral("params deve ser uma lista") << QCborValue(1);
}

void TstServer::badRequests() {
    PREPARE(zavtest::kSQLite, db);
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QCborValue, id);
    const int port = serverFor(zavtest::kSQLite)->port();
    httplib::Client client("127.0.0.1", port);
    authorize(client, port);
    client.set_keep_alive(true);

    const Reply reply = post(client, body);
    QCOMPARE(reply.status, 200);
    QCOMPARE(errorCode(reply), code);
    QVERIFY2(errorMessage(reply).contains(message), qPrintable(errorMessage(reply)));
    QCOMPARE(reply.message.value(QStringLiteral("id")), id);
    QCOMPARE(reply.message.value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
    QVERIFY(!reply.message.contains(QStringLiteral("result")));

    // The server keeps serving, on the same connection too.
    const Scenario& s = m_scenarios.at(zavtest::kSQLite);
    const Reply good =
        post(client, request(QStringLiteral("GetNotaFiscal"),
                             paramsFor(s.main, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15"))));
    QCOMPARE(packetOf(good).rows.size(), qsizetype(6));
}

void TstServer::httpErrorsAndHealth() {
    PREPARE(zavtest::kSQLite, db);
    httplib::Client client("127.0.0.1", serverFor(zavtest::kSQLite)->port());
    authorize(client, serverFor(zavtest::kSQLite)->port());

    const auto health = client.Get("/health");
    QVERIFY(health);
    QCOMPARE(health->status, 200);
    QCOMPARE(
        QJsonDocument::fromJson(QByteArray::fromStdString(health->body)).object().value("status").toString(),
        QStringLiteral("ok"));

    const auto get = client.Get(kPath);
    QVERIFY(get);
    QCOMPARE(get->status, 405);
    QCOMPARE(get->get_header_value("Allow"), std::string("POST"));

    const auto unknown = client.Post("/outro", "{}", "application/json");
    QVERIFY(unknown);
    QCOMPARE(unknown->status, 404);
    const QCborMap error = decode(QByteArray::fromStdString(unknown->body), "application/json")
                               .value(QStringLiteral("error"))
                               .toMap();
    QCOMPARE(error.value(QStringLiteral("code")).toInteger(), -32601);
    QVERIFY(error.value(QStringLiteral("message")).toString().contains(QLatin1String(kPath)));
}

void TstServer::bodyOverTheLimit() {
    PREPARE(zavtest::kSQLite, db);
    ServerProcess server;
    QString why;
    QVERIFY2(server.start(m_dbs.connectionText(zavtest::kSQLite),
                          {QStringLiteral("--max-body"), QStringLiteral("4096")}, &why),
             qPrintable(why));
    QVERIFY2(!server.signIn(m_dbs.connectionText(zavtest::kSQLite), QStringLiteral("OPER1"), &why).isEmpty(),
             qPrintable(why));
    tokens()[server.port()] = server.token();
    const Scenario& s = m_scenarios.at(zavtest::kSQLite);
    const QByteArray good =
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.main, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15")));
    // A request just over the limit: a JSON-RPC text padded with blanks.
    const QByteArray big = good + QByteArray(4097 - good.size(), ' ');
    QCOMPARE(big.size(), 4097);

    httplib::Client client("127.0.0.1", server.port());
    authorize(client, server.port());
    client.set_keep_alive(true);
    const Reply refused = post(client, big);
    QCOMPARE(refused.status, 413);
    QCOMPARE(errorCode(refused), -32600);
    QVERIFY2(errorMessage(refused).contains(QStringLiteral("4096 bytes")), qPrintable(errorMessage(refused)));
    QCOMPARE(packetOf(post(client, good)).rows.size(), qsizetype(6));

    // Exactly at the limit is accepted.
    const QByteArray atLimit = good + QByteArray(4096 - good.size(), ' ');
    QCOMPARE(packetOf(post(client, atLimit)).rows.size(), qsizetype(6));

    // A chunked body announces no length: it is counted as it arrives.
    std::string chunked(20000, ' ');
    chunked.replace(0, size_t(good.size()), good.constData(), size_t(good.size()));
    const auto result = client.Post(
        kPath,
        [&chunked](size_t offset, httplib::DataSink& sink) {
            if (offset < chunked.size())
                sink.write(chunked.data() + offset, std::min<size_t>(1000, chunked.size() - offset));
            else
                sink.done();
            return true;
        },
        "application/json");
    QVERIFY(result);
    QCOMPARE(result->status, 413);
    QCOMPARE(packetOf(post(server.port(), good)).rows.size(), qsizetype(6));
    QCOMPARE(server.terminate(), 0);
}

void TstServer::databaseFailureIsReportedAndServingGoesOn() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("broken.sqlite"));
    {
        QSqlDatabase db = zavdb::open(file, QStringLiteral("tst_server-broken"));
        zavdb::createSchema(db);
        zavdb::seedReference(db, {});
        zavdb::seedInvoices(db, {});
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tst_server-broken"));

    ServerProcess server;
    QString why;
    QVERIFY2(server.start(file, {}, &why), qPrintable(why));
    QVERIFY2(!server.signIn(file, QStringLiteral("OPER1"), &why).isEmpty(), qPrintable(why));
    tokens()[server.port()] = server.token();
    {
        QSqlDatabase db = zavdb::open(file, QStringLiteral("tst_server-breaker"));
        QSqlQuery q(db);
        QVERIFY2(q.exec(QStringLiteral("ALTER TABLE NOTAFISCAL RENAME TO NOTAFISCAL_GONE")),
                 qPrintable(q.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tst_server-breaker"));

    const Establishment e{"0001", "01", "x", "y", "1"};
    const Reply reply = post(
        server.port(), request(QStringLiteral("GetNotaFiscal"),
                               paramsFor(e, QStringLiteral("2020-01-01"), QStringLiteral("2020-01-02"))));
    QCOMPARE(reply.status, 200);
    QCOMPARE(errorCode(reply), -32000);
    // What the database said stays in the server's log, found by the id the
    // caller is given; the caller reads no table name, no SQL, no driver text.
    static const QRegularExpression incident(QStringLiteral(
        "^Erro ao consultar as notas fiscais no banco de dados \\(ocorrência ([0-9a-f]{8})\\)\\.$"));
    const auto match = incident.match(errorMessage(reply));
    QVERIFY2(match.hasMatch(), qPrintable(errorMessage(reply)));
    QVERIFY2(server.waitForLog("ocorrência " + match.captured(1).toLatin1() + ": "),
             server.log().constData());
    QVERIFY(server.log().contains("NOTAFISCAL"));

    httplib::Client client("127.0.0.1", server.port());
    authorize(client, server.port());
    const auto health = client.Get("/health");
    QVERIFY(health);
    QCOMPARE(health->status, 503);
    const QJsonObject healthBody = QJsonDocument::fromJson(QByteArray::fromStdString(health->body)).object();
    QCOMPARE(healthBody.value("status").toString(), QStringLiteral("erro"));
    QVERIFY2(healthBody.value("message").toString().contains(QStringLiteral("(ocorrência ")) &&
                 !healthBody.value("message").toString().contains(QStringLiteral("NOTAFISCAL")),
             health->body.c_str());
    // Still answering.
    QCOMPARE(errorCode(post(server.port(), "{")), -32700);
    QVERIFY2(server.waitForLog("GetNotaFiscal"), server.log().constData());
    // Each call's line says where it came from.
    QVERIFY2(server.waitForLog("from=127.0.0.1 erro -32700"), server.log().constData());
    QCOMPARE(server.terminate(), 0);
}

void TstServer::aLongListLeavesInPiecesAndABreakIsNoList() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("long.sqlite"));
    QString why;
    const zavtest::LongList long_ = zavtest::makeLongList(file, 3000, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const Establishment e{long_.branch, long_.company, long_.stateRegistration, long_.cityRegistration,
                          long_.series};
    const QString from = long_.from.toString(Qt::ISODate), to = long_.to.toString(Qt::ISODate);
    const int authorised = long_.authorised;
    QVERIFY(authorised > 1000);

    ServerProcess server;
    QVERIFY2(server.start(file, {}, &why), qPrintable(why));
    QVERIFY2(!server.signIn(file, QStringLiteral("OPER1"), &why).isEmpty(), qPrintable(why));
    tokens()[server.port()] = server.token();
    const QByteArray call = request(QStringLiteral("GetNotaFiscal"), paramsFor(e, from, to));

    // Hundreds of kilobytes: the answer leaves in chunks as it is written,
    // and is the same list in either encoding.
    httplib::Client client("127.0.0.1", server.port());
    authorize(client, server.port());
    client.set_read_timeout(60);
    QList<QCborArray> rows[2];
    for (const bool cbor : {false, true}) {
        httplib::Headers headers;
        if (cbor)
            headers.emplace("Accept", "application/cbor");
        const auto result =
            client.Post(kPath, headers, call.constData(), size_t(call.size()), "application/json");
        QVERIFY(result);
        QCOMPARE(result->status, 200);
        QCOMPARE(result->get_header_value("Transfer-Encoding"), std::string("chunked"));
        QVERIFY(result->body.size() > size_t{256} * 1024);
        Reply reply;
        reply.body = QByteArray::fromStdString(result->body);
        reply.message =
            decode(reply.body, QByteArray::fromStdString(result->get_header_value("Content-Type")));
        QCOMPARE(reply.message.value(QStringLiteral("id")).toInteger(), 7);
        rows[cbor] = packetOf(reply).rows;
        QCOMPARE(rows[cbor].size(), authorised);
    }
    for (qsizetype r = 0; r < rows[0].size(); ++r)
        QCOMPARE(rows[0].at(r).toJsonArray(), rows[1].at(r).toJsonArray());

    // The last row of the list turns unreadable: the failure comes after the
    // first pieces have left, and the answer is broken off, never closed as
    // a shorter list.
    const QString last = rows[1].constLast().at(3).toString(); // NRLANCTONF
    {
        QSqlDatabase db = zavdb::open(file, QStringLiteral("tst_server-long-breaker"));
        QSqlQuery q(db);
        QVERIFY(q.prepare(QStringLiteral(
            "UPDATE NOTAFISCAL SET VRNOTAFISC = 'sem valor' WHERE NRLANCTONF = ? AND CDFILIAL = ?")));
        q.addBindValue(last);
        q.addBindValue(e.branch);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        QCOMPARE(q.numRowsAffected(), 1);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tst_server-long-breaker"));
    for (const bool cbor : {false, true}) {
        httplib::Client broken("127.0.0.1", server.port());
        authorize(broken, server.port());
        broken.set_read_timeout(60);
        httplib::Headers headers;
        if (cbor)
            headers.emplace("Accept", "application/cbor");
        const auto result =
            broken.Post(kPath, headers, call.constData(), size_t(call.size()), "application/json");
        if (result) {
            // Whatever arrived is no whole answer.
            const QByteArray body = QByteArray::fromStdString(result->body);
            bool whole = false;
            if (cbor) {
                QCborParserError error;
                const QCborValue v = QCborValue::fromCbor(body, &error);
                whole = error.error == QCborError::NoError && v.toMap().contains(QStringLiteral("result"));
            } else {
                whole = QJsonDocument::fromJson(body).object().contains(QStringLiteral("result"));
            }
            QVERIFY2(!whole, cbor ? "cbor" : "json");
        }
        QVERIFY2(server.waitForLog("valor inválido na nota de lançamento " + last.toLatin1()),
                 server.log().constData());
    }
    // The server goes on serving.
    QCOMPARE(errorCode(post(server.port(), "{")), -32700);
    QCOMPARE(server.terminate(), 0);
}

// ----- sessions

void TstServer::sessionsGuardEveryCall_data() {
    zavtest::addDialectRows("two servers on one database");
}

void TstServer::sessionsGuardEveryCall() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    const Scenario& s = m_scenarios.at(dialect);
    const QString text = m_dbs.connectionText(dialect);
    const int port = serverFor(dialect)->port();
    const QByteArray list =
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.main, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15")));
    const auto callWith = [&](int p, const QByteArray& token, const QByteArray& body) {
        httplib::Client client("127.0.0.1", p);
        if (!token.isNull())
            client.set_default_headers({{"Authorization", "Bearer " + token.toStdString()}});
        return post(client, body);
    };

    // No session, or a token of none: 401, and nothing said of the methods.
    for (const QByteArray& token : {QByteArray(), QByteArray("x"), QByteArray(43, 'A')}) {
        const Reply r = callWith(port, token, list);
        QCOMPARE(r.status, 401);
        QCOMPARE(errorCode(r), -32001);
        const Reply unknown = callWith(port, token, request(QStringLiteral("NoSuchMethod"), {}));
        QCOMPARE(errorCode(unknown), -32001);
    }
    QVERIFY(errorMessage(callWith(port, {}, list)).startsWith(QStringLiteral("Chamada sem sessão")));

    // A second operator, allowed on the main establishment only.
    ServerProcess second; // a second server on the same database
    QString why;
    QVERIFY2(second.start(text, {}, &why), qPrintable(why));
    const QByteArray maria = second.signIn(text, QStringLiteral("MARIA"), &why);
    QVERIFY2(!maria.isEmpty(), qPrintable(why));
    {
        QSqlQuery q(db);
        QVERIFY(q.prepare(QStringLiteral("DELETE FROM PERMISSAOOPER WHERE CDOPERADOR = 'MARIA' AND NOT "
                                         "(CDFILIAL = ? AND CDEMPRESA = ?)")));
        q.addBindValue(s.main.branch);
        q.addBindValue(s.main.company);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    // The session opened on one server is honoured by the other.
    QCOMPARE(packetOf(callWith(port, maria, list)).rows.size(), qsizetype(6));
    const Reply other = callWith(
        port, maria,
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.otherBranch, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15"))));
    QCOMPARE(errorCode(other), -32003);
    QVERIFY2(errorMessage(other).contains(s.otherBranch.branch), qPrintable(errorMessage(other)));

    // Signing in: one message whether the operator or the password is wrong;
    // after repeated failures even the right password waits.
    const auto login = [&](const char* who, const char* password) {
        return callWith(
            second.port(), {},
            request(QStringLiteral("Login"), {QString::fromLatin1(who), QString::fromLatin1(password)}));
    };
    QCOMPARE(errorMessage(login("NINGUEM", kTestPassword)), QStringLiteral("Operador ou senha inválidos."));
    QCOMPARE(errorMessage(login("MARIA", "outra-senha")), QStringLiteral("Operador ou senha inválidos."));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(errorCode(login("MARIA", "outra-senha")), -32002);
    const Reply slowed = login("MARIA", kTestPassword);
    QCOMPARE(errorCode(slowed), -32002);
    QVERIFY2(errorMessage(slowed).startsWith(QStringLiteral("Muitas tentativas")),
             qPrintable(errorMessage(slowed)));
    // The failures counted against this machine's address too: forgotten here,
    // so that the next test's operator signs in.
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM FALHALOGIN"));

    // Signing out ends the session on every server.
    QVERIFY(callWith(second.port(), maria, request(QStringLiteral("Logout"), {}))
                .message.contains(QStringLiteral("result")));
    QCOMPARE(callWith(port, maria, list).status, 401);
    QCOMPARE(second.terminate(), 0);
}

void TstServer::signInAtTheHostsPathOrTheModules_data() {
    zavtest::addDialectRows("demo database");
}

// The host signs in and out at /sessao, whatever screen it opens; a
// workstation of the previous version does so at the module's endpoint. Either
// session serves the module's calls, and ends where it was opened; /sessao
// answers no other method.
void TstServer::signInAtTheHostsPathOrTheModules() {
    QFETCH(QString, dialect);
    PREPARE(dialect, db);
    const Scenario& s = m_scenarios.at(dialect);
    const int port = serverFor(dialect)->port();
    const QByteArray list =
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.main, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15")));
    for (const char* path : {"/sessao", kPath}) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60);
        const Reply wrong = postTo(
            client, path, request(QStringLiteral("Login"), {QStringLiteral("OPER1"), QStringLiteral("x")}));
        QCOMPARE(wrong.status, 200);
        QCOMPARE(errorMessage(wrong), QStringLiteral("Operador ou senha inválidos."));
        const Reply in = postTo(
            client, path,
            request(QStringLiteral("Login"), {QStringLiteral("OPER1"), QString::fromLatin1(kTestPassword)}));
        QCOMPARE(in.status, 200);
        const Packet session = packetOf(in);
        QCOMPARE(session.rows.size(), qsizetype(1));
        QCOMPARE(session.text(0, QStringLiteral("OPERADOR")), QStringLiteral("OPER1"));
        const QByteArray token = session.text(0, QStringLiteral("TOKEN")).toLatin1();
        QCOMPARE(token.size(), 43);

        httplib::Client under("127.0.0.1", port);
        under.set_read_timeout(60);
        under.set_default_headers({{"Authorization", "Bearer " + token.toStdString()}});
        QCOMPARE(post(under, list).status, 200);
        QVERIFY(post(under, list).message.contains(QStringLiteral("result")));
        // The sign-in path serves nothing but signing in and out, with a
        // session or without, even the question answered without a worker.
        for (const QByteArray& elsewhere :
             {list, request(QStringLiteral("Progresso_Chamada"), {QStringLiteral("x1")}),
              request(QStringLiteral("NoSuchMethod"), {})}) {
            for (httplib::Client* who : {&client, &under}) {
                const Reply refused = postTo(*who, "/sessao", elsewhere);
                QCOMPARE(refused.status, 200);
                QCOMPARE(errorCode(refused), -32601);
                QVERIFY2(errorMessage(refused).startsWith(QStringLiteral("Método desconhecido em /sessao: ")),
                         refused.body.constData());
            }
        }
        const Reply out = postTo(under, path, request(QStringLiteral("Logout"), {}));
        QVERIFY2(out.message.contains(QStringLiteral("result")), out.body.constData());
        QCOMPARE(post(under, list).status, 401);
    }
    // The failed attempts above are forgotten, for the next test's sign-ins.
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM FALHALOGIN"));
}

void TstServer::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    const QString dbFile = QStringLiteral("$DB");
    QTest::newRow("no database") << QStringList{} << 1 << QStringLiteral("--db");
    QTest::newRow("neither TLS nor --plain-http")
        << QStringList{"--db", dbFile} << 1 << QStringLiteral("--tls-cert e --tls-key");
    QTest::newRow("a certificate without its key")
        << QStringList{"--db", dbFile, "--tls-cert", "$DB"} << 1 << QStringLiteral("juntos");
    QTest::newRow("plain HTTP on a remote address")
        << QStringList{"--db", dbFile, "--plain-http", "--listen", "0.0.0.0:0"} << 1
        << QStringLiteral("loopback");
    QTest::newRow("a port out of range")
        << QStringList{"--db", dbFile, "--plain-http", "--listen", "127.0.0.1:70000"} << 1
        << QStringLiteral("--listen inválido");
    QTest::newRow("no port") << QStringList{"--db", dbFile, "--plain-http", "--listen", "127.0.0.1"} << 1
                             << QStringLiteral("--listen inválido");
    QTest::newRow("no threads") << QStringList{"--db", dbFile, "--plain-http", "--threads", "0"} << 1
                                << QStringLiteral("--threads");
    QTest::newRow("a tiny body limit") << QStringList{"--db", dbFile, "--plain-http", "--max-body", "10"} << 1
                                       << QStringLiteral("--max-body");
    QTest::newRow("no idle timeout") << QStringList{"--db", dbFile, "--plain-http", "--idle-timeout", "0"}
                                     << 1 << QStringLiteral("--idle-timeout");
    QTest::newRow("a database in no folder") << QStringList{"--db", "/nao/existe/zav.sqlite", "--plain-http"}
                                             << 2 << QStringLiteral("banco indisponível");
    QTest::newRow("a database without the invoice store")
        << QStringList{"--db", "$EMPTY", "--plain-http"} << 2 << QStringLiteral("NOTAFISCAL");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QStringLiteral("--tls-cert");
}

void TstServer::commandLine() {
    PREPARE(zavtest::kSQLite, db);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    for (QString& a : arguments) {
        if (a == u"$DB")
            a = m_dbs.connectionText(zavtest::kSQLite);
        if (a == u"$EMPTY")
            a = m_tmp.filePath(QStringLiteral("empty.sqlite"));
    }
    ServerProcess server;
    QCOMPARE(server.runToExit(arguments), exitCode);
    QVERIFY2(QString::fromUtf8(server.log()).contains(output), server.log().constData());
}

void TstServer::sigtermFinishesTheCallInProgress() {
    PREPARE(zavtest::kSQLite, db);
    ServerProcess server;
    QString why;
    QVERIFY2(server.start(m_dbs.connectionText(zavtest::kSQLite), {}, &why), qPrintable(why));
    QVERIFY2(!server.signIn(m_dbs.connectionText(zavtest::kSQLite), QStringLiteral("OPER1"), &why).isEmpty(),
             qPrintable(why));
    tokens()[server.port()] = server.token();
    const Scenario& s = m_scenarios.at(zavtest::kSQLite);
    const QByteArray body =
        request(QStringLiteral("GetNotaFiscal"),
                paramsFor(s.main, QStringLiteral("2020-03-02"), QStringLiteral("2020-03-15")));

    // The call is in progress: its headers and half its body have arrived.
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(server.port()));
    QVERIFY(socket.waitForConnected(5000));
    const QByteArray head =
        "POST /ZAV50000.rdmCancelaNFE HTTP/1.1\r\nHost: 127.0.0.1\r\n" + server.authorization() +
        "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    socket.write(head + body.left(body.size() / 2));
    QVERIFY(socket.waitForBytesWritten(5000));
    QThread::msleep(300);

    // SIGTERM now; the rest of the body follows, and the answer must still come.
    server.signalTerminate();
    QThread::msleep(300);
    socket.write(body.mid(body.size() / 2));
    QVERIFY(socket.waitForBytesWritten(5000));
    QByteArray answer;
    while (socket.waitForReadyRead(5000)) {
        answer += socket.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        if (end > 0) {
            static const QRegularExpression length(QStringLiteral("Content-Length: (\\d+)"),
                                                   QRegularExpression::CaseInsensitiveOption);
            const auto m = length.match(QString::fromLatin1(answer.left(end)));
            if (m.hasMatch() && answer.size() >= end + 4 + m.captured(1).toLongLong())
                break;
        }
    }
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.left(200).constData());
    const QByteArray json = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    QCOMPARE(packetOf(Reply{200, "application/json", json, decode(json, "application/json")}).rows.size(),
             qsizetype(6));

    QCOMPARE(server.waitForExit(), 0);
    QVERIFY2(server.waitForLog("encerrado pelo sinal 15"), server.log().constData());
}

void TstServer::volumeGenerator() {
    QTemporaryDir dir;
    const QString name = QStringLiteral("tst_server-volume");
    int count = 0;
    QString failure;
    {
        QSqlDatabase db = zavdb::open(dir.filePath(QStringLiteral("volume.sqlite")), name);
        zavdb::createSchema(db);
        zavdb::seedReference(db, {});
        zavdb::SeedOptions options;
        options.invoices = 3000;
        zavdb::seedInvoices(db, options);

        QSqlQuery q(db);
        QVERIFY(q.exec(
            QStringLiteral("SELECT NRACESSONFE, IDSITUACAONFE, CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, "
                           "CDSERIE FROM NOTAFISCAL")));
        QSet<QString> keys;
        QMap<QString, int> states;
        QMap<QString, int> establishments;
        while (q.next()) {
            const QString key = q.value(0).toString();
            QVERIFY2(zavfiscal::isValidAccessKey(key), qPrintable(key));
            keys.insert(key);
            ++states[q.value(1).toString()];
            ++establishments[QStringList{q.value(2).toString(), q.value(3).toString(), q.value(4).toString(),
                                         q.value(5).toString(), q.value(6).toString()}
                                 .join(u'/')];
            ++count;
        }
        QCOMPARE(count, 3000);
        QCOMPARE(keys.size(), 3000);
        QCOMPARE(states.keys(), (QList<QString>{"A", "C", "D"}));
        QVERIFY(states.value("A") > 2500);
        // Half on one establishment: a period there gives the benchmarks their rows.
        QCOMPARE(*std::max_element(establishments.cbegin(), establishments.cend()), 1500);

        // A second run refuses and leaves the store as it was.
        try {
            zavdb::seedInvoices(db, options);
            failure = QStringLiteral("a second seeding did not refuse");
        } catch (const zavdb::DatabaseError& error) {
            QVERIFY(error.text().contains(QStringLiteral("já tem notas fiscais")));
        }
        QCOMPARE(firstValue(db, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL")), QStringLiteral("3000"));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void TstServer::cleanupTestCase() {
    // SIGTERM ends every server cleanly, on every database.
    for (auto& [dialect, server] : m_servers)
        QCOMPARE(server->terminate(), 0);
    m_servers.clear();
}

QTEST_GUILESS_MAIN(TstServer)
#include "tst_server.moc"
