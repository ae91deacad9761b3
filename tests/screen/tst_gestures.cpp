// Ordinary gestures that must lose none of the operator's work: the window
// minimised, maximised and restored (and the second entry call that restores
// it), with ticks, reasons and a half-typed code. Runs on the offscreen
// platform and, through the test command, on a real X server with a window
// manager.
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "invoicepacket.h"
#include "qthostservices.h"
#include "screensession.h"
#include "scriptedhttpserver.h"
#include "testdb.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QMdiSubWindow>
#include <QTest>
#include <QTextBrowser>

namespace {

const QString kReason = QStringLiteral("Erro de digitação no valor da nota");
const QString kCheck = QStringLiteral("IDCHECK");
const QString kMotivo = QStringLiteral("DSMOTIVOCANCNFE");

QByteArray listAnswer(const QStringList& keys) {
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), 1},
                                     {QStringLiteral("result"), invoicetest::invoices(keys).toJson()}})
        .toJson(QJsonDocument::Compact);
}

// Lets the window system and the event loop finish what a gesture started.
void settle() {
    QTest::qWait(QGuiApplication::platformName() == QLatin1String("xcb") ? 400 : 50);
}

} // namespace

class TestGestures : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    ScreenSession m_screen;
    ScriptedHttpServer m_server;
    RecordingServices& svc() { return m_screen.svc(); }

    // The screen with the list of three invoices, fetched from the server as
    // the operator leaves the filter panel; rows 0 and 2 ticked with reasons,
    // the cursor on row 2's reason.
    TfrmCancelaNFE* openWithWork() {
        TfrmCancelaNFE* f = m_screen.open(m_dbs.connectionText(zavtest::kSQLite), m_server.port());
        ScreenSession::typeAndTab(f->medCdFilial, QStringLiteral("0001"));
        ScreenSession::typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
        ScreenSession::typeAndTab(f->edtCdSerie, QStringLiteral("1"));
        if (!ui::focus(f->dbgPadrao)) {
            qWarning("the list did not open: %s", qPrintable(svc().shown().join(QLatin1Char('|'))));
            return nullptr;
        }
        TClientDataSet* ds = f->cdsNotaFiscal;
        for (int r : {1, 3}) {
            ds->SetRecNo(r);
            ds->Edit();
            ds->FieldByName(kMotivo)->SetAsString(kReason);
            ds->FieldByName(kCheck)->SetAsString(QStringLiteral("C"));
            ds->Post();
        }
        f->dbgPadrao->SetSelectedIndex(5);
        return f;
    }
    QStringList column(TfrmCancelaNFE* f, const QString& field) {
        QStringList out;
        TClientDataSet* ds = f->cdsNotaFiscal;
        for (int r = 0; r < ds->ViewRowCount(); ++r)
            out << ds->value(r, ds->FieldByName(field)->Index()).toString();
        return out;
    }

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void windowStatesKeepTheList_data();
    void windowStatesKeepTheList();
    void halfTypedCodeWaitsForTheRealExit_data();
    void halfTypedCodeWaitsForTheRealExit();
    void keyboardAlone();
    void helpWindowClosesWithEsc();
};

void TestGestures::initTestCase() {
    ZAV_SQLITE(m_dbs);
    QVERIFY(m_server.listen());
    m_server.echoId = true;
    m_server.body = listAnswer({QStringLiteral("K1"), QStringLiteral("K2"), QStringLiteral("K3")});
}

void TestGestures::cleanup() {
    if (boIdCriado)
        frmCancelaNFE->cdsNotaFiscal->Close();
    m_screen.close();
}

namespace {
enum class Gesture { MinimiseRestore, MaximiseRestore, MinimiseThenEntry, MaximiseThenEntry, HostMinimised };

void perform(Gesture g, TfrmCancelaNFE* f, QWidget* host) {
    QMdiSubWindow* frame = f->subWindow();
    switch (g) {
    case Gesture::MinimiseRestore:
        frame->showMinimized();
        settle();
        frame->showNormal();
        break;
    case Gesture::MaximiseRestore:
        frame->showMaximized();
        settle();
        frame->showNormal();
        break;
    case Gesture::MinimiseThenEntry:
        frame->showMinimized();
        settle();
        IniProc();
        break;
    case Gesture::MaximiseThenEntry:
        frame->showMaximized();
        settle();
        IniProc();
        break;
    case Gesture::HostMinimised:
        host->showMinimized();
        settle();
        host->showNormal();
        ui::activate(host);
        break;
    }
    settle();
}
} // namespace

void TestGestures::windowStatesKeepTheList_data() {
    QTest::addColumn<int>("gesture");
    QTest::newRow("minimised and restored") << int(Gesture::MinimiseRestore);
    QTest::newRow("maximised and restored") << int(Gesture::MaximiseRestore);
    QTest::newRow("minimised, then opened again") << int(Gesture::MinimiseThenEntry);
    QTest::newRow("maximised, then opened again") << int(Gesture::MaximiseThenEntry);
    QTest::newRow("host window minimised and restored") << int(Gesture::HostMinimised);
}

void TestGestures::windowStatesKeepTheList() {
    QFETCH(int, gesture);
    const int postsBefore = m_server.posts();
    TfrmCancelaNFE* f = openWithWork();
    QVERIFY(f);
    QCOMPARE(m_server.posts(), postsBefore + 1);
    QCOMPARE(column(f, kCheck), (QStringList{"C", "U", "C"}));

    perform(Gesture(gesture), f, f->window());

    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QCOMPARE(frmCancelaNFE, f);
    QVERIFY(f->cdsNotaFiscal->Active());
    QCOMPARE(column(f, kCheck), (QStringList{"C", "U", "C"}));
    QCOMPARE(column(f, kMotivo), (QStringList{kReason, QString(), kReason}));
    QCOMPARE(m_server.posts(), postsBefore + 1); // no second GetNotaFiscal
    QVERIFY(f->sbtPrint->isEnabled());
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("dbgPadrao"));
    QCOMPARE(f->cdsNotaFiscal->RecNo(), 3);
    QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
}

void TestGestures::halfTypedCodeWaitsForTheRealExit_data() {
    windowStatesKeepTheList_data();
}

void TestGestures::halfTypedCodeWaitsForTheRealExit() {
    QFETCH(int, gesture);
    TfrmCancelaNFE* f = m_screen.open(m_dbs.connectionText(zavtest::kSQLite), m_server.port());
    ScreenSession::typeAndTab(f->medCdFilial, QStringLiteral("0001"));
    QVERIFY(ui::focus(f->medCdEmpresa));
    ui::type(f->medCdEmpresa, QStringLiteral("9"));
    svc().clear();

    perform(Gesture(gesture), f, f->window());

    // Nothing was checked: the operator has not left the box.
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));
    QCOMPARE(f->medCdEmpresa->Text(), QStringLiteral("9"));
    // Typing goes on where it was; leaving the box checks it.
    ui::type(ui::focused(), QStringLiteral("9"));
    ui::tab(ui::focused());
    QCOMPARE(svc().errors, QStringList{QString::fromUtf8("Empresa não cadastrada para a filial informada.")});
    QCOMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));
}

void TestGestures::keyboardAlone() {
    TfrmCancelaNFE* f = m_screen.open(m_dbs.connectionText(zavtest::kSQLite), m_server.port());
    // The keys are said in the hints.
    QCOMPARE(f->sbtPrint->Hint(), QStringLiteral("Confirmar (F10)"));
    QCOMPARE(f->sbtHelp->Hint(), QStringLiteral("Ajuda (F1)"));
    QCOMPARE(f->sbtProcurar->Hint(), QStringLiteral("Procurar (F7)"));
    QCOMPARE(f->BtnSair->Hint(), QStringLiteral("Fechar (Esc)"));
    for (TBtnPesquisa* b :
         {f->btpFilial, f->btpEmpresa, f->btpSerie, f->btpCliente, f->btpFornecedor, f->BtnPesquisa1})
        QCOMPARE(b->Hint(), QStringLiteral("Pesquisar (F4)"));
    QCOMPARE(f->depDtInicial->calendarButton()->toolTip(), QString::fromUtf8("Calendário (F4)"));

    // F1 from the filter panel, where the screen keeps its window keys.
    QVERIFY(ui::focus(f->medCdEmpresa));
    ui::key(ui::focused(), Qt::Key_F1);
    QCOMPARE(svc().helps.size(), qsizetype(1));
    // F4 opens the lookup of the box the cursor is in, and the calendar of a date.
    svc().lookupAnswers = {-1, -1};
    ui::key(ui::focused(), Qt::Key_F4);
    QCOMPARE(svc().lookups, QStringList{QStringLiteral("Empresa")});
    ScreenSession::typeAndTab(f->medCdEmpresa, QStringLiteral("01"));
    QVERIFY(ui::focus(f->edtCdSerie));
    ui::key(ui::focused(), Qt::Key_F4);
    QCOMPARE(svc().lookups.size(), qsizetype(2));
    QCOMPARE(svc().lookups.last(), QString::fromUtf8("Série de Documentos de Saída"));
    QVERIFY(ui::focus(f->depDtInicial));
    ui::key(ui::focused(), Qt::Key_F4);
    QTRY_VERIFY(f->depDtInicial->calendarPopup() && f->depDtInicial->calendarPopup()->isVisible());
    f->depDtInicial->calendarPopup()->close();
    QVERIFY(ui::focus(f->depDtInicial));

    // F10 while the filter panel has the focus: Confirmar is off, nothing runs.
    svc().clear();
    ui::key(ui::focused(), Qt::Key_F10);
    QVERIFY(svc().shown().isEmpty());
    // With the list open and nothing ticked: Confirmar runs and says so.
    ScreenSession::typeAndTab(f->edtCdSerie, QStringLiteral("1"));
    QVERIFY(ui::focus(f->dbgPadrao));
    QVERIFY(f->cdsNotaFiscal->Active());
    ui::key(ui::focused(), Qt::Key_F10);
    QCOMPARE(svc().errors, QStringList{QStringLiteral("Nota Fiscal deve ser informada.")});
}

void TestGestures::helpWindowClosesWithEsc() {
    QtHostServices real;
    real.showHelp(QStringLiteral("Zavhelp.hlp"), 10914000);
    QTextBrowser* viewer = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("HelpViewer") && w->isVisible())
            viewer = qobject_cast<QTextBrowser*>(w);
    QVERIFY(viewer);
    QVERIFY(viewer->toPlainText().contains(QStringLiteral("F10: Confirmar")));
    QPointer<QTextBrowser> alive(viewer);
    QVERIFY(ui::activate(viewer));
    QTest::keyClick(viewer, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!alive || !alive->isVisible());
}

QTEST_MAIN(TestGestures)
#include "tst_gestures.moc"
