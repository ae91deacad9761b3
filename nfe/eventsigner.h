#pragma once
// EventSigner: signs every evento of an envEvento batch with an A1
// certificate, as the authority requires: an enveloped XML signature placed
// after infEvento, referring to it by its Id, inclusive C14N, RSA-SHA1 with a
// SHA-1 digest, the enveloped-signature and C14N transforms, and KeyInfo
// carrying only the signing certificate.
//
// The xmlsec key (the RSA key and the one certificate KeyInfo carries) is
// built on the first signature and kept for every later one: make one
// EventSigner per certificate and per call or thread, never one shared by
// threads, since sign() keeps that key without a lock.
#include "signingcertificate.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace zavnfe {

class EventSigner {
public:
    static constexpr const char* kSignatureNamespace = "http://www.w3.org/2000/09/xmldsig#";

    explicit EventSigner(SigningCertificate certificate);
    ~EventSigner();
    EventSigner(EventSigner&&) noexcept;
    EventSigner& operator=(EventSigner&&) noexcept;
    EventSigner(const EventSigner&) = delete;
    EventSigner& operator=(const EventSigner&) = delete;

    // The signed batch, or an empty array with *error set to the cause.
    // Nothing is signed unless every event is.
    QByteArray sign(const QByteArray& batch, QString* error) const;

private:
    struct Key; // the xmlsec key, built once

    SigningCertificate m_certificate;
    mutable std::unique_ptr<Key> m_key;
};

} // namespace zavnfe
