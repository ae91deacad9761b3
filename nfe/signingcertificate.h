#pragma once
// SigningCertificate: an A1 certificate (the X.509 certificate and its RSA
// private key, read from a PKCS#12 file, with the issuers' certificates the
// file carries) that signs events. Copies share the same OpenSSL objects.
#include <QDateTime>
#include <QString>

#include <memory>
#include <vector>

typedef struct asn1_string_st ASN1_TIME;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;
typedef struct X509_name_st X509_NAME;

namespace zavnfe {

// A certificate's name (subject or issuer) in OpenSSL's one-line form.
QString x509NameText(const X509_NAME* name);
// A certificate's time (notBefore, notAfter) in UTC; invalid when absent or
// unreadable.
QDateTime x509Time(const ASN1_TIME* time);

class SigningCertificate {
public:
    // Takes one reference to each of key and certificate.
    SigningCertificate(EVP_PKEY* key, X509* certificate);
    // The issuers' certificates of the file (intermediate CAs), sent in the
    // TLS handshake so that the authority can build the chain; takes one
    // reference to each.
    void addIssuer(X509* issuer);

    EVP_PKEY* key() const { return m_key.get(); }
    X509* certificate() const { return m_certificate.get(); }
    std::vector<X509*> issuers() const;

    QString serialHex() const; // upper case, no leading zeros
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
};

} // namespace zavnfe
