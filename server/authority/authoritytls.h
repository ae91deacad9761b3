#pragma once
// The TLS client context towards a tax authority, made one way for the
// server's exchanges and zav-doctor's probes alike: TLS 1.2 or newer, the
// system's store with the table's CA file added to it (never in its place),
// the authority's security level when the table sets one, and the company's
// certificate, an A1 file's or a token's (zavnfe::useAsTlsClient), with the
// issuers it carries (the authority builds the company's chain from what
// comes in the handshake). Empty, or why the certificate cannot be used.
#include "authority/authorityconfig.h"
#include "signingcertificate.h"

#include <openssl/ssl.h>

namespace zavserver {

QString prepareAuthorityTls(SSL_CTX* context, const AuthorityConfig& config,
                            const AuthorityEndpoints& authority,
                            const zavnfe::SigningCertificate* certificate);

} // namespace zavserver
