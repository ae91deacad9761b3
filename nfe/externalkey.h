#pragma once
// A key whose private operations are made elsewhere (on a token, through its
// own RSA method) as xmlsec can sign with: xmlsec 1.2.37 built for OpenSSL 3
// takes an RSA key as private only when OpenSSL shows it a private exponent,
// which a token's key never has, and would refuse to sign with it (silently).
// Its builds for OpenSSL 1.1 took such keys as private; this gives the key a
// placeholder exponent that nothing uses, since every private operation
// goes to the token.
typedef struct evp_pkey_st EVP_PKEY;

namespace zavnfe {

// False when the key is not RSA or could not be marked.
bool markPrivateHeldElsewhere(EVP_PKEY* key);

} // namespace zavnfe
