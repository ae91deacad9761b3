#pragma once
// SigningCertificate: the signing key of a registration behind one
// interface: an A1 certificate (the X.509 certificate and its RSA private
// key, read from a PKCS#12 file, with the issuers' certificates the file
// carries) or an A3 one, whose key stays on a PKCS#11 token and is used there
// (TokenSet). The event signer and the mutual-TLS context take either alike
// (EventSigner, useAsTlsClient). Copies share the same OpenSSL objects, and a
// token key keeps its token's objects alive.
#include <QDateTime>
#include <QString>

#include <memory>
#include <vector>

typedef struct asn1_string_st ASN1_TIME;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;
typedef struct X509_name_st X509_NAME;

namespace zavnfe {

// Where a key that is not in memory lives (a token), and how a failure of
// its private-key operations is said.
class KeySource {
public:
    virtual ~KeySource() = default;
    // Where the key is, for messages: "token ZAV A3 (série ...)".
    virtual QString where() const = 0;
    // Why the last private-key operation on this thread failed, in
    // Portuguese with what to do, read from OpenSSL's error queue (emptied);
    // a failure that says the token is gone or logged out also makes its
    // token open again on the next look-up. Empty when the token reported
    // nothing: the failure was not the token's.
    virtual QString failure() const = 0;
};

// A certificate's name (subject or issuer) in OpenSSL's one-line form.
QString x509NameText(const X509_NAME* name);
// A certificate's time (notBefore, notAfter) in UTC; invalid when absent or
// unreadable.
QDateTime x509Time(const ASN1_TIME* time);

class SigningCertificate {
public:
    // Takes one reference to each of key and certificate; source: where a
    // key that is not in memory lives (null for an A1 file's).
    SigningCertificate(EVP_PKEY* key, X509* certificate, std::shared_ptr<const KeySource> source = {});
    // The issuers' certificates of the file (intermediate CAs), sent in the
    // TLS handshake so that the authority can build the chain; takes one
    // reference to each.
    void addIssuer(X509* issuer);

    EVP_PKEY* key() const { return m_key.get(); }
    X509* certificate() const { return m_certificate.get(); }
    std::vector<X509*> issuers() const;

    QString serialHex() const; // upper case, no leading zeros: as serials are matched
    // The serial as the certificate carries it, for people: upper-case hex of
    // its bytes, a leading zero kept ("0A1B...").
    QString serialText() const { return serialTextOf(m_certificate.get()); }
    static QString serialTextOf(const X509* certificate);

    // Whether the key stays on a token, and where (empty for an A1 file).
    bool onToken() const { return m_source != nullptr; }
    QString keyLocation() const { return m_source ? m_source->where() : QString(); }
    // Why the last operation with the private key failed on this thread:
    // the token's own words when the key is on one, else OpenSSL's.
    QString keyFailure() const;
    // The CNPJ of the company the certificate belongs to (see cnpjOf).
    QString cnpj() const { return cnpjOf(m_certificate.get()); }
    QString subject() const;
    QDateTime notBefore() const;
    QDateTime notAfter() const;

    // Serial numbers as people type them: any case, with or without colons,
    // spaces or leading zeros.
    static QString normalisedSerial(const QString& serial);
    // The holder's CNPJ, 14 digits, as ICP-Brasil certificates carry it: the
    // subjectAltName otherName 2.16.76.1.3.3; failing that, the digits after
    // the last colon of the common name ("NAME:CNPJ"). Empty when neither
    // holds 14 digits.
    static QString cnpjOf(const X509* certificate);

private:
    std::shared_ptr<EVP_PKEY> m_key;
    std::shared_ptr<X509> m_certificate;
    std::vector<std::shared_ptr<X509>> m_issuers;
    std::shared_ptr<const KeySource> m_source;
};

} // namespace zavnfe
