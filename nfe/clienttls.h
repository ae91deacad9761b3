#pragma once
// The company's certificate as the TLS client certificate of a connection to
// the authority, whether its key is in memory (A1) or on a token (A3): the
// certificate, the intermediates to send with it (the authority trusts only
// the root) and the key, used where it is.
#include "signingcertificate.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace zavnfe {

// Sets the context's client certificate, chain and key; empty, or why not in
// Portuguese (the key not matching the certificate, above all).
QString useAsTlsClient(SSL_CTX* context, const SigningCertificate& certificate);

} // namespace zavnfe
