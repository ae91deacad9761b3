#pragma once
// The door of every request: what its head (request line and headers) must be
// before anything is read or spent on it, decided by one function on the head
// alone, so that it can be tested on its own. The route table names what the
// server answers: each route one entry (its path, its verbs, its kind).
//
// In order: /metrics to an address the configuration does not name, nothing
// else looked at (403); nothing while the server stops (503); exactly one Host, one of the
// server's names (421: a page reaching the server through a name of its own,
// DNS rebinding); no Origin (403: a web page's call); a known path (404) and
// verb (405); for a call, a body declared application/json or
// application/cbor (415), within the body limit (413), and an Authorization
// header, when there is one, of the Bearer scheme (anything else is kept as a
// token of no session, refused by the session check as such).
#include "rpc/rpcdispatcher.h"
#include "rpc/rpcerror.h"

#include "paths.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace zavserver {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// The routes of the server: the screen's module (Call), the host's sign-in
// and sign-out for every screen's package (Session), both JSON-RPC calls
// answered by the one dispatcher; the health and the metrics.
enum class Route { Call, Session, Health, Metrics };

struct RouteEntry {
    const char* path;
    QList<QByteArray> verbs; // the first is the one an Allow header names
    Route route;
};

// /health, /metrics, the host's /sessao (where the dispatcher answers only
// signing in and out) and the module's JSON-RPC endpoint.
// A workstation of the previous version signs in at the module's endpoint,
// which goes on answering Login and Logout too.
const QList<RouteEntry>& routeTable();
inline constexpr const char* kEndpointPath = "/ZAV50000.rdmCancelaNFE";
inline constexpr const char* kSessionPath = zavwire::kSessionPath;
inline constexpr const char* kHealthPath = "/health";
inline constexpr const char* kMetricsPath = "/metrics";

struct RequestHead {
    QByteArray verb;
    QByteArray path;
    HeaderList headers; // as they came, names in any case
    QString from;       // the caller's address
};

struct HeadPolicy {
    QStringList hostNames; // lower case
    qint64 maxBody = 0;
    bool stopping = false;
    // Whether /metrics answers an address; without it, nobody.
    std::function<bool(const QString& address)> metricsAllowed;
};

// What the door decided: a refusal, or the request admitted with what the
// head said of it.
struct HeadDecision {
    // 0: admitted; else the HTTP status of the refusal.
    int status = 0;
    RpcCode code = RpcCode::InvalidRequest;
    QString message;
    HeaderList extraHeaders;

    Route route = Route::Call;
    RequestFormat format = RequestFormat::Json;
    bool cbor = false;      // the answer's encoding, by Accept (refusals too)
    qint64 announced = -1;  // Content-Length, when given
    bool chunked = false;   // Transfer-Encoding: chunked
    bool hasBearer = false; // an Authorization header came
    QByteArray bearer;      // its token (see above)

    bool admitted() const { return status == 0; }
};

HeadDecision checkHead(const RequestHead& head, const HeadPolicy& policy);

// The pieces, for the endpoint and the tests.
// Every value of a header (names compared without case).
QList<QByteArray> headerValues(const HeaderList& headers, const char* name);
// The token of "Authorization: Bearer TOKEN"; a value of another scheme, or
// without one, is no token ("?", which no session has).
QByteArray bearerOf(const QByteArray& authorization);
// Whether the Accept header prefers application/cbor to application/json.
bool prefersCbor(const QByteArray& accept);
// The host part of a Host header: "name", "name:port", "[v6]:port".
QString hostOf(const QByteArray& hostHeader);

} // namespace zavserver
