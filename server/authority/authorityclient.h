#pragma once
// AuthorityClient: posts SOAP 1.2 requests to a tax authority's web services
// over HTTPS (TLS 1.2 or newer), presenting the company's certificate (an A1
// file's or a token's key, zavnfe::useAsTlsClient) as the TLS client
// certificate, with the issuers' certificates it carries, and
// checking the authority's certificate and host name against the system's
// store and the table's CA file. One client per certificate; it keeps one
// connection per host alive between requests. Not shared between threads.
#include "authority/authorityconfig.h"
#include "signingcertificate.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace httplib {
class SSLClient;
}

namespace zavserver {

class AuthorityClient {
public:
    struct Reply {
        bool answered = false; // an HTTP 200 with a body came back
        QByteArray body;
        QString failure; // when not answered: why, in Portuguese
    };

    AuthorityClient(const AuthorityConfig& config, zavnfe::SigningCertificate certificate);
    ~AuthorityClient();
    AuthorityClient(const AuthorityClient&) = delete;
    AuthorityClient& operator=(const AuthorityClient&) = delete;

    // The SOAP envelope goes to url (one of the authority's services) with the
    // service's action; never throws.
    Reply post(const AuthorityEndpoints& authority, const QUrl& url, const QByteArray& contentType,
               const QByteArray& envelope);

    // Breaks off the exchange under way and refuses the next ones (the
    // server stops); safe from any thread.
    void abort();

    // What a failed TLS handshake means, in Portuguese: the authority's
    // alert or OpenSSL's reason (the error queue's last entry), with what to
    // do about it.
    static QString tlsFailure(unsigned long opensslError);

private:
    // The host's client, made on first use; null with *problem when the
    // company's certificate cannot be set on its TLS context.
    httplib::SSLClient* clientFor(const AuthorityEndpoints& authority, const QUrl& url, QString* problem);

    const AuthorityConfig& m_config;
    zavnfe::SigningCertificate m_certificate;
    std::mutex m_mutex; // m_clients against abort() from another thread
    std::map<QString, std::unique_ptr<httplib::SSLClient>> m_clients; // by "host:port"
    std::atomic<bool> m_aborted{false};
};

} // namespace zavserver
