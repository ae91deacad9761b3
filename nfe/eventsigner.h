#pragma once
// EventSigner: signs every evento of an envEvento batch with an A1
// certificate, as the authority requires: an enveloped XML signature placed
// after infEvento, referring to it by its Id, inclusive C14N, RSA-SHA1 with a
// SHA-1 digest, the enveloped-signature and C14N transforms, and KeyInfo
// carrying only the signing certificate.
#include "signingcertificate.h"

#include <QByteArray>
#include <QString>

namespace zavnfe {

class EventSigner {
public:
    static constexpr const char* kSignatureNamespace = "http://www.w3.org/2000/09/xmldsig#";

    explicit EventSigner(SigningCertificate certificate) : m_certificate(std::move(certificate)) {}

    // The signed batch, or an empty array with *error set to the cause.
    // Nothing is signed unless every event is.
    QByteArray sign(const QByteArray& batch, QString* error) const;

private:
    SigningCertificate m_certificate;
};

} // namespace zavnfe
