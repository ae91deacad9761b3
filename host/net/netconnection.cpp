#include "netconnection.h"

#include "data/datapacket.h"
#include "jsonrpccodec.h"
#include "services/exceptions.h"
#include "services/hostservices.h"
#include "services/hosttexts.h"
#include "services/session.h"
#include "services/userinputblock.h"
#include <algorithm>
#include <limits>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
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
const char* const kProgressMethod = "Progresso_Chamada";
// The one call made without a session.
const char* const kSignInMethod = "Login";

QString seconds(int ms) {
    return QString::number(ms / 1000.0, 'g', 3).replace(u'.', u',');
}

} // namespace

struct TNetConnection::Exchange {
    HttpResult result;
    Abort abort = Abort::None;
    int timeoutMs = 0;
    // What the server last said of the call's progress (total 0: nothing),
    // and for how long it had not changed when the call was given up on.
    int done = 0;
    int total = 0;
    qint64 quietMs = 0;
};

namespace {

// Why a call failed when its component was destroyed while it ran.
QString endedDuringCall() {
    return QStringLiteral("a conexão foi encerrada durante a chamada.");
}

// What a progress answer says: the call runs and has said how much it has.
struct Progress {
    bool known = false;
    int done = 0;
    int total = 0;
};

// Reads an answer to Progresso_Chamada; throws EZavError for an error or an
// answer that is not one (a server without the question).
Progress progressOf(const HttpResult& r, const QString& id, const QString& endpoint) {
    const QVariant answer = decodeRpcResponse(r.status, r.contentType, r.body, id, endpoint);
    if (!answer.canConvert<DataPacket>())
        throw EZavError(QStringLiteral("resposta sem pacote"));
    const DataPacket p = answer.value<DataPacket>();
    const int state = p.indexOf(QStringLiteral("SITUACAO"));
    const int done = p.indexOf(QStringLiteral("FEITAS"));
    const int total = p.indexOf(QStringLiteral("TOTAL"));
    if (p.rowCount() != 1 || state < 0 || done < 0 || total < 0)
        throw EZavError(QStringLiteral("resposta sem situação"));
    Progress seen;
    seen.total = std::clamp(p.value(0, total).toInt(), 0, 1 << 30);
    seen.done = std::clamp(p.value(0, done).toInt(), 0, seen.total);
    seen.known = p.value(0, state).toString() == QLatin1StringView("andamento") && seen.total > 0;
    return seen;
}

} // namespace

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
        return endedDuringCall();
    case Abort::TimedOut:
        return HostText::text(HostText::CallSilent).arg(where, seconds(e.timeoutMs));
    case Abort::Stalled:
        return HostText::text(HostText::CallStalled)
            .arg(where)
            .arg(e.done)
            .arg(e.total)
            .arg(seconds(int(std::min<qint64>(e.quietMs, std::numeric_limits<int>::max()))));
    case Abort::None:
        break;
    }
    using Outcome = HttpResult::Outcome;
    switch (e.result.outcome) {
    case Outcome::ConnectTimeout:
        return QStringLiteral("não foi possível conectar a %1 em %2 s.").arg(where, seconds(ConnectTimeout));
    case Outcome::Timeout:
        return HostText::text(HostText::CallSilent).arg(where, seconds(e.timeoutMs));
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
    return QStringLiteral("falha na comunicação com %1 (%2).").arg(where, e.result.detail);
}

bool TNetConnection::mayHaveReachedServer(const Exchange& e) {
    if (e.abort != Abort::None)
        return true; // given up on, closed or destroyed while it waited
    using Outcome = HttpResult::Outcome;
    switch (e.result.outcome) {
    case Outcome::Refused:
    case Outcome::HostNotFound:
    case Outcome::ConnectTimeout:
    case Outcome::Untrusted:
    case Outcome::TlsFailed:
    case Outcome::BadCaFile:
        return false; // no connection, or none the call could be sent on
    default:
        return true;
    }
}

QVariant TNetConnection::AppServer(const QString& method, const QVariantList& args) {
    // Only a session that was open can have ended: a call made before signing
    // in is refused as it is.
    const bool underSession = !Session::values().webToken.isEmpty();
    try {
        return callOnce(method, args);
    } catch (const ERpcError& refusal) {
        // The session ended (by the administrator, by its limits): the server
        // refused the call before doing any of it, so once the operator has
        // signed in again it is made again, once.
        if (refusal.code() != ERpcError::kSessionEnded || !underSession ||
            method == QLatin1StringView(kSignInMethod) || !::Host().signInAgain(refusal.text()))
            throw;
    }
    return callOnce(method, args);
}

QVariant TNetConnection::callOnce(const QString& method, const QVariantList& args) {
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

    const QString id = newRpcId();
    const QByteArray body = encodeRpcRequest(id, method, args, UseCbor);

    const std::shared_ptr<bool> alive = m_alive;
    const QString errorText = ConnectionErrorText;
    connectForCall();

    HttpRequest request = callRequest(body);
    // The answer is read as it arrives: a list's rows go into its packet
    // while the rest of them is still on its way.
    const auto answer = std::make_shared<RpcResponseReader>();
    request.bodySink = [answer](int status, const QByteArray& type, const char* data, qsizetype size) {
        answer->feed(status, type, data, size);
    };
    Exchange e = watchedExchange(std::move(request), id);
    if (!*alive)
        throw EZavError(errorText + u' ' + endedDuringCall() + u' ' + HostText::text(HostText::CallMayGoOn));
    if (e.abort != Abort::None || e.result.outcome != HttpResult::Outcome::Answered || e.result.status == 0) {
        // The next call connects again, with the address the session then gives.
        m_connected = false;
        m_lastError = ConnectionErrorText + u' ' + transportCause(e);
        if (mayHaveReachedServer(e))
            m_lastError += u' ' + HostText::text(HostText::CallMayGoOn);
        throw EZavError(m_lastError);
    }
    return answer->finish(e.result.status, e.result.contentType, id, EndpointUrl());
}

void TNetConnection::connectForCall() {
    if (m_connected)
        return;
    const std::shared_ptr<bool> alive = m_alive;
    const QString errorText = ConnectionErrorText;
    const QString cause = connectServer();
    if (!*alive)
        throw EZavError(errorText + u' ' + endedDuringCall());
    if (!cause.isEmpty()) {
        m_lastError = ConnectionErrorText + u' ' + cause;
        throw EZavError(m_lastError);
    }
    m_connected = true;
}

HttpRequest TNetConnection::callRequest(const QByteArray& body) const {
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
    // The call's own end is decided while it runs (watchedExchange): no
    // limit of the transfer's, but for the connection.
    const int callTimeout = std::max(1, CallTimeout);
    request.connectTimeoutMs =
        ConnectTimeout > 0 && ConnectTimeout < callTimeout ? ConnectTimeout : callTimeout;
    request.totalTimeoutMs = 0;
    return request;
}

HttpRequest TNetConnection::progressQuestion(const HttpRequest& call) const {
    HttpRequest question;
    question.url = call.url;
    question.caFile = call.caFile;
    question.post = true;
    question.headers = call.headers;
    question.connectTimeoutMs = call.connectTimeoutMs;
    question.totalTimeoutMs = std::max({ConnectTimeout, 2 * ProgressInterval, 1000});
    return question;
}

// The state of a call while it runs, shared by the handlers of its timers
// and of the answers to the progress question.
struct TNetConnection::CallWatch {
    QEventLoop& loop;
    HttpExchange& call;
    HttpRequest question; // its body set anew at each turn
    QString callId;
    QString endpoint;
    bool cbor = true;
    int callTimeout = 0;
    int stallTimeout = 0;
    std::shared_ptr<bool> alive;
    QString progressUnit;

    QElapsedTimer sent;
    QElapsedTimer changed; // since the progress last changed
    Progress last;
    bool asking = true; // false once the server showed it cannot answer the question
    Abort givenUp = Abort::None;
    std::unique_ptr<HttpExchange> pending;
    QString pendingId;
    // Braced: QTimer's constructor is explicit, and the struct is built by
    // designated initializers that leave these out.
    QTimer deadline{};
    QTimer ask{};

    // Runs the call to its end in the local loop, the operator's input
    // dropped meanwhile.
    void run(int progressInterval) {
        sent.start();
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, [this] { giveUp(); });
        ask.setInterval(std::max(50, progressInterval));
        QObject::connect(&ask, &QTimer::timeout, &loop, [this] { askProgress(); });

        ::Host().busyProgress(0, 0, progressUnit);
        call.start(&loop, [&loop = loop] { loop.quit(); });
        deadline.start(callTimeout);
        ask.start();
        {
            UserInputBlock block;
            loop.exec();
        }
        ask.stop();
        deadline.stop();
        if (pending) {
            pending->cancel();
            pending.reset();
        }
    }

    void giveUp() {
        givenUp = last.known ? Abort::Stalled : Abort::TimedOut;
        call.cancel();
    }

    // The question about the call's progress, on a connection of its own
    // each time; one at a time.
    void askProgress() {
        if (!asking || pending || !*alive)
            return;
        pendingId = newRpcId();
        question.body = encodeRpcRequest(pendingId, QLatin1StringView(kProgressMethod), {callId}, cbor);
        pending = std::make_unique<HttpExchange>(question);
        pending->start(&loop, [this] { progressAnswered(); });
    }

    void progressAnswered() {
        const HttpResult r = pending->take();
        pending.reset();
        if (r.outcome != HttpResult::Outcome::Answered || r.status == 0)
            return; // the question got lost: asked again at the next turn
        Progress now;
        try {
            now = progressOf(r, pendingId, endpoint);
        } catch (...) {
            asking = false; // a server without the question, or that refuses it: waited for as before
            return;
        }
        if (!now.known || (last.known && now.done == last.done && now.total == last.total))
            return;
        last = now;
        changed.start();
        ::Host().busyProgress(now.done, now.total, progressUnit);
        // It goes on: waited for StallTimeout more, and never less than CallTimeout in all.
        deadline.start(int(std::max<qint64>(callTimeout - sent.elapsed(), stallTimeout)));
    }
};

TNetConnection::Exchange TNetConnection::watchedExchange(HttpRequest request, const QString& id) {
    Exchange e;
    const int callTimeout = std::max(1, CallTimeout);
    e.timeoutMs = callTimeout;
    // Asked with the call's own headers (its session, its encoding).
    HttpRequest question = progressQuestion(request);
    const std::shared_ptr<bool> alive = m_alive;

    HttpExchange http(std::move(request));
    m_current = &http;
    m_abort = Abort::None;
    QEventLoop loop;
    CallWatch watch{.loop = loop,
                    .call = http,
                    .question = std::move(question),
                    .callId = id,
                    .endpoint = EndpointUrl(),
                    .cbor = UseCbor,
                    .callTimeout = callTimeout,
                    .stallTimeout = std::max(1, StallTimeout),
                    .alive = alive,
                    .progressUnit = ProgressUnit};
    watch.run(ProgressInterval);
    // The loop also ends when the application is quitting: the exchange then
    // ends too, and nothing it touches outlives this call.
    http.cancel();
    e.result = http.take();
    ::Host().busyProgress(0, 0, ProgressUnit);
    e.done = watch.last.done;
    e.total = watch.last.total;
    e.quietMs = watch.last.known ? watch.changed.elapsed() : 0;
    if (!*alive) {
        e.abort = Abort::Destroyed;
        return e;
    }
    m_current = nullptr;
    if (e.result.outcome == HttpResult::Outcome::Cancelled)
        e.abort = m_abort != Abort::None ? m_abort : watch.givenUp;
    m_abort = Abort::None;
    return e;
}
