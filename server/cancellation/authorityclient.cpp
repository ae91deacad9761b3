#include "cancellation/authorityclient.h"

#include <httplib.h>

#include <openssl/x509.h>

namespace zavserver {

namespace {

QString describe(httplib::Error error, long verifyResult) {
    switch (error) {
    case httplib::Error::Connection:
        return QStringLiteral("não foi possível conectar");
    case httplib::Error::ConnectionTimeout:
        return QStringLiteral("tempo de conexão esgotado");
    case httplib::Error::Read:
        return QStringLiteral("sem resposta ou tempo esgotado");
    case httplib::Error::Write:
        return QStringLiteral("falha ao enviar o pedido");
    case httplib::Error::SSLConnection:
        return QStringLiteral("falha na conexão segura (TLS)");
    case httplib::Error::SSLLoadingCerts:
        return QStringLiteral("não foi possível carregar os certificados das autoridades");
    case httplib::Error::SSLServerVerification:
        return QStringLiteral("certificado do servidor da autoridade não confere: %1")
            .arg(QString::fromLatin1(X509_verify_cert_error_string(verifyResult)));
    default:
        return QString::fromStdString(httplib::to_string(error));
    }
}

} // namespace

AuthorityClient::AuthorityClient(const AuthorityConfig& config, zavnfe::SigningCertificate certificate)
    : m_config(config), m_certificate(std::move(certificate)) {}

AuthorityClient::~AuthorityClient() = default;

httplib::SSLClient& AuthorityClient::clientFor(const QUrl& url) {
    const int port = url.port(443);
    const QString key = url.host() + u':' + QString::number(port);
    auto it = m_clients.find(key);
    if (it != m_clients.end())
        return *it->second;
    auto client = std::make_unique<httplib::SSLClient>(url.host().toStdString(), port,
                                                       m_certificate.certificate(), m_certificate.key());
    client->enable_server_certificate_verification(true);
    if (!m_config.caFile().isEmpty())
        client->set_ca_cert_path(m_config.caFile().toStdString());
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
    return *m_clients.emplace(key, std::move(client)).first->second;
}

AuthorityClient::Reply AuthorityClient::post(const QUrl& url, const QByteArray& contentType,
                                             const QByteArray& envelope) {
    Reply reply;
    if (!url.isValid() || url.scheme() != u"https") {
        reply.failure = QStringLiteral("endereço da autoridade inválido: %1").arg(url.toString());
        return reply;
    }
    httplib::SSLClient& client = clientFor(url);
    QString path = url.path(QUrl::FullyEncoded);
    if (path.isEmpty())
        path = QStringLiteral("/");
    if (url.hasQuery())
        path += u'?' + url.query(QUrl::FullyEncoded);
    const httplib::Result result =
        client.Post(path.toStdString(), envelope.constData(), static_cast<size_t>(envelope.size()),
                    contentType.toStdString());
    if (!result) {
        reply.failure = describe(result.error(), client.get_openssl_verify_result());
        // The connection is unusable after a failure; the next request opens a new one.
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
