#include "authorityservice.h"

#include "authoritymessages.h"
#include "soap.h"
#include "statuscodes.h"

#include <QElapsedTimer>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>

namespace zavauthority {

namespace {

const char* const kSoapType = "application/soap+xml; charset=utf-8";

// Takes one of the remaining drops, if any is left.
bool takeOne(std::atomic<int>& remaining) {
    int left = remaining.load();
    while (left > 0 && !remaining.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

// Ends the exchange without an answer: the connection closes before a byte
// of the body is written, as when an answer is lost on the way.
void dropAnswer(httplib::Response& response) {
    response.set_content_provider(1, kSoapType, [](size_t, size_t, httplib::DataSink&) { return false; });
}

// Whether the client closed its end of the connection (or it broke): a
// client that gave up waiting.
bool clientClosed(const SSL* client) {
    const int fd = client ? SSL_get_fd(client) : -1;
    if (fd < 0)
        return false;
    pollfd watch{fd, POLLRDHUP, 0};
    return ::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// The action parameter of a SOAP 1.2 Content-Type, quoted or not; nothing
// when there is none.
std::optional<QByteArray> soapAction(const QByteArray& contentType) {
    for (const QByteArray& part : contentType.split(';')) {
        const QByteArray parameter = part.trimmed();
        if (!parameter.toLower().startsWith("action="))
            continue;
        QByteArray value = parameter.mid(7).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        if (value.isEmpty())
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

// Where a TLS context keeps the request log for logRefusedHandshake: an
// index of its own, as OpenSSL hands them out.
int logIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// A handshake the authority refused (an alert it sent), in its request log:
// without it a client refused for its chain (unknown_ca) leaves no trace.
void logRefusedHandshake(const SSL* ssl, int where, int value) {
    if ((where & SSL_CB_WRITE_ALERT) == 0 || SSL_alert_type_string(value)[0] != 'F')
        return;
    auto* log = static_cast<RequestLog*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), logIndex()));
    if (!log)
        return;
    QString peer = QStringLiteral("?");
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[INET6_ADDRSTRLEN] = {};
    if (getpeername(SSL_get_fd(ssl), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        const bool v4 = address.ss_family == AF_INET;
        const void* raw =
            v4 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&address)->sin_addr)
               : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr);
        const int port = ntohs(v4 ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                  : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
        if (inet_ntop(address.ss_family, raw, host, sizeof host))
            peer = QStringLiteral("%1:%2").arg(QString::fromLatin1(host)).arg(port);
    }
    const long verify = SSL_get_verify_result(ssl);
    log->line(QStringLiteral("%1 handshake TLS recusado: alerta %2%3")
                  .arg(peer, QString::fromLatin1(SSL_alert_desc_string_long(value)))
                  .arg(verify != X509_V_OK
                           ? QStringLiteral(" (certificado do cliente: %1)")
                                 .arg(QString::fromLatin1(X509_verify_cert_error_string(verify)))
                           : QString()));
}

// The handshake trusts the roots of its CA file only. The intermediates the
// file may hold besides them are the authority's to complete the chains of
// event signatures (SignatureCheck), as the real authorities hold the
// ICP-Brasil chain; a client must still present its own intermediates in
// the handshake, as the real ones require. False when the store could not
// be rebuilt.
bool trustRootsOnly(SSL_CTX* context) {
    X509_STORE* current = SSL_CTX_get_cert_store(context);
    STACK_OF(X509)* all = current ? X509_STORE_get1_all_certs(current) : nullptr;
    X509_STORE* roots = all ? X509_STORE_new() : nullptr;
    bool ok = roots != nullptr;
    for (int i = 0; ok && i < sk_X509_num(all); ++i) {
        X509* certificate = sk_X509_value(all, i);
        if ((X509_get_extension_flags(certificate) & EXFLAG_SS) != 0)
            ok = X509_STORE_add_cert(roots, certificate) == 1;
    }
    sk_X509_pop_free(all, X509_free);
    if (!ok) {
        X509_STORE_free(roots);
        return false;
    }
    SSL_CTX_set_cert_store(context, roots); // frees the store it had
    return true;
}

} // namespace

AuthorityService::AuthorityService(const AuthorityOptions& options, const EventReception& events,
                                   const StatusConsultation& status, const ServiceStatus& serviceStatus,
                                   RequestLog& log)
    : m_options(options), m_events(events), m_status(status), m_serviceStatus(serviceStatus), m_log(log),
      m_server(std::make_unique<httplib::SSLServer>(options.certificate.toLocal8Bit().constData(),
                                                    options.key.toLocal8Bit().constData(),
                                                    options.tlsClientCa.toLocal8Bit().constData())),
      m_dropAnswers(options.dropAnswers), m_dropRequests(options.dropRequests) {
    // With client certificates verified, OpenSSL resumes a session only
    // inside a named context; without one it ends the resuming handshake
    // with an internal_error alert and nothing logged.
    static constexpr unsigned char kSessionContext[] = "zav-authority";
    if (m_server->is_valid() && SSL_CTX_set_session_id_context(m_server->ssl_context(), kSessionContext,
                                                               sizeof kSessionContext - 1) != 1)
        m_sessionProblem = true;
    if (m_server->is_valid() && !trustRootsOnly(m_server->ssl_context()))
        m_trustProblem = true;
    if (m_server->is_valid()) {
        SSL_CTX_set_ex_data(m_server->ssl_context(), logIndex(), &m_log);
        SSL_CTX_set_info_callback(m_server->ssl_context(), logRefusedHandshake);
    }
    m_server->set_payload_max_length(kMaxRequestBytes);
    m_server->set_read_timeout(30, 0);
    // One SOAP call is one small request and one small answer: waiting to
    // coalesce them (Nagle) costs the delayed-ACK time on every call.
    m_server->set_tcp_nodelay(true);
    m_server->set_keep_alive_max_count(100);
    m_server->Post(kEventPath, [this](const httplib::Request& request, httplib::Response& response) {
        handle(Service::Event, request, response);
    });
    m_server->Post(kStatusPath, [this](const httplib::Request& request, httplib::Response& response) {
        handle(Service::Status, request, response);
    });
    m_server->Post(kServiceStatusPath, [this](const httplib::Request& request, httplib::Response& response) {
        handle(Service::ServiceStatus, request, response);
    });
    m_server->Get(kRequestCountPath, [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(requestCounts().toStdString(), "text/plain; charset=utf-8");
    });
}

QString AuthorityService::requestCounts() const {
    return QStringLiteral("evento %1\nconsulta %2\nstatus %3\n")
        .arg(m_received[size_t(Service::Event)].load())
        .arg(m_received[size_t(Service::Status)].load())
        .arg(m_received[size_t(Service::ServiceStatus)].load());
}

QString AuthorityService::tlsProblem() const {
    if (m_sessionProblem)
        return QStringLiteral("o OpenSSL não aceitou o contexto de sessão TLS");
    if (m_trustProblem)
        return QStringLiteral("as raízes da AC de clientes (%1) não puderam ser separadas das intermediárias")
            .arg(m_options.tlsClientCa);
    if (m_server->is_valid())
        return {};
    return QStringLiteral("o certificado TLS (%1), sua chave (%2) ou a AC de clientes (%3) não foram aceitos")
        .arg(m_options.certificate, m_options.key, m_options.tlsClientCa);
}

int AuthorityService::bind() {
    const std::string host = m_options.host.toStdString();
    if (m_options.port == 0)
        return m_server->bind_to_any_port(host);
    return m_server->bind_to_port(host, m_options.port) ? m_options.port : -1;
}

bool AuthorityService::run() {
    return m_server->listen_after_bind();
}

void AuthorityService::stop() {
    {
        const std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_server->stop();
}

bool AuthorityService::hold(int ms, const SSL* client) {
    // The client's end is looked at this often: no event tells of it here.
    static constexpr auto kClientCheck = std::chrono::milliseconds(100);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(m_stopMutex);
    while (!m_stopping) {
        const auto now = std::chrono::steady_clock::now();
        if (ms > 0 && now >= end)
            return true;
        if (clientClosed(client))
            return true;
        std::chrono::steady_clock::duration step = kClientCheck;
        if (ms > 0)
            step = client ? std::min<std::chrono::steady_clock::duration>(step, end - now) : end - now;
        m_stopped.wait_for(lock, step);
    }
    return false;
}

struct AuthorityService::Exchange {
    Exchange(const httplib::Request& request, RequestLog& log) : log(log) {
        clock.start();
        peer =
            QStringLiteral("%1:%2").arg(QString::fromStdString(request.remote_addr)).arg(request.remote_port);
        path = QString::fromStdString(request.path);
    }
    // The request's log line.
    void note(int httpStatus, const QString& what) const {
        log.line(QStringLiteral("%1 %2 HTTP %3 %4 (%5 ms)")
                     .arg(peer, path)
                     .arg(httpStatus)
                     .arg(what)
                     .arg(clock.elapsed()));
    }

    QElapsedTimer clock;
    QString peer, path;
    RequestLog& log;
};

void AuthorityService::handle(Service service, const httplib::Request& request, httplib::Response& response) {
    const Exchange exchange(request, m_log);
    ++m_received[size_t(service)];
    if (withhold(service, request, response, exchange))
        return;
    try {
        respond(service, request, response, exchange);
    } catch (const std::exception& failure) {
        // Nothing may leave the handler: the client gets a SOAP fault.
        response.status = 500;
        response.set_content(zavnfe::Soap::fault(false, QString::fromUtf8(failure.what())).toStdString(),
                             kSoapType);
        exchange.note(500, QStringLiteral("erro interno: %1").arg(QString::fromUtf8(failure.what())));
    }
}

bool AuthorityService::withhold(Service service, const httplib::Request& request, httplib::Response& response,
                                const Exchange& exchange) {
    if (m_options.hang) {
        // The request was read whole (httplib reads it before calling here).
        const bool stopped = !hold(m_options.hangMs, request.ssl);
        dropAnswer(response);
        exchange.note(0, stopped ? QStringLiteral("conexão fechada sem resposta no encerramento (--hang)")
                                 : QStringLiteral("conexão fechada sem resposta (--hang)"));
        return true;
    }
    if (service == Service::Event && takeOne(m_dropRequests)) {
        dropAnswer(response);
        exchange.note(0, QStringLiteral("conexão fechada sem processar (--drop-requests)"));
        return true;
    }
    return false;
}

void AuthorityService::respond(Service service, const httplib::Request& request, httplib::Response& response,
                               const Exchange& exchange) {
    const QByteArray contentType = QByteArray::fromStdString(request.get_header_value("Content-Type"));
    const QByteArray type = contentType.toLower();
    if (!type.startsWith("application/soap+xml"))
        return refuse(response, exchange, 415,
                      QStringLiteral("Content-Type deve ser application/soap+xml (SOAP 1.2)"));
    const char* soapService = service == Service::Event    ? zavnfe::Soap::kEventService
                              : service == Service::Status ? zavnfe::Soap::kStatusService
                                                           : zavnfe::Soap::kServiceStatusService;
    const char* operation = service == Service::Event    ? zavnfe::Soap::kEventOperation
                            : service == Service::Status ? zavnfe::Soap::kStatusOperation
                                                         : zavnfe::Soap::kServiceStatusOperation;
    // As the services' WSDL define them (SOAP 1.2 document/literal): the
    // action of the operation, and its message nfeDadosMsg in the service's
    // namespace. The real services refuse anything else at the SOAP layer,
    // with a Sender fault and HTTP 500, before the message is read.
    const std::optional<QByteArray> action = soapAction(contentType);
    const QByteArray expected = QByteArray(soapService) + '/' + operation;
    if (!action)
        return refuse(
            response, exchange, 500,
            QStringLiteral("Unable to handle request without a valid action parameter. Please supply a "
                           "valid soap action."));
    if (*action != expected)
        return refuse(response, exchange, 500,
                      QStringLiteral("Unable to handle request. The action '%1' was not recognized.")
                          .arg(QString::fromUtf8(*action)));
    QString error;
    bool notTheService = false;
    const QByteArray payload =
        zavnfe::Soap::payload(QByteArray::fromStdString(request.body), &error, soapService, &notTheService);
    if (payload.isEmpty())
        return refuse(response, exchange, notTheService ? 500 : 400, error);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const ServiceAnswer answer =
        this->answer(service, QByteArray::fromStdString(request.body), payload, now, request.ssl);
    delay();
    if (service == Service::Event && takeOne(m_dropAnswers)) {
        dropAnswer(response);
        exchange.note(0,
                      answer.summary + QStringLiteral(" — processado, resposta descartada (--drop-answers)"));
        return;
    }
    response.status = 200;
    response.set_content(zavnfe::Soap::resultEnvelope(soapService, answer.payload).toStdString(), kSoapType);
    exchange.note(200, answer.summary);
}

void AuthorityService::refuse(httplib::Response& response, const Exchange& exchange, int httpStatus,
                              const QString& why) {
    delay();
    response.status = httpStatus;
    response.set_content(zavnfe::Soap::fault(true, why).toStdString(), kSoapType);
    exchange.note(httpStatus, QStringLiteral("recusada: %1").arg(why));
}

void AuthorityService::delay() {
    if (m_options.delayMs > 0)
        hold(m_options.delayMs, nullptr);
}

ServiceAnswer AuthorityService::answer(Service service, const QByteArray& body, const QByteArray& payload,
                                       const QDateTime& now, const SSL* ssl) const {
    // As the real authorities: a message with edit characters is refused
    // whole before anything else about it is read, then a paused service
    // answers only that it is paused. A consumer blocked for misuse is
    // refused before either, its message left unread.
    const bool edited = zavnfe::editCharacterAt(body) >= 0;
    const int refusal = edited ? int(EditCharacters) : m_options.paused;
    const int blocked = m_options.excessiveUse ? int(ExcessiveUse) : refusal;
    switch (service) {
    case Service::Event:
        if (blocked != 0)
            return m_events.refuse(payload, blocked);
        // The intermediates the client presented (its own certificate is not
        // in this list on the server's side) may complete a signer's chain.
        return m_events.process(payload, now, ssl ? SSL_get_peer_cert_chain(ssl) : nullptr);
    case Service::ServiceStatus:
        if (refusal != 0)
            return m_serviceStatus.refuse(payload, refusal, now);
        return m_serviceStatus.process(payload, now);
    case Service::Status:
        if (blocked != 0)
            return m_status.refuse(payload, blocked, now);
        return m_status.process(payload, now);
    }
    return m_status.refuse(payload, UncataloguedError, now);
}

} // namespace zavauthority
