#include "signingcertificate.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>

namespace zavnfe {

namespace {

QDateTime fromAsn1(const ASN1_TIME* time) {
    struct tm parts = {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                     QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
}

} // namespace

SigningCertificate::SigningCertificate(EVP_PKEY* key, X509* certificate)
    : m_key(key, EVP_PKEY_free), m_certificate(certificate, X509_free) {}

void SigningCertificate::addIssuer(X509* issuer) {
    m_issuers.emplace_back(issuer, X509_free);
}

std::vector<X509*> SigningCertificate::issuers() const {
    std::vector<X509*> result;
    result.reserve(m_issuers.size());
    for (const std::shared_ptr<X509>& issuer : m_issuers)
        result.push_back(issuer.get());
    return result;
}

QString SigningCertificate::serialHex() const {
    BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(m_certificate.get()), nullptr);
    if (!number)
        return {};
    char* hex = BN_bn2hex(number);
    QString result = normalisedSerial(QString::fromLatin1(hex));
    OPENSSL_free(hex);
    BN_free(number);
    return result;
}

QString SigningCertificate::subject() const {
    char* text = X509_NAME_oneline(X509_get_subject_name(m_certificate.get()), nullptr, 0);
    QString result = QString::fromUtf8(text);
    OPENSSL_free(text);
    return result;
}

QDateTime SigningCertificate::notBefore() const {
    return fromAsn1(X509_get0_notBefore(m_certificate.get()));
}

QDateTime SigningCertificate::notAfter() const {
    return fromAsn1(X509_get0_notAfter(m_certificate.get()));
}

QString SigningCertificate::normalisedSerial(const QString& serial) {
    QString hex;
    for (QChar c : serial)
        if (c != u':' && c != u' ' && c != u'-')
            hex.append(c.toUpper());
    while (hex.size() > 1 && hex.startsWith(u'0'))
        hex.remove(0, 1);
    return hex;
}

} // namespace zavnfe
