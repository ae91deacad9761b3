#include "authority/authorityclient.h"
#include "authority/authoritytls.h"

#include <httplib.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace zavserver {

namespace {

QString describe(httplib::Error error, long verifyResult, unsigned long tlsError) {
    switch (error) {
    case httplib::Error::Connection:
        return QStringLiteral("não foi possível conectar");
    case httplib::Error::ConnectionTimeout:
        return QStringLiteral("tempo de conexão esgotado");
    case httplib::Error::Read:
    case httplib::Error::Write:
        // Under TLS 1.3 the authority refuses the company's certificate after
        // the handshake: its alert comes with the first read.
        if (tlsError != 0 && ERR_GET_LIB(tlsError) == ERR_LIB_SSL)
            return AuthorityClient::tlsFailure(tlsError);
        return error == httplib::Error::Read ? QStringLiteral("sem resposta ou tempo esgotado")
                                             : QStringLiteral("falha ao enviar o pedido");
    case httplib::Error::SSLConnection:
        return AuthorityClient::tlsFailure(tlsError);
    case httplib::Error::SSLLoadingCerts:
        return QStringLiteral("não foi possível carregar os certificados confiáveis");
    case httplib::Error::SSLServerVerification:
        return QStringLiteral("certificado do servidor da autoridade não confere (%1): a cadeia dela "
                              "precisa estar no repositório do sistema ou no arquivo ca da tabela")
            .arg(QString::fromLatin1(X509_verify_cert_error_string(verifyResult)));
    default:
        return QString::fromStdString(httplib::to_string(error));
    }
}

// The error of a failed TLS exchange that says the most: the first of the
// TLS library's in the queue (an alert from the authority comes before the
// errors of tearing the connection down), or the last of any; the queue is
// emptied.
unsigned long tlsErrorOfQueue() {
    unsigned long chosen = 0, last = 0;
    while (const unsigned long e = ERR_get_error()) {
        last = e;
        if (chosen == 0 && ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) != SSL_R_SHUTDOWN_WHILE_IN_INIT)
            chosen = e;
    }
    return chosen != 0 ? chosen : last;
}

} // namespace

QString AuthorityClient::tlsFailure(unsigned long opensslError) {
    QString head = QStringLiteral("falha na conexão segura (TLS)");
    if (opensslError == 0)
        return head;
    const QString reason = QString::fromLatin1(ERR_reason_error_string(opensslError));
    if (ERR_GET_LIB(opensslError) != ERR_LIB_SSL)
        return QStringLiteral("%1: %2").arg(head, reason);
    switch (ERR_GET_REASON(opensslError)) {
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
        return QStringLiteral("a autoridade recusou a cadeia do certificado A1 (unknown_ca): o arquivo "
                              ".pfx precisa trazer os certificados intermediários de quem o emitiu");
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
        return QStringLiteral("a autoridade recusou o certificado da empresa por vencido (alerta "
                              "certificate_expired)");
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
        return QStringLiteral("a autoridade recusou o certificado da empresa por revogado (alerta "
                              "certificate_revoked)");
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
        return QStringLiteral("a autoridade recusou o certificado da empresa (%1)").arg(reason);
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_UNSUPPORTED_PROTOCOL:
        return QStringLiteral("a autoridade não aceita TLS 1.2 ou mais novo (%1)").arg(reason);
    case SSL_R_DH_KEY_TOO_SMALL:
    case SSL_R_EE_KEY_TOO_SMALL:
    case SSL_R_CA_KEY_TOO_SMALL:
    case SSL_R_CA_MD_TOO_WEAK:
        return QStringLiteral("a autoridade usa chaves ou assinaturas fracas demais para o nível de "
                              "segurança do OpenSSL (%1); se for mesmo ela, baixe nivelSeguranca na "
                              "seção dela da tabela de autoridades")
            .arg(reason);
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        return QStringLiteral("a autoridade recusou a negociação TLS (alerta handshake_failure): ela "
                              "pode exigir o certificado da empresa ou cifras que este servidor não "
                              "oferece");
    case SSL_R_WRONG_VERSION_NUMBER:
        return QStringLiteral("o endereço da autoridade não fala TLS (%1)").arg(reason);
    default:
        return QStringLiteral("%1: %2").arg(head, reason);
    }
}

AuthorityClient::AuthorityClient(const AuthorityConfig& config, zavnfe::SigningCertificate certificate)
    : m_config(config), m_certificate(std::move(certificate)) {}

AuthorityClient::~AuthorityClient() = default;

void AuthorityClient::abort() {
    m_aborted.store(true);
    std::lock_guard lock(m_mutex);
    for (auto& [key, client] : m_clients)
        client->stop();
}

httplib::SSLClient* AuthorityClient::clientFor(const AuthorityEndpoints& authority, const QUrl& url,
                                               QString* problem) {
    const int port = url.port(443);
    const QString key = url.host() + u':' + QString::number(port);
    std::lock_guard lock(m_mutex);
    auto it = m_clients.find(key);
    if (it != m_clients.end())
        return it->second.get();
    // The company's certificate is set by prepareAuthorityTls, the same way
    // for an A1 file's key and a token's.
    auto client = std::make_unique<httplib::SSLClient>(url.host().toStdString(), port);
    client->enable_server_certificate_verification(true);
    SSL_CTX* context = client->ssl_context();
    if (!context) {
        *problem = QStringLiteral("não foi possível criar o contexto TLS");
        return nullptr;
    }
    if (const QString tls = prepareAuthorityTls(context, m_config, authority, &m_certificate);
        !tls.isEmpty()) {
        *problem = tls;
        return nullptr;
    }
    const auto ms = [](int value) { return std::chrono::milliseconds(value); };
    client->set_connection_timeout(ms(m_config.connectMs()));
    client->set_read_timeout(ms(m_config.answerMs()));
    client->set_write_timeout(ms(m_config.answerMs()));
    client->set_keep_alive(true);
    // Small requests and answers: never wait to coalesce them (Nagle).
    client->set_tcp_nodelay(true);
    // An authority never redirects a SOAP call; following one would send the
    // signed event somewhere nobody configured.
    client->set_follow_location(false);
    return m_clients.emplace(key, std::move(client)).first->second.get();
}

AuthorityClient::Reply AuthorityClient::post(const AuthorityEndpoints& authority, const QUrl& url,
                                             const QByteArray& contentType, const QByteArray& envelope) {
    Reply reply;
    if (!url.isValid() || url.scheme() != u"https") {
        reply.failure = QStringLiteral("endereço da autoridade inválido: %1").arg(url.toString());
        return reply;
    }
    if (m_aborted.load()) {
        reply.failure = QStringLiteral("o servidor está sendo encerrado");
        return reply;
    }
    QString problem;
    httplib::SSLClient* found = clientFor(authority, url, &problem);
    if (!found) {
        reply.failure = problem;
        return reply;
    }
    httplib::SSLClient& client = *found;
    QString path = url.path(QUrl::FullyEncoded);
    if (path.isEmpty())
        path = QStringLiteral("/");
    if (url.hasQuery())
        path += u'?' + url.query(QUrl::FullyEncoded);
    ERR_clear_error(); // what is left after the call is this call's
    const httplib::Result result =
        client.Post(path.toStdString(), envelope.constData(), static_cast<size_t>(envelope.size()),
                    contentType.toStdString());
    if (!result) {
        // A token's key that failed in the handshake (the token removed, its
        // session gone) is said in the token's words.
        const QString onToken = m_certificate.onToken() ? m_certificate.keyFailure() : QString();
        reply.failure = m_aborted.load() ? QStringLiteral("interrompido: o servidor está sendo encerrado")
                        : !onToken.isEmpty()
                            ? onToken
                            : describe(result.error(), client.get_openssl_verify_result(), tlsErrorOfQueue());
        // The connection is unusable after a failure; the next request opens a new one.
        std::lock_guard lock(m_mutex);
        m_clients.erase(url.host() + u':' + QString::number(url.port(443)));
        return reply;
    }
    if (result->status != 200 && result->body.empty()) {
        reply.failure = QStringLiteral("a autoridade respondeu HTTP %1").arg(result->status);
        return reply;
    }
    // A SOAP fault comes with HTTP 500 and a body; the caller reads it.
    reply.answered = true;
    reply.body = QByteArray::fromStdString(result->body);
    return reply;
}

} // namespace zavserver
