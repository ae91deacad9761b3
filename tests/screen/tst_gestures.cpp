// Ordinary gestures that must lose none of the operator's work: the window
// minimised, maximised and restored (and the second entry call that restores
// it), with ticks, reasons and a half-typed code. Runs on the offscreen
// platform and, through the test command, on a real X server with a window
// manager.
#include "Cli_Zav50000.h"
#include "components/messagedialog.h"
#include "data/clientdataset.h"
#include "invoicepacket.h"
#include "screensession.h"
#include "scriptedhttpserver.h"
#include "services/qthostservices.h"
#include "testdb.h"
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <functional>

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
    void codeTypedBeforeAGestureIsCheckedWhenLeft_data();
    void codeTypedBeforeAGestureIsCheckedWhenLeft();
    void keyboardAlone();
    void helpWindowClosesWithEsc();
    void reasonTypedOnIntoTheRulesMessage_data();
    void reasonTypedOnIntoTheRulesMessage();
    void keysBeforeTheMessageIsSeenDoNotAnswerIt();
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
enum class Gesture {
    MinimiseRestore,
    MaximiseRestore,
    MinimiseThenEntry,
    MaximiseThenEntry,
    HostMinimised,
    HostMinimisedThenEntry
};

// The host's window minimised as the operator does it: by the window manager
// on X (its minimise button, here through xdotool), else by Qt.
void minimiseHost(QWidget* host) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (!xdotool.isEmpty() &&
            QProcess::execute(xdotool, {QStringLiteral("windowminimize"), QStringLiteral("--sync"),
                                        QString::number(host->winId())}) == 0) {
            if (!QTest::qWaitFor([host] { return host->isMinimized(); }, 2000))
                qWarning("the window manager did not minimise the host window");
            return;
        }
    }
    host->showMinimized();
}

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
    case Gesture::HostMinimisedThenEntry:
        minimiseHost(host);
        settle();
        IniProc();
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
    QTest::newRow("host window minimised, then opened again") << int(Gesture::HostMinimisedThenEntry);
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

void TestGestures::codeTypedBeforeAGestureIsCheckedWhenLeft_data() {
    windowStatesKeepTheList_data();
}

// The same through the window system: "98" typed, the window minimised (or
// the like) and the screen asked for again, then Tab: the company is checked
// when the box is really left, whatever came between.
void TestGestures::codeTypedBeforeAGestureIsCheckedWhenLeft() {
    QFETCH(int, gesture);
    TfrmCancelaNFE* f = m_screen.open(m_dbs.connectionText(zavtest::kSQLite), m_server.port());
    ScreenSession::typeAndTab(f->medCdFilial, QStringLiteral("0001"));
    QVERIFY(ui::focus(f->medCdEmpresa));
    settle();
    QString why;
    ui::Gesture typing;
    typing.type(QStringLiteral("98"), 60);
    QVERIFY2(typing.start(&why), qPrintable(why));
    QVERIFY(typing.wait(5000));
    QTRY_COMPARE(f->medCdEmpresa->Text(), QStringLiteral("98"));
    svc().clear();

    perform(Gesture(gesture), f, f->window());
    QVERIFY2(svc().shown().isEmpty(), qPrintable(svc().shown().join(QLatin1Char('|'))));
    // The screen is in front again, its window active, without any help.
    QTRY_VERIFY(!f->window()->isMinimized() && f->window()->isActiveWindow());
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));

    ui::Gesture leave;
    leave.key(Qt::Key_Tab);
    QVERIFY2(leave.start(&why), qPrintable(why));
    QVERIFY(leave.wait(5000));
    QTRY_COMPARE(svc().errors,
                 QStringList{QString::fromUtf8("Empresa não cadastrada para a filial informada.")});
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));
    QCOMPARE(f->medCdEmpresa->Text(), QStringLiteral("98"));
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

namespace {

// The box the host's error display has open, if any.
QMessageBox* openMessage() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// The real error display for a block: the rule's message is a real box.
class RealDialogs {
public:
    RealDialogs() : m_previous(SetHostServices(std::make_unique<QtHostServices>())) {}
    ~RealDialogs() {
        while (QMessageBox* box = openMessage())
            box->done(QMessageBox::Ok);
        SetHostServices(std::move(m_previous));
    }

private:
    std::unique_ptr<HostServices> m_previous;
};

const QString kTyped = QStringLiteral("Cliente pediu o cancelamento");

int settleMs() {
    return QGuiApplication::platformName() == QLatin1String("xcb") ? 400 : 50;
}

// What a test does while a modal box holds its own waits: steps run in order
// from a timer, each once its condition holds (or its pause has passed). A box
// still open at the deadline is closed, so that a fault fails the test rather
// than hanging it.
class ModalScript {
public:
    ModalScript& when(std::function<bool()> ready) {
        m_steps.push_back({std::move(ready), {}, 0});
        return *this;
    }
    ModalScript& after(int ms) {
        m_steps.push_back({{}, {}, ms});
        return *this;
    }
    ModalScript& then(std::function<void()> act) {
        m_steps.push_back({{}, std::move(act), 0});
        return *this;
    }
    // True when every step ran within timeoutMs.
    bool run(int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        QElapsedTimer paused;
        size_t next = 0;
        QTimer timer;
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            while (next < m_steps.size()) {
                Step& s = m_steps[next];
                if (s.ready && !s.ready())
                    break;
                if (s.pauseMs > 0) {
                    if (!paused.isValid())
                        paused.start();
                    if (paused.elapsed() < s.pauseMs)
                        break;
                    paused.invalidate();
                }
                if (s.act)
                    s.act();
                ++next;
            }
            if (next < m_steps.size() && clock.elapsed() > timeoutMs)
                if (QWidget* modal = QApplication::activeModalWidget())
                    modal->close();
        });
        timer.start();
        const bool done = QTest::qWaitFor([&] { return next >= m_steps.size(); }, timeoutMs);
        timer.stop();
        return done;
    }

private:
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
        int pauseMs;
    };
    std::vector<Step> m_steps;
};

} // namespace

void TestGestures::reasonTypedOnIntoTheRulesMessage_data() {
    QTest::addColumn<int>("msPerKey");
    QTest::addColumn<bool>("byClick");
    QTest::newRow("Space, 40 ms a key") << 40 << false;
    QTest::newRow("Space, 120 ms a key") << 120 << false;
    QTest::newRow("click, 40 ms a key") << 40 << true;
    QTest::newRow("click, 120 ms a key") << 120 << true;
}

// The operator ticks a row that has no reason and types the reason at once,
// not waiting for the rule's message: nothing typed before it is seen goes
// into it or under it, no typed character answers it, and once it is answered
// the reason cell is open for the reason. What is stored is what was typed
// into the cell.
void TestGestures::reasonTypedOnIntoTheRulesMessage() {
    QFETCH(int, msPerKey);
    QFETCH(bool, byClick);
    TfrmCancelaNFE* f = openWithWork();
    QVERIFY(f);
    RealDialogs real;
    TClientDataSet* ds = f->cdsNotaFiscal;
    ds->SetRecNo(2); // no reason, not ticked
    f->dbgPadrao->SetSelectedIndex(0);
    QVERIFY(ui::focus(f->dbgPadrao));
    settle();

    ui::Gesture tickAndType;
    if (byClick) {
        const QModelIndex cell = f->dbgPadrao->model()->index(1, 0);
        tickAndType.click(f->dbgPadrao->viewport(), f->dbgPadrao->visualRect(cell).center());
        tickAndType.type(kTyped, msPerKey);
    } else {
        tickAndType.type(u' ' + kTyped, msPerKey);
    }
    // While the message is open the test's waits are held by its loop: what
    // is seen then, and the answer, come from a timer.
    struct Seen {
        QString message;
        int state = -1;
        QString check, reason;
        bool editor = true;
    } seen;
    ui::Gesture answer;
    answer.key(Qt::Key_Return);
    QString why;
    ModalScript script;
    script.when([&] { return tickAndType.sent(); })
        .after(settleMs())
        .then([&] {
            QMessageBox* box = openMessage();
            seen.message = box ? box->text() : QString();
            seen.state = int(ds->State());
            seen.check = ds->FieldByName(kCheck)->AsString();
            seen.reason = ds->FieldByName(kMotivo)->AsString();
            seen.editor = f->dbgPadrao->EditorMode();
        })
        .when([&] {
            auto* box = qobject_cast<MessageDialog*>(openMessage());
            return !box || box->settled();
        })
        .then([&] {
            if (openMessage() && !answer.start(&why))
                qWarning("%s", qPrintable(why));
        });
    QVERIFY2(tickAndType.start(&why), qPrintable(why));
    QVERIFY(script.run(60000));
    QVERIFY(tickAndType.wait(5000));

    // The message was still there when the typing ended: not one of the
    // typed keys answered it, and none went into the row.
    QCOMPARE(seen.message, QStringLiteral("Motivo do cancelamento deve ser informado."));
    QCOMPARE(seen.state, int(dsEdit));
    QCOMPARE(seen.check, QStringLiteral("C"));
    QCOMPARE(seen.reason, QString());
    QVERIFY(!seen.editor);

    // Enter answered it; the reason cell is then open for typing.
    QVERIFY(answer.wait(5000));
    QTRY_VERIFY(!openMessage());
    ui::activate(f);
    QTRY_VERIFY(f->dbgPadrao->EditorMode());
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 1);
    QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
    QCOMPARE(ds->FieldByName(kMotivo)->AsString(), QString());

    // The reason typed into the cell, then Enter: ticked with exactly that.
    ui::Gesture reason;
    reason.type(kTyped, msPerKey).key(Qt::Key_Return);
    QVERIFY2(reason.start(&why), qPrintable(why));
    QVERIFY(reason.wait(30000));
    QTRY_COMPARE(ds->State(), dsBrowse);
    QVERIFY2(!openMessage(), qPrintable(openMessage() ? openMessage()->text() : QString()));
    QCOMPARE(column(f, kMotivo), (QStringList{kReason, kTyped, kReason}));
    QCOMPARE(column(f, kCheck), (QStringList{"C", "C", "C"}));
}

// Keys that come with the tick, before the message could be seen (Enter, Esc,
// Space), do not answer it; once it has been on screen a while a typed
// character still does not, and Esc does.
void TestGestures::keysBeforeTheMessageIsSeenDoNotAnswerIt() {
    TfrmCancelaNFE* f = openWithWork();
    QVERIFY(f);
    RealDialogs real;
    TClientDataSet* ds = f->cdsNotaFiscal;
    ds->SetRecNo(2);
    f->dbgPadrao->SetSelectedIndex(0);
    QVERIFY(ui::focus(f->dbgPadrao));
    settle();
    QWidget* grid = f->dbgPadrao;
    QPointer<QMessageBox> first;
    bool openAfterEarlyKeys = false;
    bool openAfterTyping = false;
    ModalScript script;
    script.when([&] { return openMessage() != nullptr; })
        .then([&] {
            first = openMessage();
            // Whatever reaches the box before it has been seen is dropped.
            for (int k : {int(Qt::Key_Return), int(Qt::Key_Escape), int(Qt::Key_Space)})
                ui::queueKey(first, k, k == Qt::Key_Space ? QStringLiteral(" ") : QString());
        })
        .after(100)
        .then([&] { openAfterEarlyKeys = first && openMessage() == first; })
        .when([&] {
            auto* box = qobject_cast<MessageDialog*>(openMessage());
            return !box || box->settled();
        })
        .then([&] {
            if (!first)
                return;
            ui::queueKey(first, Qt::Key_Space, QStringLiteral(" "));
            ui::queueKey(first, Qt::Key_A, QStringLiteral("a"));
        })
        .after(100)
        .then([&] {
            openAfterTyping = first && openMessage() == first;
            if (first)
                ui::queueKey(first, Qt::Key_Escape);
        });
    ui::queueKey(grid, Qt::Key_Space, QStringLiteral(" "));
    ui::queueKey(grid, Qt::Key_Return, QStringLiteral("\r"));
    ui::queueKey(grid, Qt::Key_Escape);
    ui::queueKey(grid, Qt::Key_Space, QStringLiteral(" "));
    QVERIFY(script.run(20000));
    QVERIFY(openAfterEarlyKeys);
    QVERIFY(openAfterTyping);
    QTRY_VERIFY(!openMessage());
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(ds->FieldByName(kMotivo)->AsString(), QString());
}

QTEST_MAIN(TestGestures)
#include "tst_gestures.moc"
