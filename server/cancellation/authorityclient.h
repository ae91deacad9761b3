#pragma once
// AuthorityClient: posts SOAP 1.2 requests to a tax authority's web services
// over HTTPS, presenting the A1 certificate as the TLS client certificate and
// checking the authority's certificate and host name (against the table's CA
// file, or the system's store). One client per certificate; it keeps one
// connection per host alive between requests. Not shared between threads.
#include "cancellation/authorityconfig.h"
#include "signingcertificate.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <map>
#include <memory>

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

    // The SOAP envelope goes to url with the service's action; never throws.
    Reply post(const QUrl& url, const QByteArray& contentType, const QByteArray& envelope);

private:
    httplib::SSLClient& clientFor(const QUrl& url);

    const AuthorityConfig& m_config;
    zavnfe::SigningCertificate m_certificate;
    std::map<QString, std::unique_ptr<httplib::SSLClient>> m_clients; // by "host:port"
};

} // namespace zavserver
