#include "cryptolibraries.h"

#include <libxml/parser.h>
#include <openssl/provider.h>
#include <xmlsec/base64.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <mutex>

namespace zavnfe {

namespace {

thread_local QString xmlSecError;

constexpr int kBase64LineSize = 1 << 20;

// xmlsec prints its errors on stderr by default, where no operator sees them;
// the first one of each failure is kept for the error message instead (the
// later ones only repeat it up the call chain).
void keepXmlSecError(const char* /*file*/, int /*line*/, const char* func, const char* errorObject,
                     const char* errorSubject, int reason, const char* message) {
    if (!xmlSecError.isEmpty())
        return;
    xmlSecError =
        QStringLiteral("%1 %2 %3: %4 (%5)")
            .arg(QString::fromUtf8(func ? func : ""), QString::fromUtf8(errorObject ? errorObject : ""),
                 QString::fromUtf8(errorSubject ? errorSubject : ""),
                 QString::fromUtf8(message ? message : ""))
            .arg(reason)
            .simplified();
}

QString start() {
    xmlInitParser();
    // Many A1 files issued by certification authorities are still protected
    // with RC2 or 3DES, which OpenSSL 3 keeps in its legacy provider; loading
    // it is harmless when it is absent. The default provider must then be
    // loaded by hand, since loading any provider disables the implicit one.
    OSSL_PROVIDER_load(nullptr, "legacy");
    if (!OSSL_PROVIDER_load(nullptr, "default"))
        return QStringLiteral("OpenSSL não carregou seus algoritmos.");
    xmlSecErrorsSetCallback(keepXmlSecError);
    if (xmlSecInit() < 0)
        return QStringLiteral("xmlsec não iniciou.");
    if (xmlSecCheckVersion() != 1)
        return QStringLiteral("A versão da biblioteca xmlsec não é a esperada.");
    // The authorities refuse a message with line breaks or blanks between its
    // tags (588), and the signature is inside the message: its template must
    // be written without line feeds and its base64 values (digest, signature,
    // certificate) on one line each, or the signed bytes could not be sent.
    // xmlsec refuses a line size of 0 when it writes a certificate: a line of
    // a mebibyte is longer than anything an event carries.
    xmlSecSetDefaultLineFeed(reinterpret_cast<const xmlChar*>(""));
    xmlSecBase64SetDefaultLineSize(kBase64LineSize);
    if (xmlSecCryptoAppInit(nullptr) < 0)
        return QStringLiteral("xmlsec não iniciou sua camada criptográfica.");
    if (xmlSecCryptoInit() < 0)
        return QStringLiteral("xmlsec não iniciou o OpenSSL.");
    return {};
}

} // namespace

QString CryptoLibraries::ensure() {
    static std::once_flag once;
    static QString failure;
    std::call_once(once, [] { failure = start(); });
    return failure;
}

QString CryptoLibraries::takeXmlSecError() {
    QString text;
    text.swap(xmlSecError);
    return text;
}

} // namespace zavnfe
