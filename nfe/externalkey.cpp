// The one place that touches OpenSSL's RSA object itself (deprecated in
// OpenSSL 3, which is why it is alone here).
#define OPENSSL_SUPPRESS_DEPRECATED
#include "externalkey.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

namespace zavnfe {

bool markPrivateHeldElsewhere(EVP_PKEY* key) {
    // The object the key holds, not a copy: get1 hands out a reference to it.
    RSA* rsa = EVP_PKEY_get1_RSA(key);
    if (!rsa)
        return false;
    const BIGNUM* d = nullptr;
    RSA_get0_key(rsa, nullptr, nullptr, &d);
    if (d) {
        RSA_free(rsa);
        return true;
    }
    // Any value does: the key's own method (the token's) makes every private
    // operation, and OpenSSL never hands a foreign key to its providers.
    BIGNUM* placeholder = BN_new();
    if (!placeholder || BN_set_word(placeholder, 1) != 1 ||
        RSA_set0_key(rsa, nullptr, nullptr, placeholder) != 1) {
        BN_free(placeholder);
        RSA_free(rsa);
        return false;
    }
    RSA_free(rsa);
    return true;
}

} // namespace zavnfe
