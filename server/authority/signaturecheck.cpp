#include "signaturecheck.h"

#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cryptolibraries.h"
#include "eventsigner.h"
#include "statuscodes.h"

#include <xmlsec/app.h>
#include <xmlsec/crypto.h>
#include <xmlsec/keysmngr.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmldsig.h>

#include <memory>

namespace zavauthority {

namespace {

struct KeysManagerFree {
    void operator()(xmlSecKeysMngr* manager) const { xmlSecKeysMngrDestroy(manager); }
};
using KeysManager = std::unique_ptr<xmlSecKeysMngr, KeysManagerFree>;

const char* const kNfe = zavnfe::CancellationBatch::kNamespace;
const char* const kDsig = zavnfe::EventSigner::kSignatureNamespace;

} // namespace

SignatureCheck::Result SignatureCheck::verify(const QByteArray& evento) const {
    auto notStandard = [](const QString& why) { return Result{SignatureNotStandard, why}; };
    auto differs = [](const QString& why) { return Result{SignatureDiffers, why}; };
    const QString ready = zavnfe::CryptoLibraries::ensure();
    if (!ready.isEmpty())
        return differs(ready);
    zavnfe::CryptoLibraries::takeXmlSecError();

    QString why;
    zavnfe::XmlDoc doc = zavnfe::parseUntrusted(evento, &why);
    if (!doc)
        return notStandard(why);
    xmlNode* root = xmlDocGetRootElement(doc.get());
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
    // Without a DTD nothing says Id is an ID: declare it, so "#ID..." finds
    // infEvento and nothing else.
    const QByteArray idBytes = id.toUtf8();
    xmlAttr* idAttr = xmlHasProp(info, zavnfe::xmlText("Id"));
    if (!xmlAddID(nullptr, doc.get(), zavnfe::xmlText(idBytes.constData()), idAttr))
        return notStandard(QStringLiteral("Id repetido no evento"));

    KeysManager manager(xmlSecKeysMngrCreate());
    if (!manager || xmlSecCryptoAppDefaultKeysMngrInit(manager.get()) < 0 ||
        xmlSecCryptoAppKeysMngrCertLoadMemory(manager.get(), reinterpret_cast<const xmlSecByte*>(m_caPem.constData()),
                                              static_cast<xmlSecSize>(m_caPem.size()), xmlSecKeyDataFormatPem,
                                              xmlSecKeyDataTypeTrusted) < 0)
        return differs(QStringLiteral("AC confiável não carregada (%1)").arg(zavnfe::CryptoLibraries::takeXmlSecError()));
    zavnfe::XmlSecDSigCtx context(xmlSecDSigCtxCreate(manager.get()));
    if (!context)
        return differs(QStringLiteral("xmlsec não criou o contexto"));
    // Only references inside this document: never a file or a URL.
    context->enabledReferenceUris = xmlSecTransformUriTypeSameDocument;
    if (xmlSecDSigCtxVerify(context.get(), signature) < 0)
        return differs(QStringLiteral("assinatura não verificada (%1)").arg(zavnfe::CryptoLibraries::takeXmlSecError()));
    if (context->status != xmlSecDSigStatusSucceeded)
        return differs(QStringLiteral("valor da assinatura ou do resumo não confere"));
    return {};
}

} // namespace zavauthority
