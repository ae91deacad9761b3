// The data packet: what survives a trip through JSON and CBOR, what a decoder
// refuses (and that it says why), and edits of the column storage.
#include "data/datapacket.h"
#include "data/edatabaseerror.h"
#include "data/field.h"
#include "services/exceptions.h"
#include "testtools.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamWriter>
#include <QCborValue>
#include <QJsonDocument>
#include <QTest>

#include <numeric>
#include <optional>
#include <vector>

namespace {

const QString kRefused = QStringLiteral("Resposta inválida do servidor: ");

DataPacket sample() {
    DataPacket p({{QStringLiteral("S"), ftString, 10},
                  {QStringLiteral("D"), ftDateTime, 0},
                  {QStringLiteral("V"), ftFloat, 0},
                  {QStringLiteral("N"), ftInteger, 0}});
    const QList<QVariantList> rows = {
        {QStringLiteral("Ação Ltda"), QDateTime(QDate(2024, 2, 29), QTime(0, 0)), 1234.56, 7},
        {QString(""), QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58)), -0.5, -9000000000LL},
        {QVariant(), QVariant(), QVariant(), QVariant()},
        {QStringLiteral("日本 \"x\" 'y'"), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 678)), 1e15, 0},
    };
    for (const QVariantList& row : rows) {
        const int r = p.appendRow();
        for (int c = 0; c < row.size(); ++c)
            p.setValue(r, c, row.at(c));
    }
    return p;
}

QByteArray toCbor(const QByteArray& json) {
    return QCborValue::fromJsonValue(QJsonDocument::fromJson(json).object()).toCbor();
}

DataPacket decode(const QString& encoding, const QByteArray& bytes) {
    if (encoding == u"json")
        return DataPacket::fromJson(QJsonDocument::fromJson(bytes).object());
    return DataPacket::fromCbor(bytes);
}

} // namespace

class tst_DataPacket : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A value a field cannot hold is refused naming the field's kind, accents
    // as written.
    void wrongValueNamesTheFieldsKind() {
        const auto said = [](const QVariant& raw, TFieldType type) {
            try {
                TField::convert(raw, type, QStringLiteral("CAMPO"));
            } catch (const EDatabaseError& e) {
                return e.text();
            }
            return QStringLiteral("(aceito)");
        };
        QCOMPARE(said(QStringLiteral("abc"), ftFloat),
                 QStringLiteral("O valor \"abc\" do campo CAMPO não é um número."));
        QCOMPARE(said(QStringLiteral("1,5x"), ftInteger),
                 QStringLiteral("O valor \"1,5x\" do campo CAMPO não é um número inteiro."));
        QCOMPARE(said(QStringLiteral("31/02/2026"), ftDateTime),
                 QStringLiteral("O valor \"31/02/2026\" do campo CAMPO não é uma data."));
        QCOMPARE(said(QStringLiteral("2026-12-09"), ftDateTime), QStringLiteral("(aceito)"));
    }
    void roundTrip_data();
    void roundTrip();
    void refused_data();
    void refused();
    void cborOnlyRefusals_data();
    void cborOnlyRefusals();
    void nullsAreNotEmptyStrings();
    void editsInPlaceAndAppended();
    void copiesAreIndependent();
    void selectKeepsOrderAndValues();
    void textCellsWhateverTheirWidths_data();
    void textCellsWhateverTheirWidths();
    void nullsOfAWideColumnCostLittle();
};

void tst_DataPacket::roundTrip_data() {
    QTest::addColumn<QString>("encoding");
    QTest::newRow("json") << QStringLiteral("json");
    QTest::newRow("cbor") << QStringLiteral("cbor");
}

void tst_DataPacket::roundTrip() {
    QFETCH(QString, encoding);
    const DataPacket p = sample();
    const QByteArray bytes =
        encoding == u"json" ? QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact) : p.toCbor();
    const DataPacket back = decode(encoding, bytes);
    zavtest::comparePackets(p, back);
    // A date without a time of day travels as a bare day, as the server's do.
    QVERIFY(QJsonDocument(p.toJson()).toJson().contains("\"2024-02-29\""));
    QVERIFY(QJsonDocument(p.toJson()).toJson().contains("\"1999-12-31T23:59:58\""));
}

void tst_DataPacket::refused_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("message");

    const QByteArray two =
        R"("fields":[{"name":"A","type":"string","size":1},{"name":"D","type":"datetime","size":0}])";
    QTest::newRow("no packet") << QByteArray(R"({"result":1})")
                               << QStringLiteral("pacote sem a lista de campos");
    QTest::newRow("no rows") << QByteArray("{" + two + "}") << QStringLiteral("pacote sem a lista de linhas");
    QTest::newRow("unknown type") << QByteArray(
                                         R"({"fields":[{"name":"A","type":"blob","size":0}],"rows":[]})")
                                  << QStringLiteral("campo A: tipo desconhecido");
    QTest::newRow("nameless field") << QByteArray(R"({"fields":[{"type":"string","size":1}],"rows":[]})")
                                    << QStringLiteral("o campo 1 não tem nome");
    QTest::newRow("repeated field")
        << QByteArray(R"({"fields":[{"name":"A","type":"string"},{"name":"a","type":"string"}],"rows":[]})")
        << QStringLiteral("campo a repetido");
    QTest::newRow("short row") << QByteArray("{" + two + R"(,"rows":[["x"]]})")
                               << QStringLiteral("a linha 1 tem 1 valores, esperados 2");
    QTest::newRow("long row") << QByteArray("{" + two + R"(,"rows":[["x","2024-01-01","y"]]})")
                              << QStringLiteral("a linha 1 tem");
    QTest::newRow("row not a list") << QByteArray("{" + two + R"(,"rows":[["x","2024-01-01"],{"a":1}]})")
                                    << QStringLiteral("a linha 2 não é uma lista");
    QTest::newRow("number for a string")
        << QByteArray("{" + two + R"(,"rows":[[5,"2024-01-01"]]})")
        << QStringLiteral("campo A, linha 1: esperado texto, recebido número");
    QTest::newRow("day in local notation") << QByteArray("{" + two + R"(,"rows":[["x","31/12/2024"]]})")
                                           << QStringLiteral("campo D, linha 1: esperado data");
    QTest::newRow("impossible day") << QByteArray("{" + two + R"(,"rows":[["x","2023-02-29"]]})")
                                    << QStringLiteral("campo D, linha 1: esperado data");
    // Two bytes a character: the limit is on the text's UTF-8 bytes.
    QTest::newRow("text too long") << QByteArray("{" + two + R"(,"rows":[[")" +
                                                 QString(DataPacket::kMaxTextBytes / 2 + 1, u'é').toUtf8() +
                                                 R"(","2024-01-01"]]})")
                                   << QStringLiteral("texto de");
    QTest::newRow("text for a float")
        << QByteArray(R"({"fields":[{"name":"V","type":"float"}],"rows":[["12,50"]]})")
        << QStringLiteral("campo V, linha 1: esperado número, recebido texto");
    QTest::newRow("fraction for an integer")
        << QByteArray(R"({"fields":[{"name":"N","type":"integer"}],"rows":[[1.5]]})")
        << QStringLiteral("campo N, linha 1: esperado número inteiro");
}

void tst_DataPacket::refused() {
    QFETCH(QByteArray, json);
    QFETCH(QString, message);
    for (const QString& encoding : {QStringLiteral("json"), QStringLiteral("cbor")}) {
        const QByteArray bytes = encoding == u"json" ? json : toCbor(json);
        try {
            decode(encoding, bytes);
            QFAIL(qPrintable(encoding + QStringLiteral(": accepted")));
        } catch (const EZavError& e) {
            QVERIFY2(e.text().startsWith(kRefused + message), qPrintable(encoding + u' ' + e.text()));
        }
    }
}

void tst_DataPacket::cborOnlyRefusals_data() {
    QTest::addColumn<QByteArray>("cbor");
    QTest::addColumn<QString>("message");

    auto packet = [](const QByteArray& text) {
        QByteArray out;
        QCborStreamWriter w(&out);
        w.startMap(2);
        w.append(QLatin1StringView("fields"));
        w.startArray(1);
        w.startMap(2);
        w.append(QLatin1StringView("name"));
        w.append(QLatin1StringView("A"));
        w.append(QLatin1StringView("type"));
        w.append(QLatin1StringView("string"));
        w.endMap();
        w.endArray();
        w.append(QLatin1StringView("rows"));
        w.startArray(1);
        w.startArray(1);
        w.appendTextString(text.constData(), text.size());
        w.endArray();
        w.endArray();
        w.endMap();
        return out;
    };
    QTest::newRow("invalid UTF-8") << packet("ab\xC3\x28") << QStringLiteral("texto que não é UTF-8 válido");
    const QByteArray good = packet("abc");
    QTest::newRow("cut short") << good.left(good.size() - 3) << QStringLiteral("CBOR malformado");

    QCborMap rowsFirst;
    rowsFirst.insert(QStringLiteral("rows"), QCborArray{QCborArray{QStringLiteral("x")}});
    rowsFirst.insert(QStringLiteral("fields"),
                     QCborArray{QCborMap{{QStringLiteral("name"), QStringLiteral("A")},
                                         {QStringLiteral("type"), QStringLiteral("string")}}});
    QTest::newRow("rows before fields")
        << rowsFirst.toCborValue().toCbor()
        << QStringLiteral("o pacote deve trazer a lista de campos antes das linhas");
    QTest::newRow("trailing bytes") << good + QByteArray("\x01", 1) << QStringLiteral("dados a mais");
}

void tst_DataPacket::cborOnlyRefusals() {
    QFETCH(QByteArray, cbor);
    QFETCH(QString, message);
    try {
        DataPacket::fromCbor(cbor);
        QFAIL("accepted");
    } catch (const EZavError& e) {
        QVERIFY2(e.text().startsWith(kRefused + message), qPrintable(e.text()));
    }
}

void tst_DataPacket::nullsAreNotEmptyStrings() {
    const DataPacket p = sample();
    QVERIFY(!p.isNull(1, 0));
    QCOMPARE(p.value(1, 0).toString(), QString());
    QVERIFY(p.isNull(2, 0));
    QCOMPARE(p.value(2, 0).metaType(), QMetaType::fromType<QString>());
    QVERIFY(p.value(2, 2).isNull());
    // Through JSON a NULL stays a NULL and "" stays "".
    const DataPacket back = DataPacket::fromJson(p.toJson());
    QVERIFY(back.isNull(2, 0));
    QVERIFY(!back.isNull(1, 0));
}

void tst_DataPacket::editsInPlaceAndAppended() {
    DataPacket p({{QStringLiteral("C"), ftString, 50}});
    for (int i = 0; i < 3; ++i)
        p.setValue(p.appendRow(), 0, QStringLiteral("U"));
    const qsizetype before = p.storageBytes();
    for (int round = 0; round <= 100; ++round)
        for (int r = 0; r < 3; ++r)
            p.setValue(r, 0, round % 2 ? QStringLiteral("U") : QStringLiteral("C"));
    // Same-length values reuse their bytes: a hundred passes cost nothing.
    QCOMPARE(p.storageBytes(), before);
    p.setValue(1, 0, QStringLiteral("Nota emitida com o valor errado"));
    QCOMPARE(p.value(0, 0).toString(), QStringLiteral("C"));
    QCOMPARE(p.value(1, 0).toString(), QStringLiteral("Nota emitida com o valor errado"));
    QCOMPARE(p.value(2, 0).toString(), QStringLiteral("C"));
    p.setNull(2, 0);
    QVERIFY(p.isNull(2, 0));
    p.setValue(2, 0, QStringLiteral("ok"));
    QCOMPARE(p.value(2, 0).toString(), QStringLiteral("ok"));

    QVERIFY_THROWS_EXCEPTION(EZavError, p.setValue(0, 0, QString(DataPacket::kMaxTextBytes + 1, u'x')));
    QCOMPARE(p.value(0, 0).toString(), QStringLiteral("C"));

    DataPacket d({{QStringLiteral("D"), ftDateTime, 0}});
    d.appendRow();
    QVERIFY_THROWS_EXCEPTION(EZavError, d.setValue(0, 0, QStringLiteral("amanhã")));
    QVERIFY(d.isNull(0, 0));
}

void tst_DataPacket::copiesAreIndependent() {
    DataPacket a = sample();
    const DataPacket b = a;
    a.setValue(0, 0, QStringLiteral("mudado"));
    QCOMPARE(b.value(0, 0).toString(), QStringLiteral("Ação Ltda"));
    QCOMPARE(a.value(0, 0).toString(), QStringLiteral("mudado"));
    const QVariant v = QVariant::fromValue(b);
    QCOMPARE(v.value<DataPacket>().value(0, 0).toString(), QStringLiteral("Ação Ltda"));
}

void tst_DataPacket::selectKeepsOrderAndValues() {
    DataPacket p = sample();
    p.setValue(3, 0, QStringLiteral("longer than before, appended"));
    const std::vector<int> order{3, 0, 2, 1};
    const DataPacket s = p.select(order);
    QCOMPARE(s.rowCount(), 4);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < p.fieldCount(); ++c) {
            QCOMPARE(s.isNull(r, c), p.isNull(order[size_t(r)], c));
            QCOMPARE(s.value(r, c), p.value(order[size_t(r)], c));
        }
    // Storage of its own: the superseded bytes are not carried along.
    QVERIFY(s.storageBytes() < p.storageBytes());
}

// Text columns are stored compactly while their cells share a width; whatever
// the mix of widths, NULLs and edits, every cell reads back as written: after
// each step, through CBOR (decoded row by row into the columns), through JSON,
// and in a selection.
void tst_DataPacket::textCellsWhateverTheirWidths_data() {
    QTest::addColumn<QStringList>("script");
    // One step a word: "+w" appends a row with a text of w characters, "+-"
    // a NULL row, "r=w" and "r=-" set row r; texts differ per row and step.
    QTest::newRow("one width") << QStringList{"+44", "+44", "+44", "1=44", "+44"};
    QTest::newRow("empty texts") << QStringList{"+0", "+0", "+-", "+0", "2=0"};
    QTest::newRow("another width at the end") << QStringList{"+3", "+3", "+3", "+5"};
    QTest::newRow("an edit of another width") << QStringList{"+3", "+3", "+3", "1=7", "+3", "1=2"};
    QTest::newRow("NULLs first") << QStringList{"+-", "+-", "+-", "+2", "+2", "+-", "+2"};
    QTest::newRow("NULL rows only, then an edit") << QStringList{"+-", "+-", "+-", "1=1", "2=1", "+-"};
    QTest::newRow("NULL rows only, then a wide edit") << QStringList{"+-", "+-", "0=30"};
    QTest::newRow("NULLs between") << QStringList{"+15", "+-", "+15", "+-", "0=-", "3=15", "+15"};
    QTest::newRow("accents") << QStringList{"+é3", "+é3", "+3", "0=é3"};
}

void tst_DataPacket::textCellsWhateverTheirWidths() {
    QFETCH(QStringList, script);
    DataPacket p({{QStringLiteral("T"), ftString, 100}, {QStringLiteral("N"), ftInteger, 0}});
    std::vector<std::optional<QString>> model;
    int step = 0;
    // A text of w characters (é counts as one, two bytes) that no other step writes.
    auto text = [&step](const QString& cell) {
        const bool accent = cell.startsWith(u'é');
        const int w = cell.mid(accent ? 1 : 0).toInt();
        QString t = QString::number(step).rightJustified(w, u'x', true);
        if (accent && w > 0)
            t[0] = u'é';
        return t;
    };
    auto check = [&](const DataPacket& q, const char* where) {
        QVERIFY2(q.rowCount() == int(model.size()), where);
        for (int r = 0; r < q.rowCount(); ++r) {
            const std::optional<QString>& want = model[size_t(r)];
            QVERIFY2(q.isNull(r, 0) == !want.has_value(),
                     qPrintable(QStringLiteral("%1 row %2").arg(where).arg(r)));
            if (want)
                QCOMPARE(q.value(r, 0).toString(), *want);
            QCOMPARE(q.value(r, 1).toLongLong(), qlonglong(r));
        }
    };
    for (const QString& word : script) {
        ++step;
        const bool append = word.startsWith(u'+');
        const int r = append ? p.appendRow() : word.section(u'=', 0, 0).toInt();
        if (append) {
            model.emplace_back();
            p.setValue(r, 1, r);
        }
        const QString cell = append ? word.mid(1) : word.section(u'=', 1);
        if (cell == u"-") {
            p.setNull(r, 0);
            model[size_t(r)].reset();
        } else {
            const QString t = text(cell);
            p.setValue(r, 0, t);
            model[size_t(r)] = t;
        }
        check(p, "packet");
        check(DataPacket::fromCbor(p.toCbor()), "CBOR");
        check(DataPacket::fromJson(p.toJson()), "JSON");
    }
    std::vector<int> all(model.size());
    std::iota(all.begin(), all.end(), 0);
    check(p.select(all), "selection");
}

// NULLs after a wide first text do not each keep a slot of that width: a
// packet that says "NULL" a hundred thousand times after one long text stays
// about as small as one that says it without the text.
void tst_DataPacket::nullsOfAWideColumnCostLittle() {
    const QString wide(DataPacket::kMaxTextBytes, u'x');
    auto packet = [](const QCborArray& rows) {
        const QCborArray fields{QCborMap{{QStringLiteral("name"), QStringLiteral("T")},
                                         {QStringLiteral("type"), QStringLiteral("string")},
                                         {QStringLiteral("size"), 100}}};
        return DataPacket::fromCbor(
            QCborMap{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}}
                .toCborValue()
                .toCbor());
    };
    // Offsets and lengths for every row, the long text and the little the
    // column held before it knew: well under the text's width times the rows.
    auto small = [](const DataPacket& p) {
        return p.storageBytes() <
               qsizetype(p.rowCount()) * 6 + 4 * qsizetype(DataPacket::kMaxTextBytes) + qsizetype(256) * 1024;
    };
    constexpr int kNulls = 20000;
    QCborArray wideFirst{QCborArray{wide}};
    QCborArray wideLast;
    for (int i = 0; i < kNulls; ++i) {
        wideFirst.append(QCborArray{QCborValue(nullptr)});
        wideLast.append(QCborArray{QCborValue(nullptr)});
    }
    wideLast.append(QCborArray{wide});
    const DataPacket first = packet(wideFirst);
    QCOMPARE(first.rowCount(), kNulls + 1);
    QCOMPARE(first.value(0, 0).toString(), wide);
    QVERIFY(first.isNull(kNulls, 0));
    QVERIFY2(small(first), qPrintable(QString::number(first.storageBytes())));
    const DataPacket last = packet(wideLast);
    QVERIFY(last.isNull(0, 0));
    QCOMPARE(last.value(kNulls, 0).toString(), wide);
    QVERIFY2(small(last), qPrintable(QString::number(last.storageBytes())));
    // The same through edits: a wide text set on a column of NULL rows.
    DataPacket edited({{QStringLiteral("T"), ftString, 100}});
    for (int i = 0; i < kNulls; ++i)
        edited.appendRow();
    edited.setValue(kNulls / 2, 0, wide);
    QCOMPARE(edited.value(kNulls / 2, 0).toString(), wide);
    QVERIFY(edited.isNull(0, 0));
    QVERIFY2(small(edited), qPrintable(QString::number(edited.storageBytes())));
}

QTEST_GUILESS_MAIN(tst_DataPacket)
#include "tst_datapacket.moc"
