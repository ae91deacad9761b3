#include "netconnection.h"

#include "exceptions.h"
#include "net/jsonrpccodec.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

const char* const kHealthPath = "/health";
const char* const kCborType = "application/cbor";
const char* const kJsonType = "application/json";

QString seconds(int ms) {
    return QString::number(ms / 1000.0, 'g', 3).replace(u'.', u',');
}

// Transport failures: the connection, not the answer, went wrong.
bool isTransportError(int error) {
    return error > 0 && error < 100;
}

} // namespace

struct TNetConnection::Exchange {
    enum class Abort { None, Connect, Total, Closed, Destroyed };
    int error = QNetworkReply::NoError;
    QString errorString;
    int status = 0; // 0: no response head arrived
    QByteArray contentType;
    QByteArray body;
    Abort abort = Abort::None;
    int timeoutMs = 0;
};

TNetConnection::TNetConnection(QObject* parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_alive(std::make_shared<bool>(true)) {
    m_manager->setObjectName(QStringLiteral("netAccess"));
    // The application server is reached directly: a proxy from the
    // environment would see every invoice go by.
    m_manager->setProxy(QNetworkProxy::NoProxy);
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_manager->setAutoDeleteReplies(false);
}

TNetConnection::~TNetConnection() {
    *m_alive = false;
    if (m_current)
        m_current->abort();
}

QString TNetConnection::EndpointUrl() const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(Host);
    url.setPort(Port);
    url.setPath(u'/' + ServerName);
    return url.toString();
}

void TNetConnection::SetConnected(bool connected) {
    if (!connected) {
        m_connected = false;
        if (m_current) {
            m_closing = true;
            m_current->abort();
        }
        return;
    }
    if (m_connected)
        return;
    const std::shared_ptr<bool> alive = m_alive;
    const QString cause = connectServer();
    if (!*alive)
        return; // destroyed while it waited for the server: nothing left to set
    if (cause.isEmpty()) {
        m_connected = true;
        m_lastError.clear();
        return;
    }
    m_lastError = ConnectionErrorText + u' ' + cause;
    if (ThrowException)
        throw EZavError(m_lastError);
}

QString TNetConnection::connectServer() {
    if (BeforeConnect)
        BeforeConnect(this);
    if (Host.trimmed().isEmpty() || Port < 1 || Port > 65535)
        return QStringLiteral(
                   "endereço do servidor de aplicação não configurado (servidor \"%1\", porta %2).")
            .arg(Host)
            .arg(Port);
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(Host);
    url.setPort(Port);
    url.setPath(QLatin1StringView(kHealthPath));
    QNetworkRequest request(url);
    const Exchange e = exchange(request, nullptr, ConnectTimeout);
    if (e.abort == Exchange::Abort::Destroyed)
        return QStringLiteral("a conexão foi encerrada durante a tentativa.");
    if (isTransportError(e.error) || e.status == 0)
        return transportCause(e);
    if (e.status == 200)
        return {};
    // The server is up but cannot serve: its health answer says why.
    const QJsonObject health = QJsonDocument::fromJson(e.body).object();
    const QString message = health.value(QLatin1StringView("message")).toString();
    if (!message.isEmpty())
        return QStringLiteral("o servidor de aplicação está no ar mas não atende: %1").arg(message);
    return QStringLiteral(
               "o servidor em %1:%2 respondeu HTTP %3 ao teste de conexão; é o servidor de aplicação?")
        .arg(Host)
        .arg(Port)
        .arg(e.status);
}

TNetConnection::Exchange TNetConnection::exchange(QNetworkRequest& request, const QByteArray* body,
                                                  int totalMs) {
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setRawHeader("User-Agent", "zavhost");
    Exchange e;
    e.timeoutMs = totalMs;

    const std::shared_ptr<bool> alive = m_alive;
    QPointer<QNetworkReply> reply = body ? m_manager->post(request, *body) : m_manager->get(request);
    m_current = reply;

    QEventLoop loop;
    QTimer total;
    total.setSingleShot(true);
    QTimer connecting;
    connecting.setSingleShot(true);
    // The replies' own signals only end the loop or stop a timer: nothing that
    // can throw runs inside it.
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QObject::destroyed, &loop, &QEventLoop::quit);
    connect(&total, &QTimer::timeout, &loop, [&e, reply] {
        e.abort = Exchange::Abort::Total;
        if (reply)
            reply->abort();
    });
    connect(&connecting, &QTimer::timeout, &loop, [&e, reply] {
        e.abort = Exchange::Abort::Connect;
        if (reply)
            reply->abort();
    });
    // Connected once the request has gone out or anything came back.
    connect(reply, &QNetworkReply::requestSent, &connecting, &QTimer::stop);
    connect(reply, &QNetworkReply::metaDataChanged, &connecting, &QTimer::stop);
    connect(reply, &QNetworkReply::uploadProgress, &connecting, [&connecting](qint64 sent, qint64) {
        if (sent > 0)
            connecting.stop();
    });

    if (!reply->isFinished()) {
        total.start(std::max(1, totalMs));
        if (body && ConnectTimeout > 0 && ConnectTimeout < totalMs)
            connecting.start(ConnectTimeout);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }

    if (!*alive || !reply) {
        // The connection (or its network manager) went away while waiting:
        // nothing of this object may be touched any more.
        e.abort = Exchange::Abort::Destroyed;
        e.error = QNetworkReply::OperationCanceledError;
        return e;
    }
    m_current = nullptr;
    if (m_closing) {
        m_closing = false;
        if (e.abort == Exchange::Abort::None && reply->error() == QNetworkReply::OperationCanceledError)
            e.abort = Exchange::Abort::Closed;
    }
    e.error = reply->error();
    e.errorString = reply->errorString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    e.status = status.isValid() ? status.toInt() : 0;
    e.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    if (reply->isOpen())
        e.body = reply->readAll();
    delete reply.data();
    return e;
}

QString TNetConnection::transportCause(const Exchange& e) const {
    const QString where = QStringLiteral("%1:%2").arg(Host).arg(Port);
    switch (e.abort) {
    case Exchange::Abort::Connect:
        return QStringLiteral("não foi possível conectar a %1 em %2 s.").arg(where, seconds(ConnectTimeout));
    case Exchange::Abort::Total:
        return QStringLiteral("o servidor %1 não respondeu em %2 s.").arg(where, seconds(e.timeoutMs));
    case Exchange::Abort::Closed:
        return QStringLiteral("a conexão foi fechada durante a chamada.");
    case Exchange::Abort::Destroyed:
        return QStringLiteral("a conexão foi encerrada durante a chamada.");
    case Exchange::Abort::None:
        break;
    }
    switch (e.error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("conexão recusada por %1 (o servidor de aplicação não está no ar?).")
            .arg(where);
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("servidor %1 não encontrado.").arg(Host);
    case QNetworkReply::RemoteHostClosedError:
        if (e.status != 0)
            return QStringLiteral(
                       "o servidor %1 fechou a conexão antes do fim da resposta (resposta incompleta).")
                .arg(where);
        return QStringLiteral("o servidor %1 fechou a conexão sem responder.").arg(where);
    case QNetworkReply::TimeoutError:
        return QStringLiteral("o servidor %1 não respondeu a tempo.").arg(where);
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("a rede não está disponível (%1).").arg(e.errorString);
    default:
        break;
    }
    if (e.status == 0 && e.error == QNetworkReply::NoError)
        return QStringLiteral("o servidor %1 não respondeu.").arg(where);
    return QStringLiteral("%1 (%2).").arg(e.errorString, where);
}

QVariant TNetConnection::AppServer(const QString& method, const QVariantList& args) {
    if (m_busy)
        throw EZavError(QStringLiteral("Já há uma chamada ao servidor em andamento (%1); aguarde o fim dela.")
                            .arg(method));
    struct BusyScope {
        bool& flag;
        std::shared_ptr<bool> alive;
        ~BusyScope() {
            if (*alive)
                flag = false;
        }
    } busy{m_busy, m_alive};
    m_busy = true;

    const QByteArray body = encodeRpcRequest(m_nextId, method, args, UseCbor);
    const qint64 id = m_nextId++;

    const std::shared_ptr<bool> alive = m_alive;
    const QString errorText = ConnectionErrorText;
    if (!m_connected) {
        const QString cause = connectServer();
        if (!*alive)
            throw EZavError(errorText + u' ' + QStringLiteral("a conexão foi encerrada durante a chamada."));
        if (!cause.isEmpty()) {
            m_lastError = ConnectionErrorText + u' ' + cause;
            throw EZavError(m_lastError);
        }
        m_connected = true;
    }

    QNetworkRequest request{QUrl(EndpointUrl())};
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      UseCbor ? QByteArray(kCborType) : QByteArray(kJsonType) + "; charset=utf-8");
    request.setRawHeader("Accept", UseCbor ? QByteArray(kCborType) + ", " + kJsonType + ";q=0.5"
                                           : QByteArray(kJsonType));
    Exchange e = exchange(request, &body, CallTimeout);
    if (!*alive)
        throw EZavError(errorText + u' ' + QStringLiteral("a conexão foi encerrada durante a chamada."));
    if (isTransportError(e.error) || e.status == 0) {
        // The next call connects again, with the address the session then gives.
        m_connected = false;
        m_lastError = ConnectionErrorText + u' ' + transportCause(e);
        throw EZavError(m_lastError);
    }
    return decodeRpcResponse(e.status, e.contentType, e.body, id, EndpointUrl());
}
