#include "signingcertificate.h"

#include "opensslerror.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace zavnfe {

namespace {

// ICP-Brasil's otherName for the CNPJ of a company's certificate.
constexpr char kCnpjOid[] = "2.16.76.1.3.3";

bool isCnpj(const QString& text) {
    if (text.size() != 14)
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

QString cnpjInAltNames(const X509* certificate) {
    using Names = std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)>;
    const Names names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)),
        GENERAL_NAMES_free);
    const std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> oid(OBJ_txt2obj(kCnpjOid, 1),
                                                                        ASN1_OBJECT_free);
    if (!names || !oid)
        return {};
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type != GEN_OTHERNAME || OBJ_cmp(name->d.otherName->type_id, oid.get()) != 0)
            continue;
        const ASN1_TYPE* value = name->d.otherName->value;
        // Issuers write it as an OCTET STRING; some as a text string.
        if (!value || (value->type != V_ASN1_OCTET_STRING && value->type != V_ASN1_PRINTABLESTRING &&
                       value->type != V_ASN1_UTF8STRING && value->type != V_ASN1_IA5STRING))
            continue;
        const ASN1_STRING* text = value->value.asn1_string;
        QString cnpj = QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                           ASN1_STRING_length(text));
        if (isCnpj(cnpj))
            return cnpj;
    }
    return {};
}

QString cnpjInCommonName(const X509* certificate) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
    if (index < 0)
        return {};
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0)
        return {};
    const QString name = QString::fromUtf8(reinterpret_cast<const char*>(utf8), length);
    OPENSSL_free(utf8);
    const QString tail = name.section(u':', -1);
    return name.contains(u':') && isCnpj(tail) ? tail : QString();
}

} // namespace

QString x509NameText(const X509_NAME* name) {
    char* text = X509_NAME_oneline(name, nullptr, 0);
    QString result = QString::fromUtf8(text);
    OPENSSL_free(text);
    return result;
}

QDateTime x509Time(const ASN1_TIME* time) {
    struct tm parts = {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                     QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
}

SigningCertificate::SigningCertificate(EVP_PKEY* key, X509* certificate,
                                       std::shared_ptr<const KeySource> source)
    : m_key(key, EVP_PKEY_free), m_certificate(certificate, X509_free), m_source(std::move(source)) {}

QString SigningCertificate::keyFailure() const {
    return m_source ? m_source->failure() : openSslError();
}

QString SigningCertificate::serialTextOf(const X509* certificate) {
    const ASN1_INTEGER* serial = certificate ? X509_get0_serialNumber(certificate) : nullptr;
    if (!serial)
        return {};
    // The INTEGER's own bytes, as openssl x509 -serial and the issuers show
    // them: a serial whose first byte is below 0x10 keeps its leading zero.
    const QByteArray bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(serial)),
                           ASN1_STRING_length(serial));
    return QString::fromLatin1(bytes.toHex().toUpper());
}

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
    return x509NameText(X509_get_subject_name(m_certificate.get()));
}

QDateTime SigningCertificate::notBefore() const {
    return x509Time(X509_get0_notBefore(m_certificate.get()));
}

QDateTime SigningCertificate::notAfter() const {
    return x509Time(X509_get0_notAfter(m_certificate.get()));
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

QString SigningCertificate::cnpjOf(const X509* certificate) {
    if (!certificate)
        return {};
    QString cnpj = cnpjInAltNames(certificate);
    return cnpj.isEmpty() ? cnpjInCommonName(certificate) : cnpj;
}

} // namespace zavnfe
