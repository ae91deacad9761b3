#include "authoritymessages.h"

#include "cancellationbatch.h"
#include "cryptolibraries.h"
#include "schemaset.h"

#include <QBuffer>
#include <QXmlStreamWriter>

#include <limits>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

namespace zavnfe {

namespace {

const char* const kNfe = CancellationBatch::kNamespace;

QString nfe() {
    return QString::fromLatin1(kNfe);
}

bool isElement(const xmlNode* node, const char* name, const char* ns) {
    if (!node || node->type != XML_ELEMENT_NODE)
        return false;
    if (name && !xmlStrEqual(node->name, xmlText(name)))
        return false;
    return !ns || (node->ns && xmlStrEqual(node->ns->href, xmlText(ns)));
}

int childNumber(xmlNode* parent, const char* name, bool* ok) {
    return childText(parent, name).toInt(ok);
}

// A message's bytes without what comes before its root element: a byte order
// mark, an XML declaration, blanks. Everything from the root on is kept.
QByteArray withoutDeclaration(const QByteArray& xml) {
    qsizetype start = xml.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    auto skipBlanks = [&] {
        while (start < xml.size() &&
               (xml[start] == ' ' || xml[start] == '\t' || xml[start] == '\r' || xml[start] == '\n'))
            ++start;
    };
    skipBlanks();
    if (xml.mid(start, 5) == "<?xml") {
        const qsizetype end = xml.indexOf("?>", start);
        if (end < 0)
            return {};
        start = end + 2;
        skipBlanks();
    }
    QByteArray rest = xml.mid(start);
    while (!rest.isEmpty() &&
           (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' ' || rest.back() == '\t'))
        rest.chop(1);
    return rest;
}

bool hasRoot(const QByteArray& xml, const char* name) {
    QString ignored;
    XmlDoc doc = parseUntrusted(xml, &ignored);
    return doc && isElement(xmlDocGetRootElement(doc.get()), name, kNfe);
}

// Writes into a buffer the caller can also write raw bytes to between
// elements (the signed events, which must not be written again).
class MessageWriter {
public:
    MessageWriter() {
        m_buffer.setBuffer(&m_bytes);
        m_buffer.open(QIODevice::WriteOnly);
        m_writer.setDevice(&m_buffer);
        m_writer.setAutoFormatting(false);
    }
    void start(const char* name, const char* version) {
        if (m_depth == 0)
            m_writer.writeDefaultNamespace(nfe());
        m_writer.writeStartElement(nfe(), QLatin1StringView(name));
        if (version)
            m_writer.writeAttribute(QStringLiteral("versao"), QLatin1StringView(version));
        ++m_depth;
    }
    void attribute(const char* name, const QString& value) {
        m_writer.writeAttribute(QLatin1StringView(name), value);
    }
    void text(const char* name, const QString& value) {
        m_writer.writeTextElement(nfe(), QLatin1StringView(name), value);
    }
    void textIf(const char* name, const QString& value) {
        if (!value.isEmpty())
            text(name, value);
    }
    // What every answer of an authority begins with: tpAmb and verAplic,
    // then cOrgao where its message has one (an event's), cStat and xMotivo.
    void answerHead(int environment, const QString& application, const std::optional<QString>& orgao,
                    int status, const QString& statusText) {
        text("tpAmb", QString::number(environment));
        text("verAplic", application);
        if (orgao)
            text("cOrgao", *orgao);
        text("cStat", QString::number(status));
        text("xMotivo", statusText);
    }
    void end() {
        m_writer.writeEndElement();
        --m_depth;
    }
    void raw(const QByteArray& xml) {
        m_writer.writeCharacters(QString()); // closes a pending start tag
        m_buffer.write(withoutDeclaration(xml));
    }
    QByteArray finish() {
        while (m_depth > 0)
            end();
        m_buffer.close();
        return m_bytes;
    }

private:
    QByteArray m_bytes;
    QBuffer m_buffer;
    QXmlStreamWriter m_writer;
    int m_depth = 0;
};

} // namespace

qsizetype editCharacterAt(const QByteArray& xml) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (xml.isEmpty())
        return -1;
    if (blank(xml.front()))
        return 0;
    if (blank(xml.back()))
        return xml.size() - 1;
    // '<' cannot stand unescaped in text or attribute values: a run of blanks
    // between '>' and '<' is a text node of blanks only.
    for (qsizetype i = xml.indexOf('>'); i >= 0 && i + 1 < xml.size(); i = xml.indexOf('>', i + 1)) {
        qsizetype j = i + 1;
        while (j < xml.size() && blank(xml[j]))
            ++j;
        if (j > i + 1 && j < xml.size() && xml[j] == '<')
            return i + 1;
    }
    return -1;
}

XmlDoc parseUntrusted(const QByteArray& xml, QString* error) {
    CryptoLibraries::ensure(); // starts libxml2 once, whichever thread comes first
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return XmlDoc();
    };
    if (xml.isEmpty())
        return fail(QStringLiteral("mensagem vazia"));
    if (xml.size() > std::numeric_limits<int>::max())
        return fail(QStringLiteral("mensagem grande demais"));
    xmlResetLastError();
    XmlDoc doc(xmlReadMemory(xml.constData(), int(xml.size()), nullptr, nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        const xmlError* parse = xmlGetLastError();
        return fail(
            QStringLiteral("XML mal formado (%1, linha %2)")
                .arg(parse && parse->message ? QString::fromUtf8(parse->message).trimmed() : QString())
                .arg(parse ? parse->line : 0));
    }
    // A DTD could declare entities and defaults that change what is read;
    // none of these messages has one.
    if (doc->intSubset || doc->extSubset)
        return fail(QStringLiteral("XML com DTD não é aceito"));
    if (!xmlDocGetRootElement(doc.get()))
        return fail(QStringLiteral("XML sem elemento raiz"));
    return doc;
}

QByteArray standaloneElement(xmlNode* element, bool inScope) {
    if (!element || element->type != XML_ELEMENT_NODE)
        return {};
    XmlDoc doc(xmlNewDoc(xmlText("1.0")));
    xmlNode* copy = xmlDocCopyNode(element, doc.get(), 1);
    if (!copy)
        return {};
    xmlDocSetRootElement(doc.get(), copy);
    if (inScope) {
        // Nearest declarations first: a prefix declared closer hides the
        // same prefix further up, exactly as it did in the source document.
        for (xmlNode* up = element->parent; up && up->type == XML_ELEMENT_NODE; up = up->parent)
            for (xmlNs* ns = up->nsDef; ns; ns = ns->next)
                if (!xmlSearchNs(doc.get(), copy, ns->prefix))
                    xmlNewNs(copy, ns->href, ns->prefix);
    }
    xmlBuffer* buffer = xmlBufferCreate();
    if (!buffer)
        return {};
    QByteArray result;
    if (xmlNodeDump(buffer, doc.get(), copy, 0, 0) >= 0)
        result = QByteArray(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
    xmlBufferFree(buffer);
    return result;
}

xmlNode* childElement(xmlNode* parent, const char* name, const char* ns) {
    if (!parent)
        return nullptr;
    for (xmlNode* node = parent->children; node; node = node->next)
        if (isElement(node, name, ns))
            return node;
    return nullptr;
}

xmlNode* nextElement(xmlNode* node, const char* name, const char* ns) {
    for (node = node ? node->next : nullptr; node; node = node->next)
        if (isElement(node, name, ns))
            return node;
    return nullptr;
}

QString elementText(xmlNode* element) {
    if (!element)
        return {};
    XmlText text(xmlNodeGetContent(element));
    return text ? QString::fromUtf8(reinterpret_cast<const char*>(text.get())) : QString();
}

QString childText(xmlNode* parent, const char* name) {
    return elementText(childElement(parent, name, kNfe));
}

QString attribute(xmlNode* element, const char* name) {
    if (!element)
        return {};
    XmlText text(xmlGetProp(element, xmlText(name)));
    return text ? QString::fromUtf8(reinterpret_cast<const char*>(text.get())) : QString();
}

namespace {

// Parses an answer that must have the root rootName, reads the status it
// gives of itself and then, with readRest(root, answer), what else it holds
// (which is empty, or why not). On failure *error, when asked for, is
// invalidText with why in it.
template <typename Answer, typename ReadRest>
std::optional<Answer> readAnswer(const QByteArray& xml, const char* rootName, const QString& invalidText,
                                 QString* error, ReadRest readRest) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = invalidText.arg(why);
        return std::nullopt;
    };
    QString why;
    const XmlDoc doc = parseUntrusted(xml, &why);
    if (!doc)
        return fail(why);
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!isElement(root, rootName, kNfe))
        return fail(QStringLiteral("o documento não é um %1").arg(QLatin1String(rootName)));
    Answer answer;
    bool ok = false;
    answer.status = childNumber(root, "cStat", &ok);
    if (!ok)
        return fail(QStringLiteral("%1 sem cStat numérico").arg(QLatin1String(rootName)));
    answer.statusText = childText(root, "xMotivo");
    answer.application = childText(root, "verAplic");
    if (why = readRest(root, answer); !why.isEmpty())
        return fail(why);
    return answer;
}

// The result of each event of a retEnvEvento: empty, or why not.
QString readEventResults(xmlNode* root, BatchAnswer& answer) {
    for (xmlNode* ret = childElement(root, "retEvento", kNfe); ret;
         ret = nextElement(ret, "retEvento", kNfe)) {
        xmlNode* info = childElement(ret, "infEvento", kNfe);
        EventResult result;
        bool ok = false;
        result.status = childNumber(info, "cStat", &ok);
        if (!info || !ok)
            return QStringLiteral("retEvento sem infEvento/cStat numérico");
        result.accessKey = childText(info, "chNFe");
        result.statusText = childText(info, "xMotivo");
        result.protocol = childText(info, "nProt");
        result.registeredAt = childText(info, "dhRegEvento");
        result.application = childText(info, "verAplic");
        result.retEventoXml = standaloneElement(ret, true);
        answer.events.push_back(std::move(result));
    }
    return {};
}

// Each procEventoNFe of a retConsSitNFe, on its own.
QString readProcEventos(xmlNode* root, StatusAnswer& answer) {
    for (xmlNode* proc = childElement(root, "procEventoNFe", kNfe); proc;
         proc = nextElement(proc, "procEventoNFe", kNfe))
        answer.procEventos.push_back(standaloneElement(proc, true));
    return {};
}

} // namespace

std::optional<BatchAnswer> parseRetEnvEvento(const QByteArray& xml, QString* error) {
    return readAnswer<BatchAnswer>(xml, "retEnvEvento", QStringLiteral("Resposta da SEFAZ inválida: %1."),
                                   error, readEventResults);
}

QByteArray consSitNFe(int environment, const QString& accessKey) {
    MessageWriter writer;
    writer.start("consSitNFe", "4.00");
    writer.text("tpAmb", QString::number(environment));
    writer.text("xServ", QStringLiteral("CONSULTAR"));
    writer.text("chNFe", accessKey);
    return writer.finish();
}

std::optional<StatusAnswer> parseRetConsSitNFe(const QByteArray& xml, QString* error) {
    return readAnswer<StatusAnswer>(xml, "retConsSitNFe",
                                    QStringLiteral("Resposta da consulta à SEFAZ inválida: %1."), error,
                                    readProcEventos);
}

QByteArray consStatServ(int environment, const QString& stateCode) {
    MessageWriter writer;
    writer.start("consStatServ", "4.00");
    writer.text("tpAmb", QString::number(environment));
    writer.text("cUF", stateCode);
    writer.text("xServ", QStringLiteral("STATUS"));
    return writer.finish();
}

namespace {

QString readServiceStatus(xmlNode* root, ServiceStatusAnswer& answer) {
    bool ok = false;
    answer.environment = childNumber(root, "tpAmb", &ok);
    if (!ok)
        return QStringLiteral("retConsStatServ sem tpAmb numérico");
    answer.stateCode = childText(root, "cUF");
    answer.receivedAt = childText(root, "dhRecbto");
    answer.returnAt = childText(root, "dhRetorno");
    answer.observation = childText(root, "xObs");
    if (childElement(root, "tMed", kNfe)) {
        const int seconds = childNumber(root, "tMed", &ok);
        if (!ok || seconds < 0)
            return QStringLiteral("retConsStatServ com tMed que não é um número de segundos");
        answer.averageSeconds = seconds;
    }
    return {};
}

} // namespace

std::optional<ServiceStatusAnswer> parseRetConsStatServ(const QByteArray& xml, QString* error) {
    const QString invalid = QStringLiteral("Resposta do status do serviço da SEFAZ inválida: %1.");
    std::optional<ServiceStatusAnswer> answer =
        readAnswer<ServiceStatusAnswer>(xml, "retConsStatServ", invalid, error, readServiceStatus);
    // Read first, so that what is not even a retConsStatServ says so; then
    // held to the published schema like everything the authority sends.
    if (answer) {
        const QString schema = SchemaSet::instance().validate(Schema::RetConsStatServ, xml);
        if (!schema.isEmpty()) {
            if (error)
                *error = invalid.arg(QStringLiteral("fora do esquema %1: %2")
                                         .arg(QLatin1StringView(SchemaSet::fileName(Schema::RetConsStatServ)),
                                              schema.section(u'\n', 0, 0)));
            return std::nullopt;
        }
    }
    return answer;
}

QByteArray retConsStatServ(const ServiceStatusAnswer& data) {
    MessageWriter writer;
    writer.start("retConsStatServ", "4.00");
    writer.answerHead(data.environment, data.application, std::nullopt, data.status, data.statusText);
    writer.text("cUF", data.stateCode);
    writer.text("dhRecbto", data.receivedAt);
    if (data.averageSeconds)
        writer.text("tMed", QString::number(*data.averageSeconds));
    writer.textIf("dhRetorno", data.returnAt);
    writer.textIf("xObs", data.observation);
    return writer.finish();
}

QByteArray procEventoNFe(const QByteArray& signedEvento, const QByteArray& retEvento) {
    if (!hasRoot(signedEvento, "evento") || !hasRoot(retEvento, "retEvento"))
        return {};
    MessageWriter writer;
    writer.start("procEventoNFe", "1.00");
    writer.raw(signedEvento);
    writer.raw(retEvento);
    return writer.finish();
}

QByteArray eventoOf(const QByteArray& signedEnvEvento, const QString& accessKey) {
    QString ignored;
    XmlDoc doc = parseUntrusted(signedEnvEvento, &ignored);
    if (!doc)
        return {};
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!isElement(root, "envEvento", kNfe))
        return {};
    for (xmlNode* evento = childElement(root, "evento", kNfe); evento;
         evento = nextElement(evento, "evento", kNfe))
        if (childText(childElement(evento, "infEvento", kNfe), "chNFe") == accessKey)
            return standaloneElement(evento, true);
    return {};
}

namespace {

// A stored document whose root is rootName, and the infEvento of its child
// element child: root and info null when it is not one.
struct StoredEvent {
    XmlDoc doc;
    xmlNode* root = nullptr;
    xmlNode* info = nullptr;
};
StoredEvent readStored(const QByteArray& xml, const char* rootName, const char* child) {
    QString error;
    StoredEvent e{parseUntrusted(xml, &error)};
    xmlNode* root = e.doc ? xmlDocGetRootElement(e.doc.get()) : nullptr;
    if (!isElement(root, rootName, kNfe))
        return e;
    e.info = childElement(childElement(root, child, kNfe), "infEvento", kNfe);
    e.root = e.info ? root : nullptr;
    return e;
}

} // namespace

std::optional<SignedEventFields> readSignedEnvEvento(const QByteArray& xml) {
    const StoredEvent stored = readStored(xml, "envEvento", "evento");
    if (!stored.info)
        return std::nullopt;
    xmlNode* root = stored.root;
    xmlNode* info = stored.info;
    xmlNode* detail = childElement(info, "detEvento", kNfe);
    return SignedEventFields{childText(root, "idLote"),   childText(info, "chNFe"),
                             childText(info, "tpEvento"), childText(info, "dhEvento").trimmed(),
                             childText(detail, "nProt"),  childText(detail, "xJust")};
}

std::optional<ProcEventoFields> readProcEventoNFe(const QByteArray& xml) {
    const StoredEvent stored = readStored(xml, "procEventoNFe", "retEvento");
    if (!stored.info)
        return std::nullopt;
    xmlNode* answer = stored.info;
    ProcEventoFields f;
    xmlNode* event = childElement(childElement(stored.root, "evento", kNfe), "infEvento", kNfe);
    f.eventAt = childText(event, "dhEvento").trimmed();
    f.reason = childText(childElement(event, "detEvento", kNfe), "xJust");
    f.eventType = childText(answer, "tpEvento").trimmed();
    f.answer.accessKey = childText(answer, "chNFe").trimmed();
    f.answer.status = childText(answer, "cStat").trimmed().toInt();
    f.answer.statusText = childText(answer, "xMotivo").trimmed();
    f.answer.protocol = childText(answer, "nProt").trimmed();
    f.answer.registeredAt = childText(answer, "dhRegEvento").trimmed();
    f.answer.application = childText(answer, "verAplic").trimmed();
    return f;
}

QByteArray retEvento(const RetEventoData& data) {
    MessageWriter writer;
    writer.start("retEvento", "1.00");
    writer.start("infEvento", nullptr);
    if (!data.protocol.isEmpty())
        writer.attribute("Id", QStringLiteral("ID") + data.protocol);
    writer.answerHead(data.environment, data.application, data.orgao, data.status, data.statusText);
    writer.textIf("chNFe", data.accessKey);
    writer.textIf("tpEvento", data.eventType);
    writer.textIf("xEvento", data.eventDescription);
    if (data.sequence > 0)
        writer.text("nSeqEvento", QString::number(data.sequence));
    writer.text("dhRegEvento", data.registeredAt);
    writer.textIf("nProt", data.protocol);
    return writer.finish();
}

QByteArray retEnvEvento(const RetEnvEventoData& data, const std::vector<QByteArray>& retEventos) {
    MessageWriter writer;
    writer.start("retEnvEvento", "1.00");
    writer.text("idLote", data.batchId);
    writer.answerHead(data.environment, data.application, data.orgao, data.status, data.statusText);
    for (const QByteArray& ret : retEventos)
        writer.raw(ret);
    return writer.finish();
}

QByteArray retConsSitNFe(const RetConsSitNFeData& data, const std::vector<QByteArray>& procEventos) {
    MessageWriter writer;
    writer.start("retConsSitNFe", "4.00");
    writer.answerHead(data.environment, data.application, std::nullopt, data.status, data.statusText);
    writer.textIf("cUF", data.stateCode);
    writer.text("dhRecbto", data.receivedAt);
    writer.textIf("chNFe", data.accessKey);
    if (!data.authorisationProtocol.isEmpty()) {
        writer.start("protNFe", "4.00");
        writer.start("infProt", nullptr);
        writer.text("tpAmb", QString::number(data.environment));
        writer.text("verAplic", data.application);
        writer.text("chNFe", data.accessKey);
        writer.text("dhRecbto", data.authorisedAt);
        writer.text("nProt", data.authorisationProtocol);
        writer.text("cStat", QString::number(data.authorisationStatus));
        writer.text("xMotivo", data.authorisationText);
        writer.end();
        writer.end();
    }
    for (const QByteArray& proc : procEventos)
        writer.raw(proc);
    return writer.finish();
}

} // namespace zavnfe
