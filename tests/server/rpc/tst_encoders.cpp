// The server's two encodings of a list, handed on in pieces of 64 bytes
// or more at each row's end (the buffers emptied and grown within a row):
// JSON is what Qt's own writer writes for the same values, CBOR decodes to the
// same values, and a text that is no UTF-8 reaches both with its bad bytes
// replaced.
#include "rpc/cborencoder.h"
#include "rpc/jsonencoder.h"

#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <optional>
#include <variant>

using zavserver::CborEncoder;
using zavserver::FieldType;
using zavserver::JsonEncoder;
using zavserver::PacketField;
using zavserver::ResponseEncoder;

namespace {

using Cell = std::variant<std::monostate, QByteArray, double>; // NULL, UTF-8 bytes, a number

const std::array<PacketField, 3> kFields{{
    {QStringLiteral("NMRAZAO"), FieldType::String, 50},
    {QStringLiteral("VRNOTAFISC"), FieldType::Float, 0},
    {QStringLiteral("OBS"), FieldType::String, 5},
}};

// Texts of every kind the JSON writer treats apart, numbers, NULLs, and a
// text longer than many pieces.
QList<QList<Cell>> rows() {
    const QList<QByteArray> texts = {
        "",
        "plain",
        "a \"quoted\" word",
        "back\\slash",
        "tab\there",
        "line\nbreak\r",
        "\x01\x1F",
        "del \x7F",
        "ação — nº 5",
        "日本",
        "\xC3\x28 bad",
        "ends bad \xE2\x82",
        "\b\f/",
        QByteArray(5000, 'x'),
    };
    QList<QList<Cell>> out;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        out.append(
            {texts.at(i), double(i) * 1.25 - 3, i % 3 == 0 ? Cell() : Cell(texts.at(texts.size() - 1 - i))});
        out.append({Cell(), 1e20, texts.at(i)});
    }
    return out;
}

// The answer written through the encoder, in pieces; *pieces counts them.
// With recycle, the sink takes each piece's buffer and hands back the one
// before, its bytes still in it, as the HTTP layer hands back a buffer it has
// sent.
QByteArray write(ResponseEncoder& encoder, int* pieces, bool recycle) {
    QByteArray body;
    QByteArray sent;
    *pieces = 0;
    encoder.streamTo(
        [&](QByteArray& piece) {
            body += piece;
            ++*pieces;
            if (recycle)
                std::swap(piece, sent);
            return true;
        },
        64);
    encoder.beginPacket(kFields);
    for (const QList<Cell>& row : rows()) {
        encoder.beginRow();
        for (const Cell& cell : row) {
            if (const auto* text = std::get_if<QByteArray>(&cell))
                encoder.text(QUtf8StringView(text->constData(), text->size()));
            else if (const auto* number = std::get_if<double>(&cell))
                encoder.number(*number);
            else
                encoder.null();
        }
        encoder.endRow();
    }
    encoder.endPacket();
    return body + encoder.success(QCborValue(QStringLiteral("id-9")));
}

// The result as Qt's JSON classes hold it: texts as QString reads the bytes.
QJsonObject expected() {
    QJsonArray fields;
    for (const PacketField& f : kFields)
        fields.append(QJsonObject{{QStringLiteral("name"), f.name},
                                  {QStringLiteral("type"), zavwire::fieldTypeName(f.type)},
                                  {QStringLiteral("size"), f.size}});
    QJsonArray list;
    for (const QList<Cell>& row : rows()) {
        QJsonArray values;
        for (const Cell& cell : row) {
            if (const auto* text = std::get_if<QByteArray>(&cell))
                values.append(QString::fromUtf8(*text));
            else if (const auto* number = std::get_if<double>(&cell))
                values.append(*number);
            else
                values.append(QJsonValue::Null);
        }
        list.append(values);
    }
    return QJsonObject{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), list}};
}

} // namespace

class TstEncoders : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bothEncodingsHoldTheValues_data();
    void bothEncodingsHoldTheValues();
};

void TstEncoders::bothEncodingsHoldTheValues_data() {
    QTest::addColumn<bool>("recycle");
    QTest::newRow("each piece a buffer of its own") << false;
    QTest::newRow("buffers handed back once sent") << true;
}

void TstEncoders::bothEncodingsHoldTheValues() {
    QFETCH(bool, recycle);
    JsonEncoder json;
    CborEncoder cbor;
    int jsonPieces = 0;
    int cborPieces = 0;
    const QByteArray jsonBody = write(json, &jsonPieces, recycle);
    const QByteArray cborBody = write(cbor, &cborPieces, recycle);
    QVERIFY2(jsonPieces > 5 && cborPieces > 5,
             qPrintable(QStringLiteral("%1, %2").arg(jsonPieces).arg(cborPieces)));

    QJsonParseError jsonError;
    const QJsonObject fromJson = QJsonDocument::fromJson(jsonBody, &jsonError).object();
    QVERIFY2(jsonError.error == QJsonParseError::NoError, qPrintable(jsonError.errorString()));
    QCborParserError cborError;
    const QCborMap fromCbor = QCborValue::fromCbor(cborBody, &cborError).toMap();
    QVERIFY2(cborError.error == QCborError::NoError, qPrintable(cborError.errorString()));
    for (const QJsonObject& answer : {fromJson, fromCbor.toJsonObject()}) {
        QCOMPARE(answer.value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
        QCOMPARE(answer.value(QStringLiteral("id")).toString(), QStringLiteral("id-9"));
        QCOMPARE(answer.value(QStringLiteral("result")).toObject(), expected());
    }

    // Byte for byte, the JSON result is the text Qt's writer makes of it.
    const QByteArray head = R"({"jsonrpc":"2.0","result":)";
    const QByteArray tail = R"(,"id":"id-9"})";
    QVERIFY(jsonBody.startsWith(head) && jsonBody.endsWith(tail));
    QCOMPARE(jsonBody.mid(head.size(), jsonBody.size() - head.size() - tail.size()),
             QJsonDocument(expected()).toJson(QJsonDocument::Compact));
}

QTEST_GUILESS_MAIN(TstEncoders)
#include "tst_encoders.moc"
