// The rules every side shares, checked on their own with known good and bad
// examples, at their limits.
#include "accesskey.h"
#include "cnpjcpf.h"
#include "digits.h"
#include "reasonrule.h"
#include "states.h"
#include "wireformat.h"

#include <QSet>
#include <QTimeZone>

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
    // ----- the access key's check digit, modulo 11 (keys worked out by hand)

    void accessKeyCheckDigit_data() {
        QTest::addColumn<QString>("first43");
        QTest::addColumn<int>("digit");
        // One key for every remainder of the weighted sum: 0 and 1 give 0.
        const QString head = QStringLiteral("3524050312345600019555001000000000000000");
        QTest::newRow("remainder 0") << head + "000" << 0;
        QTest::newRow("remainder 1") << head + "006" << 0;
        QTest::newRow("remainder 2") << head + "001" << 9;
        QTest::newRow("remainder 3") << head + "007" << 8;
        QTest::newRow("remainder 4") << head + "002" << 7;
        QTest::newRow("remainder 5") << head + "008" << 6;
        QTest::newRow("remainder 6") << head + "003" << 5;
        QTest::newRow("remainder 7") << head + "009" << 4;
        QTest::newRow("remainder 8") << head + "004" << 3;
        QTest::newRow("remainder 9") << head + "013" << 2;
        QTest::newRow("remainder 10") << head + "005" << 1;
        QTest::newRow("the events' test key") << "3526120312345600019555001000001234100012345" << 2;
        QTest::newRow("42 digits") << head + "00" << -1;
        QTest::newRow("44 digits") << head + "0000" << -1;
        QTest::newRow("a letter") << head + "00A" << -1;
        QTest::newRow("an Arabic-Indic digit") << head + QStringLiteral("00٣") << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void accessKeyCheckDigit() {
        QFETCH(QString, first43);
        QFETCH(int, digit);
        QCOMPARE(zavfiscal::accessKeyCheckDigit(first43), digit);
        QCOMPARE(zavfiscal::completeAccessKey(first43),
                 digit < 0 ? QString() : first43 + QString::number(digit));
        if (digit >= 0) {
            QVERIFY(zavfiscal::isValidAccessKey(first43 + QString::number(digit)));
            for (int other = 0; other <= 9; ++other)
                if (other != digit)
                    QVERIFY2(!zavfiscal::isValidAccessKey(first43 + QString::number(other)),
                             qPrintable(QString::number(other)));
        }
    }

    void accessKeyValidity_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("valid");
        const QString good = QStringLiteral("43261203123456000195550010000056781000567810");
        QTest::newRow("valid") << good << true;
        QTest::newRow("state digits swapped")
            << QStringLiteral("34261203123456000195550010000056781000567810") << false;
        QTest::newRow("43 digits") << good.left(43) << false;
        QTest::newRow("45 digits") << good + "0" << false;
        QTest::newRow("a blank after") << good + " " << false;
        QTest::newRow("a blank inside") << good.left(20) + " " + good.mid(21) << false;
        QTest::newRow("full-width digit") << good.left(43) + QStringLiteral("０") << false;
        QTest::newRow("empty") << QString() << false;
        // The state is not the check digit's business: 99 is no state.
        QTest::newRow("no state, right digit")
            << QStringLiteral("99261203123456000195550010000012341000123450") << true;
    }
    void accessKeyValidity() {
        QFETCH(QString, key);
        QTEST(zavfiscal::isValidAccessKey(key), "valid");
    }

    void accessKeyFields() {
        const QString key = QStringLiteral("43261203123456000195550010000056781000567810");
        QCOMPARE(zavfiscal::accessKeyStateCode(key), QStringLiteral("43"));
        QCOMPARE(zavfiscal::accessKeyIssuerCnpj(key), QStringLiteral("03123456000195"));
    }

    void accessKeyComposedFromItsParts() {
        zavfiscal::AccessKeyParts parts;
        parts.stateCode = QStringLiteral("43");
        parts.issued = QDate(2026, 12, 31);
        parts.issuerCnpj = QStringLiteral("03123456000195");
        parts.series = 1;
        parts.number = 5678;
        parts.code = 56781;
        const QString key = zavfiscal::composeAccessKey(parts);
        QCOMPARE(key, QStringLiteral("43261203123456000195550010000056781000567810"));
        QVERIFY(zavfiscal::isValidAccessKey(key));

        // Each part at the edge of its digits still fits; one past it gives no key.
        parts.series = 999;
        parts.number = 999999999;
        parts.code = 99999999;
        QVERIFY(zavfiscal::isValidAccessKey(zavfiscal::composeAccessKey(parts)));
        const auto changed = [&](auto change) {
            zavfiscal::AccessKeyParts p = parts;
            change(p);
            return zavfiscal::composeAccessKey(p);
        };
        QVERIFY(changed([](auto& p) { p.series = 1000; }).isEmpty());
        QVERIFY(changed([](auto& p) { p.number = 1000000000; }).isEmpty());
        QVERIFY(changed([](auto& p) { p.number = -1; }).isEmpty());
        QVERIFY(changed([](auto& p) { p.code = 100000000; }).isEmpty());
        QVERIFY(changed([](auto& p) { p.form = 10; }).isEmpty());
        QVERIFY(changed([](auto& p) { p.stateCode = QStringLiteral("4"); }).isEmpty());
        QVERIFY(changed([](auto& p) { p.issuerCnpj = QStringLiteral("0312345600019"); }).isEmpty());
        QVERIFY(changed([](auto& p) { p.issued = QDate(); }).isEmpty());
    }
    // ----- CNPJ and CPF

    void registrationNumbers_data() {
        QTest::addColumn<QString>("digits");
        QTest::addColumn<bool>("cnpj");
        QTest::addColumn<bool>("valid");
        QTest::newRow("known CNPJ") << "11222333000181" << true << true;
        QTest::newRow("CNPJ, wrong last digit") << "11222333000182" << true << false;
        QTest::newRow("CNPJ, wrong first check digit") << "11222333000191" << true << false;
        QTest::newRow("CNPJ with a check digit 0") << "11444777000161" << true << true;
        QTest::newRow("CNPJ with a first check digit 0") << "11222333000009" << true << true;
        QTest::newRow("CNPJ too short") << "1122233300018" << true << false;
        QTest::newRow("CNPJ too long") << "112223330001810" << true << false;
        QTest::newRow("CNPJ under its mask") << "11.222.333/0001-81" << true << false;
        QTest::newRow("CNPJ with a letter") << "1122233300018A" << true << false;
        // Fourteen zeros pass the arithmetic, and were always taken as a CNPJ.
        QTest::newRow("CNPJ of zeros") << "00000000000000" << true << true;
        QTest::newRow("CNPJ, empty") << "" << true << false;
        QTest::newRow("known CPF") << "52998224725" << false << true;
        QTest::newRow("CPF ending 09") << "12345678909" << false << true;
        QTest::newRow("CPF, wrong first check digit") << "52998224735" << false << false;
        QTest::newRow("CPF, wrong last digit") << "52998224726" << false << false;
        QTest::newRow("CPF with both check digits 0") << "52998205500" << false << true;
        QTest::newRow("CPF of equal digits") << "11111111111" << false << false;
        QTest::newRow("CPF of zeros") << "00000000000" << false << false;
        QTest::newRow("CPF with letters") << "5299822472A" << false << false;
        QTest::newRow("CPF too short") << "5299822472" << false << false;
        QTest::newRow("CPF under its mask") << "529.982.247-25" << false << false;
        QTest::newRow("a CNPJ is no CPF") << "11222333000181" << false << false;
        QTest::newRow("a CPF is no CNPJ") << "52998224725" << true << false;
    }
    void registrationNumbers() {
        QFETCH(QString, digits);
        QFETCH(bool, cnpj);
        QFETCH(bool, valid);
        QCOMPARE(cnpj ? zavfiscal::isValidCnpj(digits) : zavfiscal::isValidCpf(digits), valid);
        // A valid number is the completion of its start.
        const QString start = digits.left(cnpj ? 12 : 9);
        if (valid)
            QCOMPARE(cnpj ? zavfiscal::completeCnpj(start) : zavfiscal::completeCpf(start), digits);
    }

    void registrationStartsRefused() {
        QCOMPARE(zavfiscal::completeCnpj(u"11222333000"), QString());
        QCOMPARE(zavfiscal::completeCnpj(u"1122233300018"), QString());
        QCOMPARE(zavfiscal::completeCnpj(u"11222333000A"), QString());
        QCOMPARE(zavfiscal::completeCpf(u"52998224"), QString());
        QCOMPARE(zavfiscal::completeCpf(u"5299822470"), QString());
        QCOMPARE(zavfiscal::completeCpf(u""), QString());
    }

    // ----- the states

    void states_data() {
        QTest::addColumn<QString>("abbreviation");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("offsetHours");
        // IBGE's table of the federative units, and each one's legal time.
        const struct {
            const char* abbreviation;
            const char* code;
            int hours;
        } table[] = {
            {"RO", "11", -4}, {"AC", "12", -5}, {"AM", "13", -4}, {"RR", "14", -4}, {"PA", "15", -3},
            {"AP", "16", -3}, {"TO", "17", -3}, {"MA", "21", -3}, {"PI", "22", -3}, {"CE", "23", -3},
            {"RN", "24", -3}, {"PB", "25", -3}, {"PE", "26", -3}, {"AL", "27", -3}, {"SE", "28", -3},
            {"BA", "29", -3}, {"MG", "31", -3}, {"ES", "32", -3}, {"RJ", "33", -3}, {"SP", "35", -3},
            {"PR", "41", -3}, {"SC", "42", -3}, {"RS", "43", -3}, {"MS", "50", -4}, {"MT", "51", -4},
            {"GO", "52", -3}, {"DF", "53", -3},
        };
        for (const auto& row : table)
            QTest::newRow(row.abbreviation)
                << QString::fromLatin1(row.abbreviation) << QString::fromLatin1(row.code) << row.hours;
    }
    void states() {
        QFETCH(QString, abbreviation);
        QFETCH(QString, code);
        QFETCH(int, offsetHours);
        const zavfiscal::State* byAbbreviation = zavfiscal::stateByAbbreviation(abbreviation);
        QVERIFY(byAbbreviation);
        QCOMPARE(QString::fromLatin1(byAbbreviation->code), code);
        QCOMPARE(byAbbreviation->utcOffsetSeconds, offsetHours * 3600);
        QCOMPARE(zavfiscal::stateByCode(code), byAbbreviation);
        QCOMPARE(zavfiscal::utcOffsetOfCode(code), offsetHours * 3600);
        QCOMPARE(zavfiscal::stateByAbbreviation(abbreviation.toLower()), nullptr);
        QCOMPARE(zavfiscal::stateByAbbreviation(abbreviation.toLower(), Qt::CaseInsensitive), byAbbreviation);
    }

    void everyStateOnce() {
        QSet<QString> abbreviations, codes;
        QString previous;
        for (const zavfiscal::State& s : zavfiscal::allStates()) {
            abbreviations.insert(QString::fromLatin1(s.abbreviation));
            codes.insert(QString::fromLatin1(s.code));
            QVERIFY2(previous < QLatin1String(s.code), s.code);
            previous = QString::fromLatin1(s.code);
        }
        QCOMPARE(zavfiscal::allStates().size(), std::size_t(27));
        QCOMPARE(abbreviations.size(), 27);
        QCOMPARE(codes.size(), 27);
    }

    void noState_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("the national organ") << "91";
        QTest::newRow("one digit") << "3";
        QTest::newRow("three digits") << "035";
        QTest::newRow("a code with a blank") << "35 ";
        QTest::newRow("no such abbreviation") << "XX";
        QTest::newRow("an abbreviation with a blank") << "SP ";
        QTest::newRow("a name") << "São Paulo";
    }
    void noState() {
        QFETCH(QString, text);
        QCOMPARE(zavfiscal::stateByCode(text), nullptr);
        QCOMPARE(zavfiscal::utcOffsetOfCode(text), 0);
        QCOMPARE(zavfiscal::stateByAbbreviation(text, Qt::CaseInsensitive), nullptr);
    }

    void legalDateTime_data() {
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<int>("offsetHours");
        QTest::addColumn<QString>("offsetText");
        QTest::addColumn<QString>("written");
        const QDateTime noonUtc(QDate(2026, 12, 8), QTime(13, 0, 0), Qt::UTC);
        QTest::newRow("Brasília") << noonUtc << -3 << "-03:00"
                                  << "2026-12-08T10:00:00-03:00";
        QTest::newRow("Acre") << noonUtc << -5 << "-05:00"
                              << "2026-12-08T08:00:00-05:00";
        QTest::newRow("the day before")
            << QDateTime(QDate(2024, 1, 1), QTime(2, 30, 15), Qt::UTC) << -4 << "-04:00"
            << "2023-12-31T22:30:15-04:00";
        QTest::newRow("already in the state's time")
            << QDateTime(QDate(2026, 12, 8), QTime(10, 0, 0), QTimeZone(-3 * 3600)) << -3 << "-03:00"
            << "2026-12-08T10:00:00-03:00";
        QTest::newRow("UTC") << noonUtc << 0 << "+00:00"
                             << "2026-12-08T13:00:00+00:00";
        QTest::newRow("east of UTC") << noonUtc << 1 << "+01:00"
                                     << "2026-12-08T14:00:00+01:00";
        QTest::newRow("milliseconds dropped") << noonUtc.addMSecs(999) << -3 << "-03:00"
                                              << "2026-12-08T10:00:00-03:00";
    }
    void legalDateTime() {
        QFETCH(QDateTime, moment);
        QFETCH(int, offsetHours);
        QTEST(zavfiscal::utcOffsetText(offsetHours * 3600), "offsetText");
        QTEST(zavfiscal::legalDateTime(moment, offsetHours * 3600), "written");
    }
    // ----- the cancellation reason

    void reasonRule_data() {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<int>("length");
        QTest::addColumn<uint>("character");
        QTest::addColumn<QString>("message");
        using F = zavfiscal::ReasonFault;
        const QString fifteen = QStringLiteral("Nota com erro 1");
        const QString empty = QStringLiteral("Motivo do cancelamento deve ser informado.");
        const QString tooShort =
            QStringLiteral("Motivo do cancelamento deve conter no mínimo de 15 caracteres.");
        const QString tooLong =
            QStringLiteral("A justificativa deve ter no máximo 255 caracteres (tem 256).");
        const QString lineBreak = QStringLiteral("A justificativa não pode ter quebras de linha.");
        const QString tab = QStringLiteral("A justificativa não pode ter tabulações.");
        auto row = [](const char* name, const QString& reason, F fault, const QString& kept, qsizetype length,
                      const QString& message, char32_t character = 0) {
            QTest::newRow(name) << reason << int(fault) << kept << int(length) << uint(character) << message;
        };
        // A character the NF-e refuses, in the middle of a reason of 27 or 28
        // characters; shown: how the message names it.
        auto refused = [](const char* name, const QString& inside, qsizetype length, char32_t character,
                          const QString& shown) {
            const QString reason = QStringLiteral("Erro de digitação") + inside + QStringLiteral("no valor");
            QTest::newRow(name)
                << reason << int(F::BadCharacter) << reason << int(length) << uint(character)
                << QStringLiteral("A justificativa tem um caractere não aceito pela SEFAZ (%1).").arg(shown);
        };

        row("empty", QString(), F::Empty, QString(), 0, empty);
        row("only blanks", QStringLiteral("   \t \n "), F::Empty, QString(), 0, empty);
        row("one character", QStringLiteral("x"), F::TooShort, QStringLiteral("x"), 1, tooShort);
        row("14", QStringLiteral("Nota com erro."), F::TooShort, QStringLiteral("Nota com erro."), 14,
            tooShort);
        row("14 after trimming", QStringLiteral("  Nota com erro. \t "), F::TooShort,
            QStringLiteral("Nota com erro."), 14, tooShort);
        row("short before bad", QStringLiteral("Erro “x”"), F::TooShort, QStringLiteral("Erro “x”"), 8,
            tooShort);
        row("15", fifteen, F::None, fifteen, 15, QString());
        row("15 after trimming", QStringLiteral("   ") + fifteen + QStringLiteral("\n "), F::None, fifteen,
            15, QString());
        row("255", QString(255, u'x'), F::None, QString(255, u'x'), 255, QString());
        row("255 of the last Latin-1 letter", QString(255, u'ÿ'), F::None, QString(255, u'ÿ'), 255,
            QString());
        row("255 and blanks around", QStringLiteral(" ") + QString(255, u'y') + QStringLiteral(" "), F::None,
            QString(255, u'y'), 255, QString());
        row("256", QString(256, u'y'), F::TooLong, QString(256, u'y'), 256, tooLong);
        row("256 with blanks around", QStringLiteral("  ") + QString(256, u'y') + QStringLiteral("  "),
            F::TooLong, QString(256, u'y'), 256, tooLong);
        const QString latin1 = QStringLiteral("Devolução à cliente: preço <'\"> & ~ ^ ª º © ÿ");
        row("accents and signs of Latin-1", latin1, F::None, latin1, 45, QString());
        const QString noBreak = QStringLiteral("Erro de\u00A0digitação");
        row("a no-break space inside", noBreak, F::None, noBreak, 17, QString());
        const QString feed = QStringLiteral("Erro de digitação\nno valor");
        row("line feed inside", feed, F::LineBreak, feed, 26, lineBreak, U'\n');
        const QString carriage = QStringLiteral("Erro de digitação\rno valor");
        row("carriage return inside", carriage, F::LineBreak, carriage, 26, lineBreak, U'\r');
        const QString tabbed = QStringLiteral("Erro de digitação\tno valor");
        row("tab inside", tabbed, F::Tab, tabbed, 26, tab, U'\t');
        const QString both = QStringLiteral("Erro\tde digitação\nno valor");
        row("the first fault is told", both, F::Tab, both, 26, tab, U'\t');
        refused("C0 control", QStringLiteral("\u0001 "), 27, 0x01, QStringLiteral("U+0001"));
        refused("last below the blank", QStringLiteral("\u001F "), 27, 0x1F, QStringLiteral("U+001F"));
        refused("delete", QStringLiteral("\u007F "), 27, 0x7F, QStringLiteral("U+007F"));
        refused("C1 control", QStringLiteral("\u0093 "), 27, 0x93, QStringLiteral("U+0093"));
        refused("last C1 control", QStringLiteral("\u009F "), 27, 0x9F, QStringLiteral("U+009F"));
        refused("first past Latin-1", QStringLiteral(" \u0100 "), 28, 0x100,
                QStringLiteral("U+0100 “\u0100”"));
        refused("typographic quote", QStringLiteral(" “ "), 28, 0x201C, QStringLiteral("U+201C ““”"));
        refused("a dash", QStringLiteral(" – "), 28, 0x2013, QStringLiteral("U+2013 “–”"));
        refused("an unpaired surrogate", QStringLiteral(" ") + QChar(0xD800) + QStringLiteral(" "), 28,
                0xFFFD, QStringLiteral("U+FFFD “\uFFFD”"));
        // Characters, not UTF-16 units: 14 letters and an emoji make 15.
        const QString emoji = QStringLiteral("Erro no valor 😀");
        row("an emoji counts once", emoji, F::BadCharacter, emoji, 15,
            QStringLiteral("A justificativa tem um caractere não aceito pela SEFAZ (U+1F600 “😀”)."), 0x1F600);
    }
    void reasonRule() {
        QFETCH(QString, reason);
        QFETCH(int, fault);
        const zavfiscal::ReasonCheck checked = zavfiscal::checkReason(reason);
        QCOMPARE(int(checked.fault), fault);
        QCOMPARE(checked.ok(), fault == int(zavfiscal::ReasonFault::None));
        QTEST(checked.reason, "kept");
        QTEST(int(checked.length), "length");
        QTEST(uint(checked.character), "character");
        QTEST(checked.message(), "message");
        // Every message fits the failure row's 100 characters whole.
        QVERIFY2(checked.message().size() <= 100, qPrintable(checked.message()));
    }
    // ----- the data packet's names on the wire

    // Each kind of value named once for both sides, with and without its
    // article, and the kind each field type holds.
    void valueKinds() {
        using K = zavwire::ValueKind;
        QCOMPARE(zavwire::kindName(K::Number), QStringLiteral("número"));
        QCOMPARE(zavwire::kindWithArticle(K::Number), QStringLiteral("um número"));
        QCOMPARE(zavwire::kindWithArticle(K::List), QStringLiteral("uma lista"));
        QCOMPARE(zavwire::kindWithArticle(K::Date), QStringLiteral("uma data"));
        QCOMPARE(zavwire::kindWithArticle(K::Null), QStringLiteral("nulo"));
        QCOMPARE(zavwire::kindName(K::Bool), QStringLiteral("valor lógico"));
        QCOMPARE(zavwire::kindName(zavwire::kindOf(zavwire::FieldType::DateTime)), QStringLiteral("data"));
        QCOMPARE(zavwire::kindName(zavwire::kindOf(zavwire::FieldType::Integer)),
                 QStringLiteral("número inteiro"));
        QCOMPARE(zavwire::kindName(zavwire::kindOf(zavwire::FieldType::String)), QStringLiteral("texto"));
        QCOMPARE(zavwire::kindName(zavwire::kindOf(zavwire::FieldType::Float)), QStringLiteral("número"));
    }

    void fieldTypes_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type"); // -1: no type has that name
        using T = zavwire::FieldType;
        QTest::newRow("string") << "string" << int(T::String);
        QTest::newRow("datetime") << "datetime" << int(T::DateTime);
        QTest::newRow("float") << "float" << int(T::Float);
        QTest::newRow("integer") << "integer" << int(T::Integer);
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("capitals") << "String" << -1;
        QTest::newRow("a blank after") << "float " << -1;
        QTest::newRow("a date") << "date" << -1;
        QTest::newRow("a blob") << "blob" << -1;
    }
    void fieldTypes() {
        QFETCH(QString, name);
        QFETCH(int, type);
        if (type < 0) {
            QCOMPARE(zavwire::fieldTypeNamed(name), std::nullopt);
            return;
        }
        const auto t = zavwire::FieldType(type);
        QCOMPARE(zavwire::fieldTypeNamed(name), std::optional(t));
        QCOMPARE(QString(zavwire::fieldTypeName(t)), name);
    }

    void dateFormats() {
        const QDateTime moment(QDate(2024, 12, 31), QTime(23, 59, 58, 7));
        QCOMPARE(moment.date().toString(zavwire::kDateFormat), QStringLiteral("2024-12-31"));
        QCOMPARE(moment.toString(zavwire::kDateTimeFormat), QStringLiteral("2024-12-31T23:59:58"));
        QCOMPARE(moment.toString(zavwire::kDateTimeMsFormat), QStringLiteral("2024-12-31T23:59:58.007"));
        QCOMPARE(QDate::fromString(QStringLiteral("2024-02-29"), zavwire::kDateFormat), QDate(2024, 2, 29));
        QVERIFY(!QDate::fromString(QStringLiteral("2023-02-29"), zavwire::kDateFormat).isValid());
        QVERIFY(!QDate::fromString(QStringLiteral("31/12/2024"), zavwire::kDateFormat).isValid());
        QCOMPARE(QDateTime::fromString(QStringLiteral("2024-12-31T23:59:58.007"), zavwire::kDateTimeMsFormat),
                 moment);
    }

    void asciiTexts() {
        // Every length up to three words, a byte of the high half at each
        // place in turn (the words read overlap at the end), and none.
        for (int n = 0; n <= 24; ++n) {
            QByteArray text(n, 'a');
            QVERIFY(zavwire::isAscii(text.constData(), n));
            for (int at = 0; at < n; ++at) {
                for (const char high : {'\x80', '\xC3', '\xFF'}) {
                    text[at] = high;
                    QVERIFY2(!zavwire::isAscii(text.constData(), n),
                             qPrintable(QStringLiteral("%1 at %2").arg(n).arg(at)));
                }
                text[at] = '\x7F';
                QVERIFY(zavwire::isAscii(text.constData(), n));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestFiscal)
#include "tst_fiscal.moc"
