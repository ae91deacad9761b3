#include "rpc/httpendpoint.h"
#include "rpc/calllog.h"
#include "rpc/cborencoder.h"
#include "rpc/jsonencoder.h"
#include "rpc/rpcdispatcher.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

#include "database.h"

#include <httplib.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

namespace zavserver {

namespace {

const char* const kEndpointPath = "/ZAV50000.rdmCancelaNFE";
const char* const kHealthPath = "/health";
// Reaches the invoice store without reading a row: the connection works and
// the schema is there.
const char* const kHealthSql = "SELECT 1 FROM NOTAFISCAL WHERE 1 = 0";

constexpr size_t kKeepAliveMaxCount = 100000;

// Whether the Accept header prefers application/cbor to application/json
// (a media range's q defaults to 1; "*/*" counts for JSON, the default).
bool prefersCbor(const std::string& accept) {
    double cbor = 0.0;
    double json = 0.0;
    const QList<QByteArray> ranges = QByteArray::fromStdString(accept).split(',');
    for (const QByteArray& range : ranges) {
        const QList<QByteArray> parts = range.split(';');
        const QByteArray type = parts.first().trimmed().toLower();
        double q = 1.0;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts.at(i).trimmed();
            if (parameter.startsWith("q=")) {
                bool ok = false;
                const double value = parameter.mid(2).toDouble(&ok);
                q = ok ? value : 0.0;
            }
        }
        if (type == "application/cbor")
            cbor = std::max(cbor, q);
        else if (type == "application/json" || type == "application/*" || type == "*/*")
            json = std::max(json, q);
    }
    return cbor > 0.0 && cbor >= json;
}

std::string jsonText(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::unique_ptr<ResponseEncoder> encoderFor(bool cbor) {
    if (cbor)
        return std::make_unique<CborEncoder>();
    return std::make_unique<JsonEncoder>();
}

// A JSON-RPC error outside any call (wrong path, wrong HTTP method, body too
// large), in the encoding the client asked for.
void protocolError(const httplib::Request& request, httplib::Response& response, int status, RpcCode code,
                   const QString& message) {
    const std::unique_ptr<ResponseEncoder> encoder =
        encoderFor(prefersCbor(request.get_header_value("Accept")));
    const QByteArray body = encoder->failure(QCborValue(nullptr), int(code), message);
    response.status = status;
    response.set_content(body.constData(), size_t(body.size()), encoder->contentType().toStdString());
}

double millisecondsSince(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

enum class BodyRead { Whole, TooLarge, Incomplete };

// The limit is checked while reading, so that a chunked body (which announces
// no length) cannot grow without bound either. What exceeds it is read and
// dropped, up to as much again, so that the connection stays in step for the
// client's next request; a body larger still is abandoned.
BodyRead readBody(const httplib::Request& request, const httplib::Response& response,
                  const httplib::ContentReader& reader, qint64 maxBody, QByteArray& body) {
    bool tooLarge = false;
    qint64 dropped = 0;
    const qint64 announced = qint64(request.get_header_value<uint64_t>("Content-Length"));
    if (announced > 0 && announced <= maxBody)
        body.reserve(announced);
    const bool read = reader([&](const char* data, size_t length) {
        if (tooLarge || body.size() + qint64(length) > maxBody) {
            if (!tooLarge)
                body = QByteArray();
            tooLarge = true;
            dropped += qint64(length);
            return dropped <= maxBody;
        }
        body.append(data, qsizetype(length));
        return true;
    });
    if (tooLarge || response.status == 413 || announced > maxBody)
        return BodyRead::TooLarge;
    if (!read)
        return BodyRead::Incomplete;
    return BodyRead::Whole;
}

RequestFormat requestFormat(const httplib::Request& request) {
    const std::string contentType = request.get_header_value("Content-Type");
    return QByteArray::fromStdString(contentType).trimmed().toLower().startsWith("application/cbor")
               ? RequestFormat::Cbor
               : RequestFormat::Json;
}

void askForPost(const httplib::Request& request, httplib::Response& response) {
    response.set_header("Allow", "POST");
    protocolError(request, response, 405, RpcCode::InvalidRequest,
                  QStringLiteral("Use POST para chamar os métodos de ZAV50000.rdmCancelaNFE."));
}

// What keeps the thread's connection from reaching the invoice store; empty
// when it works. A connection that failed is dropped for the next call.
QString databaseProblem() {
    QString problem;
    try {
        bool failed = false;
        {
            QSqlQuery query(ThreadDatabase::get());
            if (!query.exec(QString::fromLatin1(kHealthSql))) {
                failed = true;
                problem = QStringLiteral("Erro no banco de dados: %1").arg(query.lastError().text());
            }
        }
        if (failed)
            ThreadDatabase::discard();
    } catch (const zavdb::DatabaseError& error) {
        problem = error.text();
    } catch (const std::exception& error) {
        problem = QString::fromLocal8Bit(error.what());
    }
    return problem;
}

// Whatever the library answers by itself (unknown path, malformed HTTP)
// still carries a readable JSON-RPC error.
httplib::Server::HandlerResponse answerLibraryError(const httplib::Request& request,
                                                    httplib::Response& response) {
    if (!response.body.empty())
        return httplib::Server::HandlerResponse::Unhandled;
    switch (response.status) {
    case 404:
        protocolError(request, response, 404, RpcCode::MethodNotFound,
                      QStringLiteral("Endereço desconhecido: %1 %2. Os métodos ficam em POST %3.")
                          .arg(QString::fromStdString(request.method), QString::fromStdString(request.path),
                               QLatin1StringView(kEndpointPath)));
        break;
    case 413:
        protocolError(request, response, 413, RpcCode::InvalidRequest,
                      QStringLiteral("Requisição grande demais para o servidor."));
        break;
    default:
        protocolError(request, response, response.status, RpcCode::InvalidRequest,
                      QStringLiteral("Requisição HTTP inválida (status %1).").arg(response.status));
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
}

} // namespace

HttpEndpoint::HttpEndpoint(const ServerOptions& options, const RpcDispatcher& dispatcher, CallLog& log)
    : m_options(options), m_dispatcher(dispatcher), m_log(log),
      m_server(std::make_unique<httplib::Server>()) {
    const int threads = m_options.threads;
    // The server takes ownership of the queue it is given and deletes it when
    // it stops.
    m_server->new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    m_server->set_tcp_nodelay(true);
    m_server->set_keep_alive_max_count(kKeepAliveMaxCount);
    m_server->set_payload_max_length(size_t(m_options.maxBody));
    installRoutes();
}

HttpEndpoint::~HttpEndpoint() = default;

void HttpEndpoint::installRoutes() {
    m_server->Post(kEndpointPath,
                   [this](const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader) { serveCall(request, response, reader); });
    m_server->Get(kEndpointPath, askForPost);
    m_server->Get(kHealthPath,
                  [this](const httplib::Request&, httplib::Response& response) { answerHealth(response); });
    m_server->set_error_handler(httplib::Server::HandlerWithResponse(answerLibraryError));
    m_server->set_exception_handler(
        [](const httplib::Request& request, httplib::Response& response, const std::exception_ptr&) {
            protocolError(request, response, 500, RpcCode::ServerError,
                          QStringLiteral("Erro interno do servidor."));
        });
}

void HttpEndpoint::serveCall(const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader) {
    QElapsedTimer timer;
    timer.start();
    const bool cbor = prefersCbor(request.get_header_value("Accept"));
    try {
        QByteArray body;
        switch (readBody(request, response, reader, m_options.maxBody, body)) {
        case BodyRead::TooLarge:
            refuseTooLarge(request, response, timer, cbor);
            return;
        case BodyRead::Incomplete:
            protocolError(request, response, 400, RpcCode::InvalidRequest,
                          QStringLiteral("Requisição incompleta: o corpo não pôde ser lido."));
            return;
        case BodyRead::Whole:
            break;
        }
        answerCall(request, body, timer, cbor, response);
    } catch (const std::exception& error) {
        // Nothing escapes into the HTTP library: an unexpected failure is
        // still an answer the caller can read.
        const QString message =
            QStringLiteral("Erro interno do servidor: %1").arg(QString::fromLocal8Bit(error.what()));
        protocolError(request, response, 500, RpcCode::ServerError, message);
        m_log.call(CallOutcome{QString(), -1, int(RpcCode::ServerError), message}, millisecondsSince(timer),
                   0, cbor ? "cbor" : "json");
    }
}

void HttpEndpoint::refuseTooLarge(const httplib::Request& request, httplib::Response& response,
                                  const QElapsedTimer& timer, bool cbor) {
    const QString message = QStringLiteral("Requisição grande demais: o limite do servidor é de %1 bytes.")
                                .arg(m_options.maxBody);
    protocolError(request, response, 413, RpcCode::InvalidRequest, message);
    m_log.call(CallOutcome{QString(), -1, int(RpcCode::InvalidRequest), message}, millisecondsSince(timer),
               qint64(response.body.size()), cbor ? "cbor" : "json");
}

void HttpEndpoint::answerCall(const httplib::Request& request, const QByteArray& body,
                              const QElapsedTimer& timer, bool cbor, httplib::Response& response) {
    const std::unique_ptr<ResponseEncoder> encoder = encoderFor(cbor);
    CallOutcome outcome;
    const QByteArray reply = m_dispatcher.dispatch(body, requestFormat(request), *encoder, outcome);
    const double elapsed = millisecondsSince(timer);
    response.status = 200;
    // A plain body, not a content provider: the library stops calling
    // providers once the server is stopping, and a call in progress at
    // SIGTERM must still get its whole answer.
    response.set_content(reply.constData(), size_t(reply.size()), encoder->contentType().toStdString());
    m_log.call(outcome, elapsed, reply.size(), cbor ? "cbor" : "json");
}

void HttpEndpoint::answerHealth(httplib::Response& response) {
    const QString problem = databaseProblem();
    QJsonObject body;
    if (problem.isEmpty()) {
        body.insert(QStringLiteral("status"), QStringLiteral("ok"));
        response.status = 200;
    } else {
        body.insert(QStringLiteral("status"), QStringLiteral("erro"));
        body.insert(QStringLiteral("message"), problem);
        response.status = 503;
        m_log.note(QStringLiteral("health erro \"%1\"").arg(problem));
    }
    response.set_content(jsonText(body), "application/json; charset=utf-8");
}

int HttpEndpoint::bind() {
    if (m_options.port == 0)
        return m_server->bind_to_any_port(m_options.host.toStdString());
    return m_server->bind_to_port(m_options.host.toStdString(), m_options.port) ? m_options.port : -1;
}

bool HttpEndpoint::run() {
    return m_server->listen_after_bind();
}

bool HttpEndpoint::isRunning() const {
    return m_server->is_running();
}

void HttpEndpoint::stop() {
    m_server->stop();
}

} // namespace zavserver
