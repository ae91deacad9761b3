// The envelope of the server's answer, on its own: each way it can be wrong
// is refused as the codec's own error (ERpcAnswerError) with its fault and the
// words the operator reads, in JSON and in CBOR, whole or as it arrives; the
// server's well-formed refusal is ERpcError as it came, and a malformed packet
// in a well-formed answer is the packet's refusal, not the envelope's.
#include "data/datapacket.h"
#include "net/jsonrpccodec.h"
#include "services/exceptions.h"

#include <QCborValue>
#include <QJsonDocument>
#include <QTest>

#include <functional>

namespace {

const QString kId = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString kEndpoint = QStringLiteral("http://127.0.0.1:1/modulo");
const QString kRefused = QStringLiteral("Resposta inválida do servidor: ");
using Fault = ERpcAnswerError::Fault;

// What a decoding ended in.
struct Outcome {
    QString kind; // "result", "answer" (ERpcAnswerError), "server" (ERpcError), "refused" (another EZavError)
    int fault = -1;
    int code = 0;
    QString text;
};

Outcome outcomeOf(const std::function<QVariant()>& decode) {
    Outcome o;
    try {
        const QVariant v = decode();
        o.kind = QStringLiteral("result");
        o.text = v.isNull() ? QStringLiteral("null") : v.toString();
    } catch (const ERpcAnswerError& e) {
        o.kind = QStringLiteral("answer");
        o.fault = int(e.fault());
        o.text = e.text();
        if (e.text() != kRefused + e.detail())
            o.text = QStringLiteral("(the text is not the detail's: %1)").arg(e.text());
    } catch (const ERpcError& e) {
        o.kind = QStringLiteral("server");
        o.code = e.code();
        o.text = e.text();
    } catch (const EZavError& e) {
        o.kind = QStringLiteral("refused");
        o.text = e.text();
    }
    return o;
}

// The JSON body with its id written as this call's where it says ID.
QByteArray withId(const char* json) {
    return QByteArray(json).replace("ID", kId.toLatin1());
}

// The same answer in CBOR, for a body that is JSON at all.
QByteArray cborOf(const QByteArray& json) {
    return QCborValue::fromJsonValue(QJsonDocument::fromJson(json).object()).toCbor();
}

} // namespace

class tst_JsonRpcCodec : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void envelopeFaults_data();
    void envelopeFaults();
    void wellFormedAnswers_data();
    void wellFormedAnswers();
};

void tst_JsonRpcCodec::envelopeFaults_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("alsoCbor"); // the same answer sent as CBOR is refused the same way
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("detail");
    const QByteArray json = "application/json";
    const auto row = [&](const char* name, int status, const QByteArray& type, const QByteArray& body,
                         bool alsoCbor, Fault fault, const QString& detail) {
        QTest::newRow(name) << status << type << body << alsoCbor << int(fault) << detail;
    };
    row("a web page", 200, "text/html", "<html>oi</html>", false, Fault::ContentType,
        QStringLiteral("tipo de conteúdo inesperado \"text/html\""));
    row("an HTTP error without JSON-RPC", 502, "text/plain", "bad gateway", false, Fault::ContentType,
        QStringLiteral(
            "o servidor respondeu HTTP 502 sem uma resposta JSON-RPC; %1 é o servidor de aplicação?")
            .arg(kEndpoint));
    row("JSON that is no JSON", 200, json, R"({"jsonrpc":)", false, Fault::Malformed,
        QStringLiteral("JSON malformado"));
    row("CBOR that is no CBOR", 200, "application/cbor", QByteArray("\xbf\x67jsonrpc", 9), false,
        Fault::Malformed, QStringLiteral("CBOR malformado"));
    row("CBOR whose key is no text", 200, "application/cbor", QByteArray("\xa1\x01\x02", 3), false,
        Fault::Malformed, QStringLiteral("a resposta tem uma chave que não é texto"));
    row("a list, not an object", 200, json, "[1,2]", false, Fault::Malformed,
        QStringLiteral("esperada uma resposta JSON-RPC (um objeto)"));
    row("another version", 200, json, withId(R"({"jsonrpc":"1.0","id":"ID","result":null})"), true,
        Fault::Version, QStringLiteral("o campo jsonrpc deve ser \"2.0\""));
    row("no version", 200, json, withId(R"({"id":"ID","result":null})"), true, Fault::Version,
        QStringLiteral("o campo jsonrpc deve ser \"2.0\""));
    row("neither result nor error", 200, json, withId(R"({"jsonrpc":"2.0","id":"ID"})"), true,
        Fault::NoOutcome, QStringLiteral("resposta sem resultado nem erro"));
    row("a result without an id", 200, json, R"({"jsonrpc":"2.0","result":null})", true, Fault::MissingId,
        QStringLiteral("resposta sem id (esperado %1)").arg(kId));
    row("a result with a null id", 200, json, R"({"jsonrpc":"2.0","id":null,"result":null})", true,
        Fault::OtherCall, QStringLiteral("a resposta é de outra chamada (id , esperado %1)").arg(kId));
    row("the result of another call", 200, json, R"({"jsonrpc":"2.0","id":99,"result":null})", true,
        Fault::OtherCall, QStringLiteral("a resposta é de outra chamada (id 99, esperado %1)").arg(kId));
    row("an error without an id", 200, json,
        R"({"jsonrpc":"2.0","error":{"code":-32000,"message":"Falhou."}})", true, Fault::MissingId,
        QStringLiteral("erro sem id (esperado %1)").arg(kId));
    row("the error of another call", 200, json,
        R"({"jsonrpc":"2.0","id":"x","error":{"code":-32000,"message":"Falhou."}})", true, Fault::OtherCall,
        QStringLiteral("a resposta é de outra chamada (id x)"));
    row("an error that is a text", 200, json, withId(R"({"jsonrpc":"2.0","id":"ID","error":"Falhou."})"),
        true, Fault::ErrorShape, QStringLiteral("erro que não é um objeto"));
    row("an error without a message", 200, json,
        withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":-32000}})"), true, Fault::ErrorShape,
        QStringLiteral("erro sem mensagem (código -32000)"));
    row("an error with a blank message", 200, json,
        withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":-32000,"message":"  "}})"), true,
        Fault::ErrorShape, QStringLiteral("erro sem mensagem (código -32000)"));
    row("an error whose message is a number", 200, json,
        withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":-32000,"message":7}})"), true, Fault::ErrorShape,
        QStringLiteral("erro sem mensagem (código -32000)"));
    row("an empty error", 200, json, withId(R"({"jsonrpc":"2.0","id":"ID","error":{}})"), true,
        Fault::ErrorShape, QStringLiteral("erro sem mensagem nem código"));
    row("an error whose code is a text", 200, json,
        withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":"-32000","message":"Falhou."}})"), true,
        Fault::ErrorShape, QStringLiteral("erro sem código inteiro: Falhou."));
    row("an error whose code is a fraction", 200, json,
        withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":-32000.5,"message":"Falhou."}})"), true,
        Fault::ErrorShape, QStringLiteral("erro sem código inteiro: Falhou."));
    row("an error whose code passes an int", 200, json,
        withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":4294967296,"message":"Falhou."}})"), true,
        Fault::ErrorShape, QStringLiteral("erro sem código inteiro: Falhou."));
    row("a list as the result", 200, json, withId(R"({"jsonrpc":"2.0","id":"ID","result":[1,2]})"), true,
        Fault::ResultKind, QStringLiteral("resultado de tipo inesperado"));
    row("a result on HTTP 500", 500, json, withId(R"({"jsonrpc":"2.0","id":"ID","result":null})"), true,
        Fault::HttpStatus, QStringLiteral("resultado com o status HTTP 500"));
    row("bytes after the answer", 200, "application/cbor",
        cborOf(withId(R"({"jsonrpc":"2.0","id":"ID","result":null})")) + QByteArray(1, '\0'), false,
        Fault::Trailing, QStringLiteral("dados a mais depois da resposta"));
}

// Each fault, whole and as the answer arrives byte by byte: the codec's own
// error, its fault and its words.
void tst_JsonRpcCodec::envelopeFaults() {
    QFETCH(int, status);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, body);
    QFETCH(bool, alsoCbor);
    QFETCH(int, fault);
    QFETCH(QString, detail);
    QList<QPair<QByteArray, QByteArray>> answers{{type, body}};
    if (alsoCbor)
        answers.append({"application/cbor", cborOf(body)});
    for (const auto& answer : answers) {
        const QByteArray& contentType = answer.first;
        const QByteArray& bytes = answer.second;
        const Outcome whole =
            outcomeOf([&] { return decodeRpcResponse(status, contentType, bytes, kId, kEndpoint); });
        QCOMPARE(whole.kind, QStringLiteral("answer"));
        QCOMPARE(whole.fault, fault);
        QVERIFY2(whole.text.startsWith(kRefused + detail), qPrintable(whole.text));
        const Outcome streamed = outcomeOf([&] {
            RpcResponseReader reader;
            for (qsizetype at = 0; at < bytes.size(); ++at)
                reader.feed(status, contentType, bytes.constData() + at, 1);
            return reader.finish(status, contentType, kId, kEndpoint);
        });
        QCOMPARE(streamed.kind, whole.kind);
        QCOMPARE(streamed.fault, whole.fault);
        QCOMPARE(streamed.text, whole.text);
    }
}

void tst_JsonRpcCodec::wellFormedAnswers_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("a null result") << 200 << withId(R"({"jsonrpc":"2.0","id":"ID","result":null})")
                                   << "result" << 0 << "null";
    QTest::newRow("a text result") << 200 << withId(R"({"jsonrpc":"2.0","id":"ID","result":"ok"})")
                                   << "result" << 0 << "ok";
    QTest::newRow("the server's refusal")
        << 200 << withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":-32003,"message":"Sem permissão."}})")
        << "server" << -32003 << "Sem permissão.";
    QTest::newRow("a refusal of a request the server could not read")
        << 500
        << QByteArray(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"Erro interno."}})")
        << "server" << -32000 << "Erro interno.";
    QTest::newRow("the session ended, HTTP 401")
        << 401
        << withId(R"({"jsonrpc":"2.0","id":"ID","error":{"code":-32001,"message":"Sessão encerrada."}})")
        << "server" << -32001 << "Sessão encerrada.";
    QTest::newRow("a packet of an unknown type is the packet's refusal")
        << 200
        << withId(R"({"jsonrpc":"2.0","id":"ID","result":{"fields":[{"name":"A","type":"nope","size":0}],)"
                  R"("rows":[]}})")
        << "refused" << 0 << kRefused + QStringLiteral("campo A: tipo desconhecido");
}

// What is no envelope fault is not told as one, in either encoding.
void tst_JsonRpcCodec::wellFormedAnswers() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, kind);
    QFETCH(int, code);
    QFETCH(QString, text);
    for (const auto& answer : QList<QPair<QByteArray, QByteArray>>{{"application/json", body},
                                                                   {"application/cbor", cborOf(body)}}) {
        const QByteArray& type = answer.first;
        const QByteArray& bytes = answer.second;
        const Outcome o = outcomeOf([&] { return decodeRpcResponse(status, type, bytes, kId, kEndpoint); });
        QCOMPARE(o.kind, kind);
        QCOMPARE(o.code, code);
        // The packet's refusal says what came as each encoding shows it.
        if (kind == u"refused")
            QVERIFY2(o.text.startsWith(text), qPrintable(o.text));
        else
            QCOMPARE(o.text, text);
    }
}

QTEST_GUILESS_MAIN(tst_JsonRpcCodec)
#include "tst_jsonrpccodec.moc"
