#include "eventsigner.h"

#include "batchdocument.h"
#include "cancellationbatch.h"
#include "cryptolibraries.h"
#include "opensslerror.h"
#include "xmlhandles.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <xmlsec/crypto.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/openssl/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmltree.h>

namespace zavnfe {

namespace {

bool isElement(const xmlNode* node, const char* name, const char* ns) {
    return node && node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, xmlText(name)) && node->ns &&
           xmlStrEqual(node->ns->href, xmlText(ns));
}

xmlNode* firstElement(xmlNode* node) {
    for (; node; node = node->next)
        if (node->type == XML_ELEMENT_NODE)
            return node;
    return nullptr;
}

// The key of every signature of one EventSigner (see EventSigner::Key).
// It carries the RSA key and the signing certificate only, so KeyInfo lists
// that one certificate and never the chain a PKCS#12 file may also hold.
xmlSecKey* makeKey(const SigningCertificate& certificate, QString* error) {
    EVP_PKEY_up_ref(certificate.key());
    xmlSecKeyData* value = xmlSecOpenSSLEvpKeyAdopt(certificate.key());
    if (!value) {
        EVP_PKEY_free(certificate.key());
        *error =
            QStringLiteral("xmlsec recusou a chave privada (%1)").arg(CryptoLibraries::takeXmlSecError());
        return nullptr;
    }
    XmlSecKey key(xmlSecKeyCreate());
    if (!key || xmlSecKeySetValue(key.get(), value) < 0) {
        xmlSecKeyDataDestroy(value);
        *error = QStringLiteral("xmlsec não montou a chave (%1)").arg(CryptoLibraries::takeXmlSecError());
        return nullptr;
    }
    xmlSecKeyData* x509 = xmlSecKeyDataCreate(xmlSecOpenSSLKeyDataX509Id);
    if (!x509 || xmlSecKeyAdoptData(key.get(), x509) < 0) {
        if (x509)
            xmlSecKeyDataDestroy(x509);
        *error =
            QStringLiteral("xmlsec não montou o certificado (%1)").arg(CryptoLibraries::takeXmlSecError());
        return nullptr;
    }
    for (int i = 0; i < 2; ++i) {
        X509* copy = X509_dup(certificate.certificate());
        const int result = copy ? (i == 0 ? xmlSecOpenSSLKeyDataX509AdoptKeyCert(x509, copy)
                                          : xmlSecOpenSSLKeyDataX509AdoptCert(x509, copy))
                                : -1;
        if (result < 0) {
            X509_free(copy);
            *error = QStringLiteral("xmlsec não aceitou o certificado (%1)")
                         .arg(CryptoLibraries::takeXmlSecError());
            return nullptr;
        }
    }
    return key.release();
}

xmlNode* signatureTemplate(xmlDoc* doc, const QByteArray& uri) {
    xmlNode* signature =
        xmlSecTmplSignatureCreate(doc, xmlSecTransformInclC14NId, xmlSecTransformRsaSha1Id, nullptr);
    if (!signature)
        return nullptr;
    xmlNode* reference = xmlSecTmplSignatureAddReference(signature, xmlSecTransformSha1Id, nullptr,
                                                         xmlText(uri.constData()), nullptr);
    xmlNode* keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
    xmlNode* x509Data = keyInfo ? xmlSecTmplKeyInfoAddX509Data(keyInfo) : nullptr;
    if (!reference || !xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedId) ||
        !xmlSecTmplReferenceAddTransform(reference, xmlSecTransformInclC14NId) || !x509Data ||
        !xmlSecTmplX509DataAddCertificate(x509Data)) {
        xmlFreeNode(signature);
        return nullptr;
    }
    return signature;
}

QString signEvent(xmlDoc* doc, xmlNode* evento, xmlSecKey* key, const SigningCertificate& certificate) {
    const char* nfe = CancellationBatch::kNamespace;
    xmlNode* info = firstElement(evento->children);
    if (!isElement(info, "infEvento", nfe))
        return QStringLiteral("evento sem infEvento");
    for (xmlNode* node = info->next; node; node = node->next)
        if (isElement(node, "Signature", EventSigner::kSignatureNamespace))
            return QStringLiteral("evento já assinado");
    xmlAttr* idAttr = xmlHasProp(info, xmlText("Id"));
    XmlText id(idAttr ? xmlNodeGetContent(reinterpret_cast<xmlNode*>(idAttr)) : nullptr);
    if (!id || !*id.get())
        return QStringLiteral("infEvento sem Id");
    // Without a DTD nothing tells libxml2 that Id is an ID: declare it, or
    // the reference "#ID..." would find no node.
    if (!xmlGetID(doc, id.get()) && !xmlAddID(nullptr, doc, id.get(), idAttr))
        return QStringLiteral("Id %1 repetido ou inválido")
            .arg(QString::fromUtf8(reinterpret_cast<char*>(id.get())));
    const QString idText = QString::fromUtf8(reinterpret_cast<const char*>(id.get()));

    xmlNode* signature = signatureTemplate(doc, "#" + idText.toUtf8());
    if (!signature)
        return QStringLiteral("xmlsec não montou o modelo da assinatura (%1)")
            .arg(CryptoLibraries::takeXmlSecError());
    xmlAddChild(evento, signature);

    XmlSecDSigCtx context(xmlSecDSigCtxCreate(nullptr));
    if (!context)
        return QStringLiteral("xmlsec não criou o contexto de assinatura");
    // The context destroys the key it holds when it is destroyed: it lends
    // the signer's, and gives it back before that.
    context->signKey = key;
    const int signedOk = xmlSecDSigCtxSign(context.get(), signature);
    context->signKey = nullptr;
    if (signedOk < 0 || context->status != xmlSecDSigStatusSucceeded) {
        const QString xmlsec = CryptoLibraries::takeXmlSecError();
        // A key on a token fails in the token's words: removed, logged out,
        // refusing to sign; they tell the operator what to do.
        if (certificate.onToken())
            return certificate.keyFailure();
        return QStringLiteral("xmlsec não assinou %1 (%2; %3)").arg(idText, xmlsec, openSslError());
    }
    return {};
}

QByteArray signingFailure(QString* error, const QString& why) {
    if (error)
        *error = why.endsWith(u'.') ? QStringLiteral("Falha ao assinar o evento: %1").arg(why)
                                    : QStringLiteral("Falha ao assinar o evento: %1.").arg(why);
    return {};
}

// Signs every evento of the batch in place and writes the batch out.
QByteArray signDocument(xmlDoc* doc, xmlSecKey* key, const SigningCertificate& certificate, QString* error) {
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!isElement(root, "envEvento", CancellationBatch::kNamespace))
        return signingFailure(error, QStringLiteral("o documento não é um envEvento"));
    int signedEvents = 0;
    for (xmlNode* node = root->children; node; node = node->next) {
        if (!isElement(node, "evento", CancellationBatch::kNamespace))
            continue;
        const QString why = signEvent(doc, node, key, certificate);
        if (!why.isEmpty())
            return signingFailure(error, why);
        ++signedEvents;
    }
    if (signedEvents == 0)
        return signingFailure(error, QStringLiteral("o lote não tem eventos"));

    QByteArray xml = xmlBytes(doc);
    if (xml.isEmpty())
        return signingFailure(error, QStringLiteral("não foi possível gerar o XML assinado"));
    return xml;
}

} // namespace

// Building it (the EVP key and two copies of the certificate) costs more than
// the RSA signature itself: once per signer, lent to each signing context.
struct EventSigner::Key {
    XmlSecKey key;
};

EventSigner::EventSigner(SigningCertificate certificate) : m_certificate(std::move(certificate)) {}
EventSigner::~EventSigner() = default;
EventSigner::EventSigner(EventSigner&&) noexcept = default;
EventSigner& EventSigner::operator=(EventSigner&&) noexcept = default;

const EventSigner::Key* EventSigner::key(QString* why) const {
    *why = CryptoLibraries::ensure();
    if (!why->isEmpty())
        return nullptr;
    CryptoLibraries::takeXmlSecError();
    if (!m_key) {
        XmlSecKey key(makeKey(m_certificate, why));
        if (!key)
            return nullptr;
        m_key = std::make_unique<Key>(Key{std::move(key)});
    }
    return m_key.get();
}

QByteArray EventSigner::sign(const QByteArray& batch, QString* error) const {
    QString why;
    const Key* signingKey = key(&why);
    if (!signingKey)
        return signingFailure(error, why);
    XmlDoc doc(xmlReadMemory(batch.constData(), int(batch.size()), nullptr, "UTF-8",
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        const xmlError* parse = xmlGetLastError();
        return signingFailure(
            error,
            QStringLiteral("XML do lote ilegível (%1)")
                .arg(parse && parse->message ? QString::fromUtf8(parse->message).trimmed() : QString()));
    }
    return signDocument(doc.get(), signingKey->key.get(), m_certificate, error);
}

QByteArray EventSigner::signEvents(const QString& batchId, const QList<CancellationEvent>& events,
                                   QString* error) const {
    QString why;
    const Key* signingKey = key(&why);
    if (!signingKey)
        return signingFailure(error, why);
    // A batch build would refuse is refused in build's words.
    const XmlDoc doc = batchDocument(batchId, events, error);
    if (!doc)
        return {};
    return signDocument(doc.get(), signingKey->key.get(), m_certificate, error);
}

} // namespace zavnfe
