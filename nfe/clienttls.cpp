#include "clienttls.h"

#include "opensslerror.h"

#include <openssl/ssl.h>

namespace zavnfe {

QString useAsTlsClient(SSL_CTX* context, const SigningCertificate& certificate) {
    if (!context || !certificate.certificate() || !certificate.key())
        return QStringLiteral("sem contexto TLS ou sem certificado com chave");
    ERR_clear_error();
    if (SSL_CTX_use_certificate(context, certificate.certificate()) != 1)
        return QStringLiteral("o TLS recusou o certificado %1 (%2)")
            .arg(certificate.serialText(), openSslError());
    // Earlier chains of this context (another certificate's) go first.
    SSL_CTX_clear_chain_certs(context);
    for (X509* issuer : certificate.issuers())
        if (SSL_CTX_add1_chain_cert(context, issuer) != 1)
            return QStringLiteral("o TLS recusou um certificado da cadeia de %1 (%2)")
                .arg(certificate.serialText(), openSslError());
    // A token's key stays on the token: the context keeps a reference to it
    // and every handshake signs there.
    if (SSL_CTX_use_PrivateKey(context, certificate.key()) != 1 || SSL_CTX_check_private_key(context) != 1)
        return QStringLiteral("a chave %1 não corresponde ao certificado %2 (%3)")
            .arg(certificate.onToken() ? QStringLiteral("do ") + certificate.keyLocation()
                                       : QStringLiteral("do arquivo"),
                 certificate.serialText(), openSslError());
    // TLS 1.3 signs the handshake with RSA-PSS only, which many cards and
    // tokens cannot (their modules offer CKM_RSA_PKCS alone): with a token's
    // key the client offers TLS 1.2 at most, signing PKCS#1 v1.5 as every
    // PKCS#11 RSA key can; the authorities all serve TLS 1.2.
    if (certificate.onToken() &&
        (SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION) != 1 ||
         SSL_CTX_set1_client_sigalgs_list(context, "RSA+SHA256:RSA+SHA384:RSA+SHA512") != 1))
        return QStringLiteral("o TLS não aceitou limitar a assinatura do %1 ao RSA PKCS#1 (%2)")
            .arg(certificate.keyLocation(), openSslError());
    return {};
}

} // namespace zavnfe
