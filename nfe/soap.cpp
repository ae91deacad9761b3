#include "soap.h"

#include "authoritymessages.h"

#include <QBuffer>
#include <QXmlStreamWriter>

namespace zavnfe {

namespace {

const char* const kSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";

QByteArray withoutDeclaration(const QByteArray& xml) {
    QByteArray rest = xml.startsWith("\xEF\xBB\xBF") ? xml.mid(3) : xml;
    rest = rest.trimmed();
    if (rest.startsWith("<?xml")) {
        const qsizetype end = rest.indexOf("?>");
        rest = end < 0 ? QByteArray() : rest.mid(end + 2).trimmed();
    }
    return rest;
}

QByteArray wrap(const char* service, const char* message, const QByteArray& payloadXml) {
    return QByteArray("<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                      "<soap:Envelope xmlns:soap=\"") +
           Soap::kEnvelopeNamespace + "\"><soap:Body><" + message + " xmlns=\"" + service + "\">" +
           withoutDeclaration(payloadXml) + "</" + message + "></soap:Body></soap:Envelope>";
}

} // namespace

QByteArray Soap::envelope(const char* service, const QByteArray& payloadXml) {
    return wrap(service, "nfeDadosMsg", payloadXml);
}

QByteArray Soap::resultEnvelope(const char* service, const QByteArray& payloadXml) {
    return wrap(service, "nfeResultMsg", payloadXml);
}

QByteArray Soap::fault(bool senderFault, const QString& reason) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QXmlStreamWriter writer(&buffer);
    const QString ns = QString::fromLatin1(kEnvelopeNamespace);
    writer.writeStartDocument();
    writer.writeNamespace(ns, QStringLiteral("soap"));
    writer.writeStartElement(ns, QStringLiteral("Envelope"));
    writer.writeStartElement(ns, QStringLiteral("Body"));
    writer.writeStartElement(ns, QStringLiteral("Fault"));
    writer.writeStartElement(ns, QStringLiteral("Code"));
    writer.writeTextElement(ns, QStringLiteral("Value"),
                            senderFault ? QStringLiteral("soap:Sender") : QStringLiteral("soap:Receiver"));
    writer.writeEndElement();
    writer.writeStartElement(ns, QStringLiteral("Reason"));
    writer.writeStartElement(ns, QStringLiteral("Text"));
    writer.writeAttribute(QStringLiteral("xml:lang"), QStringLiteral("pt-BR"));
    writer.writeCharacters(reason);
    writer.writeEndDocument();
    return bytes;
}

QByteArray Soap::contentType(const char* service, const char* operation) {
    return QByteArray("application/soap+xml;charset=utf-8;action=\"") + service + '/' + operation + '"';
}

QByteArray Soap::payload(const QByteArray& envelope, QString* error, const char* service,
                         bool* notTheService) {
    if (notTheService)
        *notTheService = false;
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return QByteArray();
    };
    QString why;
    XmlDoc doc = parseUntrusted(envelope, &why);
    if (!doc)
        return fail(QStringLiteral("Envelope SOAP ilegível: %1.").arg(why));
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (childElement(root->parent, "Envelope", kSoap11) == root)
        return fail(QStringLiteral("Envelope SOAP 1.1 não é aceito: o serviço usa SOAP 1.2."));
    if (childElement(root->parent, "Envelope", kEnvelopeNamespace) != root)
        return fail(QStringLiteral("A mensagem não é um envelope SOAP 1.2."));
    xmlNode* body = childElement(root, "Body", kEnvelopeNamespace);
    xmlNode* content = childElement(body, nullptr, nullptr);
    if (!content)
        return fail(QStringLiteral("Envelope SOAP sem corpo."));
    if (childElement(body, "Fault", kEnvelopeNamespace) == content) {
        const QString reason = elementText(childElement(childElement(content, "Reason", kEnvelopeNamespace),
                                                        "Text", kEnvelopeNamespace))
                                   .simplified();
        return fail(
            QStringLiteral("Falha SOAP: %1").arg(reason.isEmpty() ? QStringLiteral("sem motivo") : reason));
    }
    if (service && childElement(body, "nfeDadosMsg", service) != content) {
        const bool named = xmlStrEqual(content->name, xmlText("nfeDadosMsg"));
        const QString ns = content->ns ? QString::fromUtf8(reinterpret_cast<const char*>(content->ns->href))
                                       : QStringLiteral("nenhum");
        if (notTheService)
            *notTheService = true;
        return fail(named ? QStringLiteral("O elemento nfeDadosMsg deve estar no namespace %1, não em %2.")
                                .arg(QLatin1String(service), ns)
                          : QStringLiteral("O corpo SOAP deve ter nfeDadosMsg do namespace %1.")
                                .arg(QLatin1String(service)));
    }
    if (childElement(body, "nfeDadosMsg", nullptr) != content &&
        childElement(body, "nfeResultMsg", nullptr) != content)
        return fail(QStringLiteral("O corpo SOAP não tem nfeDadosMsg nem nfeResultMsg."));
    xmlNode* message = childElement(content, nullptr, nullptr);
    if (!message)
        return fail(QStringLiteral("A mensagem SOAP está vazia."));
    // Only the namespaces the message itself uses come along: the envelope's
    // were not in scope where the message was signed.
    QByteArray bytes = standaloneElement(message, false);
    if (bytes.isEmpty())
        return fail(QStringLiteral("Não foi possível separar a mensagem do envelope SOAP."));
    return bytes;
}

} // namespace zavnfe
