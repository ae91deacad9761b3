#include "cryptolibraries.h"

#include <libxml/parser.h>
#include <openssl/provider.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmlsec.h>

#include <mutex>

namespace zavnfe {

namespace {

thread_local QString xmlSecError;

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
