// The confirm action end to end: the screen, a real server process on SQLite
// and PostgreSQL, the failure panel; and the panel's lines for answers a
// correct server gives only in rare cases, from a recording peer.
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "data/dtmdbgeral.h"
#include "nfeworld.h"
#include "recordingpeer.h"
#include "recordingservices.h"
#include "schemaset.h"
#include "screensession.h"
#include "scriptedhttpserver.h"
#include "serverprocess.h"
#include "services/session.h"
#include "services/signin.h"
#include "testdb.h"
#include "testtools.h"
#include "uitest.h"
#include <QClipboard>
#include <QGuiApplication>
#include <QJsonArray>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

namespace {

const QString kReason = QStringLiteral("Erro de digitação no valor da nota");

QByteArray answer(const QJsonValue& result) {
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), 1},
                                     {QStringLiteral("result"), result}})
        .toJson(QJsonDocument::Compact);
}

QJsonObject failures(const QJsonArray& rows) {
    QJsonArray fields;
    for (const char* n : {"NRLANCTONF", "CDERRO", "DSERRO"})
        fields.append(QJsonObject{
            {QStringLiteral("name"), QLatin1String(n)},
            {QStringLiteral("type"), QStringLiteral("string")},
            {QStringLiteral("size"), QLatin1String(n) == QLatin1String("NRLANCTONF") ? 10 : 100}});
    return QJsonObject{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
}

} // namespace

class TestConfirm : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    ScreenSession m_screen;
    RecordingServices& svc() { return m_screen.svc(); }

    TfrmCancelaNFE* openOnServer(ServerProcess& server, const QString& connection,
                                 const QStringList& arguments, QString* why) {
        return m_screen.openOnServer(server, connection, arguments, why, QStringLiteral("MARIA"));
    }
    // A server that cancels for real and the screen open on it.
    struct Cancelling {
        ServerProcess server;
        NfeWorld nfe;
        TfrmCancelaNFE* form = nullptr;
    };
    enum class Database { AsItIs, Fresh };
    // The dialect's database (made again when asked: a test that cancels
    // leaves it changed), its certificates, the local authority and the
    // server on them, and the screen open on the server.
    zavtest::Readiness openCancelling(const QString& dialect, Cancelling& c, Database database) {
        QSqlDatabase db;
        if (zavtest::Readiness ready = database == Database::Fresh
                                           ? zavtest::useFreshDatabase(m_dbs, dialect, &db)
                                           : zavtest::useDatabase(m_dbs, dialect, &db);
            !ready.isReady())
            return ready;
        QString why;
        const QString connection = m_dbs.connectionText(dialect);
        if (!(why = c.nfe.prepare(db, connection)).isEmpty())
            return zavtest::Readiness::fail(why);
        c.form = openOnServer(c.server, connection, c.nfe.serverArguments(), &why);
        return c.form ? zavtest::Readiness::ready() : zavtest::Readiness::fail(why);
    }
    // The screen on a server (that cancels nothing) on the SQLite database,
    // which must be ready, and the list fetched; null, with why.
    TfrmCancelaNFE* openListed(ServerProcess& server, QString* why) {
        TfrmCancelaNFE* f = openOnServer(server, m_dbs.connectionText(zavtest::kSQLite), {}, why);
        if (f)
            fetch(f);
        return f;
    }
    static void typeAndTab(QWidget* box, const QString& text) { ScreenSession::typeAndTab(box, text); }
    // The list of branch 0001, company 01, series 1, of the last 60 days.
    void fetch(TfrmCancelaNFE* f, const QString& branch = QStringLiteral("0001"),
               const QString& company = QStringLiteral("01")) {
        typeAndTab(f->medCdFilial, branch);
        typeAndTab(f->medCdEmpresa, company);
        typeAndTab(f->edtCdSerie, QStringLiteral("1"));
        f->depDtInicial->SetDate(QDateTime(QDate::currentDate().addDays(-60), QTime()));
        f->depDtFinal->SetDate(QDateTime(QDate::currentDate(), QTime()));
        ui::focus(f->dbgPadrao);
    }
    // Reasons on every row, ticks on the rows given.
    void tick(TfrmCancelaNFE* f, const QList<int>& rows) {
        TClientDataSet* ds = f->cdsNotaFiscal;
        for (int r = 1; r <= ds->RecordCount(); ++r) {
            ds->SetRecNo(r);
            ds->Edit();
            ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->SetAsString(kReason);
            ds->FieldByName(QStringLiteral("IDCHECK"))
                ->SetAsString(rows.contains(r - 1) ? QStringLiteral("C") : QStringLiteral("U"));
            ds->Post();
        }
        ds->First();
    }
    // Every row ticked with the reason; how many.
    int tickAll(TfrmCancelaNFE* f) {
        const int total = f->cdsNotaFiscal->RecordCount();
        QList<int> all;
        for (int i = 0; i < total; ++i)
            all << i;
        tick(f, all);
        return total;
    }

private Q_SLOTS:
    void cleanup();
    void cancelAndSeeTheFailures_data() { zavtest::addDialectRows("db"); }
    void cancelAndSeeTheFailures();
    void pendingReasonCommittedFirst_data() { zavtest::addDialectRows("db"); }
    void pendingReasonCommittedFirst();
    void checksBeforeTheCall_data() { zavtest::addDialectRows("db"); }
    void checksBeforeTheCall();
    void slowCancellationShowsHowFarAndEndsInSuccess();
    void failureLines();
    void clicksDuringTheCallSendNothing();
    void wholeListSent();
    void everyFailureLineReadsWhole();
    void theOutcomeIsToldAndTheCancelledAreNoLongerWork();
    void theOutcomeLineNamesWhatHappened_data();
    void theOutcomeLineNamesWhatHappened();
    void anEndedSessionKeepsTheWork_data() { zavtest::addDialectRows("db"); }
    void anEndedSessionKeepsTheWork();
};

// The status line counts only what happened to the ticked invoices, so that
// it fits beside the session in the window's status bar.
void TestConfirm::theOutcomeLineNamesWhatHappened_data() {
    QTest::addColumn<QList<int>>("counts"); // cancelled, not cancelled, pending, rows, ticked
    QTest::addColumn<QString>("line");
    QTest::newRow("all cancelled")
        << QList<int>{1, 0, 0, 18, 1}
        << QStringLiteral("Confirmação concluída: 1 nota cancelada. A lista tem 18 notas, 1 marcada.");
    QTest::newRow("none cancelled")
        << QList<int>{0, 2, 0, 2, 2}
        << QStringLiteral("Confirmação concluída: 2 não canceladas. A lista tem 2 notas, 2 marcadas.");
    QTest::newRow("only pending")
        << QList<int>{0, 0, 1, 1, 1}
        << QStringLiteral(
               "Confirmação concluída: 1 pendente (confirme de novo). A lista tem 1 nota, 1 marcada.");
    QTest::newRow("some of each") << QList<int>{1200, 1, 3, 2000, 1204}
                                  << QStringLiteral("Confirmação concluída: 1.200 notas canceladas, 1 não "
                                                    "cancelada, 3 pendentes (confirme de novo). "
                                                    "A lista tem 2.000 notas, 1.204 marcadas.");
}

void TestConfirm::theOutcomeLineNamesWhatHappened() {
    QFETCH(QList<int>, counts);
    QFETCH(QString, line);
    QCOMPARE(ScreenText::confirmed(counts[0], counts[1], counts[2], counts[3], counts[4]), line);
}

void TestConfirm::cleanup() {
    if (boIdCriado)
        frmCancelaNFE->cdsNotaFiscal->Close();
    m_screen.close();
}

void TestConfirm::cancelAndSeeTheFailures() {
    QFETCH(QString, dialect);
    Cancelling world;
    ZAV_READY(openCancelling(dialect, world, Database::Fresh));
    TfrmCancelaNFE* f = world.form;
    fetch(f);
    TClientDataSet* ds = f->cdsNotaFiscal;
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    const int total = tickAll(f);
    QVERIFY(total >= 4);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY2(svc().exceptions.isEmpty(), qPrintable(svc().exceptions.join(QLatin1Char('|'))));
    // The blocked invoices of the demo are listed, each with its reason.
    const QStringList lines = f->lsbMensagem->Lines();
    QVERIFY2(!lines.isEmpty(), "the demo seeds blocked invoices in this establishment");
    QVERIFY(f->PanMensagem->isVisible());
    QCOMPARE(lines.size(), f->cdsErrosNF->RecordCount());
    for (const QString& l : lines)
        QVERIFY2(l.contains(QStringLiteral(" - ")) && l.size() > 13, qPrintable(l));
    // The grid is as it was: the same rows, ticks and reasons.
    QCOMPARE(ds->RecordCount(), total);
    QCOMPARE(ds->FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("C"));
    QVERIFY(!ds->Filtered());
    QVERIFY(!svc().busy);
    const int cancelledNow = total - int(lines.size());
    QVERIFY(cancelledNow > 0);
    // Each cancelled invoice has its procEventoNFe: valid by the public schema
    // and signed as the xmlsec1 command verifies.
    {
        QSqlQuery q(m_dbs.database(dialect));
        QVERIFY(q.exec(QStringLiteral("SELECT XMLPROCEVENTO FROM NFEEVENTO WHERE IDSITUACAO = 'R'")));
        int stored = 0;
        while (q.next()) {
            const QByteArray proc = q.value(0).toString().toUtf8();
            QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema::ProcEventoNFe, proc), QString());
            if (stored++ == 0)
                QCOMPARE(world.nfe.verifySignature(proc), QString());
        }
        QCOMPARE(stored, cancelledNow);
    }
    // A fresh list no longer has them; a second confirm of the old list
    // reports each as not cancelled again and records nothing twice.
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(f->lsbMensagem->Count(), total);
    QVERIFY(f->PanMensagem->isVisible());
    QTest::mouseClick(f->BtnSair, Qt::LeftButton);
    QVERIFY(!f->PanMensagem->isVisible());
    QCOMPARE(f->lsbMensagem->Count(), 0);
    ui::key(ui::focused(), Qt::Key_F12);
    ui::focus(f->dbgPadrao);
    QCOMPARE(ds->RecordCount(), total - cancelledNow);
}

// An authority slower than the screen's patience for a silent server: the
// call goes on as long as the server says how far it has come, the busy
// animation shows it, and the cancellation that ends is shown as it ended.
void TestConfirm::slowCancellationShowsHowFarAndEndsInSuccess() {
    Cancelling world;
    QSqlDatabase db;
    ZAV_READY(zavtest::useFreshDatabase(m_dbs, zavtest::kSQLite, &db));
    const QString connection = m_dbs.connectionText(zavtest::kSQLite);
    QCOMPARE(world.nfe.certificates(db), QString());
    // Each batch answered after 2.5 s: past the 1 s the screen waits below.
    QCOMPARE(world.nfe.startAuthority(connection, {QStringLiteral("--delay-ms"), QStringLiteral("2500")}),
             QString());
    QString why;
    TfrmCancelaNFE* f = openOnServer(world.server, connection, world.nfe.serverArguments(), &why);
    QVERIFY2(f, qPrintable(why));
    f->netCancelaEmis->CallTimeout = 1000;
    f->netCancelaEmis->ProgressInterval = 100;
    fetch(f);
    const int total = tickAll(f);
    QVERIFY(total >= 4);
    svc().clear();
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY2(svc().exceptions.isEmpty(), qPrintable(svc().exceptions.join(QLatin1Char('|'))));
    QVERIFY(!svc().busy);
    // It said how far it had come, of every ticked invoice, rising to the end.
    QVERIFY2(!svc().progress.isEmpty(), "no progress shown");
    QCOMPARE(svc().progressUnit, QStringLiteral("notas"));
    int previous = -1;
    for (const QString& p : svc().progress) {
        QCOMPARE(p.section(u'/', 1), QString::number(total));
        QVERIFY2(p.section(u'/', 0, 0).toInt() > previous, qPrintable(svc().progress.join(u' ')));
        previous = p.section(u'/', 0, 0).toInt();
    }
    // Success shown as success: the demo's blocked invoices listed, the others cancelled.
    const int failed = f->lsbMensagem->Count();
    QCOMPARE(failed, f->cdsErrosNF->RecordCount());
    for (const QString& l : f->lsbMensagem->Lines())
        QVERIFY2(!l.contains(QStringLiteral("não respondeu")) && !l.contains(QStringLiteral("pendente")),
                 qPrintable(l));
    QSqlQuery q(db);
    QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'")) && q.next());
    QCOMPARE(q.value(0).toInt(), total - failed);
    QVERIFY(total - failed > 0);
}

void TestConfirm::pendingReasonCommittedFirst() {
    QFETCH(QString, dialect);
    Cancelling world;
    ZAV_READY(openCancelling(dialect, world, Database::Fresh));
    TfrmCancelaNFE* f = world.form;
    fetch(f);
    TClientDataSet* ds = f->cdsNotaFiscal;
    ds->Last(); // the newest invoice: the demo's blocks are on older ones
    const QString entry = ds->FieldByName(QStringLiteral("NRLANCTONF"))->AsString();
    QTest::mouseClick(
        f->dbgPadrao->viewport(), Qt::LeftButton, {},
        f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(ds->CurrentViewRow(), 0)).center());
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Motivo do cancelamento deve ser informado.")});
    // The reason is typed and, with the editor still open, Confirmar pressed.
    for (QChar c : kReason)
        QTest::sendKeyEvent(QTest::Click, ui::focused(), Qt::Key_unknown, QString(c), Qt::NoModifier);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY2(svc().exceptions.isEmpty(), qPrintable(svc().exceptions.join(QLatin1Char('|'))));
    QCOMPARE(ds->State(), dsBrowse);
    const int entryField = ds->FieldByName(QStringLiteral("NRLANCTONF"))->Index();
    const int reasonField = ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->Index();
    int row = -1;
    for (int r = 0; r < ds->ViewRowCount(); ++r)
        if (ds->value(r, entryField).toString() == entry)
            row = r;
    QVERIFY(row >= 0);
    QCOMPARE(ds->value(row, reasonField).toString(), kReason);
    QSqlQuery q(m_dbs.database(dialect));
    QVERIFY(q.prepare(QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = :N")));
    q.bindValue(QStringLiteral(":N"), entry);
    QVERIFY(q.exec() && q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("C"));
    QVERIFY(!f->PanMensagem->isVisible());
}

void TestConfirm::checksBeforeTheCall() {
    QFETCH(QString, dialect);
    Cancelling world;
    ZAV_READY(openCancelling(dialect, world, Database::AsItIs));
    TfrmCancelaNFE* f = world.form;
    // No list yet.
    f->sbtPrint->SetEnabled(true);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().errors.size(), qsizetype(1));
    QVERIFY(svc().errors.first().contains(QStringLiteral("lista")));
    // Nothing ticked.
    svc().clear();
    fetch(f);
    tick(f, {});
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().errors, QStringList{QStringLiteral("Nota Fiscal deve ser informada.")});
    QCOMPARE(svc().busyOns, 1); // the retrieval's only
    QVERIFY(!f->cdsNotaFiscal->Filtered());
    // A registration without a certificate: branch 0005, company 01.
    svc().clear();
    ui::key(ui::focused(), Qt::Key_F12);
    fetch(f, QStringLiteral("0005"), QStringLiteral("01"));
    if (f->cdsNotaFiscal->RecordCount() > 0)
        tick(f, {0});
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().errors.last(),
             QString::fromUtf8(
                 "Certificado deve ser informado na tela 'Parâmetrização de Nota Fiscal Eletrônica'."));
}

void TestConfirm::clicksDuringTheCallSendNothing() {
    QString why;
    ZAV_SQLITE(m_dbs);
    ServerProcess server;
    TfrmCancelaNFE* f = openListed(server, &why);
    QVERIFY2(f, qPrintable(why));
    tick(f, {0});
    // The confirm goes to a server that answers when the test lets it.
    ScriptedHttpServer slow;
    QVERIFY(slow.listen(ScriptedHttpServer::Mode::AnswerOnSignal));
    slow.echoId = true;
    slow.body = answer(QJsonValue::Null);
    Session::values().webPort = slow.port();
    f->netCancelaEmis->UseCbor = false;
    f->netCancelaEmis->SetConnected(false);
    // The operator, impatient: Confirmar twice more and F12 while the busy
    // animation turns.
    connect(&slow, &ScriptedHttpServer::postReceived, f, [&] {
        ui::queueClick(f->sbtPrint);
        ui::queueClick(f->sbtPrint);
        ui::queueKey(f->dbgPadrao, Qt::Key_F12);
        QTimer::singleShot(100, &slow, [&slow] { slow.release(); });
    });
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QTest::qWait(300);
    QCOMPARE(slow.posts(), 1);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QVERIFY(f->cdsNotaFiscal->Active());
    QCOMPARE(ui::focusedName(), QStringLiteral("dbgPadrao"));
    QVERIFY(!svc().busy);
}

void TestConfirm::failureLines() {
    QString why;
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    peer.answer = answer(QJsonObject()); // replaced below, per call
    ServerProcess server;
    TfrmCancelaNFE* f = openListed(server, &why);
    QVERIFY2(f, qPrintable(why));
    tick(f, {0});
    // Point the connection at the peer for the confirm.
    Session::values().webPort = peer.port();
    f->netCancelaEmis->UseCbor = false;
    f->netCancelaEmis->SetConnected(false);
    peer.answer =
        answer(failures({QJsonArray{QStringLiteral("0000000001"), QStringLiteral("MS01"), QString()},
                         QJsonArray{QStringLiteral("0000000002"), QStringLiteral("MapaApurado"), QString()},
                         QJsonArray{QStringLiteral("0000000003"), QStringLiteral("MS02"),
                                    QStringLiteral("Período de dezembro fechado.")},
                         QJsonArray{QStringLiteral("0000000004"), QStringLiteral("XX99"), QString()}}));
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    const QStringList lines = f->lsbMensagem->Lines();
    QCOMPARE(lines.size(), qsizetype(4));
    QCOMPARE(lines[0], QString::fromUtf8("0000000001 - Documento Bloqueado por Outro Operador."));
    QCOMPARE(lines[1],
             QString::fromUtf8("0000000002 - Cancelamento bloqueado. Documento com impostos apurados."));
    QCOMPARE(lines[2], QString::fromUtf8("0000000003 - Período de dezembro fechado."));
    QVERIFY(lines[3].startsWith(QStringLiteral("0000000004 - ")) &&
            lines[3].contains(QStringLiteral("XX99")));
    QVERIFY(f->PanMensagem->isVisible());
    // A packet without rows, then null: nothing listed, the panel left open.
    peer.answer = answer(failures({}));
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(f->lsbMensagem->Count(), 0);
    QVERIFY(f->PanMensagem->isVisible());
    peer.answer = answer(QJsonValue::Null);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(f->lsbMensagem->Count(), 0);
    QTest::mouseClick(f->BtnSair, Qt::LeftButton);
    QVERIFY(!f->PanMensagem->isVisible());
    // A server error reaches the general display; the panel stays as it was.
    peer.answer =
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"error\":{\"code\":-32000,\"message\":\"Banco indisponível.\"}}";
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().exceptions.size(), qsizetype(1));
    QVERIFY(svc().exceptions.first().contains(QString::fromUtf8("Banco indisponível.")));
    QVERIFY(!f->PanMensagem->isVisible());
    QVERIFY(!svc().busy);
    QVERIFY(!f->cdsNotaFiscal->Filtered());
}

void TestConfirm::wholeListSent() {
    QString why;
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    ServerProcess server;
    TfrmCancelaNFE* f = openListed(server, &why);
    QVERIFY2(f, qPrintable(why));
    const int total = f->cdsNotaFiscal->RecordCount();
    QVERIFY(total >= 2);
    tick(f, {1});
    Session::values().webPort = peer.port();
    f->netCancelaEmis->UseCbor = false;
    f->netCancelaEmis->SetConnected(false);
    peer.answer = answer(QJsonValue::Null);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QVERIFY(!peer.requests.isEmpty());
    const QJsonObject call = peer.requests.last();
    QCOMPARE(call.value(QStringLiteral("method")).toString(), QStringLiteral("Cancela_NotaFiscal"));
    const QJsonArray p = call.value(QStringLiteral("params")).toArray();
    QCOMPARE(p.size(), 6);
    const QJsonObject packet = p[0].toObject();
    const QJsonArray fields = packet.value(QStringLiteral("fields")).toArray();
    int check = -1;
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].toObject().value(QStringLiteral("name")).toString() == QLatin1String("IDCHECK"))
            check = i;
    QVERIFY(check >= 0);
    const QJsonArray rows = packet.value(QStringLiteral("rows")).toArray();
    QCOMPARE(rows.size(), total); // every row, ticked or not
    QCOMPARE(rows[1].toArray()[check].toString(), QStringLiteral("C"));
    QCOMPARE(rows[0].toArray()[check].toString(), QStringLiteral("U"));
    QCOMPARE(p[1].toString(), QStringLiteral("MARIA"));
    QCOMPARE(p[2].toString().size(), 10);           // the processing date
    QCOMPARE(p[3].toString(), QStringLiteral("2")); // 01 / 110042490114: homologation
    QCOMPARE(p[4].toString(), QStringLiteral("3A5F9C21B7E04D18"));
    QCOMPARE(p[5].toString(), QStringLiteral("SP"));
}

// Lines longer than the panel is wide: each wraps onto as many rows as it
// needs and shows whole in its tooltip; Ctrl+C copies the lines.
void TestConfirm::everyFailureLineReadsWhole() {
    QString why;
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    ServerProcess server;
    TfrmCancelaNFE* f = openListed(server, &why);
    QVERIFY2(f, qPrintable(why));
    tick(f, {0, 1});
    Session::values().webPort = peer.port();
    f->netCancelaEmis->UseCbor = false;
    f->netCancelaEmis->SetConnected(false);
    const QString longText = QString::fromUtf8("Pedido pendente: sem resposta da SEFAZ (a conexão segura não "
                                               "pôde ser feita (curto prazo)). Confirme de novo.");
    peer.answer =
        answer(failures({QJsonArray{QStringLiteral("0000000001"), QStringLiteral("fa_transmi"), longText},
                         QJsonArray{QStringLiteral("0000000002"), QStringLiteral("MS01"), QString()}}));
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY(f->PanMensagem->isVisible());
    TListBox* list = f->lsbMensagem;
    QCOMPARE(list->Count(), 2);
    const QString line = QStringLiteral("0000000001 - ") + longText;
    QCOMPARE(list->item(0)->text(), line);
    QCOMPARE(list->item(0)->toolTip(), line);
    // The long line takes more than one row of the list, enough for its text
    // at the list's width; the short one, one row.
    const QRect shown = list->visualItemRect(list->item(0));
    const QRect needed =
        list->fontMetrics().boundingRect(QRect(0, 0, shown.width() - 4, 0), Qt::TextWordWrap, line);
    QVERIFY2(shown.height() >= needed.height() && shown.height() > 13,
             qPrintable(QStringLiteral("%1 < %2").arg(shown.height()).arg(needed.height())));
    QCOMPARE(list->visualItemRect(list->item(1)).height(), 13);
    // Copied whole, every line.
    QVERIFY(ui::focus(list));
    QGuiApplication::clipboard()->clear();
    ui::key(list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             line + u'\n' + QString::fromUtf8("0000000002 - Documento Bloqueado por Outro Operador."));
}

// The status line says how the confirm ended: cancelled (a note of the server
// included), not cancelled, pending, and the list's rows and ticks. The
// cancelled rows are no longer work: with nothing else changed, the screen
// closes without asking.
void TestConfirm::theOutcomeIsToldAndTheCancelledAreNoLongerWork() {
    QString why;
    ZAV_SQLITE(m_dbs);
    RecordingPeer peer;
    ServerProcess server;
    TfrmCancelaNFE* f = openListed(server, &why);
    QVERIFY2(f, qPrintable(why));
    TClientDataSet* ds = f->cdsNotaFiscal;
    const int rows = ds->RecordCount();
    QVERIFY(rows >= 5);
    QCOMPARE(svc().statuses.last(), QStringLiteral("A lista tem %1 notas.").arg(rows));
    // Reasons and ticks on the first five rows only.
    for (int r = 1; r <= 5; ++r) {
        ds->SetRecNo(r);
        ds->Edit();
        ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->SetAsString(kReason);
        ds->FieldByName(QStringLiteral("IDCHECK"))->SetAsString(QStringLiteral("C"));
        ds->Post();
    }
    QCOMPARE(ds->ChangeCount(), 5);
    const auto entry = [&](int row) {
        ds->SetRecNo(row + 1);
        return ds->FieldByName(QStringLiteral("NRLANCTONF"))->AsString();
    };
    const QString e1 = entry(1), e2 = entry(2), e3 = entry(3);
    ds->First();
    Session::values().webPort = peer.port();
    f->netCancelaEmis->UseCbor = false;
    f->netCancelaEmis->SetConnected(false);
    // Row 1 pending, row 2 not cancelled, row 3 cancelled with a note; rows 0
    // and 4 cancelled without a word.
    QJsonObject packet =
        failures({QJsonArray{e1, QStringLiteral("fa_transmi"), QStringLiteral("Pedido pendente."), "P"},
                  QJsonArray{e2, QStringLiteral("MS02"), QString(), "N"},
                  QJsonArray{e3, QString(), QStringLiteral("Já cancelada na SEFAZ."), "C"}});
    QJsonArray fields = packet.value(QStringLiteral("fields")).toArray();
    fields.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("IDSITUACAO")},
                              {QStringLiteral("type"), QStringLiteral("string")},
                              {QStringLiteral("size"), 1}});
    packet.insert(QStringLiteral("fields"), fields);
    peer.answer = answer(packet);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QCOMPARE(
        svc().statuses.last(),
        QStringLiteral("Confirmação concluída: 3 notas canceladas, 1 não cancelada, 1 pendente (confirme "
                       "de novo). A lista tem %1 notas, 5 marcadas.")
            .arg(rows));
    QCOMPARE(f->lsbMensagem->Count(), 3);
    // The pending and the refused rows are still work; the others are not.
    QCOMPARE(ds->ChangeCount(), 2);

    // All cancelled: nothing left to lose, and Esc closes without a question.
    peer.answer = answer(QJsonValue::Null);
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().statuses.last(),
             QStringLiteral("Confirmação concluída: 5 notas canceladas. A lista tem %1 notas, 5 marcadas.")
                 .arg(rows));
    QCOMPARE(ds->ChangeCount(), 0);
    QTest::mouseClick(f->BtnSair, Qt::LeftButton);
    svc().questions.clear();
    QVERIFY(ui::focus(f->dbgPadrao));
    ui::key(ui::focused(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY2(svc().questions.isEmpty(), qPrintable(svc().questions.join(QLatin1Char('|'))));
    QVERIFY(!boIdCriado);
}

// The administrator ends the operator's sessions while the ticks are being
// made: Confirmar asks the operator to sign in again over the screen, which
// stays as it was, and the cancellation is asked for once, under the new
// session. Not signing in leaves the screen as it was, with the server's
// words, and nothing cancelled.
void TestConfirm::anEndedSessionKeepsTheWork() {
    QFETCH(QString, dialect);
    Cancelling world;
    ZAV_READY(openCancelling(dialect, world, Database::Fresh));
    TfrmCancelaNFE* f = world.form;
    fetch(f);
    TClientDataSet* ds = f->cdsNotaFiscal;
    const int total = tickAll(f);
    QVERIFY(total >= 4);
    const QString connection = m_dbs.connectionText(dialect);
    const auto endSessions = [&] {
        return zavtest::run(
            QStringLiteral(ZAV_BIN_DIR "/zav-admin"),
            {QStringLiteral("--db"), connection, QStringLiteral("end-sessions"), QStringLiteral("MARIA")},
            {});
    };
    const auto registered = [&] {
        QSqlQuery q(m_dbs.database(dialect));
        return q.exec(QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'")) && q.next()
                   ? q.value(0).toInt()
                   : -1;
    };
    const QString ended = QStringLiteral("Sessão encerrada ou expirada: entre no sistema de novo.");

    // Not signed in again: nothing was done, the work is on the screen.
    QVERIFY(endSessions());
    svc().onSignInAgain = [](const QString&) { return false; };
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().signInRequests, QStringList{ended});
    QCOMPARE(svc().exceptions, QStringList{ended});
    QCOMPARE(registered(), 0);
    QCOMPARE(ds->RecordCount(), total);
    for (int r = 1; r <= total; ++r) {
        ds->SetRecNo(r);
        QCOMPARE(ds->FieldByName(QStringLiteral("IDCHECK"))->AsString(), QStringLiteral("C"));
        QCOMPARE(ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->AsString(), kReason);
    }
    QVERIFY(!f->PanMensagem->isVisible());
    QVERIFY(!svc().busy);

    // Signed in again: the same confirm goes through, once.
    svc().clear();
    svc().onSignInAgain = [](const QString&) {
        SignIn(Session::values().operador, QString::fromLatin1(kTestPassword));
        return true;
    };
    QTest::mouseClick(f->sbtPrint, Qt::LeftButton);
    QCOMPARE(svc().signInRequests, QStringList{ended});
    QVERIFY2(svc().exceptions.isEmpty(), qPrintable(svc().exceptions.join(QLatin1Char('|'))));
    const int failed = f->lsbMensagem->Count();
    QVERIFY(failed > 0 && failed < total);
    QCOMPARE(registered(), total - failed);
    {
        // Each invoice once: one event a cancelled invoice.
        QSqlQuery q(m_dbs.database(dialect));
        QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*), COUNT(DISTINCT NRLANCTONF) FROM NFEEVENTO")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), q.value(1).toInt());
    }
    QCOMPARE(Session::values().operador, QStringLiteral("MARIA"));
}

QTEST_MAIN(TestConfirm)
#include "tst_confirm.moc"
