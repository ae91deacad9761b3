// Leaving the filter panel fetches the invoice list from a real application
// server process, on SQLite and on PostgreSQL; entering it again closes it.
// A small recording peer stands in for the server only where a correct server
// cannot be made to misbehave (an answer out of order, a broken packet) or
// where the test must read the request itself (the twelve arguments).
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "data/dtmdbgeral.h"
#include "recordingpeer.h"
#include "recordingservices.h"
#include "screensession.h"
#include "serverprocess.h"
#include "services/session.h"
#include "testdb.h"
#include "uitest.h"
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

QByteArray packetAnswer(const QJsonArray& rows, const QString& dropField = {}) {
    const char* names[] = {
        "IDCHECK",    "IDBLOQUEADO",     "CDFILIEMIT",      "NRLANCTONF",     "DTEMISSAO",  "NMRAZAO",
        "VRNOTAFISC", "CDFILIAL",        "NRLANCTBDOC",     "IDENTRSAIDOP",   "CDEMPRESA",  "CDFILIRECE",
        "LANCAMENTO", "DSMOTIVOCANCNFE", "NRNOTAFISCALELE", "NRPROTOCOLONFE", "NRACESSONFE"};
    const int sizes[] = {1, 1, 4, 10, 0, 50, 0, 4, 12, 1, 2, 4, 76, 50, 9, 15, 50};
    QJsonArray fields;
    for (int i = 0; i < 17; ++i) {
        if (QLatin1String(names[i]) == dropField)
            continue;
        const QString type = i == 4   ? QStringLiteral("datetime")
                             : i == 6 ? QStringLiteral("float")
                                      : QStringLiteral("string");
        fields.append(QJsonObject{{QStringLiteral("name"), QLatin1String(names[i])},
                                  {QStringLiteral("type"), type},
                                  {QStringLiteral("size"), sizes[i]}});
    }
    QJsonObject packet{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), 1},
                                     {QStringLiteral("result"), packet}})
        .toJson(QJsonDocument::Compact);
}

QJsonArray invoiceRow(const QString& lancamento, const QString& number) {
    return QJsonArray{QStringLiteral("U"),
                      QStringLiteral("N"),
                      QStringLiteral("0001"),
                      number,
                      QStringLiteral("2026-12-01"),
                      QStringLiteral("Cliente"),
                      10.5,
                      QStringLiteral("0001"),
                      QStringLiteral("000000000001"),
                      QStringLiteral("S"),
                      QStringLiteral("01"),
                      QString(),
                      lancamento,
                      QString(),
                      QStringLiteral("000000001"),
                      QStringLiteral("135260000000001"),
                      QStringLiteral("35261200000000000000550010000000011000000010")};
}

} // namespace

class TestRetrieval : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    ScreenSession m_screen;
    RecordingServices& svc() { return m_screen.svc(); }

    TfrmCancelaNFE* open(const QString& connection, int port) { return m_screen.open(connection, port); }
    static void typeAndTab(QWidget* box, const QString& text) { ScreenSession::typeAndTab(box, text); }
    // Fills the establishment of branch 0001, company 01, series 1, and a
    // period of the last 60 days.
    void fillCriteria(TfrmCancelaNFE* f) {
        typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
        typeAndTab(f->edtCdSerie, QStringLiteral("1"));
        f->depDtInicial->SetDate(QDateTime(QDate::currentDate().addDays(-60), QTime()));
        f->depDtFinal->SetDate(QDateTime(QDate::currentDate(), QTime()));
    }
    // The screen on a real server on the database, the criteria filled; null,
    // with why, when the server does not come up.
    TfrmCancelaNFE* openFilled(const QString& connection, ServerProcess& server, QString* why) {
        TfrmCancelaNFE* f = m_screen.openOnServer(server, connection, {}, why);
        if (f)
            fillCriteria(f);
        return f;
    }
    // Moves the focus out of the filter panel; a failing check keeps it there.
    void leavePanel(TfrmCancelaNFE* f) { ui::focus(f->dbgPadrao); }

private Q_SLOTS:
    void cleanup();
    void listFromTheServer_data() { zavtest::addDialectRows("db"); }
    void listFromTheServer();
    void counterpartyArguments_data() { zavtest::addDialectRows("db"); }
    void counterpartyArguments();
    void checksStopBeforeTheCall_data() { zavtest::addDialectRows("db"); }
    void checksStopBeforeTheCall();
    void argumentsAsSent();
    void rowsKeptInEntryOrder();
    void brokenAnswerKeepsTheListClosed();
    void unreachableServer();
};

void TestRetrieval::cleanup() {
    m_screen.close();
}

void TestRetrieval::listFromTheServer() {
    ZAV_DATABASE(m_dbs, db);
    ServerProcess server;
    QString why;
    TfrmCancelaNFE* f = openFilled(m_dbs.connectionText(dialect), server, &why);
    QVERIFY2(f, qPrintable(why));
    leavePanel(f);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QVERIFY(f->cdsNotaFiscal->Active());
    QSqlQuery q(db);
    QVERIFY(q.prepare(
        QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL WHERE CDFILIAL = '0001' AND CDEMPRESA = '01' "
                       "AND CDINSCESTA = '110042490114' AND CDINSCMUNI = '30521457' AND CDSERIE = '1' "
                       "AND IDSITUACAONFE = 'A' AND DTEMISSAO >= :D")));
    q.bindValue(QStringLiteral(":D"), QDate::currentDate().addDays(-60));
    QVERIFY(q.exec() && q.next());
    const int expected = q.value(0).toInt();
    QVERIFY(expected > 0);
    QCOMPARE(f->cdsNotaFiscal->RecordCount(), expected);
    QString previous;
    for (f->cdsNotaFiscal->First(); !f->cdsNotaFiscal->Eof(); f->cdsNotaFiscal->Next()) {
        const QString key = f->cdsNotaFiscal->FieldByName(QStringLiteral("LANCAMENTO"))->AsString();
        QVERIFY(key > previous);
        previous = key;
        QCOMPARE(f->cdsNotaFiscal->FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("U"));
    }
    QVERIFY(f->sbtPrint->isEnabled());
    QVERIFY(f->sbtProcurar->isEnabled());
    QCOMPARE(svc().busyOns, 1);
    QVERIFY(!svc().busy);
    // F7 opens the search over the list.
    ui::key(ui::focused(), Qt::Key_F7);
    QCOMPARE(svc().searches, 1);
    // Entering the panel again closes the list and both buttons.
    ui::key(ui::focused(), Qt::Key_F12);
    QCOMPARE(ui::focusedName(), QStringLiteral("medCdFilial"));
    QVERIFY(!f->cdsNotaFiscal->Active());
    QVERIFY(!f->sbtPrint->isEnabled());
    QVERIFY(!f->sbtProcurar->isEnabled());
    // An empty result opens an empty list: confirm on, search off.
    f->medNrNotaFiscal->SetText(QStringLiteral("999999999"));
    leavePanel(f);
    QVERIFY(f->cdsNotaFiscal->Active());
    QCOMPARE(f->cdsNotaFiscal->RecordCount(), 0);
    QVERIFY(f->sbtPrint->isEnabled());
    QVERIFY(!f->sbtProcurar->isEnabled());
    QVERIFY(svc().shown().isEmpty());
}

void TestRetrieval::counterpartyArguments() {
    ZAV_DATABASE(m_dbs, db);
    ServerProcess server;
    QString why;
    TfrmCancelaNFE* f = openFilled(m_dbs.connectionText(dialect), server, &why);
    QVERIFY2(f, qPrintable(why));
    auto kinds = [&](const QString& column) {
        QSet<QString> seen;
        for (f->cdsNotaFiscal->First(); !f->cdsNotaFiscal->Eof(); f->cdsNotaFiscal->Next())
            seen << f->cdsNotaFiscal->FieldByName(column)->AsString();
        return seen;
    };
    leavePanel(f);
    const int all = f->cdsNotaFiscal->RecordCount();
    // A receiving branch narrows the list to the invoices it received.
    ui::key(ui::focused(), Qt::Key_F12);
    f->cbbDestRem->setCurrentIndex(2);
    Q_EMIT f->cbbDestRem->activated(2);
    typeAndTab(f->medFilial, QStringLiteral("2"));
    leavePanel(f);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QVERIFY(f->cdsNotaFiscal->RecordCount() < all);
    if (f->cdsNotaFiscal->RecordCount() > 0)
        QCOMPARE(kinds(QStringLiteral("CDFILIRECE")), QSet<QString>{QStringLiteral("0002")});
    // Customers with an empty edit: every customer's invoices, and the
    // remembered pick is forgotten.
    ui::key(ui::focused(), Qt::Key_F12);
    f->cbbDestRem->setCurrentIndex(0);
    Q_EMIT f->cbbDestRem->activated(0);
    svc().lookupAnswers = {0};
    QTest::mouseClick(f->btpCliente, Qt::LeftButton);
    QVERIFY(!f->RememberedCustomer().isEmpty());
    f->medCliente->SetText(QString());
    leavePanel(f);
    QVERIFY(f->RememberedCustomer().isEmpty());
    const int customers = f->cdsNotaFiscal->RecordCount();
    QVERIFY(customers > 0 && customers < all);
    QVERIFY(kinds(QStringLiteral("CDFILIRECE")) == QSet<QString>{QString()});
}

void TestRetrieval::checksStopBeforeTheCall() {
    ZAV_DATABASE(m_dbs, db);
    TfrmCancelaNFE* f = open(m_dbs.connectionText(dialect), 1);
    fillCriteria(f);
    f->depDtInicial->SetDate(QDateTime());
    f->depDtFinal->SetDate(QDateTime());
    leavePanel(f);
    // Only the first missing date is reported, the focus on it, no call.
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Data do período inicial deve ser informada.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("depDtInicial"));
    QCOMPARE(svc().busyOns, 0);
    QVERIFY(!f->cdsNotaFiscal->Active());
    QVERIFY(f->sbtPrint->isEnabled()); // enabled before any check
    // A failing validator stops the check before the dates.
    svc().clear();
    f->edtCdSerie->SetText(QString());
    leavePanel(f);
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Série deve ser informada.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("edtCdSerie"));
}

void TestRetrieval::argumentsAsSent() {
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    peer.answer = packetAnswer({});
    TfrmCancelaNFE* f = open(m_dbs.connectionText(zavtest::kSQLite), peer.port());
    f->netCancelaEmis->UseCbor = false; // the peer reads JSON
    fillCriteria(f);
    leavePanel(f);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QVERIFY(!peer.requests.isEmpty());
    const QJsonObject call = peer.requests.last();
    QCOMPARE(call.value(QStringLiteral("method")).toString(), QStringLiteral("GetNotaFiscal"));
    const QJsonArray p = call.value(QStringLiteral("params")).toArray();
    QCOMPARE(p.size(), 12);
    const QStringList expected = {QStringLiteral("0001"),
                                  QStringLiteral("01"),
                                  QStringLiteral("110042490114"),
                                  QStringLiteral("30521457"),
                                  QStringLiteral("1"),
                                  QString(),
                                  QString(),
                                  QString(),
                                  QString(),
                                  QDate::currentDate().addDays(-60).toString(Qt::ISODate),
                                  QDate::currentDate().toString(Qt::ISODate),
                                  QString()};
    for (int i = 0; i < 12; ++i)
        QCOMPARE(p[i].toString(), expected[i]);
}

void TestRetrieval::rowsKeptInEntryOrder() {
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    peer.answer = packetAnswer({invoiceRow(QStringLiteral("C"), QStringLiteral("0000000003")),
                                invoiceRow(QStringLiteral("A"), QStringLiteral("0000000001")),
                                invoiceRow(QStringLiteral("B"), QStringLiteral("0000000002"))});
    TfrmCancelaNFE* f = open(m_dbs.connectionText(zavtest::kSQLite), peer.port());
    fillCriteria(f);
    leavePanel(f);
    QStringList order;
    for (f->cdsNotaFiscal->First(); !f->cdsNotaFiscal->Eof(); f->cdsNotaFiscal->Next())
        order << f->cdsNotaFiscal->FieldByName(QStringLiteral("NRLANCTONF"))->AsString();
    QCOMPARE(order, QStringList({QStringLiteral("0000000001"), QStringLiteral("0000000002"),
                                 QStringLiteral("0000000003")}));
}

void TestRetrieval::brokenAnswerKeepsTheListClosed() {
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    peer.answer = packetAnswer({}, QStringLiteral("LANCAMENTO"));
    TfrmCancelaNFE* f = open(m_dbs.connectionText(zavtest::kSQLite), peer.port());
    fillCriteria(f);
    leavePanel(f);
    QCOMPARE(svc().exceptions.size(), qsizetype(1));
    QVERIFY2(svc().exceptions.first().contains(QStringLiteral("LANCAMENTO")),
             qPrintable(svc().exceptions.first()));
    QVERIFY(!f->cdsNotaFiscal->Active());
    QVERIFY(!svc().busy);
}

void TestRetrieval::unreachableServer() {
    ZAV_SQLITE(m_dbs);
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const int port = closed.serverPort();
    closed.close();
    // The screen opens all the same; the call tells why it failed.
    TfrmCancelaNFE* f = open(m_dbs.connectionText(zavtest::kSQLite), port);
    QVERIFY(f);
    QVERIFY(svc().shown().isEmpty());
    fillCriteria(f);
    leavePanel(f);
    QCOMPARE(svc().exceptions.size(), qsizetype(1));
    QVERIFY2(
        svc().exceptions.first().startsWith(QString::fromUtf8("Ocorreu um erro na conexão com o servidor:")),
        qPrintable(svc().exceptions.first()));
    QVERIFY(!f->cdsNotaFiscal->Active());
    QVERIFY(!svc().busy);
}

QTEST_MAIN(TestRetrieval)
#include "tst_retrieval.moc"
