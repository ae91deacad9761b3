#pragma once
// TlsProbe: one TLS handshake with an authority's host, made the way the
// server makes it (TLS 1.2 or newer, the system's store and the table's CA
// file, the A1 certificate and its issuers, the authority's security level),
// to show the people running the server what the authority presents: its
// chain with the expiry of each certificate, whether it checks out, and why a
// handshake fails. For zav-doctor; never used to send anything.
#include "authority/authorityconfig.h"
#include "signingcertificate.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace zavserver {

struct TlsProbe {
    struct Certificate {
        QString subject, issuer;
        QDateTime notAfter;
    };
    bool handshake = false; // the handshake completed
    QString failure;        // why it did not, or why the authority ended it right after (a TLS 1.3
                            // server refuses the client's certificate then), in Portuguese
    bool verified = false;  // the chain and the host name check out
    QString verification;   // OpenSSL's verdict on them
    QString protocol, cipher;
    QList<Certificate> chain; // as the authority sent it, its own first

    static TlsProbe run(const QUrl& url, const AuthorityConfig& config, const AuthorityEndpoints& authority,
                        const std::optional<zavnfe::SigningCertificate>& certificate);
};

} // namespace zavserver
