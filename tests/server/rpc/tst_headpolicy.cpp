// The door's one function, on heads alone: what it admits and what it refuses,
// in its order, with the status, the code and the headers of each refusal.
#include "rpc/headpolicy.h"

#include <QTest>

using namespace zavserver;

namespace {

HeadPolicy policy() {
    return HeadPolicy{
        {QStringLiteral("127.0.0.1"), QStringLiteral("localhost"), QStringLiteral("zav.example")},
        1000,
        false};
}

RequestHead callHead(const HeaderList& extra = {}) {
    HeaderList headers{{"Host", "127.0.0.1:8211"},
                       {"Content-Type", "application/json; charset=utf-8"},
                       {"Content-Length", "10"}};
    headers += extra;
    return RequestHead{"POST", kEndpointPath, headers};
}

} // namespace

class TstHeadPolicy : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusals_data();
    void refusals();
    void admitted();
    void routes_data();
    void routes();
    void bearer_data();
    void bearer();
    void stopping();
};

void TstHeadPolicy::refusals_data() {
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<HeaderList>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("allow");
    const HeaderList json{{"Host", "127.0.0.1"}, {"Content-Type", "application/json"}};
    QTest::newRow("no Host") << QByteArray("POST") << QByteArray(kEndpointPath)
                             << HeaderList{{"Content-Type", "application/json"}} << 421 << -32600
                             << QByteArray();
    QTest::newRow("a name not the server's")
        << QByteArray("POST") << QByteArray(kEndpointPath)
        << HeaderList{{"Host", "attacker.example"}, {"Content-Type", "application/json"}} << 421 << -32600
        << QByteArray();
    QTest::newRow("two Host headers")
        << QByteArray("POST") << QByteArray(kEndpointPath)
        << (json + HeaderList{{"host", "attacker.example"}}) << 400 << -32600 << QByteArray();
    QTest::newRow("two Host headers naming the server")
        << QByteArray("POST") << QByteArray(kEndpointPath) << (json + HeaderList{{"HOST", "127.0.0.1"}})
        << 400 << -32600 << QByteArray();
    QTest::newRow("a web page's call")
        << QByteArray("POST") << QByteArray(kEndpointPath)
        << (json + HeaderList{{"Origin", "https://page.example"}}) << 403 << -32600 << QByteArray();
    QTest::newRow("an empty Origin") << QByteArray("POST") << QByteArray(kEndpointPath)
                                     << (json + HeaderList{{"origin", ""}}) << 403 << -32600 << QByteArray();
    QTest::newRow("unknown path") << QByteArray("POST") << QByteArray("/admin") << json << 404 << -32601
                                  << QByteArray();
    QTest::newRow("a path that only starts like the endpoint")
        << QByteArray("POST") << QByteArray("/ZAV50000.rdmCancelaNFE/x") << json << 404 << -32601
        << QByteArray();
    QTest::newRow("GET of the endpoint")
        << QByteArray("GET") << QByteArray(kEndpointPath) << json << 405 << -32600 << QByteArray("POST");
    QTest::newRow("POST to /health") << QByteArray("POST") << QByteArray(kHealthPath) << json << 405 << -32600
                                     << QByteArray("GET");
    QTest::newRow("a form") << QByteArray("POST") << QByteArray(kEndpointPath)
                            << HeaderList{{"Host", "127.0.0.1"},
                                          {"Content-Type", "application/x-www-form-urlencoded"}}
                            << 415 << -32600 << QByteArray();
    QTest::newRow("text/plain (no preflight)")
        << QByteArray("POST") << QByteArray(kEndpointPath)
        << HeaderList{{"Host", "127.0.0.1"}, {"Content-Type", "text/plain"}} << 415 << -32600 << QByteArray();
    QTest::newRow("no type") << QByteArray("POST") << QByteArray(kEndpointPath)
                             << HeaderList{{"Host", "127.0.0.1"}} << 415 << -32600 << QByteArray();
    QTest::newRow("over the body limit")
        << QByteArray("POST") << QByteArray(kEndpointPath) << (json + HeaderList{{"Content-Length", "1001"}})
        << 413 << -32600 << QByteArray();
    // The host's sign-in path is a call's door like the module's.
    QTest::newRow("GET of the sign-in path")
        << QByteArray("GET") << QByteArray(kSessionPath) << json << 405 << -32600 << QByteArray("POST");
    QTest::newRow("a path that only starts like the sign-in path")
        << QByteArray("POST") << QByteArray("/sessao/x") << json << 404 << -32601 << QByteArray();
    QTest::newRow("the sign-in path in capitals")
        << QByteArray("POST") << QByteArray("/SESSAO") << json << 404 << -32601 << QByteArray();
    QTest::newRow("a web page's sign-in")
        << QByteArray("POST") << QByteArray(kSessionPath)
        << (json + HeaderList{{"Origin", "https://page.example"}}) << 403 << -32600 << QByteArray();
    QTest::newRow("a form to the sign-in path")
        << QByteArray("POST") << QByteArray(kSessionPath)
        << HeaderList{{"Host", "127.0.0.1"}, {"Content-Type", "application/x-www-form-urlencoded"}} << 415
        << -32600 << QByteArray();
    QTest::newRow("a sign-in over the body limit")
        << QByteArray("POST") << QByteArray(kSessionPath) << (json + HeaderList{{"Content-Length", "1001"}})
        << 413 << -32600 << QByteArray();
}

// Each refusal, and the first one in the door's order when several apply.
void TstHeadPolicy::refusals() {
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, path);
    QFETCH(HeaderList, headers);
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(QByteArray, allow);
    const HeadDecision d = checkHead(RequestHead{verb, path, headers}, policy());
    QCOMPARE(d.status, status);
    QCOMPARE(int(d.code), code);
    QVERIFY(!d.message.isEmpty());
    QCOMPARE(headerValues(d.extraHeaders, "Allow").value(0), allow);
}

void TstHeadPolicy::admitted() {
    HeadDecision d = checkHead(callHead(), policy());
    QVERIFY(d.admitted());
    QCOMPARE(d.route, Route::Call);
    QCOMPARE(d.format, RequestFormat::Json);
    QCOMPARE(d.announced, qint64(10));
    QVERIFY(!d.hasBearer);
    QVERIFY(d.bearer.isEmpty());
    // At the limit, CBOR asked and answered, names without case.
    d = checkHead(RequestHead{"POST",
                              kEndpointPath,
                              {{"host", "[::1]:8211"},
                               {"CONTENT-TYPE", "application/cbor"},
                               {"content-length", "1000"},
                               {"Accept", "application/cbor"}}},
                  HeadPolicy{{QStringLiteral("::1")}, 1000, false});
    QVERIFY(d.admitted());
    QCOMPARE(d.format, RequestFormat::Cbor);
    QVERIFY(d.cbor);
    // Health by GET and HEAD; a chunked call's length unknown.
    QCOMPARE(checkHead(RequestHead{"HEAD", kHealthPath, {{"Host", "localhost"}}}, policy()).route,
             Route::Health);
    d = checkHead(RequestHead{"POST",
                              kEndpointPath,
                              {{"Host", "zav.example"},
                               {"Content-Type", "application/json"},
                               {"Transfer-Encoding", "chunked"}}},
                  policy());
    QVERIFY(d.admitted());
    QVERIFY(d.chunked);
    QCOMPARE(d.announced, qint64(-1));
}

void TstHeadPolicy::routes_data() {
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("routeNumber");
    QTest::newRow("the host's sign-in")
        << QByteArray("POST") << QByteArray(kSessionPath) << int(Route::Session);
    QTest::newRow("the module's calls")
        << QByteArray("POST") << QByteArray(kEndpointPath) << int(Route::Call);
    QTest::newRow("health") << QByteArray("GET") << QByteArray(kHealthPath) << int(Route::Health);
}

// Each path of the table admitted as its route; a call's head, on either call
// path, read the same way (format, declared length, token).
void TstHeadPolicy::routes() {
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, path);
    QFETCH(int, routeNumber);
    const auto route = Route(routeNumber);
    const QByteArray token(43, 'B');
    const HeadDecision d = checkHead(RequestHead{verb,
                                                 path,
                                                 {{"Host", "localhost"},
                                                  {"Content-Type", "application/cbor"},
                                                  {"Content-Length", "20"},
                                                  {"Authorization", "Bearer " + token}}},
                                     policy());
    QVERIFY(d.admitted());
    QCOMPARE(d.route, route);
    const bool call = route == Route::Call || route == Route::Session;
    QCOMPARE(d.format, call ? RequestFormat::Cbor : RequestFormat::Json);
    QCOMPARE(d.announced, call ? qint64(20) : qint64(-1));
    QCOMPARE(d.bearer, call ? token : QByteArray());
    // A wrong verb is told where to go, naming the path it came to.
    const HeadDecision wrong =
        checkHead(RequestHead{call ? "GET" : "POST", path, {{"Host", "localhost"}}}, policy());
    QCOMPARE(wrong.status, 405);
    if (route == Route::Session)
        QVERIFY2(wrong.message.contains(QLatin1StringView(kSessionPath)), qPrintable(wrong.message));
}

void TstHeadPolicy::bearer_data() {
    QTest::addColumn<HeaderList>("authorization");
    QTest::addColumn<QByteArray>("token");
    const QByteArray token(43, 'A');
    QTest::newRow("Bearer") << HeaderList{{"Authorization", "Bearer " + token}} << token;
    QTest::newRow("scheme in any case, blanks around")
        << HeaderList{{"authorization", "  bEaReR   " + token + " "}} << token;
    // Anything else is no token, refused by the session check as one of no session.
    QTest::newRow("a bare token") << HeaderList{{"Authorization", token}} << QByteArray("?");
    QTest::newRow("another scheme") << HeaderList{{"Authorization", "Basic " + token}} << QByteArray("?");
    QTest::newRow("the scheme alone") << HeaderList{{"Authorization", "Bearer"}} << QByteArray("?");
    QTest::newRow("empty") << HeaderList{{"Authorization", ""}} << QByteArray("?");
    QTest::newRow("two headers") << HeaderList{{"Authorization", "Bearer " + token},
                                               {"Authorization", "Bearer " + token}}
                                 << QByteArray("?");
}

void TstHeadPolicy::bearer() {
    QFETCH(HeaderList, authorization);
    QFETCH(QByteArray, token);
    const HeadDecision d = checkHead(callHead(authorization), policy());
    QVERIFY(d.admitted());
    QVERIFY(d.hasBearer);
    QCOMPARE(d.bearer, token);
}

// While the server stops, nothing is admitted, whatever the head; the
// refusal closes the connection.
void TstHeadPolicy::stopping() {
    HeadPolicy p = policy();
    p.stopping = true;
    for (const RequestHead& head : {callHead(), RequestHead{"GET", kHealthPath, {{"Host", "localhost"}}},
                                    RequestHead{"GET", "/x", {}}}) {
        const HeadDecision d = checkHead(head, p);
        QCOMPARE(d.status, 503);
        QCOMPARE(headerValues(d.extraHeaders, "Connection").value(0), QByteArray("close"));
    }
}

QTEST_GUILESS_MAIN(TstHeadPolicy)
#include "tst_headpolicy.moc"
