#include "netconnection.h"

#include "exceptions.h"
#include "net/jsonrpccodec.h"
#include "session.h"
#include <algorithm>

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {

bool isLoopbackHost(const QString& host) {
    if (host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

const char* const kHealthPath = "/health";
const char* const kCborType = "application/cbor";
const char* const kJsonType = "application/json";

QString seconds(int ms) {
    return QString::number(ms / 1000.0, 'g', 3).replace(u'.', u',');
}

} // namespace

struct TNetConnection::Exchange {
    HttpResult result;
    Abort abort = Abort::None;
    int timeoutMs = 0;
};

TNetConnection::TNetConnection(QObject* parent) : QObject(parent), m_alive(std::make_shared<bool>(true)) {}

TNetConnection::~TNetConnection() {
    *m_alive = false;
    if (m_current) {
        m_abort = Abort::Destroyed;
        m_current->cancel();
    }
}

QString TNetConnection::Scheme() {
    return Session::values().webPlainHttp ? QStringLiteral("http") : QStringLiteral("https");
}

QString TNetConnection::EndpointUrl() const {
    QUrl url;
    url.setScheme(Scheme());
    url.setHost(Host);
    url.setPort(Port);
    url.setPath(u'/' + ServerName);
    return url.toString();
}

void TNetConnection::SetConnected(bool connected) {
    if (!connected) {
        m_connected = false;
        if (m_current) {
            m_abort = Abort::Closed;
            m_current->cancel();
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
    if (Session::values().webPlainHttp && !isLoopbackHost(Host))
        return QStringLiteral(
                   "HTTP sem TLS só é usado com um servidor na própria máquina (loopback); o servidor "
                   "\"%1\" exige HTTPS (WebProtocolo=https e WebCA na configuração).")
            .arg(Host);
    QUrl url;
    url.setScheme(Scheme());
    url.setHost(Host);
    url.setPort(Port);
    url.setPath(QLatin1StringView(kHealthPath));
    HttpRequest request;
    request.caFile = Session::values().webCaFile;
    request.url = url.toEncoded();
    request.totalTimeoutMs = std::max(1, ConnectTimeout);
    const Exchange e = exchange(std::move(request));
    if (e.abort == Abort::Destroyed)
        return QStringLiteral("a conexão foi encerrada durante a tentativa.");
    if (e.result.outcome != HttpResult::Outcome::Answered || e.result.status == 0)
        return transportCause(e);
    if (e.result.status == 200)
        return {};
    // The server is up but cannot serve: its health answer says why.
    const QJsonObject health = QJsonDocument::fromJson(e.result.body).object();
    const QString message = health.value(QLatin1StringView("message")).toString();
    if (!message.isEmpty())
        return QStringLiteral("o servidor de aplicação está no ar mas não atende: %1").arg(message);
    return QStringLiteral(
               "o servidor em %1:%2 respondeu HTTP %3 ao teste de conexão; é o servidor de aplicação?")
        .arg(Host)
        .arg(Port)
        .arg(e.result.status);
}

TNetConnection::Exchange TNetConnection::exchange(HttpRequest request) {
    Exchange e;
    e.timeoutMs = request.totalTimeoutMs;
    const std::shared_ptr<bool> alive = m_alive;
    HttpExchange http(std::move(request));
    m_current = &http;
    m_abort = Abort::None;
    e.result = http.run();
    if (!*alive) {
        // The connection went away while waiting: nothing of this object
        // may be touched any more.
        e.abort = Abort::Destroyed;
        return e;
    }
    m_current = nullptr;
    if (e.result.outcome == HttpResult::Outcome::Cancelled)
        e.abort = m_abort;
    m_abort = Abort::None;
    return e;
}

QString TNetConnection::transportCause(const Exchange& e) const {
    const QString where = QStringLiteral("%1:%2").arg(Host).arg(Port);
    switch (e.abort) {
    case Abort::Closed:
        return QStringLiteral("a conexão foi fechada durante a chamada.");
    case Abort::Destroyed:
        return QStringLiteral("a conexão foi encerrada durante a chamada.");
    case Abort::None:
        break;
    }
    using Outcome = HttpResult::Outcome;
    switch (e.result.outcome) {
    case Outcome::ConnectTimeout:
        return QStringLiteral("não foi possível conectar a %1 em %2 s.").arg(where, seconds(ConnectTimeout));
    case Outcome::Timeout:
        return QStringLiteral("o servidor %1 não respondeu em %2 s.").arg(where, seconds(e.timeoutMs));
    case Outcome::Refused:
        return QStringLiteral("conexão recusada por %1 (o servidor de aplicação não está no ar?).")
            .arg(where);
    case Outcome::HostNotFound:
        return QStringLiteral("servidor %1 não encontrado.").arg(Host);
    case Outcome::ClosedBeforeAnswer:
        return QStringLiteral("o servidor %1 fechou a conexão sem responder.").arg(where);
    case Outcome::ClosedMidAnswer:
        return QStringLiteral(
                   "o servidor %1 fechou a conexão antes do fim da resposta (resposta incompleta).")
            .arg(where);
    case Outcome::Untrusted:
        return QStringLiteral("o certificado do servidor %1 não é confiável ou não é deste servidor (%2).")
            .arg(where, e.result.detail);
    case Outcome::TlsFailed:
        return QStringLiteral("não foi possível estabelecer a conexão segura (TLS) com %1 (%2).")
            .arg(where, e.result.detail);
    case Outcome::BadCaFile:
        return QStringLiteral("o arquivo da autoridade certificadora \"%1\" não pôde ser lido.")
            .arg(Session::values().webCaFile);
    case Outcome::NotHttp:
        return QStringLiteral("o servidor %1 respondeu algo que não é HTTP (%2).")
            .arg(where, e.result.detail);
    case Outcome::Cancelled:
        return QStringLiteral("a chamada foi interrompida.");
    case Outcome::Answered:
        if (e.result.status == 0)
            return QStringLiteral("o servidor %1 não respondeu.").arg(where);
        break;
    case Outcome::Failed:
        break;
    }
    return QStringLiteral("%1 (%2).").arg(e.result.detail, where);
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

    HttpRequest request;
    request.url = QUrl(EndpointUrl()).toEncoded();
    request.caFile = Session::values().webCaFile;
    request.post = true;
    request.body = body;
    request.headers = {QByteArray("Content-Type: ") +
                           (UseCbor ? QByteArray(kCborType) : QByteArray(kJsonType) + "; charset=utf-8"),
                       QByteArray("Accept: ") + (UseCbor ? QByteArray(kCborType) + ", " + kJsonType + ";q=0.5"
                                                         : QByteArray(kJsonType))};
    if (!Session::values().webToken.isEmpty())
        request.headers.append("Authorization: Bearer " + Session::values().webToken.toLatin1());
    request.connectTimeoutMs = ConnectTimeout > 0 && ConnectTimeout < CallTimeout ? ConnectTimeout : 0;
    request.totalTimeoutMs = std::max(1, CallTimeout);
    Exchange e = exchange(std::move(request));
    if (!*alive)
        throw EZavError(errorText + u' ' + QStringLiteral("a conexão foi encerrada durante a chamada."));
    if (e.abort != Abort::None || e.result.outcome != HttpResult::Outcome::Answered || e.result.status == 0) {
        // The next call connects again, with the address the session then gives.
        m_connected = false;
        m_lastError = ConnectionErrorText + u' ' + transportCause(e);
        throw EZavError(m_lastError);
    }
    return decodeRpcResponse(e.result.status, e.result.contentType, e.result.body, id, EndpointUrl());
}
