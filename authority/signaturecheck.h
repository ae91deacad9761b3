#pragma once
// SignatureCheck: verifies the XML signature of one evento, as the authority
// receives it, with xmlsec in-process: the profile the NF-e requires (one
// reference to infEvento by its Id, one certificate in KeyInfo), that
// certificate chaining to the root(s) of --client-ca and to nothing else,
// and the digest and signature values computed with that certificate's key.
// The chain is completed from the intermediate CAs --client-ca holds besides
// its roots, as the real authorities hold the ICP-Brasil chain, and from
// those the sender presented in the TLS handshake; a resumed TLS session
// carries none of the latter, so the authority's own must suffice.
#include <QByteArray>
#include <QString>

#include <memory>

typedef struct x509_store_st X509_STORE;
struct stack_st_X509;

namespace zavauthority {

class SignatureCheck {
public:
    // caPem: one or more PEM certificates: the self-signed ones the only
    // roots trusted, the others intermediates that may complete a chain. They are
    // read here, once; the system's CA store and the SSL_CERT_FILE /
    // SSL_CERT_DIR variables are never consulted.
    explicit SignatureCheck(const QByteArray& caPem);

    // Empty when the CA(s) were loaded; otherwise why not, and every
    // signature is then refused with it.
    QString problem() const { return m_problem; }

    struct Result {
        int status = 0; // 0 verified, else 297 or 298
        QString detail;
        QString signerCnpj; // of the verified signer's certificate; empty when it has none
    };
    // evento: the signed evento element serialised on its own; intermediates:
    // certificates that may complete the chain, never trusted themselves
    // (null for none). Safe to call from several threads at once: the
    // trusted store is only read.
    Result verify(const QByteArray& evento, stack_st_X509* intermediates = nullptr) const;

private:
    struct StoreFree {
        void operator()(X509_STORE* store) const;
    };
    std::unique_ptr<X509_STORE, StoreFree> m_trusted;
    QString m_problem;
};

} // namespace zavauthority
