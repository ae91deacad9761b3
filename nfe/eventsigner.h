#pragma once
// EventSigner: signs every evento of an envEvento batch with the company's
// certificate (an A1 file's key or a token's, SigningCertificate), as the
// authority requires: an enveloped XML signature placed
// after infEvento, referring to it by its Id, inclusive C14N, RSA-SHA1 with a
// SHA-1 digest, the enveloped-signature and C14N transforms, and KeyInfo
// carrying only the signing certificate.
//
// The xmlsec key (the RSA key and the one certificate KeyInfo carries) is
// built on the first signature and kept for every later one: make one
// EventSigner per certificate and per call or thread, never one shared by
// threads, since sign() keeps that key without a lock. Signers of one token
// key on several threads sign at once, each on a session of its own.
#include "cancellationevent.h"
#include "signingcertificate.h"

#include <QByteArray>
#include <QList>
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
    // The batch CancellationBatch::build would make of these events, signed:
    // the same bytes as sign(build(...)), without writing the batch out and
    // reading it back. Empty, with *error, where build would refuse it.
    QByteArray signEvents(const QString& batchId, const QList<CancellationEvent>& events,
                          QString* error) const;

private:
    struct Key; // the xmlsec key, built once

    // The key, built on first use; null with *why set when it cannot be.
    const Key* key(QString* why) const;

    SigningCertificate m_certificate;
    mutable std::unique_ptr<Key> m_key;
};

} // namespace zavnfe
