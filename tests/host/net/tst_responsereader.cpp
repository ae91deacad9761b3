// An answer read as its bytes arrive: whatever the pieces it comes in (a row,
// a text or a character cut between two), the list is the one the whole body
// gives; an answer cut anywhere, or malformed anywhere, is refused as the
// whole body is, and never taken for a shorter list.
#include "cborrowsoracle.h"
#include "data/datapacket.h"
#include "net/jsonrpccodec.h"
#include "services/exceptions.h"
#include "testtools.h"

#include <QCborMap>
#include <QCborStreamWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <functional>

namespace {

const QString kId = QStringLiteral("5f0c1d2e3a4b5c6d7e8f901a2b3c4d5e");
const QString kEndpoint = QStringLiteral("http://127.0.0.1:1/ZAV50000.rdmCancelaNFE");
const QByteArray kCbor = "application/cbor";
const QByteArray kJson = "application/json";
const QString kRefused = QStringLiteral("Resposta inválida do servidor: ");

// The value of row r, column c: texts of one to three bytes a character
// (so that pieces end inside them), NULLs, days and amounts.
QVariant cell(int r, int c) {
    switch (c) {
    case 0:
        return QStringLiteral("%1").arg(r, 10, 10, QLatin1Char('0'));
    case 1:
        return r % 7 == 0 ? QVariant() : QVariant(QStringLiteral("Razão Ação Ltda — nº %1 日本").arg(r));
    case 2:
        return QDateTime(QDate(2026, 1, 1).addDays(r % 365), QTime(0, 0));
    case 3:
        return r % 5 == 0 ? QVariant() : QVariant(r * 1.25);
    default:
        return QString(r % 3, u'é');
    }
}

DataPacket listOf(int rows) {
    DataPacket p({{QStringLiteral("LANCAMENTO"), ftString, 10},
                  {QStringLiteral("NMRAZAO"), ftString, 50},
                  {QStringLiteral("DTEMISSAO"), ftDateTime, 0},
                  {QStringLiteral("VRNOTAFISC"), ftFloat, 0},
                  {QStringLiteral("OBS"), ftString, 5}});
    for (int r = 0; r < rows; ++r) {
        const int row = p.appendRow();
        for (int c = 0; c < p.fieldCount(); ++c)
            if (const QVariant v = cell(r, c); !v.isNull())
                p.setValue(row, c, v);
    }
    return p;
}

// An answer as the server writes it: the envelope's map opened before the
// result, the rows in an open list (their number known only at the end), the
// id last. With lengthKnown, the packet as a client writes it (a closed list).
QByteArray answer(const DataPacket& p, bool lengthKnown = false, const QString& id = kId) {
    QByteArray head;
    {
        QCborStreamWriter w(&head);
        w.startMap(3);
        w.append(QLatin1StringView("jsonrpc"));
        w.append(QLatin1StringView("2.0"));
        w.append(QLatin1StringView("result"));
    }
    QByteArray packet;
    if (lengthKnown) {
        packet = p.toCbor();
    } else {
        // The packet without rows, its empty list (0x80) reopened without a length.
        packet = DataPacket(p.fields()).toCbor();
        packet.chop(1);
        packet.append(char(0x9F));
        QByteArray rows;
        {
            QCborStreamWriter w(&rows);
            for (int r = 0; r < p.rowCount(); ++r) {
                w.startArray(quint64(p.fieldCount()));
                for (int c = 0; c < p.fieldCount(); ++c) {
                    if (p.isNull(r, c)) {
                        w.append(nullptr);
                    } else if (p.fields().at(c).type == ftFloat) {
                        w.append(p.value(r, c).toDouble());
                    } else if (p.fields().at(c).type == ftInteger) {
                        w.append(p.value(r, c).toLongLong());
                    } else if (p.fields().at(c).type == ftDateTime) {
                        w.append(p.value(r, c).toDateTime().date().toString(Qt::ISODate));
                    } else {
                        const QUtf8StringView t = p.text(r, c);
                        w.appendTextString(t.data(), t.size());
                    }
                }
                w.endArray();
            }
        }
        packet.append(rows);
        packet.append(char(0xFF));
    }
    QByteArray tail;
    {
        QCborStreamWriter w(&tail);
        w.append(QLatin1StringView("id"));
        w.append(id);
    }
    return head + packet + tail;
}

// A JSON answer as the server writes it (the result before the id), its rows
// one a line when spaced.
QByteArray jsonAnswer(const DataPacket& p, bool spaced = false, const QString& id = kId) {
    const QJsonObject packet = p.toJson();
    QByteArray rows;
    const QJsonArray list = packet.value(QStringLiteral("rows")).toArray();
    for (qsizetype r = 0; r < list.size(); ++r) {
        if (r > 0)
            rows += spaced ? ",\n " : ",";
        rows += QJsonDocument(list.at(r).toArray()).toJson(QJsonDocument::Compact);
    }
    const QByteArray fields =
        QJsonDocument(packet.value(QStringLiteral("fields")).toArray()).toJson(QJsonDocument::Compact);
    return R"({"jsonrpc":"2.0","result":{"fields":)" + fields + R"(,"rows":[)" + rows + R"(]},"id":")" +
           id.toLatin1() + R"("})";
}

// A literal's bytes, zeros included.
template <size_t N> QByteArray bytes(const char (&literal)[N]) {
    return QByteArray(literal, N - 1);
}

// The body fed in pieces of the given sizes (the last one repeated).
QVariant readInPieces(const QByteArray& body, const QList<int>& sizes, bool* streamed = nullptr,
                      const QByteArray& type = kCbor, int status = 200) {
    RpcResponseReader reader;
    qsizetype at = 0;
    int i = 0;
    while (at < body.size()) {
        const int n =
            int(std::min<qsizetype>(sizes.at(std::min<qsizetype>(i++, sizes.size() - 1)), body.size() - at));
        reader.feed(status, type, body.constData() + at, n);
        at += n;
    }
    if (streamed)
        *streamed = reader.streamedRows();
    return reader.finish(status, type, kId, kEndpoint);
}

// Read in pieces of each size, the answer gives what the whole body gives:
// the same result, or the same refusal word for word.
void readAsTheWholeIs(int status, const QByteArray& type, const QByteArray& body,
                      std::initializer_list<int> pieces) {
    QVariant whole;
    const QString wholeFailure =
        zavtest::failureOf([&] { whole = decodeRpcResponse(status, type, body, kId, kEndpoint); });
    for (const int piece : pieces) {
        QVariant read;
        const QString failure =
            zavtest::failureOf([&] { read = readInPieces(body, {piece}, nullptr, type, status); });
        QCOMPARE(failure, wholeFailure);
        QCOMPARE(read.isValid(), whole.isValid());
        if (whole.canConvert<DataPacket>())
            zavtest::comparePackets(read.value<DataPacket>(), whole.value<DataPacket>());
        else
            QCOMPARE(read, whole);
    }
}

} // namespace

class tst_ResponseReader : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void theWholeBodyAndItsPiecesAgree_data();
    void theWholeBodyAndItsPiecesAgree();
    void cutAnywhereIsRefused();
    void malformedRowIsRefusedAsWhole();
    void anyRowReadAsTheWholeIs_data();
    void anyRowReadAsTheWholeIs();
    void otherAnswersReadWhole_data();
    void otherAnswersReadWhole();
    void jsonAnswersReadAsTheWholeIs_data();
    void jsonAnswersReadAsTheWholeIs();
    void jsonCutAnywhereIsRefusedAsTheWholeIs();
};

// lengthKnown: in CBOR, the list closed with its length, as a client writes
// it; in JSON, the rows one a line.
void tst_ResponseReader::theWholeBodyAndItsPiecesAgree_data() {
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("lengthKnown");
    QTest::addColumn<QList<int>>("pieces");
    for (const QByteArray& type : {kCbor, kJson}) {
        auto row = [&type](const char* what) -> QTestData& {
            return QTest::addRow("%s: %s", type.constData(), what) << type;
        };
        row("empty list, a byte at a time") << 0 << false << QList<int>{1};
        row("a byte at a time") << 40 << false << QList<int>{1};
        row("odd pieces") << 300 << false << QList<int>{3, 17, 250, 7};
        row("closed list or spaced rows, odd pieces") << 300 << true << QList<int>{5, 1, 333};
        row("a big list in transfer-sized pieces") << 20000 << false << QList<int>{16384};
        row("a big list, head and rows in one piece") << 20000 << true << QList<int>{1 << 24};
    }
}

void tst_ResponseReader::theWholeBodyAndItsPiecesAgree() {
    QFETCH(QByteArray, type);
    QFETCH(int, rows);
    QFETCH(bool, lengthKnown);
    QFETCH(QList<int>, pieces);
    const DataPacket sent = listOf(rows);
    const QByteArray body = type == kCbor ? answer(sent, lengthKnown) : jsonAnswer(sent, lengthKnown);
    const QVariant whole = decodeRpcResponse(200, type, body, kId, kEndpoint);
    QVERIFY(whole.canConvert<DataPacket>());
    zavtest::comparePackets(whole.value<DataPacket>(), sent);
    bool streamed = false;
    const QVariant read = readInPieces(body, pieces, &streamed, type);
    QVERIFY(streamed);
    QVERIFY(read.canConvert<DataPacket>());
    zavtest::comparePackets(read.value<DataPacket>(), sent);
}

void tst_ResponseReader::cutAnywhereIsRefused() {
    // Every place a transfer may stop: inside the head, a row, a text, a
    // character, the rows list's end, the id. Never a shorter list.
    const QByteArray body = answer(listOf(12));
    for (qsizetype cut = 1; cut < body.size(); ++cut) {
        const QByteArray part = body.left(cut);
        for (const int piece : {1, 64}) {
            const QString text = zavtest::failureOf([&] { readInPieces(part, {piece}); });
            QVERIFY2(text.startsWith(kRefused), qPrintable(QStringLiteral("cut %1: %2").arg(cut).arg(text)));
        }
    }
    // Bytes after the answer are refused as the whole body refuses them.
    QVERIFY(zavtest::failureOf([&] {
                readInPieces(body + QByteArray(1, '\x01'), {100});
            }).startsWith(kRefused + QStringLiteral("dados a mais")));
}

void tst_ResponseReader::malformedRowIsRefusedAsWhole() {
    // Row 150 carries a number where a day belongs, then bytes that are no UTF-8.
    DataPacket p = listOf(300);
    QByteArray body = answer(p);
    const QByteArray day = "\x6A" + p.value(149, 2).toDateTime().date().toString(Qt::ISODate).toLatin1();
    const qsizetype at = body.indexOf(day, body.indexOf(QByteArray("0000000149")));
    QVERIFY(at > 0);
    // The day's 11 bytes become a double (0xFB and 8 bytes) and two small numbers.
    QByteArray wrongType = body;
    wrongType.replace(at, day.size(), QByteArray("\xFB\x40\x09\x21\xFB\x54\x44\x2D\x18\x01\x02", 11));
    const QString wrong =
        zavtest::failureOf([&] { decodeRpcResponse(200, kCbor, wrongType, kId, kEndpoint); });
    QVERIFY2(wrong.startsWith(kRefused + QStringLiteral("campo DTEMISSAO, linha 150")), qPrintable(wrong));
    QCOMPARE(zavtest::failureOf([&] { readInPieces(wrongType, {97}); }), wrong);
    QByteArray notUtf8 = body;
    const qsizetype name = notUtf8.indexOf(QByteArray("Raz\xC3\xA3o"), at);
    notUtf8[name + 3] = '\xC3';
    notUtf8[name + 4] = '\x28';
    const QString expected =
        zavtest::failureOf([&] { decodeRpcResponse(200, kCbor, notUtf8, kId, kEndpoint); });
    QVERIFY2(expected.startsWith(kRefused + QStringLiteral("texto que não é UTF-8 válido")),
             qPrintable(expected));
    QCOMPARE(zavtest::failureOf([&] { readInPieces(notUtf8, {4}); }), expected);
}

// Rows the server never writes, each in the middle of an ordinary list (in
// CBOR, one of four columns: text, integer, day, amount): read as they come
// they give what the whole body gives, taken or refused, and the rows after
// them are read as before.
void tst_ResponseReader::anyRowReadAsTheWholeIs_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("taken");
    DataPacket p({{QStringLiteral("NRLANCTONF"), ftString, 10},
                  {QStringLiteral("QTITENS"), ftInteger, 0},
                  {QStringLiteral("DTEMISSAO"), ftDateTime, 0},
                  {QStringLiteral("VRNOTAFISC"), ftFloat, 0}});
    for (int r = 0; r < 300; ++r) {
        const int row = p.appendRow();
        p.setValue(row, 0, QStringLiteral("%1").arg(r, 10, 10, QLatin1Char('0')));
        if (r % 4 != 0)
            p.setValue(row, 1, r - 100);
        p.setValue(row, 2, QDateTime(QDate(2026, 1, 1).addDays(r % 365), QTime(0, 0)));
        p.setValue(row, 3, r * 0.5);
    }
    const QByteArray ordinary = answer(p, false);
    const auto rowStart = [&](int r) {
        return ordinary.indexOf("\x84\x6A" +
                                QStringLiteral("%1").arg(r, 10, 10, QLatin1Char('0')).toLatin1());
    };
    const qsizetype from = rowStart(150);
    const qsizetype to = rowStart(151);
    QVERIFY(from > 0 && to > from);
    const QByteArray key = "\x6A"
                           "0000000150";
    const QByteArray day = "\x6A"
                           "2026-05-31";
    const QByteArray one = "\x01";
    const QByteArray amount = bytes("\xF9\x3E\x00"); // 1.5 as a half-precision number
    const auto with = [&](const char* what, const QByteArray& row, bool taken) {
        QByteArray body = ordinary;
        body.replace(from, to - from, row);
        QTest::newRow(what) << body << taken;
    };
    with("numbers of every width",
         "\x84" + key + bytes("\x3A\x00\x01\x00\x00") + day + bytes("\xFA\x3F\xC0\x00\x00"), true);
    with("a negative amount, a wide integer",
         "\x84" + key + bytes("\x1B\x00\x00\x01\x00\x00\x00\x00\x00") + day + "\x38\x63", true);
    with("a text in chunks",
         "\x84\x7F\x65"
         "00000\x65"
         "00150\xFF" +
             one + day + amount,
         true);
    with("a row of no announced length", "\x9F" + key + one + day + amount + "\xFF", true);
    with("a day in chunks",
         "\x84" + key + one +
             "\x7F\x65"
             "2026-\x65"
             "05-31\xFF" +
             amount,
         true);
    with("a text's length written long",
         "\x84\x78\x0A"
         "0000000150" +
             one + day + amount,
         true);
    with("the longest text", "\x84\x79\xFF\xFE" + QByteArray(65534, 'a') + one + day + amount, true);
    with("an amount beyond 64 bits", "\x84" + key + one + day + "\x1B\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", true);
    with("an integer beyond 64 bits", "\x84" + key + "\x3B\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF" + day + amount,
         true);
    with("a text a byte too long", "\x84\x79\xFF\xFF" + QByteArray(65535, 'a') + one + day + amount, false);
    with("a tagged text", "\x84\xC0" + key + one + day + amount, false);
    with("bytes for a text",
         "\x84\x4A"
         "0000000150" +
             one + day + amount,
         false);
    with("a text for an integer",
         "\x84" + key +
             "\x61"
             "1" +
             day + amount,
         false);
    with("an amount for an integer", "\x84" + key + amount + day + amount, false);
    with("true for an amount", "\x84" + key + one + day + "\xF5", false);
    with("undefined for a text", "\x84\xF7" + one + day + amount, false);
    with("a day that is no day",
         "\x84" + key + one +
             "\x6A"
             "2026-02-30" +
             amount,
         false);
    with("a day with its time",
         "\x84" + key + one +
             "\x73"
             "2026-05-31T10:20:30" +
             amount,
         true);
    with("a text that is no UTF-8",
         "\x84\x6A"
         "00000001\xC3\x28" +
             one + day + amount,
         false);
    with("a day that is no UTF-8",
         "\x84" + key + one +
             "\x6A"
             "2026-05-3\xFF" +
             amount,
         false);
    with("a row of three values", "\x83" + key + one + day, false);
    with("a row of five values", "\x85" + key + one + day + amount + one, false);
    with("a row that is an object", "\xA1" + key + one, false);
    with("a reserved head", "\x84" + key + "\x1C" + day + amount, false);
    with("the list's end in a row", "\x84" + key + one + "\xFF", false);
}

void tst_ResponseReader::anyRowReadAsTheWholeIs() {
    QFETCH(QByteArray, body);
    QFETCH(bool, taken);
    QVariant read;
    const QString failure =
        zavtest::failureOf([&] { read = decodeRpcResponse(200, kCbor, body, kId, kEndpoint); });
    QVERIFY2((failure == QStringLiteral("(no failure)")) == taken, qPrintable(failure));
    readAsTheWholeIs(200, kCbor, body, {1, 7, 97, 1 << 16, 1 << 24});
    // Qt's reader, the judge: it takes the same rows, with the same values.
    const std::optional<DataPacket> judged = zavtest::cborRowsOracle(body);
    QCOMPARE(judged.has_value(), taken);
    if (judged)
        zavtest::comparePackets(read.value<DataPacket>(), *judged);
}

void tst_ResponseReader::otherAnswersReadWhole_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("body");
    QCborMap error;
    error.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    error.insert(QStringLiteral("id"), kId);
    error.insert(QStringLiteral("error"),
                 QCborMap{{QStringLiteral("code"), -32000},
                          {QStringLiteral("message"), QStringLiteral("Sem conexão.")}});
    QTest::newRow("an error") << 200 << kCbor << error.toCborValue().toCbor();
    QCborMap plain;
    plain.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    plain.insert(QStringLiteral("result"), QStringLiteral("ok"));
    plain.insert(QStringLiteral("id"), kId);
    QTest::newRow("a plain result") << 200 << kCbor << plain.toCborValue().toCbor();
    QTest::newRow("another call's list") << 200 << kCbor << answer(listOf(100), false, QStringLiteral("x"));
    QTest::newRow("a list on HTTP 500") << 500 << kCbor << answer(listOf(10));
    const QJsonObject json{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                           {QStringLiteral("id"), kId},
                           {QStringLiteral("result"), listOf(50).toJson()}};
    QTest::newRow("a list in JSON") << 200 << QByteArray("application/json")
                                    << QJsonDocument(json).toJson(QJsonDocument::Compact);
}

void tst_ResponseReader::otherAnswersReadWhole() {
    QFETCH(int, status);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, body);
    readAsTheWholeIs(status, type, body, {5});
}

// Whatever the answer, read as it comes it gives what the whole body gives:
// the same list, or the same refusal word for word.
void tst_ResponseReader::jsonAnswersReadAsTheWholeIs_data() {
    QTest::addColumn<QByteArray>("body");
    // Texts that look like the JSON around them.
    DataPacket tricky({{QStringLiteral("A]\"[{"), ftString, 20}, {QStringLiteral("B"), ftString, 20}});
    for (int r = 0; r < 3000; ++r) {
        const int row = tricky.appendRow();
        tricky.setValue(row, 0, QStringLiteral("]\"[{}\\ \u00e9,\"rows\":[%1").arg(r));
        tricky.setValue(row, 1, QStringLiteral("\\\"]}"));
    }
    QTest::newRow("texts like the JSON around them") << jsonAnswer(tricky);
    const QByteArray good = jsonAnswer(listOf(3000), true);
    // Row r (counted from 0) replaced: its cells hold no "]".
    auto replaceRow = [&good](int r, const QByteArray& with) {
        const QByteArray key = "[\"" + QByteArray::number(r).rightJustified(10, '0') + "\"";
        const qsizetype at = good.indexOf(key);
        QByteArray b = good;
        return b.replace(at, good.indexOf("],", at) + 1 - at, with);
    };
    QTest::newRow("a row that is no list") << replaceRow(1500, "5");
    QTest::newRow("a row that is an object") << replaceRow(1500, R"({"a":1})");
    QTest::newRow("a row with a number for a day") << replaceRow(1500, R"(["x",null,5,1.5,""])");
    QTest::newRow("a row of too few values") << replaceRow(1500, R"(["x"])");
    QTest::newRow("a row of malformed JSON") << replaceRow(1500, R"(["x" null,"2026-01-01",1,""])");
    QByteArray trailingComma = good;
    trailingComma.replace("]]},", "],]},");
    QTest::newRow("a comma before the list's end") << trailingComma;
    QByteArray noComma = good;
    noComma.replace(noComma.indexOf(",\n ["), 3, " ");
    QTest::newRow("two rows without a comma") << noComma;
    QByteArray badTail = good;
    badTail.replace(",\"id\":", ",\"id\"");
    QTest::newRow("malformed after the rows") << badTail;
    QTest::newRow("another call's list") << jsonAnswer(listOf(100), false, QStringLiteral("x"));
    // Keys the whole body reads otherwise than a reader that sees only their
    // bytes (of two equal keys the whole body keeps the last).
    const QByteArray otherList = R"({"fields":[{"name":"X","type":"string","size":1}],"rows":[["y"]]})";
    auto withKey = [&good](bool before, const QByteArray& key, const QByteArray& value) {
        QByteArray b = good;
        return before ? b.replace("{\"jsonrpc\":\"2.0\",", "{\"jsonrpc\":\"2.0\"," + key + ":" + value + ",")
                      : b.replace(",\"id\":", "," + key + ":" + value + ",\"id\":");
    };
    QTest::newRow("a second result after") << withKey(false, "\"result\"", "null");
    QTest::newRow("a second result before") << withKey(true, "\"result\"", "null");
    QTest::newRow("a second list after") << withKey(false, "\"result\"", otherList);
    QTest::newRow("an empty second result after") << withKey(false, "\"result\"", "{}");
    QTest::newRow("a result spelt with escapes after") << withKey(false, R"("res\u0075lt")", otherList);
    QTest::newRow("a result spelt with escapes before") << withKey(true, R"("res\u0075lt")", otherList);
    QTest::newRow("rows spelt with escapes after")
        << QByteArray(good).replace("]]},", R"(]],"ro\u0077s":[["y"]]},)");
    // Rows longer than a batch: every row's end is where a batch may end.
    DataPacket wide({{QStringLiteral("A"), ftString, 0}, {QStringLiteral("B"), ftString, 0}});
    for (int r = 0; r < 5; ++r) {
        const int row = wide.appendRow();
        wide.setValue(row, 0, QString(40000, QChar(u'a' + r)));
        wide.setValue(row, 1, QString(40000, u'z'));
    }
    const QByteArray wideBody = jsonAnswer(wide, true);
    QTest::newRow("rows longer than a batch") << wideBody;
    QByteArray wideNoComma = wideBody;
    wideNoComma.replace(wideNoComma.indexOf(",\n [\"ccc"), 3, " ");
    QTest::newRow("rows longer than a batch, without a comma") << wideNoComma;
    QByteArray wideTwoCommas = wideBody;
    wideTwoCommas.replace(wideTwoCommas.indexOf(",\n [\"ccc"), 3, ",, ");
    QTest::newRow("rows longer than a batch, two commas") << wideTwoCommas;
    QByteArray keyAfterRows = good;
    keyAfterRows.replace("]]},", R"(]],"rows":[]},)");
    QTest::newRow("the rows given twice") << keyAfterRows;
    QByteArray rowsFirst = jsonAnswer(listOf(20));
    const qsizetype fieldsAt = rowsFirst.indexOf("\"fields\"");
    const qsizetype rowsAt = rowsFirst.indexOf(",\"rows\"");
    const QByteArray fieldsPart = rowsFirst.mid(fieldsAt, rowsAt - fieldsAt);
    rowsFirst.remove(fieldsAt, rowsAt + 1 - fieldsAt);
    rowsFirst.replace("]]}", "]]," + fieldsPart + "}");
    QTest::newRow("the rows before the fields") << rowsFirst;
    QTest::newRow("an error beside a list")
        << QByteArray(good).replace(",\"id\":", R"(,"error":{"code":1,"message":"Falhou."},"id":)");
    QTest::newRow("a list that is no object")
        << QByteArray(R"({"jsonrpc":"2.0","result":[1,2],"id":")") + kId.toLatin1() + "\"}";
}

void tst_ResponseReader::jsonAnswersReadAsTheWholeIs() {
    QFETCH(QByteArray, body);
    readAsTheWholeIs(200, kJson, body, {1, 7, 1 << 16});
}

void tst_ResponseReader::jsonCutAnywhereIsRefusedAsTheWholeIs() {
    const QByteArray body = jsonAnswer(listOf(12), true);
    for (qsizetype cut = 1; cut < body.size(); ++cut) {
        const QByteArray part = body.left(cut);
        const QString whole =
            zavtest::failureOf([&] { decodeRpcResponse(200, kJson, part, kId, kEndpoint); });
        QVERIFY2(whole.startsWith(kRefused), qPrintable(QStringLiteral("cut %1: %2").arg(cut).arg(whole)));
        for (const int piece : {1, 64})
            QCOMPARE(zavtest::failureOf([&] { readInPieces(part, {piece}, nullptr, kJson); }), whole);
    }
}

QTEST_GUILESS_MAIN(tst_ResponseReader)
#include "tst_responsereader.moc"
