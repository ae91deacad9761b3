#include "authority/tlsprobe.h"
#include "authority/authoritytls.h"

#include "authority/authorityclient.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zavserver {

namespace {

// A connected socket, closed however the probe ends.
class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// A TCP connection to host:port within the timeout (each address in turn);
// -1 with *why.
int connectTo(const QString& host, int port, int timeoutMs, QString* why) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc =
            getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found);
        rc != 0) {
        *why =
            QStringLiteral("o nome %1 não resolve (%2)").arg(host, QString::fromLocal8Bit(gai_strerror(rc)));
        return -1;
    }
    const timeval timeout{timeoutMs / 1000, suseconds_t{timeoutMs % 1000} * 1000};
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0)
            continue;
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0)
        *why = QStringLiteral("não foi possível conectar a %1:%2").arg(host).arg(port);
    return fd;
}

// The context as the server makes it (prepareAuthorityTls); the chain is
// checked after the handshake, so that a chain that does not check out is
// still shown. Empty, or why the company's certificate cannot be set.
QString prepare(SSL_CTX* ctx, const AuthorityConfig& config, const AuthorityEndpoints& authority,
                const std::optional<zavnfe::SigningCertificate>& certificate) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return prepareAuthorityTls(ctx, config, authority, certificate ? &*certificate : nullptr);
}

// What the handshake agreed on, the chain the authority sent and OpenSSL's
// verdict on it.
void readChain(SSL* ssl, TlsProbe& probe) {
    probe.protocol = QString::fromLatin1(SSL_get_version(ssl));
    probe.cipher = QString::fromLatin1(SSL_get_cipher_name(ssl));
    if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl))
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            X509* c = sk_X509_value(chain, i);
            probe.chain.append({zavnfe::x509NameText(X509_get_subject_name(c)),
                                zavnfe::x509NameText(X509_get_issuer_name(c)),
                                zavnfe::x509Time(X509_get0_notAfter(c))});
        }
    const long verdict = SSL_get_verify_result(ssl);
    probe.verified = verdict == X509_V_OK && !probe.chain.isEmpty();
    probe.verification = QString::fromLatin1(X509_verify_cert_error_string(verdict));
}

// Under TLS 1.3 the server judges the client's certificate after the
// handshake: a refusal arrives as an alert within a moment; silence (the
// read timing out) means it was accepted.
void awaitRefusal(SSL* ssl, int fd, TlsProbe& probe) {
    const timeval moment{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &moment, sizeof moment);
    char byte = 0;
    ERR_clear_error();
    if (SSL_read(ssl, &byte, 1) <= 0) {
        const unsigned long error = ERR_peek_last_error();
        if (error != 0 && ERR_GET_LIB(error) == ERR_LIB_SSL)
            probe.failure = AuthorityClient::tlsFailure(error);
        ERR_clear_error();
    }
}

} // namespace

TlsProbe TlsProbe::run(const QUrl& url, const AuthorityConfig& config, const AuthorityEndpoints& authority,
                       const std::optional<zavnfe::SigningCertificate>& certificate) {
    TlsProbe probe;
    const QString host = url.host();
    const int port = url.port(443);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context) {
        probe.failure = QStringLiteral("OpenSSL não criou o contexto TLS");
        return probe;
    }
    SSL_CTX* ctx = context.get();
    if (const QString problem = prepare(ctx, config, authority, certificate); !problem.isEmpty()) {
        probe.failure = problem;
        return probe;
    }

    const Socket socket(connectTo(host, port, config.connectMs(), &probe.failure));
    if (socket.fd() < 0)
        return probe;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx), SSL_free);
    if (!ssl) {
        probe.failure = QStringLiteral("OpenSSL não criou a conexão TLS");
        return probe;
    }
    SSL_set_fd(ssl.get(), socket.fd());
    SSL_set_tlsext_host_name(ssl.get(), host.toUtf8().constData());
    SSL_set1_host(ssl.get(), host.toUtf8().constData());
    ERR_clear_error();
    if (SSL_connect(ssl.get()) != 1) {
        const QString onToken = certificate && certificate->onToken() ? certificate->keyFailure() : QString();
        probe.failure = !onToken.isEmpty() ? onToken : AuthorityClient::tlsFailure(ERR_peek_last_error());
        ERR_clear_error();
        return probe;
    }
    probe.handshake = true;
    readChain(ssl.get(), probe);
    awaitRefusal(ssl.get(), socket.fd(), probe);
    SSL_shutdown(ssl.get());
    return probe;
}

} // namespace zavserver
