#pragma once
// The company's certificate as the TLS client certificate of a connection to
// the authority, whether its key is in memory (A1) or on a token (A3): the
// certificate, the intermediates to send with it (the authority trusts only
// the root) and the key, used where it is.
#include "signingcertificate.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace zavnfe {

// Sets the context's client certificate, chain and key; empty, or why not in
// Portuguese (the key not matching the certificate, above all). With a
// token's key the context offers TLS 1.2 at most and signs the handshake with
// RSA PKCS#1 v1.5, as every PKCS#11 RSA key can (TLS 1.3 asks for RSA-PSS,
// which many cards lack). Call it on the context before its connections.
QString useAsTlsClient(SSL_CTX* context, const SigningCertificate& certificate);

} // namespace zavnfe
