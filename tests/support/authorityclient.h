#pragma once
// A client of the test's local authority that opens its mutual TLS with the
// A1 certificate of a serial, as the server does: for the tests that ask the
// authority what it holds. Header only, for the tests that link the NF-e
// library and the HTTP client.
#include "certificatestore.h"
#include "nfeworld.h"

#include <httplib.h>

#include <openssl/ssl.h>

#include <memory>

// Null with *why when the certificate is not found.
inline std::unique_ptr<httplib::SSLClient> authorityClient(NfeWorld& nfe, const QString& serial,
                                                           QString* why) {
    const zavnfe::CertificateLookup lookup =
        zavnfe::CertificateStore(nfe.certificateFolder()).find(serial, NfeWorld::kPassword);
    if (!lookup.found()) {
        *why = lookup.error;
        return nullptr;
    }
    auto client = std::make_unique<httplib::SSLClient>(
        "127.0.0.1", nfe.authority().port(), lookup.certificate->certificate(), lookup.certificate->key());
    for (X509* issuer : lookup.certificate->issuers()) // the authority trusts the root only
        SSL_CTX_add1_chain_cert(client->ssl_context(), issuer);
    client->enable_server_certificate_verification(true);
    client->set_ca_cert_path(nfe.caFile().toStdString());
    return client;
}
