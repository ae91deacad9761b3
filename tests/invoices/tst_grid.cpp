// The selection grid driven by mouse and keyboard: ticks, the tick-all pass
// (also over 100,000 rows: where it stops, what the grid is told and shows,
// under the filter), reasons and the reason rule, no row added, the tick
// pictures.
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "data/datasource.h"
#include "data/dtmdbgeral.h"
#include "invoicepacket.h"
#include "recordingservices.h"
#include "services/session.h"
#include "testdb.h"
#include "uitest.h"
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMap>
#include <QSignalSpy>
#include <QTest>

namespace {
const QString kEmis = QString::fromUtf8("Motivo do cancelamento deve ser informado.");
const QString kMin = QString::fromUtf8("Motivo do cancelamento deve conter no mínimo de 15 caracteres.");
const QString kValid = QStringLiteral("Erro de digitação no valor");
} // namespace

class TestGrid : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    std::unique_ptr<ScopedRecording> m_rec;
    std::unique_ptr<TestHostWindow> m_host;
    TfrmCancelaNFE* f = nullptr;
    TClientDataSet* ds = nullptr;
    RecordingServices& svc() { return **m_rec; }

    // Opens the screen with a list of rows, given their reasons and ticks.
    void load(const QStringList& reasons, const QStringList& ticks = {}) {
        QStringList keys;
        for (int i = 0; i < reasons.size(); ++i)
            keys << QStringLiteral("K%1").arg(i, 3, 10, QLatin1Char('0'));
        DataPacket p = invoicetest::invoices(keys);
        const int reason = p.indexOf(QStringLiteral("DSMOTIVOCANCNFE"));
        const int check = p.indexOf(QStringLiteral("IDCHECK"));
        for (int i = 0; i < reasons.size(); ++i) {
            p.setValue(i, reason, reasons[i]);
            if (i < ticks.size())
                p.setValue(i, check, ticks[i]);
        }
        ds->SetData(p);
    }
    QString tick(int row) const {
        return ds->value(row, ds->FieldByName(QStringLiteral("IDCHECK"))->Index()).toString();
    }
    QString reason(int row) const {
        return ds->value(row, ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->Index()).toString();
    }
    QPoint cell(int row, int column) const {
        return f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(row, column)).center();
    }
    void click(int row, int column) {
        QTest::mouseClick(f->dbgPadrao->viewport(), Qt::LeftButton, {}, cell(row, column));
    }
    void clickTitle(int column) {
        QHeaderView* h = f->dbgPadrao->horizontalHeader();
        QTest::mouseClick(
            h->viewport(), Qt::LeftButton, {},
            QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2));
    }
    // Types as a keyboard does: each key to whatever has the focus then.
    void typeHere(const QString& text) {
        for (QChar c : text)
            QTest::keyClick(ui::focused(), c.toLatin1());
    }
    void key(int k, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QTest::keyClick(ui::focused(), Qt::Key(k), m);
    }
    // A long list in arrival order: every row with a valid reason but those
    // given, unticked.
    void loadLong(int rows, const QMap<int, QString>& reasons = {}) {
        QStringList keys;
        keys.reserve(rows);
        for (int i = 0; i < rows; ++i)
            keys << QStringLiteral("K%1").arg(i, 6, 10, QLatin1Char('0'));
        DataPacket p = invoicetest::invoices(keys);
        const int reason = p.indexOf(QStringLiteral("DSMOTIVOCANCNFE"));
        for (int i = 0; i < rows; ++i)
            p.setValue(i, reason, reasons.value(i, kValid));
        ds->SetData(p);
    }
    // Rows in [from, to) whose stored tick (a pending edit not included) is
    // `value`.
    int storedTicks(int from, int to, const char* value) const {
        const TField* check = ds->FieldByName(QStringLiteral("IDCHECK"));
        int n = 0;
        for (int r = from; r < to; ++r)
            n += ds->StoredText(r, *check) == QUtf8StringView(value);
        return n;
    }
    // The tick picture's mark in a row's tick cell, as the grid paints it now:
    // the pixel black in the ticked picture and white in the unticked one.
    QColor tickMark(int row) const {
        const QRect cell = f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(row, 0));
        return f->dbgPadrao->viewport()->grab().toImage().pixelColor(cell.left() + 4 + 10, cell.top() + 4);
    }
    QStringList ticks() const {
        QStringList out;
        for (int r = 0; r < ds->ViewRowCount(); ++r)
            out << tick(r);
        return out;
    }

private Q_SLOTS:
    void init();
    void cleanup();
    void modelPassesQtsTester();
    void tickWithoutAReason();
    void reasonLength_data();
    void reasonLength();
    void spacePerColumn();
    void tickAllStopsAtAnInvalidRow();
    void directionAfterSingleToggles();
    void tickAllWithAPendingRow();
    void otherTickValues();
    void noRowIsAdded();
    void escCancelsThePendingRow();
    void titlesAndCellsThatDoNothing();
    void emptyListDoesNothing();
    void tickPictures();
    void failurePanelHidesTheGrid();
    void clickThenTypeReachesTheRow_data();
    void clickThenTypeReachesTheRow();
    void leavingTheRowCommitsIt_data();
    void leavingTheRowCommitsIt();
    void enterCommitsAndGoesDown();
    void escClosesTheFailurePanelFirst();
    void closingAsksBeforeLosingWork();
    void nothingToLoseNothingAsked();
    void oneReasonForEveryRowWithout();
    void oneReasonRefusedWritesNothing_data();
    void oneReasonRefusedWritesNothing();
    void tickAllOverALongListStopsAtTheRefusedRow();
    void tickAllRefusedOnTheFirstRow_data();
    void tickAllRefusedOnTheFirstRow();
    void tickAllAndBackOverALongList();
    void tickAllUnderTheFilter();
};

void TestGrid::init() {
    ZAV_SQLITE(m_dbs);
    dtmDBGeral::open(m_dbs.connectionText(zavtest::kSQLite));
    m_rec = std::make_unique<ScopedRecording>();
    m_host = std::make_unique<TestHostWindow>();
    Session::values() = SessionValues();
    boToCheck = false;
    IniProc();
    f = frmCancelaNFE;
    ds = f->cdsNotaFiscal;
    // The list comes from the tests here, not from the server.
    f->panFiltro->OnExit = nullptr;
    f->panFiltro->OnEnter = nullptr;
    ui::activate(f);
    QVERIFY(ui::focus(f->dbgPadrao));
}

void TestGrid::cleanup() {
    if (boIdCriado) {
        ds->Close();
        f->Close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    m_host.reset();
    m_rec.reset();
    dtmDBGeral::close();
}

void TestGrid::modelPassesQtsTester() {
    QAbstractItemModelTester tester(f->dbgPadrao->model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    load({kValid, kValid, kValid});
    QCOMPARE(f->dbgPadrao->model()->rowCount(), 3);
    QCOMPARE(f->dbgPadrao->model()->columnCount(), 6);
    QCOMPARE(f->dbgPadrao->model()->headerData(1, Qt::Horizontal).toString(),
             QString::fromUtf8("Nº Lançamento"));
    QCOMPARE(f->dbgPadrao->model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Valor da NF"));
    QCOMPARE(f->dbgPadrao->model()->index(0, 4).data().toString(), QStringLiteral("100,25"));
    click(0, 0);
    clickTitle(0);
    ds->Close();
    QCOMPARE(f->dbgPadrao->model()->rowCount(), 0);
}

void TestGrid::tickWithoutAReason() {
    load({QString(), kValid});
    click(0, 0);
    QCOMPARE(svc().errors, QStringList{kEmis});
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(tick(0), QStringLiteral("C")); // pending, shown
    QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
    QVERIFY(f->dbgPadrao->HasOption(dgEditing));
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 0);
    QTRY_VERIFY(ui::focused() == f->dbgPadrao || f->dbgPadrao->isAncestorOf(ui::focused()));
    // Typing opens the editor of the reason; leaving the row commits both.
    typeHere(QStringLiteral("Cliente desistiu"));
    key(Qt::Key_Down);
    QCOMPARE(svc().errors, QStringList{kEmis});
    QCOMPARE(ds->State(), dsBrowse);
    QCOMPARE(tick(0), QStringLiteral("C"));
    QCOMPARE(reason(0), QStringLiteral("Cliente desistiu"));
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 1);
    QVERIFY(boToCheck);
}

void TestGrid::reasonLength_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("14") << "12345678901234" << kMin;
    QTest::newRow("15") << "123456789012345"
                        << "";
    QTest::newRow("14 inside blanks") << "   12345678901234   " << kMin;
    QTest::newRow("blanks only") << "      " << kEmis;
    // Characters are counted, not UTF-16 units: 8 characters beyond the BMP
    // are 16 units, and still 8 characters.
    QTest::newRow("8 characters in 16 units") << QString::fromUtf8("\U0001F600").repeated(8) << kMin;
    QTest::newRow("15 characters in 30 units") << QString::fromUtf8("\U0001F600").repeated(15) << "";
}

void TestGrid::reasonLength() {
    QFETCH(QString, text);
    QFETCH(QString, message);
    load({text});
    click(0, 0);
    QCOMPARE(svc().errors, message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(ds->State(), message.isEmpty() ? dsBrowse : dsEdit);
    if (message.isEmpty())
        QCOMPARE(reason(0), text.trimmed());
}

void TestGrid::spacePerColumn() {
    load({kValid, kValid});
    click(0, 1);
    QCOMPARE(tick(0), QStringLiteral("U"));
    key(Qt::Key_Space);
    QCOMPARE(tick(0), QStringLiteral("C"));
    click(0, 3);
    key(Qt::Key_Space);
    QCOMPARE(tick(0), QStringLiteral("U"));
    // Ctrl+Space outside the reason column: the tick-all pass.
    key(Qt::Key_Space, Qt::ControlModifier);
    QCOMPARE(ticks(), QStringList({QStringLiteral("C"), QStringLiteral("C")}));
    // In the reason column Space is typed and Ctrl+Space does nothing.
    click(1, 5);
    QVERIFY(f->dbgPadrao->HasOption(dgEditing));
    key(Qt::Key_Space, Qt::ControlModifier);
    QCOMPARE(ticks(), QStringList({QStringLiteral("C"), QStringLiteral("C")}));
    key(Qt::Key_Space);
    QCOMPARE(tick(1), QStringLiteral("C"));
    QVERIFY(f->dbgPadrao->EditorMode());
    // Moving to another column switches editing off.
    key(Qt::Key_Escape);
    click(1, 2);
    QVERIFY(!f->dbgPadrao->HasOption(dgEditing));
}

void TestGrid::tickAllStopsAtAnInvalidRow() {
    load({kValid, kValid, QStringLiteral("curto"), kValid, kValid});
    clickTitle(0);
    QCOMPARE(svc().errors, QStringList{kMin});
    QCOMPARE(ticks(), QStringList({QStringLiteral("C"), QStringLiteral("C"), QStringLiteral("C"),
                                   QStringLiteral("U"), QStringLiteral("U")}));
    QCOMPARE(ds->State(), dsEdit); // row 3 pending
    QCOMPARE(ds->CurrentViewRow(), 2);
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 2);
    QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
    QVERIFY(!boToCheck); // not flipped: the next click ticks again
}

void TestGrid::directionAfterSingleToggles() {
    load({kValid, kValid, kValid});
    clickTitle(0);
    QCOMPARE(ticks(), QStringList(3, QStringLiteral("C")));
    QVERIFY(boToCheck);
    clickTitle(0);
    QCOMPARE(ticks(), QStringList(3, QStringLiteral("U")));
    QVERIFY(!boToCheck);
    click(1, 0); // a single tick: the next pass unticks
    QVERIFY(boToCheck);
    clickTitle(0);
    QCOMPARE(ticks(), QStringList(3, QStringLiteral("U")));
    click(1, 0);
    click(1, 0); // a single untick: the next pass ticks
    QVERIFY(!boToCheck);
    clickTitle(0);
    QCOMPARE(ticks(), QStringList(3, QStringLiteral("C")));
    QVERIFY(svc().errors.isEmpty());
}

void TestGrid::tickAllWithAPendingRow() {
    load({kValid, QString(), kValid});
    click(1, 0);
    QCOMPARE(svc().errors, QStringList{kEmis});
    // The pass first commits the pending row: refused again, nothing moves.
    clickTitle(0);
    QCOMPARE(svc().errors, QStringList({kEmis, kEmis}));
    QCOMPARE(ticks(), QStringList({QStringLiteral("U"), QStringLiteral("C"), QStringLiteral("U")}));
    QCOMPARE(ds->CurrentViewRow(), 1);
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(reason(0), kValid);
}

void TestGrid::otherTickValues() {
    load({kValid, kValid}, {QStringLiteral("X"), QStringLiteral("")});
    click(0, 0);
    QCOMPARE(tick(0), QStringLiteral("U"));
    QVERIFY(!boToCheck);
    clickTitle(0);
    QCOMPARE(ticks(), QStringList({QStringLiteral("C"), QStringLiteral("C")}));
}

void TestGrid::noRowIsAdded() {
    load({kValid, kValid});
    click(1, 1);
    key(Qt::Key_Insert);
    key(Qt::Key_Down);
    key(Qt::Key_Delete);
    QCOMPARE(ds->RecordCount(), 2);
    QCOMPARE(f->dbgPadrao->model()->rowCount(), 2);
    QVERIFY(svc().shown().isEmpty());
    QVERIFY_THROWS_EXCEPTION(std::exception, ds->Insert());
    QCOMPARE(ds->RecordCount(), 2);
}

void TestGrid::escCancelsThePendingRow() {
    load({QString()});
    f->sbtPrint->SetEnabled(true); // outside the panel: Esc would close the screen
    click(0, 0);
    QCOMPARE(ds->State(), dsEdit);
    key(Qt::Key_Escape);
    QCOMPARE(ds->State(), dsBrowse);
    QCOMPARE(tick(0), QStringLiteral("U"));
    QVERIFY(boIdCriado); // the grid took the key
    key(Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!boIdCriado); // nothing pending: Esc closes the screen
}

void TestGrid::titlesAndCellsThatDoNothing() {
    load({kValid, kValid});
    for (int c = 1; c < 6; ++c)
        clickTitle(c);
    click(0, 3);
    click(0, 2);
    QCOMPARE(ticks(), QStringList(2, QStringLiteral("U")));
    // Typing in a column other than the reason does nothing.
    QTest::keyClicks(ui::focused(), QStringLiteral("abc"));
    QCOMPARE(ds->State(), dsBrowse);
    QVERIFY(!f->dbgPadrao->EditorMode());
}

void TestGrid::emptyListDoesNothing() {
    load({});
    clickTitle(0);
    key(Qt::Key_Space);
    key(Qt::Key_Space, Qt::ControlModifier);
    QCOMPARE(ds->RecordCount(), 0);
    QVERIFY(svc().shown().isEmpty());
}

void TestGrid::tickPictures() {
    // The pictures, row by row: "-" the cell's background (the olive key),
    // K black, W white, S silver.
    static const char* const unticked[16] = {
        "----------------", "-------------S--", "--KKKKKKKKKK-S--", "--KWWWWWWWWW-S--",
        "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--",
        "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--",
        "-------------S--", "-SSSSSSSSSSSSS--", "----------------", "----------------"};
    static const char* const ticked[16] = {
        "----------------", "-------------S--", "--KKKKKKKKKK-S--", "--KWWWWWWWWW-S--",
        "--KWWWWWWWKW-S--", "--KWWWWWWKKW-S--", "--KWKWWWKKKW-S--", "--KWKKWKKKWW-S--",
        "--KWKKKKKWWW-S--", "--KWWKKKWWWW-S--", "--KWWWKWWWWW-S--", "--KWWWWWWWWW-S--",
        "-------------S--", "-SSSSSSSSSSSSS--", "----------------", "----------------"};
    load({kValid, kValid});
    click(1, 3); // the current cell elsewhere
    ds->SetRecNo(2);
    click(0, 0); // row 1 ticked, and now current
    click(1, 3);
    QApplication::setCursorFlashTime(0);
    const QImage shot = f->dbgPadrao->viewport()->grab().toImage();
    const QColor background = f->dbgPadrao->viewport()->palette().color(QPalette::Base);
    auto expected = [&](char c) {
        switch (c) {
        case 'K':
            return QColor(Qt::black);
        case 'W':
            return QColor(Qt::white);
        case 'S':
            return QColor(192, 192, 192);
        default:
            return background;
        }
    };
    for (int row = 0; row < 2; ++row) {
        const char* const* map = row == 0 ? ticked : unticked;
        // The cell, without the grid's lines on its right and bottom edges.
        const QRect cell = f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(row, 0));
        QVERIFY(cell.height() > 16);
        // The whole cell height: the picture's 16 rows, then nothing but the
        // background below it (no line of black).
        for (int y = 0; y < cell.height(); ++y)
            for (int x = 0; x < 16 && 4 + x < cell.width(); ++x) {
                const QColor want = y < 16 ? expected(map[y][x]) : background;
                const QColor got = shot.pixelColor(cell.left() + 4 + x, cell.top() + y);
                if (got != want)
                    QFAIL(qPrintable(QStringLiteral("row %1, pixel (%2, %3): %4, expected %5")
                                         .arg(row)
                                         .arg(x)
                                         .arg(y)
                                         .arg(got.name(), want.name())));
            }
        // Left of the picture, the cell is filled with its background too.
        for (int y = 0; y < cell.height(); ++y)
            QCOMPARE(shot.pixelColor(cell.left() + 1, cell.top() + y), background);
    }
}

void TestGrid::failurePanelHidesTheGrid() {
    // The failure panel lies over the grid's titles: its column-title strip
    // shows its own background, not the titles under it.
    load({kValid, kValid});
    f->lsbMensagem->AddLine(QStringLiteral("0000000001 - Documento Bloqueado por Outro Operador."));
    f->PanMensagem->show();
    QTest::qWait(0);
    const QImage shot = f->grab().toImage();
    const QColor face = f->PanMensagem->palette().color(QPalette::Window);
    const QPoint origin = f->PanMensagem->mapTo(f, QPoint(0, 0));
    for (int y = 18; y < 33; ++y)
        for (int x = 150; x < 460; ++x)
            if (shot.pixelColor(origin + QPoint(x, y)) != face)
                QFAIL(qPrintable(QStringLiteral("panel pixel (%1, %2) is %3, not the panel's %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(shot.pixelColor(origin + QPoint(x, y)).name(), face.name())));
}

void TestGrid::clickThenTypeReachesTheRow_data() {
    QTest::addColumn<QString>("before"); // the row's reason before the gesture
    QTest::addColumn<bool>("tickFirst"); // the rule put the cursor on the cell
    QTest::newRow("after the rule's message") << QString() << true;
    QTest::newRow("a reason typed again") << QStringLiteral("Erro de digitação no valor") << false;
    QTest::newRow("an empty reason, no tick") << QString() << false;
}

void TestGrid::clickThenTypeReachesTheRow() {
    QFETCH(QString, before);
    QFETCH(bool, tickFirst);
    const QString other = QStringLiteral("Cliente pediu cancelamento");
    load({before, other, other});
    if (tickFirst) {
        click(0, 0);
        QCOMPARE(svc().errors, QStringList{kEmis});
        QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
    }
    // A click on the reason cell and, at once, the keys: the first key opens
    // the row for edit and is its first character; nothing goes elsewhere.
    click(0, 5);
    typeHere(QStringLiteral("C"));
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(ds->CurrentViewRow(), 0);
    QVERIFY(f->dbgPadrao->EditorMode());
    typeHere(QStringLiteral("liente mudou de ideia"));
    key(Qt::Key_Down);
    QCOMPARE(svc().errors, tickFirst ? QStringList{kEmis} : QStringList());
    QCOMPARE(ds->State(), dsBrowse);
    QCOMPARE(reason(0), QStringLiteral("Cliente mudou de ideia"));
    QCOMPARE(reason(1), other);
    QCOMPARE(reason(2), other);
    QCOMPARE(ticks(), QStringList({tickFirst ? QStringLiteral("C") : QStringLiteral("U"), QStringLiteral("U"),
                                   QStringLiteral("U")}));
    QCOMPARE(ds->CurrentViewRow(), 1);
}

void TestGrid::leavingTheRowCommitsIt_data() {
    QTest::addColumn<int>("row");   // the row typed into, of three
    QTest::addColumn<int>("qtKey"); // how it is left; 0: a click on another row
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("rowAfter"); // where a committed row leaves the cursor
    QTest::newRow("Down on the last row") << 2 << int(Qt::Key_Down) << 0 << 2;
    QTest::newRow("Up on the first row") << 0 << int(Qt::Key_Up) << 0 << 0;
    QTest::newRow("Down") << 0 << int(Qt::Key_Down) << 0 << 1;
    QTest::newRow("Page Down on the last row") << 2 << int(Qt::Key_PageDown) << 0 << 2;
    QTest::newRow("Page Up on the first row") << 0 << int(Qt::Key_PageUp) << 0 << 0;
    QTest::newRow("Ctrl+End on the last row") << 2 << int(Qt::Key_End) << int(Qt::ControlModifier) << 2;
    QTest::newRow("Ctrl+Home") << 2 << int(Qt::Key_Home) << int(Qt::ControlModifier) << 0;
    QTest::newRow("Enter") << 1 << int(Qt::Key_Return) << 0 << 2;
    QTest::newRow("Enter on the last row") << 2 << int(Qt::Key_Return) << 0 << 2;
    QTest::newRow("a click on another row") << 1 << 0 << 0 << 0;
    QTest::newRow("Tab out of the last cell") << 2 << int(Qt::Key_Tab) << 0 << 2;
}

void TestGrid::leavingTheRowCommitsIt() {
    QFETCH(int, row);
    QFETCH(int, qtKey);
    QFETCH(int, modifiers);
    QFETCH(int, rowAfter);
    f->sbtPrint->SetEnabled(true); // the list fetched: window keys reach the base screen
    for (const QString& typed : {QStringLiteral("Cliente mudou de ideia"), QStringLiteral("curto")}) {
        const bool valid = typed.size() >= 15;
        svc().clear();
        load({kValid, kValid, kValid});
        click(row, 5);
        typeHere(typed);
        if (qtKey == 0)
            click(0, 1);
        else
            key(qtKey, Qt::KeyboardModifiers(modifiers));
        if (!valid) {
            // The rule speaks; the row stays open with what was typed, the
            // cursor on its reason, the focus in the grid.
            QCOMPARE(svc().errors, QStringList{kMin});
            QCOMPARE(ds->State(), dsEdit);
            QCOMPARE(ds->CurrentViewRow(), row);
            QCOMPARE(reason(row), typed);
            QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
            QTRY_VERIFY(ui::focused() == f->dbgPadrao || f->dbgPadrao->isAncestorOf(ui::focused()));
            key(Qt::Key_Escape); // the grid's own: the row's edit is dropped
            QCOMPARE(ds->State(), dsBrowse);
            QCOMPARE(reason(row), kValid);
            ui::focus(f->dbgPadrao);
        } else {
            QCOMPARE(svc().errors, QStringList());
            QCOMPARE(ds->State(), dsBrowse);
            QCOMPARE(reason(row), typed);
            if (qtKey != Qt::Key_Tab)
                QCOMPARE(ds->CurrentViewRow(), rowAfter);
        }
        QVERIFY(boIdCriado);
    }
}

void TestGrid::enterCommitsAndGoesDown() {
    f->sbtPrint->SetEnabled(true); // the base screen would move on with Enter
    load({kValid, kValid, kValid});
    click(0, 3);
    key(Qt::Key_Return);
    QCOMPARE(ds->CurrentViewRow(), 1);
    QCOMPARE(f->dbgPadrao->currentIndex().column(), 3);
    QCOMPARE(ui::focusedName(), QStringLiteral("dbgPadrao"));
    key(Qt::Key_Return);
    key(Qt::Key_Return); // the last row: it stays
    QCOMPARE(ds->CurrentViewRow(), 2);
    QCOMPARE(ui::focusedName(), QStringLiteral("dbgPadrao"));
    QVERIFY(svc().errors.isEmpty());
}

void TestGrid::escClosesTheFailurePanelFirst() {
    f->sbtPrint->SetEnabled(true);
    load({kValid});
    f->lsbMensagem->AddLine(QStringLiteral("0000000001 - Documento Bloqueado por Outro Operador."));
    f->PanMensagem->show();
    key(Qt::Key_Escape);
    QVERIFY(!f->PanMensagem->isVisible());
    QCOMPARE(f->lsbMensagem->Count(), 0);
    QVERIFY(boIdCriado);
    QVERIFY(svc().questions.isEmpty());
    key(Qt::Key_Escape); // nothing ticked, nothing pending: the screen closes
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!boIdCriado);
}

void TestGrid::closingAsksBeforeLosingWork() {
    const QString question =
        QString::fromUtf8("Há marcações ou alterações não enviadas nesta tela, que serão "
                          "perdidas. Deseja fechar a tela mesmo assim?");
    f->sbtPrint->SetEnabled(true);
    load({kValid, QString()});
    click(0, 0); // ticked and stored
    QCOMPARE(tick(0), QStringLiteral("C"));
    // Esc, the close button and the window's frame all ask; No keeps the work.
    svc().confirmAnswers = {false, false, false};
    key(Qt::Key_Escape);
    QTest::mouseClick(f->sbtCancel, Qt::LeftButton);
    f->subWindow()->close();
    QCOMPARE(svc().questions, QStringList(3, question));
    QVERIFY(boIdCriado);
    QCOMPARE(tick(0), QStringLiteral("C"));
    // A row pending with the rule's message is work too.
    load({kValid, QString()});
    QVERIFY(ui::focus(f->dbgPadrao));
    click(1, 0);
    QCOMPARE(ds->State(), dsEdit);
    svc().questions.clear();
    svc().confirmAnswers = {false};
    f->Close();
    QCOMPARE(svc().questions, QStringList{question});
    QVERIFY(boIdCriado);
    // Yes closes.
    svc().confirmAnswers = {true};
    QTest::mouseClick(f->sbtCancel, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!boIdCriado);
}

// A row ticked and unticked is back to what the server sent: no change, and
// the screen closes without a question; so does one whose tick the rule
// refused twice (pending, but holding what it stores).
void TestGrid::nothingToLoseNothingAsked() {
    f->sbtPrint->SetEnabled(true);
    load({kValid, QString()});
    click(0, 0);
    click(0, 0);
    QCOMPARE(tick(0), QStringLiteral("U"));
    QCOMPARE(ds->ChangeCount(), 0);
    click(1, 0); // no reason: refused, pending "C"
    click(1, 0); // refused again, pending "U", which it stores
    QCOMPARE(ds->State(), dsEdit);
    QVERIFY(!ds->EditDiffers());
    svc().errors.clear();
    f->Close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY2(svc().questions.isEmpty(), qPrintable(svc().questions.join(u'|')));
    QVERIFY(!boIdCriado);
}

// F8 asks once for a reason and writes it into every row without one (blanks
// are none), the row being ticked included; rows with a reason keep theirs;
// then the tick-all pass goes through.
void TestGrid::oneReasonForEveryRowWithout() {
    const int rows = 10000;
    QMap<int, QString> reasons;
    for (int i = 0; i < rows; ++i)
        if (i % 3 != 0)
            reasons.insert(i, QString());
    reasons.insert(5, QStringLiteral("   "));
    loadLong(rows, reasons);
    QVERIFY(f->sbtMotivo->Enabled());
    QCOMPARE(f->sbtMotivo->Hint(), QStringLiteral("Um motivo para as notas sem motivo (F8)"));
    QVERIFY(ui::focus(f->dbgPadrao));
    click(1, 0); // no reason: the rule's message, the row pending, ticked
    QCOMPARE(ds->State(), dsEdit);
    svc().clear();
    const QString given = QStringLiteral("  Cliente pediu o cancelamento ");
    svc().textAnswers = {given};
    key(Qt::Key_F8);
    QVERIFY2(svc().errors.isEmpty(), qPrintable(svc().errors.join(u'|')));
    QCOMPARE(svc().textRequests,
             QStringList{
                 QString::fromUtf8("Motivo do cancelamento|Motivo para todas as notas da lista que ainda não "
                                   "têm motivo (no mínimo 15 caracteres):|50")});
    QCOMPARE(ds->State(), dsBrowse);
    const QString stored = QStringLiteral("Cliente pediu o cancelamento"); // as a post stores it
    int written = 0;
    for (int i = 0; i < rows; ++i) {
        const QString expected = i % 3 == 0 ? kValid : stored;
        if (reason(i) != expected)
            QFAIL(qPrintable(QStringLiteral("row %1: %2").arg(i).arg(reason(i))));
        written += i % 3 != 0;
    }
    QCOMPARE(tick(1), QStringLiteral("C")); // the pending row posted with its new reason
    QCOMPARE(svc().statuses.last(),
             QStringLiteral("Motivo escrito em %1 notas.")
                 .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(written)));
    // Nothing stops the tick-all pass now.
    boToCheck = false;
    clickTitle(0);
    QVERIFY2(svc().errors.isEmpty(), qPrintable(svc().errors.join(u'|')));
    QCOMPARE(storedTicks(0, rows, "C"), rows);
}

void TestGrid::oneReasonRefusedWritesNothing_data() {
    QTest::addColumn<QVariant>("answer");
    QTest::addColumn<QString>("message");
    QTest::newRow("too short") << QVariant(QStringLiteral("curto demais"))
                               << QString::fromUtf8(
                                      "Motivo do cancelamento deve conter no mínimo de 15 caracteres.");
    QTest::newRow("blanks") << QVariant(QStringLiteral("          "))
                            << QString::fromUtf8("Motivo do cancelamento deve ser informado.");
    QTest::newRow("a tab inside") << QVariant(QStringLiteral("Cliente pediu\to cancelamento"))
                                  << QStringLiteral("tab");
    QTest::newRow("cancelled") << QVariant() << QString();
}

// A reason the rule refuses is told before any row is written; a dialog
// cancelled writes nothing and says nothing.
void TestGrid::oneReasonRefusedWritesNothing() {
    QFETCH(QVariant, answer);
    QFETCH(QString, message);
    load({QString(), kValid, QString()});
    QVERIFY(ui::focus(f->dbgPadrao));
    svc().clear();
    svc().textAnswers = {answer.isValid() ? std::optional<QString>(answer.toString()) : std::nullopt};
    key(Qt::Key_F8);
    if (message.isEmpty()) {
        QVERIFY(svc().errors.isEmpty());
    } else {
        QCOMPARE(svc().errors.size(), qsizetype(1));
        if (message == QLatin1String("tab"))
            QVERIFY2(svc().errors.first().contains(QStringLiteral("tabula"), Qt::CaseInsensitive),
                     qPrintable(svc().errors.first()));
        else
            QCOMPARE(svc().errors.first(), message);
    }
    QCOMPARE(ds->ChangeCount(), 0);
    QCOMPARE(reason(0), QString());
    QCOMPARE(reason(2), QString());
    QVERIFY(svc().statuses.isEmpty());
}

void TestGrid::tickAllOverALongListStopsAtTheRefusedRow() {
    const int rows = 100000;
    const int bad = 61234;
    loadLong(rows, {{bad, QStringLiteral("curto")}});
    click(3, 3); // the current cell elsewhere
    QAbstractItemModel* model = f->dbgPadrao->model();
    QSignalSpy resets(model, &QAbstractItemModel::modelReset);
    QSignalSpy cells(model, &QAbstractItemModel::dataChanged);
    clickTitle(0);
    QCOMPARE(svc().errors, QStringList{kMin});
    // Rows before the refused one stored; it pending and current; the rest untouched.
    QCOMPARE(storedTicks(0, bad, "C"), bad);
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(ds->CurrentViewRow(), bad);
    QCOMPARE(tick(bad), QStringLiteral("C"));
    QCOMPARE(storedTicks(bad, bad + 1, "U"), 1);
    QCOMPARE(reason(bad), QStringLiteral("curto"));
    QCOMPARE(storedTicks(bad + 1, rows, "U"), rows - bad - 1);
    QCOMPARE(ds->ChangeCount(), bad);
    QVERIFY(!boToCheck);
    // The grid: told once, on the refused row in the reason column, in sight.
    QCOMPARE(resets.count(), 1);
    QCOMPARE(cells.count(), 0);
    QCOMPARE(model->rowCount(), rows);
    QCOMPARE(f->dbgPadrao->currentIndex().row(), bad);
    QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
    QVERIFY(
        f->dbgPadrao->viewport()->rect().contains(f->dbgPadrao->visualRect(model->index(bad, 5)).center()));
    QCOMPARE(model->index(bad - 1, 0).data().toString(), QStringLiteral("C"));
    QCOMPARE(model->index(bad, 0).data().toString(), QStringLiteral("C"));
    QCOMPARE(model->index(bad + 1, 0).data().toString(), QStringLiteral("U"));
    QCOMPARE(tickMark(bad - 1), QColor(Qt::black));
    QCOMPARE(tickMark(bad), QColor(Qt::black));
    f->dbgPadrao->scrollTo(model->index(bad + 1, 0));
    QCOMPARE(tickMark(bad + 1), QColor(Qt::white));
    QCOMPARE(f->dbgPadrao->currentIndex().row(), bad);

    // The operator types a reason into the row, the editor still open, and
    // ticks all again: the row takes what was typed and the pass goes on.
    typeHere(QStringLiteral("Cliente desistiu da compra"));
    QVERIFY(f->dbgPadrao->EditorMode());
    clickTitle(0);
    QCOMPARE(svc().errors, QStringList{kMin});
    QCOMPARE(ds->State(), dsBrowse);
    QCOMPARE(reason(bad), QStringLiteral("Cliente desistiu da compra"));
    QCOMPARE(reason(bad + 1), kValid);
    QCOMPARE(storedTicks(0, rows, "C"), rows);
    QCOMPARE(ds->ChangeCount(), rows);
    QCOMPARE(ds->CurrentViewRow(), 0);
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 0);
    QVERIFY(boToCheck);
}

void TestGrid::tickAllRefusedOnTheFirstRow_data() {
    QTest::addColumn<QString>("reason"); // the first row's
    QTest::addColumn<QString>("first");  // its tick before the pass
    QTest::addColumn<QString>("message");
    QTest::newRow("no reason") << QString() << QStringLiteral("U") << kEmis;
    QTest::newRow("blanks, already ticked") << QStringLiteral("   ") << QStringLiteral("C") << kEmis;
    QTest::newRow("short, already ticked") << QStringLiteral("Nota errada") << QStringLiteral("C") << kMin;
}

void TestGrid::tickAllRefusedOnTheFirstRow() {
    QFETCH(QString, reason);
    QFETCH(QString, first);
    QFETCH(QString, message);
    load({reason, kValid, kValid}, {first});
    click(2, 1);
    clickTitle(0);
    QCOMPARE(svc().errors, QStringList{message});
    QCOMPARE(ticks(), QStringList({QStringLiteral("C"), QStringLiteral("U"), QStringLiteral("U")}));
    QCOMPARE(storedTicks(0, 1, qPrintable(first)), 1);
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(ds->CurrentViewRow(), 0);
    QCOMPARE(ds->ChangeCount(), 0);
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 0);
    QCOMPARE(f->dbgPadrao->SelectedIndex(), 5);
    QVERIFY(!boToCheck);
}

void TestGrid::tickAllAndBackOverALongList() {
    // Reasons with blanks around them here and there: posted the long way,
    // trimmed, between rows written straight.
    const int rows = 100000;
    QMap<int, QString> padded;
    for (int r = 5; r < rows; r += 10007)
        padded.insert(r, QStringLiteral("  ") + kValid + QStringLiteral(" "));
    loadLong(rows, padded);
    QAbstractItemModel* model = f->dbgPadrao->model();
    QSignalSpy resets(model, &QAbstractItemModel::modelReset);
    QSignalSpy cells(model, &QAbstractItemModel::dataChanged);
    QSignalSpy changes(ds, &TDataSet::dataChanged);
    QSignalSpy rowsChanged(ds, &TClientDataSet::rowChanged);
    QSignalSpy states(f->dtsNotaFiscal, &TDataSource::stateChanged);
    QCOMPARE(tickMark(1), QColor(Qt::white));

    clickTitle(0);
    QVERIFY(svc().errors.isEmpty());
    QCOMPARE(storedTicks(0, rows, "C"), rows);
    for (auto it = padded.cbegin(); it != padded.cend(); ++it)
        QCOMPARE(reason(it.key()), kValid);
    QCOMPARE(reason(rows - 1), kValid);
    QCOMPARE(ds->ChangeCount(), rows);
    QCOMPARE(ds->State(), dsBrowse);
    QCOMPARE(ds->CurrentViewRow(), 0);
    QVERIFY(boToCheck);
    // One notice for the whole pass; the grid shows the ticks.
    QCOMPARE(changes.count(), 1);
    QCOMPARE(rowsChanged.count(), 0);
    QCOMPARE(resets.count(), 1);
    QCOMPARE(cells.count(), 0);
    QCOMPARE(tickMark(1), QColor(Qt::black));
    // Only the rows posted the long way opened an edit; the search button,
    // which follows the list's state, is as it was.
    QCOMPARE(states.count(), 2 * int(padded.size()));
    QVERIFY(f->sbtProcurar->Enabled());

    clickTitle(0);
    QVERIFY(svc().errors.isEmpty());
    QCOMPARE(storedTicks(0, rows, "U"), rows);
    // Back to what the server sent, but for the reasons the first pass trimmed.
    QCOMPARE(ds->ChangeCount(), int(padded.size()));
    QVERIFY(!boToCheck);
    QCOMPARE(changes.count(), 2);
    QCOMPARE(resets.count(), 2);
    QCOMPARE(states.count(), 2 * int(padded.size())); // the reasons were trimmed by the first pass
    QCOMPARE(tickMark(1), QColor(Qt::white));
    const DataPacket data = ds->Data();
    QCOMPARE(data.text(rows - 1, data.indexOf(QStringLiteral("IDCHECK"))), QUtf8StringView("U"));
}

void TestGrid::tickAllUnderTheFilter() {
    // The list narrowed to its ticked rows: the pass sees only them, and they
    // keep their place until the filter is applied again.
    const QString padded = QStringLiteral("   ") + kValid + QStringLiteral("  ");
    load({kValid, kValid, padded, kValid, QStringLiteral("curto")},
         {QStringLiteral("C"), QStringLiteral("X"), QStringLiteral("C"), QStringLiteral("X"),
          QStringLiteral("C")});
    ds->SetFiltered(true);
    QCOMPARE(ds->RecordCount(), 3);
    boToCheck = true; // the pass unticks
    clickTitle(0);
    QCOMPARE(svc().errors, QStringList{kMin});
    QCOMPARE(ds->RecordCount(), 3);
    QCOMPARE(ticks(), QStringList(3, QStringLiteral("U")));
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(ds->CurrentViewRow(), 2);
    QCOMPARE(f->dbgPadrao->currentIndex().row(), 2);
    QCOMPARE(reason(1), kValid);
    QVERIFY(boToCheck);
    ds->Cancel();
    ds->SetFiltered(false);
    QCOMPARE(ticks(), QStringList({QStringLiteral("U"), QStringLiteral("X"), QStringLiteral("U"),
                                   QStringLiteral("X"), QStringLiteral("C")}));
    QCOMPARE(ds->ChangeCount(), 2);

    // Nothing ticked under the filter: an empty view, nothing to pass over.
    ds->SetFiltered(true);
    QCOMPARE(ds->RecordCount(), 1);
    ds->SetRecNo(1);
    ds->Edit();
    ds->FieldByName(QStringLiteral("IDCHECK"))->SetAsString(QStringLiteral("U"));
    ds->FieldByName(QStringLiteral("DSMOTIVOCANCNFE"))->SetAsString(kValid);
    ds->Post();
    ds->SetFiltered(false);
    ds->SetFiltered(true);
    QCOMPARE(ds->RecordCount(), 0);
    QSignalSpy changes(ds, &TDataSet::dataChanged);
    clickTitle(0);
    QCOMPARE(changes.count(), 0);
    QVERIFY(boToCheck);
    QCOMPARE(svc().errors, QStringList{kMin});
}

QTEST_MAIN(TestGrid)
#include "tst_grid.moc"
