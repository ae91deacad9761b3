// The toolkit's focus model on real widgets: which enter and exit handlers run,
// in which order, when the focus moves, and what a failing exit leaves behind.
#include "recordingservices.h"
#include "services/checks.h"
#include "services/exceptions.h"
#include "services/guard.h"
#include "services/qthostservices.h"
#include "uitest.h"
#include "vcl/buttons.h"
#include "vcl/focustracker.h"
#include "vcl/form.h"
#include "vcl/stdctrls.h"
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

namespace {

// A form with nested containers:
//   panA { edA1, edA2 }   panB { panB1 { edB1 }, edB2 }   edC
struct TestForm {
    TForm form;
    TPanel* panA;
    TPanel* panB;
    TPanel* panB1;
    TEdit* edA1;
    TEdit* edA2;
    TEdit* edB1;
    TEdit* edB2;
    TEdit* edC;
    QStringList log;

    TestForm() {
        form.setObjectName(QStringLiteral("form"));
        form.resize(400, 300);
        panA = makeControl<TPanel>(&form, "panA", 0, 0, 400, 60);
        edA1 = makeControl<TEdit>(panA, "edA1", 5, 5, 100, 21);
        edA2 = makeControl<TEdit>(panA, "edA2", 110, 5, 100, 21);
        panB = makeControl<TPanel>(&form, "panB", 0, 70, 400, 120);
        panB1 = makeControl<TPanel>(panB, "panB1", 5, 5, 200, 50);
        edB1 = makeControl<TEdit>(panB1, "edB1", 5, 5, 100, 21);
        edB2 = makeControl<TEdit>(panB, "edB2", 5, 70, 100, 21);
        edC = makeControl<TEdit>(&form, "edC", 5, 200, 100, 21);
        for (TWinControl* c :
             std::initializer_list<TWinControl*>{panA, edA1, edA2, panB, panB1, edB1, edB2, edC}) {
            const QString name = c->self()->objectName();
            c->OnEnter = [this, name](QObject*) { log << QStringLiteral("enter:") + name; };
            c->OnExit = [this, name](QObject*) { log << QStringLiteral("exit:") + name; };
        }
        form.loaded(nullptr);
        form.show();
        ui::activate(&form);
    }
    void start(TWinControl* c) {
        ui::focus(c->self());
        log.clear();
    }
    QString current() const {
        TWinControl* c = form.focusTracker()->current();
        return c ? c->self()->objectName() : QString();
    }
};

QStringList list(std::initializer_list<const char*> items) {
    QStringList out;
    for (const char* i : items)
        out << QString::fromLatin1(i);
    return out;
}

} // namespace

class TestFocus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void exitsInnermostFirstEntersOutermostFirst();
    void tabFollowsTheTabOrder();
    void failingExitWithMessageBoxRunsNothingOfTheTarget();
    void failingExitKeepsTheFocusWhereTheCheckPutIt();
    void failingContainerExitFallsBackToTheControlLeft();
    void activeControlDuringExitIsTheControlEntered();
    void otherWindowsAreNoMove();
    void handlerSetFocusIsNoMove();
    void guardSwallowsAbortAndReportsErrors();
};

void TestFocus::exitsInnermostFirstEntersOutermostFirst() {
    ScopedRecording rec;
    TestForm t;
    t.start(t.edA2);
    ui::focus(t.edB1);
    QCOMPARE(t.log, list({"exit:edA2", "exit:panA", "enter:panB", "enter:panB1", "enter:edB1"}));
    t.log.clear();
    ui::focus(t.edB2);
    QCOMPARE(t.log, list({"exit:edB1", "exit:panB1", "enter:edB2"}));
    t.log.clear();
    ui::focus(t.edC);
    QCOMPARE(t.log, list({"exit:edB2", "exit:panB", "enter:edC"}));
    QCOMPARE(t.current(), QStringLiteral("edC"));
}

void TestFocus::tabFollowsTheTabOrder() {
    ScopedRecording rec;
    TestForm t;
    t.edA2->SetTabOrder(0);
    t.edA1->SetTabOrder(1);
    t.form.loaded(nullptr);
    t.start(t.edA2);
    ui::tab(ui::focused());
    QCOMPARE(ui::focusedName(), QStringLiteral("edA1"));
    QCOMPARE(t.log, list({"exit:edA2", "enter:edA1"}));
    t.log.clear();
    ui::key(ui::focused(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(ui::focusedName(), QStringLiteral("edA2"));
    QCOMPARE(t.log, list({"exit:edA1", "enter:edA2"}));
}

void TestFocus::failingExitWithMessageBoxRunsNothingOfTheTarget() {
    // The real error display: a modal message box, answered by a timer. Its
    // re-entrant focus changes must not be taken for moves.
    auto previous = SetHostServices(std::make_unique<QtHostServices>());
    TestForm t;
    t.edA1->OnExit = [&](QObject*) {
        t.log << QStringLiteral("exit:edA1");
        QTimer::singleShot(50, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        t.edA1->SetFocus();
        MensErro(QStringLiteral("Filial deve ser informada."), true);
    };
    t.start(t.edA1);
    ui::focus(t.edB1);
    QTest::qWait(100);
    ui::activate(&t.form);
    QCOMPARE(t.log, list({"exit:edA1"}));
    QCOMPARE(t.current(), QStringLiteral("edA1"));
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("edA1"));
    // The next move starts from the control the check kept.
    t.edA1->OnExit = [&](QObject*) { t.log << QStringLiteral("exit:edA1"); };
    t.log.clear();
    ui::focus(t.edA2);
    QCOMPARE(t.log, list({"exit:edA1", "enter:edA2"}));
    SetHostServices(std::move(previous));
}

void TestFocus::failingExitKeepsTheFocusWhereTheCheckPutIt() {
    ScopedRecording rec;
    TestForm t;
    t.edA1->OnExit = [&](QObject*) {
        t.log << QStringLiteral("exit:edA1");
        t.edC->SetFocus();
        MensErro(QStringLiteral("erro"), true);
    };
    t.start(t.edA1);
    ui::focus(t.edB1);
    QCOMPARE(t.log, list({"exit:edA1"}));
    QCOMPARE(t.current(), QStringLiteral("edC"));
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("edC"));
    QCOMPARE(rec->errors, QStringList{QStringLiteral("erro")});
    t.log.clear();
    ui::focus(t.edB2);
    QCOMPARE(t.log, list({"exit:edC", "enter:panB", "enter:edB2"}));
}

void TestFocus::failingContainerExitFallsBackToTheControlLeft() {
    ScopedRecording rec;
    TestForm t;
    t.panA->OnExit = [&](QObject*) {
        t.log << QStringLiteral("exit:panA");
        Abort();
    };
    t.start(t.edA2);
    ui::focus(t.edC);
    QCOMPARE(t.log, list({"exit:edA2", "exit:panA"}));
    QCOMPARE(t.current(), QStringLiteral("edA2"));
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("edA2"));
    QVERIFY(rec->shown().isEmpty());
}

void TestFocus::activeControlDuringExitIsTheControlEntered() {
    ScopedRecording rec;
    TestForm t;
    QString seen;
    t.panA->OnExit = [&](QObject*) { seen = t.form.ActiveControl()->self()->objectName(); };
    t.start(t.edA1);
    ui::focus(t.edB2);
    QCOMPARE(seen, QStringLiteral("edB2"));
    QCOMPARE(t.form.ActiveControl()->self()->objectName(), QStringLiteral("edB2"));
}

void TestFocus::otherWindowsAreNoMove() {
    ScopedRecording rec;
    TestForm t;
    t.start(t.edA1);
    QLineEdit other;
    other.setObjectName(QStringLiteral("otherWindow"));
    other.show();
    ui::focus(&other);
    QCOMPARE(ui::focused(), &other);
    ui::activate(&t.form);
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("edA1"));
    QVERIFY2(t.log.isEmpty(), qPrintable(t.log.join(QLatin1Char(','))));
    ui::focus(t.edA2);
    QCOMPARE(t.log, list({"exit:edA1", "enter:edA2"}));
}

void TestFocus::handlerSetFocusIsNoMove() {
    ScopedRecording rec;
    TestForm t;
    t.edA1->OnExit = [&](QObject*) {
        t.log << QStringLiteral("exit:edA1");
        t.edA2->SetFocus();
    };
    t.start(t.edA1);
    ui::focus(t.edB1);
    QCOMPARE(t.log, list({"exit:edA1"}));
    QCOMPARE(t.current(), QStringLiteral("edA2"));
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("edA2"));
}

void TestFocus::guardSwallowsAbortAndReportsErrors() {
    ScopedRecording rec;
    QVERIFY(zav::guarded([] {}));
    QVERIFY(!zav::guarded([] { Abort(); }));
    QVERIFY(rec->shown().isEmpty());
    QVERIFY(!zav::guarded([] { throw EZavError(QStringLiteral("Falha no servidor.")); }));
    QVERIFY(!zav::guarded([] { throw std::runtime_error("disk full"); }));
    QCOMPARE(rec->exceptions,
             QStringList({QStringLiteral("Falha no servidor."), QStringLiteral("disk full")}));

    // Through real entry points: a button click, a change of an edit's text.
    rec->clear();
    TButtonFlat button;
    button.OnClick = [](QObject*) { throw EZavError(QStringLiteral("clique")); };
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    TEdit edit;
    edit.OnChange = [](QObject*) { Abort(); };
    edit.SetText(QStringLiteral("x"));
    edit.OnChange = [](QObject*) { throw std::logic_error("mudança"); };
    edit.SetText(QStringLiteral("y"));
    QCOMPARE(rec->exceptions, QStringList({QStringLiteral("clique"), QString::fromUtf8("mudança")}));
}

QTEST_MAIN(TestFocus)
#include "tst_focus.moc"
