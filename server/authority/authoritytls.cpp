#include "authority/authoritytls.h"

#include "clienttls.h"

namespace zavserver {

QString prepareAuthorityTls(SSL_CTX* context, const AuthorityConfig& config,
                            const AuthorityEndpoints& authority,
                            const zavnfe::SigningCertificate* certificate) {
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(context);
    if (!config.caFile().isEmpty())
        SSL_CTX_load_verify_locations(context, config.caFile().toLocal8Bit().constData(), nullptr);
    if (authority.securityLevel >= 0)
        SSL_CTX_set_security_level(context, authority.securityLevel);
    if (certificate)
        return zavnfe::useAsTlsClient(context, *certificate);
    return {};
}

} // namespace zavserver
