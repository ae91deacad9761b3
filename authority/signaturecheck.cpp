#include "signaturecheck.h"

#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cryptolibraries.h"
#include "eventsigner.h"
#include "opensslerror.h"
#include "signingcertificate.h"
#include "statuscodes.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <xmlsec/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmldsig.h>

#include <memory>
#include <optional>

namespace zavauthority {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct X509InfoStackFree {
    void operator()(STACK_OF(X509_INFO) * stack) const { sk_X509_INFO_pop_free(stack, X509_INFO_free); }
};
struct StoreContextFree {
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using X509InfoStack = std::unique_ptr<STACK_OF(X509_INFO), X509InfoStackFree>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, StoreContextFree>;

const char* const kNfe = zavnfe::CancellationBatch::kNamespace;
const char* const kDsig = zavnfe::EventSigner::kSignatureNamespace;

// The certificate of KeyInfo/X509Data/X509Certificate, decoded; null when the
// base64 text or the DER inside it is not exactly one certificate.
Certificate decodeCertificate(xmlNode* element) {
    QByteArray base64;
    // xmlsec and most signers break the base64 text into lines.
    for (const QChar c : zavnfe::elementText(element))
        if (!c.isSpace())
            base64 += c.unicode() < 0x80 ? char(c.unicode()) : '!';
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return nullptr;
    const auto* der = reinterpret_cast<const unsigned char*>(decoded.decoded.constData());
    const unsigned char* end = der + decoded.decoded.size();
    Certificate certificate(d2i_X509(nullptr, &der, static_cast<long>(decoded.decoded.size())));
    if (der != end) // something after the certificate
        return nullptr;
    return certificate;
}

using Result = SignatureCheck::Result;

Result notStandard(const QString& why) {
    return Result{SignatureNotStandard, why};
}

Result differs(const QString& why) {
    return Result{SignatureDiffers, why};
}

// What the check reads of a signed evento.
struct SignedParts {
    xmlNode* signature = nullptr;
    xmlNode* certificate = nullptr; // KeyInfo/X509Data/X509Certificate
};

// The signature as the NF-e profiles it: one, after infEvento, with one
// reference to infEvento's Id and one certificate in KeyInfo.
std::optional<Result> readSignedParts(xmlDoc* doc, SignedParts& parts) {
    xmlNode* root = xmlDocGetRootElement(doc);
    xmlNode* info = zavnfe::childElement(root, "infEvento", kNfe);
    xmlNode* signature = zavnfe::childElement(root, "Signature", kDsig);
    if (!info || !signature || zavnfe::nextElement(signature, "Signature", kDsig))
        return notStandard(QStringLiteral("o evento deve ter uma assinatura após infEvento"));
    const QString id = zavnfe::attribute(info, "Id");
    xmlNode* signedInfo = zavnfe::childElement(signature, "SignedInfo", kDsig);
    xmlNode* reference = zavnfe::childElement(signedInfo, "Reference", kDsig);
    if (!reference || zavnfe::nextElement(reference, "Reference", kDsig))
        return notStandard(QStringLiteral("a assinatura deve ter exatamente uma referência"));
    if (id.isEmpty() || zavnfe::attribute(reference, "URI") != u'#' + id)
        return notStandard(QStringLiteral("a referência da assinatura não aponta o Id de infEvento"));
    xmlNode* x509Data =
        zavnfe::childElement(zavnfe::childElement(signature, "KeyInfo", kDsig), "X509Data", kDsig);
    xmlNode* certificateElement = zavnfe::childElement(x509Data, "X509Certificate", kDsig);
    if (!certificateElement || zavnfe::nextElement(certificateElement, "X509Certificate", kDsig))
        return notStandard(QStringLiteral("KeyInfo deve ter exatamente um X509Data/X509Certificate"));
    // Without a DTD nothing says Id is an ID: declare it, so "#ID..." finds
    // infEvento and nothing else.
    const QByteArray idBytes = id.toUtf8();
    xmlAttr* idAttr = xmlHasProp(info, zavnfe::xmlText("Id"));
    if (!xmlAddID(nullptr, doc, zavnfe::xmlText(idBytes.constData()), idAttr))
        return notStandard(QStringLiteral("Id repetido no evento"));
    parts.signature = signature;
    parts.certificate = certificateElement;
    return std::nullopt;
}

// The signer's certificate chains to the trusted CA(s) now.
std::optional<Result> checkChain(X509_STORE* trusted, X509* certificate, STACK_OF(X509) * intermediates) {
    StoreContext chain(X509_STORE_CTX_new());
    if (!chain || X509_STORE_CTX_init(chain.get(), trusted, certificate, intermediates) != 1 ||
        X509_STORE_CTX_set_purpose(chain.get(), X509_PURPOSE_ANY) != 1)
        return differs(
            QStringLiteral("cadeia do certificado não verificada (%1)").arg(zavnfe::openSslError()));
    if (X509_verify_cert(chain.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(chain.get());
        ERR_clear_error();
        return differs(QStringLiteral("o certificado do assinante não pertence à AC confiável (%1)")
                           .arg(QString::fromUtf8(X509_verify_cert_error_string(error))));
    }
    return std::nullopt;
}

// The digest and the signature value, checked by xmlsec with the key of the
// certificate and nothing else.
std::optional<Result> checkSignatureValue(xmlNode* signature, X509* certificate) {
    EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
    if (!publicKey || EVP_PKEY_up_ref(publicKey) != 1)
        return differs(QStringLiteral("o certificado do assinante não tem chave pública legível"));
    xmlSecKeyData* value = xmlSecOpenSSLEvpKeyAdopt(publicKey);
    if (!value) {
        EVP_PKEY_free(publicKey);
        return differs(QStringLiteral("xmlsec não aceitou a chave do certificado (%1)")
                           .arg(zavnfe::CryptoLibraries::takeXmlSecError()));
    }
    zavnfe::XmlSecKey key(xmlSecKeyCreate());
    if (!key || xmlSecKeySetValue(key.get(), value) < 0) {
        xmlSecKeyDataDestroy(value);
        return differs(QStringLiteral("xmlsec não aceitou a chave do certificado (%1)")
                           .arg(zavnfe::CryptoLibraries::takeXmlSecError()));
    }
    zavnfe::XmlSecDSigCtx context(xmlSecDSigCtxCreate(nullptr));
    if (!context)
        return differs(QStringLiteral("xmlsec não criou o contexto"));
    context->signKey = key.release(); // owned by the context from here
    // Only references inside this document: never a file or a URL.
    context->enabledReferenceUris = xmlSecTransformUriTypeSameDocument;
    if (xmlSecDSigCtxVerify(context.get(), signature) < 0)
        return differs(
            QStringLiteral("assinatura não verificada (%1)").arg(zavnfe::CryptoLibraries::takeXmlSecError()));
    if (context->status != xmlSecDSigStatusSucceeded)
        return differs(QStringLiteral("valor da assinatura ou do resumo não confere"));
    return std::nullopt;
}

} // namespace

void SignatureCheck::StoreFree::operator()(X509_STORE* store) const {
    X509_STORE_free(store);
}

SignatureCheck::SignatureCheck(const QByteArray& caPem) {
    ERR_clear_error();
    // A store with certificates only and no lookup: nothing outside caPem
    // (the system's bundle, SSL_CERT_FILE, SSL_CERT_DIR) can become trusted.
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    Bio bio(BIO_new_mem_buf(caPem.constData(), static_cast<int>(caPem.size())));
    X509InfoStack infos(bio ? PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!store || !infos) {
        m_problem = QStringLiteral("AC confiável não carregada (%1)").arg(zavnfe::openSslError());
        return;
    }
    int loaded = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        X509* certificate = sk_X509_INFO_value(infos.get(), i)->x509;
        if (!certificate)
            continue;
        if (X509_STORE_add_cert(store.get(), certificate) != 1) {
            m_problem = QStringLiteral("AC confiável não carregada (%1)").arg(zavnfe::openSslError());
            return;
        }
        ++loaded;
    }
    ERR_clear_error();
    if (loaded == 0) {
        m_problem = QStringLiteral("o arquivo da AC confiável não tem nenhum certificado PEM");
        return;
    }
    m_trusted = std::move(store);
}

SignatureCheck::Result SignatureCheck::verify(const QByteArray& evento,
                                              STACK_OF(X509) * intermediates) const {
    const QString ready = zavnfe::CryptoLibraries::ensure();
    if (!ready.isEmpty())
        return differs(ready);
    if (!m_trusted)
        return differs(m_problem);
    zavnfe::CryptoLibraries::takeXmlSecError();

    QString why;
    zavnfe::XmlDoc doc = zavnfe::parseUntrusted(evento, &why);
    if (!doc)
        return notStandard(why);
    SignedParts parts;
    if (auto refused = readSignedParts(doc.get(), parts))
        return *refused;

    // The signer's certificate must chain to the trusted CA(s) now; the key
    // that checks the signature is then taken from that same certificate, so
    // xmlsec never looks for a key or a trust of its own.
    const Certificate certificate = decodeCertificate(parts.certificate);
    if (!certificate) {
        ERR_clear_error();
        return differs(QStringLiteral("o certificado de KeyInfo não pôde ser lido"));
    }
    if (auto refused = checkChain(m_trusted.get(), certificate.get(), intermediates))
        return *refused;
    if (auto refused = checkSignatureValue(parts.signature, certificate.get()))
        return *refused;
    return Result{0, {}, zavnfe::SigningCertificate::cnpjOf(certificate.get())};
}

} // namespace zavauthority
