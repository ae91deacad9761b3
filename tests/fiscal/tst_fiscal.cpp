// The fiscal rules every side shares, checked on their own with known good
// and bad examples, at their limits.
#include "digits.h"

#include <QTest>

class TestFiscal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // ----- digits only

    void digitsOnly_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("minSize");
        QTest::addColumn<int>("maxSize");
        QTest::addColumn<bool>("all");
        QTest::addColumn<bool>("inRange");
        QTest::newRow("empty") << "" << 0 << 9 << true << true;
        QTest::newRow("empty where one is needed") << "" << 1 << 15 << true << false;
        QTest::newRow("every digit") << "0123456789" << 10 << 10 << true << true;
        QTest::newRow("one more than the most") << "1234567890123456" << 1 << 15 << true << false;
        QTest::newRow("the most") << "123456789012345" << 1 << 15 << true << true;
        QTest::newRow("a letter") << "12a" << 1 << 15 << false << false;
        QTest::newRow("a blank before") << " 12" << 1 << 15 << false << false;
        QTest::newRow("a sign") << "-12" << 1 << 15 << false << false;
        QTest::newRow("a point") << "1.2" << 1 << 15 << false << false;
        QTest::newRow("Arabic-Indic digits") << QStringLiteral("١٢٣") << 1 << 15 << false << false;
        QTest::newRow("full-width digits") << QStringLiteral("１２３") << 1 << 15 << false << false;
        QTest::newRow("a superscript two") << QStringLiteral("1²") << 1 << 15 << false << false;
    }
    void digitsOnly() {
        QFETCH(QString, text);
        QFETCH(int, minSize);
        QFETCH(int, maxSize);
        QTEST(zavfiscal::allDigits(text), "all");
        QTEST(zavfiscal::isDigits(text, minSize, maxSize), "inRange");
        if (minSize == maxSize)
            QTEST(zavfiscal::isDigits(text, minSize), "inRange");
        QCOMPARE(zavfiscal::isDigits(text, text.size()), zavfiscal::allDigits(text));
    }
};

QTEST_GUILESS_MAIN(TestFiscal)
#include "tst_fiscal.moc"
