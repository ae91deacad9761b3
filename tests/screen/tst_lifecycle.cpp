// Opening, reopening, showing and closing the screen through the package's
// own entries, loaded as the host loads them, and the window's layout.
#include "Cli_Zav50000.h"
#include "data/dtmdbgeral.h"
#include "packageloader.h"
#include "recordingservices.h"
#include "services/session.h"
#include "testdb.h"
#include "uitest.h"
#include "vcl/focustracker.h"
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStyleOptionComboBox>
#include <QStyleOptionHeader>
#include <QTest>

class TestLifecycle : public QObject {
    Q_OBJECT
private:
    PackageLoader pkg;
    zavtest::TestDatabases dbs;
    std::unique_ptr<TestHostWindow> host;
    std::unique_ptr<ScopedRecording> rec;

    TfrmCancelaNFE* form() const { return *pkg.frmCancelaNFE; }
    RecordingServices& svc() const { return **rec; }
    TfrmCancelaNFE* open() {
        pkg.IniProc();
        TfrmCancelaNFE* f = form();
        if (f)
            ui::activate(f);
        return f;
    }
    void closeScreen() {
        if (*pkg.boIdCriado) {
            form()->Close();
            QTest::qWait(0);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void packageEntries();
    void initializationCounts();
    void secondCallRestoresWithoutCreating();
    void reopenAfterCloseIsAFreshInstance();
    void branchFromSession_data();
    void branchFromSession();
    void periodStartsAtTheProcessingDate();
    void f7OnAClosedListDoesNothing();
    void f12GoesToTheFirstEnabledEstablishmentBox();
    void rightClickShowsNoMenu();
    void windowKeysOnlyOutsideTheFilterPanel();
    void layout_data();
    void layout();
    void tabOrder();
    void noCaptionIsCut();
};

void TestLifecycle::initTestCase() {
    QString error;
    QVERIFY2(pkg.load(&error), qPrintable(error));
    pkg.Initialize();
    // The demo database: the branch is checked when the screen is shown.
    ZAV_SQLITE(dbs);
    dtmDBGeral::open(dbs.connectionText(zavtest::kSQLite));
}

void TestLifecycle::init() {
    rec = std::make_unique<ScopedRecording>();
    host = std::make_unique<TestHostWindow>();
    Session::values() = SessionValues();
    Session::setDataProcLookup(nullptr);
}

void TestLifecycle::cleanup() {
    QVERIFY2(svc().exceptions.isEmpty(), qPrintable(svc().exceptions.join(QLatin1Char('\n'))));
    closeScreen();
    host.reset();
    rec.reset();
}

void TestLifecycle::packageEntries() {
    QVERIFY(pkg.IniProc && pkg.CriaCancelaNFE && pkg.Initialize && pkg.Finalize && pkg.GetPackageInfoTable);
    QVERIFY(pkg.frmCancelaNFE && pkg.boIdCriado && pkg.boToCheck && pkg.stlControle);
    const PackageInfo* info = pkg.GetPackageInfoTable();
    QCOMPARE(QLatin1String(info->name), QLatin1String("Pkg_Zav50000"));
    QCOMPARE(QLatin1String(info->unit), QLatin1String("Cli_Zav50000"));
    QCOMPARE(QLatin1String(info->required[0]), QLatin1String("libzavhost.so"));
    QCOMPARE(info->required[1], nullptr);
}

void TestLifecycle::initializationCounts() {
    // initTestCase initialised once. A second initialization does nothing...
    *pkg.boToCheck = true;
    pkg.Initialize();
    QCOMPARE(*pkg.boToCheck, true);
    // ...and finalizations only count back, until the next first one clears.
    pkg.Finalize();
    pkg.Finalize();
    pkg.Initialize();
    QCOMPARE(*pkg.boToCheck, false);
    QCOMPARE(*pkg.boIdCriado, false);
}

void TestLifecycle::secondCallRestoresWithoutCreating() {
    TfrmCancelaNFE* f = open();
    QVERIFY(f && *pkg.boIdCriado);
    QStringList* list = *pkg.stlControle;
    f->medNrNotaFiscal->SetText(QStringLiteral("123"));
    f->subWindow()->showMinimized();
    QVERIFY(f->subWindow()->isMinimized());
    pkg.IniProc();
    QCOMPARE(form(), f);
    QCOMPARE(host->mdi->subWindowList().size(), qsizetype(1));
    QVERIFY(!f->subWindow()->isMinimized());
    QCOMPARE(host->mdi->activeSubWindow(), f->subWindow());
    QCOMPARE(*pkg.stlControle, list); // FormCreate did not run again
    QCOMPARE(f->medNrNotaFiscal->Text(), QStringLiteral("123"));
}

void TestLifecycle::reopenAfterCloseIsAFreshInstance() {
    TfrmCancelaNFE* f = open();
    QStringList* list = *pkg.stlControle;
    f->cbbDestRem->SetItemIndex(0);
    f->nbkCliente->SetPageIndex(0);
    f->depDtInicial->SetDate(QDateTime(QDate(2020, 1, 1), QTime()));
    *pkg.boToCheck = true;
    QTest::mouseClick(f->sbtCancel, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(*pkg.boIdCriado, false);
    QVERIFY(host->mdi->subWindowList().isEmpty());

    Session::values().filiProc = QStringLiteral("0003");
    Session::setDataProcLookup([](const QString&) { return QDate(2026, 11, 30); });
    f = open();
    QVERIFY(f);
    QCOMPARE(f->cbbDestRem->ItemIndex(), 3);
    QCOMPARE(f->cbbDestRem->currentText(), QStringLiteral("Todos"));
    QCOMPARE(f->nbkCliente->PageIndex(), 3);
    QCOMPARE(f->medCdFilial->Text(), QStringLiteral("0003"));
    QCOMPARE(f->depDtInicial->Text(), QStringLiteral("30/11/2026"));
    QVERIFY(*pkg.stlControle && *pkg.stlControle != list);
    QVERIFY((*pkg.stlControle)->isEmpty());
    QCOMPARE(*pkg.boToCheck, true); // the tick-all direction survives the window
}

void TestLifecycle::branchFromSession_data() {
    QTest::addColumn<bool>("moduFili");
    QTest::addColumn<int>("module");
    QTest::addColumn<QString>("branch");
    QTest::newRow("fixed by the session, any module") << true << 14 << "0001";
    QTest::newRow("module 13") << false << 13 << "0001";
    QTest::newRow("module 14 bills") << false << 14 << "0002";
    QTest::newRow("module 15 bills") << false << 15 << "0002";
    QTest::newRow("module 16 bills") << false << 16 << "0002";
    QTest::newRow("module 17") << false << 17 << "0001";
}

void TestLifecycle::branchFromSession() {
    QFETCH(bool, moduFili);
    QFETCH(int, module);
    QFETCH(QString, branch);
    Session::values().moduFili = moduFili;
    Session::values().moduloAtiv = module;
    Session::values().filiProc = QStringLiteral("0001");
    Session::values().filiProcFat = QStringLiteral("0002");
    TfrmCancelaNFE* f = open();
    QCOMPARE(f->medCdFilial->Text(), branch);
    QCOMPARE(f->medCdFilial->isEnabled(), !moduFili);
    QCOMPARE(f->btpFilial->isEnabled(), !moduFili);
    QCOMPARE(f->lblFilial->isEnabled(), !moduFili);
}

void TestLifecycle::periodStartsAtTheProcessingDate() {
    QStringList asked;
    Session::values().filiProc = QStringLiteral("0002");
    Session::setDataProcLookup([&](const QString& b) {
        asked << b;
        return b == QLatin1String("0002") ? QDate(2026, 12, 7) : QDate(2000, 1, 1);
    });
    TfrmCancelaNFE* f = open();
    QCOMPARE(f->depDtInicial->Text(), QStringLiteral("07/12/2026"));
    QCOMPARE(f->depDtFinal->Text(), QStringLiteral("07/12/2026"));
    // Each date asks for itself; filled dates are not asked again on the exit.
    QCOMPARE(asked, QStringList({QStringLiteral("0002"), QStringLiteral("0002")}));
}

void TestLifecycle::f7OnAClosedListDoesNothing() {
    TfrmCancelaNFE* f = open();
    QVERIFY(ui::focus(f->medCdEmpresa));
    ui::key(ui::focused(), Qt::Key_F7);
    QCOMPARE(svc().searches, 0);
    QVERIFY(!f->sbtProcurar->isEnabled());
    QTest::mouseClick(f->sbtProcurar, Qt::LeftButton);
    QCOMPARE(svc().searches, 0);
}

void TestLifecycle::f12GoesToTheFirstEnabledEstablishmentBox() {
    Session::values().moduFili = true;
    TfrmCancelaNFE* f = open();
    QVERIFY(ui::focus(f->edtCdSerie));
    ui::key(ui::focused(), Qt::Key_F12);
    QCOMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));
    closeScreen();
    Session::values().moduFili = false;
    f = open();
    QVERIFY(ui::focus(f->edtCdSerie));
    ui::key(ui::focused(), Qt::Key_F12);
    QCOMPARE(ui::focusedName(), QStringLiteral("medCdFilial"));
}

void TestLifecycle::rightClickShowsNoMenu() {
    TfrmCancelaNFE* f = open();
    for (QWidget* w :
         std::initializer_list<QWidget*>{f->medCdEmpresa, f->panFiltro, f, f->depDtInicial->editor(),
                                         f->dbgPadrao->viewport(), f->cbbDestRem}) {
        const QPoint at(5, 5);
        QContextMenuEvent ev(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
        QApplication::sendEvent(w, &ev);
        QTest::mouseClick(w, Qt::RightButton, Qt::NoModifier, at);
        QVERIFY2(!QApplication::activePopupWidget(), qPrintable(w->objectName()));
    }
}

void TestLifecycle::windowKeysOnlyOutsideTheFilterPanel() {
    TfrmCancelaNFE* f = open();
    QVERIFY(ui::focus(f->medCdEmpresa));
    QVERIFY(!f->sbtPrint->isEnabled());
    ui::key(ui::focused(), Qt::Key_Return);
    ui::key(ui::focused(), Qt::Key_Escape);
    QCOMPARE(ui::focusedName(), QStringLiteral("medCdEmpresa"));
    QVERIFY(*pkg.boIdCriado);
    // The help is a shortcut, not a window key: it opens from the panel too.
    ui::key(ui::focused(), Qt::Key_F1);
    QCOMPARE(svc().helps.size(), qsizetype(1));

    // Once the panel is left the confirm button is on, and the base screen
    // gets the keys: Enter the next control, Esc closes.
    f->sbtPrint->SetEnabled(true);
    ui::key(ui::focused(), Qt::Key_F1);
    QCOMPARE(svc().helps.size(), qsizetype(2));
    QCOMPARE(svc().helps.first().first, QStringLiteral("Zavhelp.hlp"));
    QCOMPARE(svc().helps.first().second, 10914000);
    ui::key(ui::focused(), Qt::Key_Return);
    QCOMPARE(ui::focusedName(), QStringLiteral("edtCdSerie"));
    ui::key(ui::focused(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(*pkg.boIdCriado, false);
}

void TestLifecycle::layout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("grbDadosRel") << "grbDadosRel" << QRect(0, 0, 714, 400) << true;
    QTest::newRow("panFiltro") << "panFiltro" << QRect(2, 15, 710, 170) << true;
    QTest::newRow("medCdFilial") << "medCdFilial" << QRect(99, 0, 50, 21) << true;
    QTest::newRow("btpFilial") << "btpFilial" << QRect(154, 0, 21, 21) << true;
    QTest::newRow("edtNmFilial") << "edtNmFilial" << QRect(179, 0, 526, 21) << false;
    QTest::newRow("medCdEmpresa") << "medCdEmpresa" << QRect(99, 25, 25, 21) << true;
    QTest::newRow("edtNmEmpresa") << "edtNmEmpresa" << QRect(154, 25, 551, 21) << false;
    QTest::newRow("edtCdInscEsta") << "edtCdInscEsta" << QRect(100, 50, 129, 21) << false;
    QTest::newRow("edtInscMuni") << "edtInscMuni" << QRect(424, 50, 281, 21) << false;
    QTest::newRow("edtCdSerie") << "edtCdSerie" << QRect(100, 75, 55, 21) << true;
    QTest::newRow("btpSerie") << "btpSerie" << QRect(160, 76, 21, 21) << true;
    QTest::newRow("medNrNotaFiscal") << "medNrNotaFiscal" << QRect(239, 75, 100, 21) << true;
    QTest::newRow("depDtInicial") << "depDtInicial" << QRect(100, 100, 100, 21) << true;
    QTest::newRow("depDtFinal") << "depDtFinal" << QRect(239, 100, 100, 21) << true;
    QTest::newRow("GroupBox1") << "GroupBox1" << QRect(5, 122, 702, 43) << true;
    QTest::newRow("cbbDestRem") << "cbbDestRem" << QRect(6, 15, 80, 21) << true;
    QTest::newRow("nbkCliente") << "nbkCliente" << QRect(87, 12, 609, 27) << true;
    QTest::newRow("Bevel1") << "Bevel1" << QRect(2, 185, 710, 2) << true;
    QTest::newRow("dbgPadrao") << "dbgPadrao" << QRect(2, 187, 710, 211) << true;
    QTest::newRow("PanMensagem") << "PanMensagem" << QRect(152, 165, 473, 183) << true;
    QTest::newRow("lsbMensagem") << "lsbMensagem" << QRect(1, 34, 471, 148) << true;
    QTest::newRow("BtnSair") << "BtnSair" << QRect(453, 1, 18, 15) << true;
    QTest::newRow("panMenu") << "panMenu" << QRect(714, 0, 55, 400) << true;
    QTest::newRow("Panel1") << "Panel1" << QRect(6, 55, 48, 28) << true;
    QTest::newRow("sbtProcurar") << "sbtProcurar" << QRect(4, 3, 40, 22) << false;
    QTest::newRow("sbtPrint") << "sbtPrint" << QRect(7, 2, 40, 22) << false;
    QTest::newRow("sbtConfigImpr") << "sbtConfigImpr" << QRect(7, 21, 40, 0) << true;
    QTest::newRow("imgChecked") << "imgChecked" << QRect(378, 7, 16, 16) << true;
}

void TestLifecycle::layout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(bool, enabled);
    TfrmCancelaNFE* f = open();
    QCOMPARE(f->windowTitle(), QString::fromUtf8("Cancelamento de Notas Fiscais Eletrônicas"));
    QCOMPARE(f->size(), QSize(769, 400));
    QCOMPARE(f->lblCodTela->text(), QStringLiteral("ZAV50000"));
    auto* w = f->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->isEnabled(), enabled);
}

void TestLifecycle::tabOrder() {
    TfrmCancelaNFE* f = open();
    QStringList order;
    for (TWinControl* c : f->tabOrderControls())
        if (c->TabStop() && c->CanFocus())
            order << c->self()->objectName();
    QCOMPARE(order, QStringList({QStringLiteral("medCdFilial"), QStringLiteral("medCdEmpresa"),
                                 QStringLiteral("edtCdSerie"), QStringLiteral("medNrNotaFiscal"),
                                 QStringLiteral("depDtInicial"), QStringLiteral("depDtFinal"),
                                 QStringLiteral("cbbDestRem"), QStringLiteral("dbgPadrao")}));
}

void TestLifecycle::noCaptionIsCut() {
    // Every caption, title and choice fits the width the layout gives it, on
    // every page of the notebook: nothing is cut or elided.
    TfrmCancelaNFE* f = open();
    QVERIFY(f);
    f->PanMensagem->show(); // its caption is laid out when it shows
    QTest::qWait(0);
    QStringList cut;
    for (QLabel* l : f->findChildren<QLabel*>()) {
        if (l->text().isEmpty() || l->wordWrap())
            continue;
        const int need = l->fontMetrics().horizontalAdvance(l->text());
        if (need > l->contentsRect().width())
            cut << QStringLiteral("%1 \"%2\" %3 > %4")
                       .arg(l->objectName(), l->text())
                       .arg(need)
                       .arg(l->contentsRect().width());
    }
    QHeaderView* h = f->dbgPadrao->horizontalHeader();
    for (int i = 0; i < h->count(); ++i) {
        QStyleOptionHeader opt;
        opt.initFrom(h);
        opt.rect = QRect(0, 0, h->sectionSize(i), h->height());
        opt.section = i;
        opt.text = f->dbgPadrao->model()->headerData(i, Qt::Horizontal).toString();
        const int room = h->style()->subElementRect(QStyle::SE_HeaderLabel, &opt, h).width();
        const QFont font = f->dbgPadrao->model()->headerData(i, Qt::Horizontal, Qt::FontRole).value<QFont>();
        if (const int need = QFontMetrics(font).horizontalAdvance(opt.text); need > room)
            cut << QStringLiteral("title \"%1\" %2 > %3").arg(opt.text).arg(need).arg(room);
    }
    for (QComboBox* c : f->findChildren<QComboBox*>()) {
        QStyleOptionComboBox opt;
        opt.initFrom(c);
        const int room =
            c->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c).width();
        for (int i = 0; i < c->count(); ++i)
            if (const int need = c->fontMetrics().horizontalAdvance(c->itemText(i)); need > room)
                cut << QStringLiteral("%1 \"%2\" %3 > %4")
                           .arg(c->objectName(), c->itemText(i))
                           .arg(need)
                           .arg(room);
    }
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
}

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
