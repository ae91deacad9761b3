#include "authority/authoritytls.h"

namespace zavserver {

void prepareAuthorityTls(SSL_CTX* context, const AuthorityConfig& config, const AuthorityEndpoints& authority,
                         const zavnfe::SigningCertificate* certificate) {
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(context);
    if (!config.caFile().isEmpty())
        SSL_CTX_load_verify_locations(context, config.caFile().toLocal8Bit().constData(), nullptr);
    if (authority.securityLevel >= 0)
        SSL_CTX_set_security_level(context, authority.securityLevel);
    if (certificate) {
        SSL_CTX_use_certificate(context, certificate->certificate());
        SSL_CTX_use_PrivateKey(context, certificate->key());
        for (X509* issuer : certificate->issuers())
            SSL_CTX_add1_chain_cert(context, issuer);
    }
}

} // namespace zavserver
