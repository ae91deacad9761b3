// Edits, masks and the checks and formats the screens rely on.
#include "components/dateeditplus.h"
#include "recordingservices.h"
#include "services/checks.h"
#include "services/exceptions.h"
#include "testtools.h"
#include "uitest.h"
#include "vcl/stdctrls.h"
#include <QApplication>
#include <QTest>

class TestEdits : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void maskMapsOntoQt_data();
    void maskMapsOntoQt();
    void maskEditTextExcludesLiterals();
    void changeRunsOnlyForAnotherText();
    void maskChangeKeepsTheText();
    void upperCaseMask();
    void keyPressCanReplaceTheCharacter();
    void ajusta_data();
    void ajusta();
    void registrationAndPersonMasks();
    void formatMaskText_data();
    void formatMaskText();
    void dateEdit();
    void clickAnywhereThenType_data();
    void clickAnywhereThenType();
};

void TestEdits::clickAnywhereThenType_data() {
    QTest::addColumn<QString>("mask");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("before"); // already typed
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after");
    zavtest::addRow("branch, empty", ">aaaa;0; ", 50, "", "12", "12");
    zavtest::addRow("invoice number, empty", "999999999;0; ", 100, "", "123", "123");
    zavtest::addRow("invoice number, half typed", "999999999;0; ", 100, "12", "3", "123");
    zavtest::addRow("tax id, empty", "99.999.999/9999-99;0;_", 130, "", "1234", "1234");
    zavtest::addRow("tax id, up to a literal", "99.999.999/9999-99;0;_", 130, "12", "34", "1234");
}

void TestEdits::clickAnywhereThenType() {
    // A click in a mask edit past what is typed, as on a box that looks empty,
    // puts the cursor where typing goes on: nothing typed after it is lost.
    QFETCH(QString, mask);
    QFETCH(int, width);
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(QString, after);
    QWidget window;
    TMaskEdit edit(&window);
    TEdit other(&window);
    edit.setGeometry(0, 0, width, 21);
    other.setGeometry(0, 30, 50, 21);
    edit.SetEditMask(mask);
    edit.SetText(before);
    window.show();
    QVERIFY(ui::focus(&other));
    for (const int x : {width / 2, width - 4}) {
        edit.SetText(before);
        QTest::mouseClick(&edit, Qt::LeftButton, {}, QPoint(x, 10));
        QCOMPARE(QApplication::focusWidget(), &edit);
        QTest::keyClicks(&edit, typed);
        QCOMPARE(edit.Text(), after);
        // And again with the focus already in the box (not so soon that it
        // makes a double click, which selects).
        edit.SetText(before);
        QTest::mouseClick(&edit, Qt::LeftButton, {}, QPoint(x, 10), QApplication::doubleClickInterval() + 50);
        QTest::keyClicks(&edit, typed);
        QCOMPARE(edit.Text(), after);
        QVERIFY(ui::focus(&other));
    }
}

void TestEdits::maskMapsOntoQt_data() {
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("qt");
    zavtest::addRow("branch", ">aaaa;0; ", ">nnnn; ");
    zavtest::addRow("invoice number", "999999999;0; ", "000000000; ");
    zavtest::addRow("cnpj", "99.999.999/9999-99;0;_", "00.000.000/0000-00;_");
    zavtest::addRow("required digits and letters", "00LLl;1;_", "99AAa;_");
    zavtest::addRow("escaped literal that Qt reads as input", "\\A\\9-0;0;_", "\\A\\9-9;_");
    zavtest::addRow("no mask", "", "");
}

void TestEdits::maskMapsOntoQt() {
    QFETCH(QString, mask);
    QFETCH(QString, qt);
    QCOMPARE(EditMask::parse(mask).qtInputMask(), qt);
}

void TestEdits::maskEditTextExcludesLiterals() {
    TMaskEdit e;
    e.SetEditMask(QStringLiteral("99.999.999/9999-99;0;_"));
    QCOMPARE(e.Text(), QString()); // untouched: empty, not "../-"
    QVERIFY(EmptyString(e.Text()));
    e.SetText(QStringLiteral("11222333000181"));
    QCOMPARE(e.displayText(), QStringLiteral("11.222.333/0001-81"));
    QCOMPARE(e.Text(), QStringLiteral("11222333000181"));
    e.SetText(QString());
    QCOMPARE(e.Text(), QString());
    // Typed by the operator, literals skipped by the mask.
    e.show();
    QVERIFY(ui::focus(&e));
    e.home(false);
    QTest::keyClicks(&e, QStringLiteral("1122"));
    QCOMPARE(e.Text(), QStringLiteral("1122"));
}

void TestEdits::changeRunsOnlyForAnotherText() {
    TMaskEdit e;
    int changes = 0;
    e.OnChange = [&](QObject*) { ++changes; };
    e.SetText(QStringLiteral("01"));
    QCOMPARE(changes, 1);
    e.SetText(QStringLiteral("01"));
    QCOMPARE(changes, 1);
    e.SetText(QString());
    QCOMPARE(changes, 2);
    e.SetText(QString());
    QCOMPARE(changes, 2);
    e.show();
    QVERIFY(ui::focus(&e));
    QTest::keyClicks(&e, QStringLiteral("7"));
    QCOMPARE(changes, 3);
}

void TestEdits::maskChangeKeepsTheText() {
    TMaskEdit e;
    e.SetMaxLength(4);
    e.SetText(QStringLiteral("1234")); // no mask: the declared length holds
    QCOMPARE(e.Text(), QStringLiteral("1234"));
    int changes = 0;
    e.OnChange = [&](QObject*) { ++changes; };
    e.SetEditMask(PictPess(QStringLiteral("I")));
    QCOMPARE(e.Text(), QStringLiteral("1234"));
    e.SetText(QStringLiteral("11222333000181")); // longer than 4: the mask bounds it now
    QCOMPARE(e.Text(), QStringLiteral("11222333000181"));
    changes = 0;
    e.SetEditMask(PictPess(QStringLiteral("J")));
    QCOMPARE(e.displayText(), QStringLiteral("11.222.333/0001-81"));
    QCOMPARE(e.Text(), QStringLiteral("11222333000181"));
    QCOMPARE(changes, 0); // same text under another mask is no change
    e.SetEditMask(PictPess(QStringLiteral("F")));
    QCOMPARE(e.Text(), QStringLiteral("11222333000")); // a CPF holds 11 digits
    QCOMPARE(changes, 1);
}

void TestEdits::upperCaseMask() {
    TMaskEdit e;
    e.SetEditMask(QStringLiteral(">aaaa;0; "));
    e.show();
    QVERIFY(ui::focus(&e));
    QTest::keyClicks(&e, QStringLiteral("ab1cd"));
    QCOMPARE(e.Text(), QStringLiteral("AB1C")); // at most 4, upper case
}

void TestEdits::keyPressCanReplaceTheCharacter() {
    TEdit e;
    e.OnKeyPress = [](QObject*, QChar& k) {
        if (k >= QLatin1Char('a') && k <= QLatin1Char('z'))
            k = k.toUpper();
    };
    e.show();
    QVERIFY(ui::focus(&e));
    QTest::keyClicks(&e, QStringLiteral("a"));
    QTest::sendKeyEvent(QTest::Click, &e, Qt::Key_unknown, QString::fromUtf8("ç"), Qt::NoModifier);
    QTest::keyClicks(&e, QStringLiteral("1"));
    QCOMPARE(e.Text(), QString::fromUtf8("Aç1"));
}

void TestEdits::ajusta_data() {
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("result");
    QTest::newRow("short digits padded") << "1" << 4 << "0001";
    QTest::newRow("blanks dropped first") << " 12 " << 4 << "0012";
    QTest::newRow("full width kept") << "0002" << 4 << "0002";
    QTest::newRow("company") << "1" << 2 << "01";
    QTest::newRow("letters kept as typed") << "A1" << 4 << "A1";
    QTest::newRow("empty stays empty") << "" << 4 << "";
    QTest::newRow("longer than the width kept") << "12345" << 4 << "12345";
}

void TestEdits::ajusta() {
    QFETCH(QString, code);
    QFETCH(int, width);
    QTEST(Ajusta(code, width), "result");
}

void TestEdits::registrationAndPersonMasks() {
    QString r = QStringLiteral("11.222.333/0001-81");
    QCOMPARE(Ajusta_Inscricao(r), QStringLiteral("11222333000181"));
    QCOMPARE(r, QStringLiteral("11222333000181"));
    r = QStringLiteral(" 123.456.789-09 ");
    Ajusta_Inscricao(r);
    QCOMPARE(r, QStringLiteral("12345678909"));
    QCOMPARE(PictPess(QStringLiteral("J")), QStringLiteral("99.999.999/9999-99;0;_"));
    QCOMPARE(PictPess(QStringLiteral("F")), QStringLiteral("999.999.999-99;0;_"));
    // Any other letter still takes a whole registration number.
    QCOMPARE(EditMask::parse(PictPess(QStringLiteral("E"))).length(), 20);
    QVERIFY(EditMask::parse(PictPess(QStringLiteral("I"))).length() >= 14);
}

void TestEdits::formatMaskText_data() {
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("text");
    zavtest::addRow("cnpj", "99.999.999/9999-99;0;_", "11222333000181", "11.222.333/0001-81");
    zavtest::addRow("cpf", "999.999.999-99;0;_", "12345678909", "123.456.789-09");
    zavtest::addRow("short value, blanks after", "999.999.999-99;0;_", "123", "123.___.___-__");
    zavtest::addRow("literals kept in the value", "99/99;1;_", "12/34", "12/34");
    zavtest::addRow("no mask", "", "abc", "abc");
}

void TestEdits::formatMaskText() {
    QFETCH(QString, mask);
    QFETCH(QString, value);
    QTEST(FormatMaskText(mask, value), "text");
}

void TestEdits::dateEdit() {
    ScopedRecording rec;
    TDateEditPlus d;
    QCOMPARE(d.Text(), QString());
    QVERIFY(!d.GetDate().isValid());
    d.SetDate(QDateTime(QDate(2026, 12, 8), QTime(15, 30)));
    QCOMPARE(d.Text(), QStringLiteral("08/12/2026"));
    QCOMPARE(d.GetDate(), QDateTime(QDate(2026, 12, 8), QTime(0, 0))); // no time of day
    d.CheckValidDate();
    QVERIFY(rec->errors.isEmpty());
    d.editor()->setText(QStringLiteral("31/02/2026"));
    QVERIFY(!d.GetDate().isValid());
    QVERIFY_THROWS_EXCEPTION(EAbort, d.CheckValidDate());
    QCOMPARE(rec->errors, QStringList{QString::fromUtf8("Data inválida: 31/02/2026.")});
    d.editor()->setText(QStringLiteral("01/03/26"));
    d.CheckValidDate();
    QCOMPARE(d.Text(), QStringLiteral("01/03/2026"));
    QCOMPARE(d.NomeSemana.first(), QStringLiteral("Domingo"));
    QCOMPARE(d.NomeSemana.last(), QString::fromUtf8("Sábado"));
}

QTEST_MAIN(TestEdits)
#include "tst_edits.moc"
