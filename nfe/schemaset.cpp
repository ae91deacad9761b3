#include "schemaset.h"

#include "embeddedschemas.h"
#include "xmlhandles.h"

#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>

#include <QList>
#include <QRegularExpression>
#include <QStringList>

#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

namespace zavnfe {

namespace {

// The schemas name each other by relative schemaLocation. Parsed under this
// scheme, their includes and imports resolve to the same scheme, which only
// the callbacks below serve, from the files compiled into the library.
constexpr char kScheme[] = "zavnfe-xsd:///";
constexpr std::size_t kSchemeLength = sizeof(kScheme) - 1;

constexpr std::array<Schema, 5> kSchemas = {Schema::EnvEvento, Schema::ProcEventoNFe, Schema::RetEnvEvento,
                                            Schema::ConsStatServ, Schema::RetConsStatServ};

std::size_t indexOf(Schema schema) {
    return static_cast<std::size_t>(schema);
}

// One open schema file while libxml2 reads it. A name under the scheme that
// is not compiled in gets a reader that fails, so libxml2 never goes on to
// try it as a path on disk.
struct MemoryInput {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
};

int matchScheme(const char* uri) {
    return uri && std::strncmp(uri, kScheme, kSchemeLength) == 0;
}

void* openScheme(const char* uri) {
    auto input = std::make_unique<MemoryInput>();
    const char* name = uri + kSchemeLength;
    for (std::size_t i = 0; i < embedded::kSchemaFileCount; ++i) {
        if (std::strcmp(embedded::kSchemaFiles[i].name, name) == 0) {
            input->data = embedded::kSchemaFiles[i].data;
            input->size = embedded::kSchemaFiles[i].size;
        }
    }
    return input.release(); // libxml2 hands it back to closeScheme
}

int readScheme(void* context, char* buffer, int length) {
    auto* input = static_cast<MemoryInput*>(context);
    if (!input->data || length < 0)
        return -1;
    const std::size_t count = std::min(static_cast<std::size_t>(length), input->size - input->position);
    std::memcpy(buffer, input->data + input->position, count);
    input->position += count;
    return static_cast<int>(count);
}

int closeScheme(void* context) {
    std::unique_ptr<MemoryInput> owner(static_cast<MemoryInput*>(context));
    return 0;
}

using ParserCtxt = std::unique_ptr<xmlParserCtxt, FreedBy<xmlFreeParserCtxt>>;
using SchemaParserCtxt = std::unique_ptr<xmlSchemaParserCtxt, FreedBy<xmlSchemaFreeParserCtxt>>;
using SchemaValidCtxt = std::unique_ptr<xmlSchemaValidCtxt, FreedBy<xmlSchemaFreeValidCtxt>>;

// libxml2's messages, in the order they are tried, and how they read in
// Portuguese. A message not listed keeps the library's English words.
struct Translation {
    QRegularExpression pattern;
    QString text; // %1, %2: the pattern's captures
};

QList<Translation> makeTranslations() {
    auto rule = [](const char* pattern, const char* text) {
        return Translation{
            QRegularExpression(QString::fromUtf8(pattern), QRegularExpression::DotMatchesEverythingOption),
            QString::fromUtf8(text)};
    };
    return {
        rule(R"(^This element is not expected\. Expected is one of \( (.*) \)\.$)",
             "elemento fora do lugar; esperado um de: %1."),
        rule(R"(^This element is not expected\. Expected is \( (.*) \)\.$)",
             "elemento fora do lugar; esperado: %1."),
        rule(R"(^This element is not expected\.$)",
             "elemento não esperado aqui (fora da ordem ou além do número permitido)."),
        rule(R"(^Missing child element\(s\)\. Expected is one of \( (.*) \)\.$)",
             "faltam elementos; esperado um de: %1."),
        rule(R"(^Missing child element\(s\)\. Expected is \( (.*) \)\.$)", "falta o elemento %1."),
        rule(
            R"(^\[facet 'minLength'\] The value has a length of '(\d+)'; this underruns the allowed minimum length of '(\d+)'\.$)",
            "o valor tem %1 caracteres, menos que o mínimo de %2."),
        rule(
            R"(^\[facet 'maxLength'\] The value has a length of '(\d+)'; this exceeds the allowed maximum length of '(\d+)'\.$)",
            "o valor tem %1 caracteres, mais que o máximo de %2."),
        rule(R"(^\[facet 'pattern'\] The value '(.*)' is not accepted by the pattern '(.*)'\.$)",
             "o valor '%1' não segue o formato '%2'."),
        rule(R"(^\[facet 'enumeration'\] The value '(.*)' is not an element of the set \{(.*)\}\.$)",
             "o valor '%1' não é um dos permitidos (%2)."),
        rule(R"(^'(.*)' is not a valid value of the (?:local )?(?:atomic|union|list) type(?: '.*')?\.$)",
             "o valor '%1' não é válido para este campo."),
        rule(R"(^The value '(.*)' does not match the fixed value constraint '(.*)'\.$)",
             "o valor '%1' difere do único permitido, '%2'."),
        rule(R"(^The attribute '(.*)' is required but missing\.$)", "falta o atributo obrigatório '%1'."),
        rule(R"(^The attribute '(.*)' is not allowed\.$)", "atributo não permitido."),
        rule(R"(^No matching global declaration available for the validation root\.$)",
             "não é o elemento raiz deste esquema (nome ou namespace diferente)."),
        rule(
            R"(^Character content other than whitespace is not allowed because the content type is 'element-only'\.$)",
            "texto não permitido dentro deste elemento."),
        rule(R"(^Element content is not allowed, because the content type is a simple type definition\.$)",
             "elementos não são permitidos dentro deste campo."),
        rule(R"(^Duplicate key-sequence \[(.*)\] in unique identity-constraint '(.*)'\.$)",
             "valor repetido %1 onde cada um deve ser único."),
    };
}

// "Element '{ns}name', attribute 'Id': message" with the namespace dropped:
// every name in these schemas is unique within its place.
QString translate(const QString& message) {
    thread_local const QList<Translation> translations = makeTranslations();
    thread_local const QRegularExpression prefix(
        QStringLiteral(R"(^Element '([^']*)'(?:, attribute '([^']*)')?: (.*)$)"),
        QRegularExpression::DotMatchesEverythingOption);
    thread_local const QRegularExpression ns(QStringLiteral(R"(\{(?:https?|urn):[^}]*\})"));

    QString head;
    QString body = message.trimmed();
    const QRegularExpressionMatch element = prefix.match(body);
    if (element.hasMatch()) {
        head = QStringLiteral("Elemento '%1'").arg(element.captured(1).remove(ns));
        if (element.capturedLength(2) > 0)
            head += QStringLiteral(", atributo '%1'").arg(element.captured(2).remove(ns));
        head += QStringLiteral(": ");
        body = element.captured(3);
    }
    // Past its pattern, an Id attribute (a restriction of xs:ID) fails only
    // as an XML ID: in these messages, when another Id already has its value.
    thread_local const QRegularExpression badId(
        QStringLiteral(R"(^'(.*)' is not a valid value of the (?:local )?atomic type(?: 'xs:ID')?\.$)"));
    const QRegularExpressionMatch id = badId.match(body);
    if (element.hasMatch() && element.captured(2) == u"Id" && id.hasMatch())
        return head + QStringLiteral(
                          "o valor '%1' não serve de Id: repete outro Id do documento ou não é um nome XML")
                          .arg(id.captured(1));
    for (const Translation& translation : translations) {
        const QRegularExpressionMatch match = translation.pattern.match(body);
        if (!match.hasMatch())
            continue;
        QString text = translation.text;
        for (int i = 1; i <= match.lastCapturedIndex(); ++i)
            text = text.arg(match.captured(i));
        body = text;
        break;
    }
    body.remove(ns);
    if (body.endsWith(u'.'))
        body.chop(1);
    return head + body;
}

// The structured error handler of every libxml2 context used here: errors
// are kept (never printed) with their line, the first kMaxErrors in full.
struct Collector {
    QStringList lines;
    int count = 0;

    void add(const QString& text, int line) {
        ++count;
        if (lines.size() >= SchemaSet::kMaxErrors)
            return;
        lines.append(line > 0 ? QStringLiteral("%1 (linha %2)").arg(text).arg(line) : text);
    }
    QString text() const {
        QString all = lines.join(u'\n');
        if (count > lines.size())
            all += QStringLiteral("\n(e mais %1 erro(s))").arg(count - lines.size());
        return all;
    }
};

// A template so it fits libxml2 versions whose handler takes a const error.
template <typename Error> void collectError(void* data, Error* error) {
    if (!data || !error || error->level < XML_ERR_ERROR)
        return;
    const QString message = QString::fromUtf8(error->message ? error->message : "erro sem descrição");
    static_cast<Collector*>(data)->add(translate(message), error->line);
}

QString parseFailure(xmlParserCtxt* ctxt) {
    const xmlError* error = ctxt ? xmlCtxtGetLastError(ctxt) : nullptr;
    QString why = error && error->message ? QString::fromUtf8(error->message).trimmed() : QString();
    if (why == u"Document is empty" || why.startsWith(u"Start tag expected"))
        why = QStringLiteral("o documento está vazio ou não começa por um elemento");
    if (why.isEmpty())
        why = QStringLiteral("documento ilegível");
    const int line = error ? error->line : 0;
    return line > 0 ? QStringLiteral("XML mal formado: %1 (linha %2)").arg(why).arg(line)
                    : QStringLiteral("XML mal formado: %1").arg(why);
}

} // namespace

struct SchemaSet::Compiled {
    std::array<xmlSchema*, kSchemas.size()> schemas{};
    std::array<QString, kSchemas.size()> failures;

    ~Compiled() {
        for (xmlSchema* schema : schemas)
            if (schema)
                xmlSchemaFree(schema);
    }
};

const char* SchemaSet::fileName(Schema schema) {
    switch (schema) {
    case Schema::EnvEvento:
        return "envEventoCancNFe_v1.00.xsd";
    case Schema::ProcEventoNFe:
        return "procEventoCancNFe_v1.00.xsd";
    case Schema::RetEnvEvento:
        return "retEnvEventoCancNFe_v1.00.xsd";
    case Schema::ConsStatServ:
        return "consStatServ_v4.00.xsd";
    case Schema::RetConsStatServ:
        return "retConsStatServ_v4.00.xsd";
    }
    return "";
}

SchemaSet::SchemaSet() : m_compiled(std::make_unique<Compiled>()) {
    xmlInitParser();
    // Registered once, by the only construction of the set (instance());
    // the callbacks answer only for this library's own scheme.
    if (xmlRegisterInputCallbacks(matchScheme, openScheme, readScheme, closeScheme) < 0) {
        for (QString& failure : m_compiled->failures)
            failure = QStringLiteral("a biblioteca libxml2 não aceitou o leitor dos esquemas embutidos");
        return;
    }
    for (Schema schema : kSchemas) {
        const std::string url = std::string(kScheme) + fileName(schema);
        Collector errors;
        SchemaParserCtxt parser(xmlSchemaNewParserCtxt(url.c_str()));
        xmlSchema* compiled = nullptr;
        if (parser) {
            xmlSchemaSetParserStructuredErrors(parser.get(), &collectError, &errors);
            compiled = xmlSchemaParse(parser.get());
        }
        m_compiled->schemas[indexOf(schema)] = compiled;
        if (!compiled)
            m_compiled->failures[indexOf(schema)] =
                errors.lines.isEmpty() ? QStringLiteral("não foi possível compilá-lo") : errors.text();
    }
}

SchemaSet::~SchemaSet() = default;

const SchemaSet& SchemaSet::instance() {
    static const SchemaSet set;
    return set;
}

QString SchemaSet::validate(Schema schema, const QByteArray& xml) const {
    xmlSchema* compiled = m_compiled->schemas[indexOf(schema)];
    if (!compiled)
        return QStringLiteral("Esquema %1 indisponível: %2")
            .arg(QString::fromLatin1(fileName(schema)), m_compiled->failures[indexOf(schema)]);
    if (xml.size() > INT_MAX)
        return QStringLiteral("XML grande demais para validar (%1 bytes).").arg(xml.size());

    ParserCtxt parser(xmlNewParserCtxt());
    if (!parser)
        return QStringLiteral("Sem memória para ler o XML.");
    // No network, nothing printed, entities left unexpanded.
    XmlDoc doc(
        xmlCtxtReadMemory(parser.get(), xml.constData(), int(xml.size()), nullptr, nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES));
    if (!doc)
        return parseFailure(parser.get());
    if (doc->intSubset || doc->extSubset)
        return QStringLiteral("O XML traz uma declaração DOCTYPE, que mensagens NF-e não admitem.");

    // A context of its own per call: the compiled schema is only read.
    SchemaValidCtxt validator(xmlSchemaNewValidCtxt(compiled));
    if (!validator)
        return QStringLiteral("Sem memória para validar o XML.");
    Collector errors;
    xmlSchemaSetValidStructuredErrors(validator.get(), &collectError, &errors);
    const int result = xmlSchemaValidateDoc(validator.get(), doc.get());
    if (result == 0)
        return {};
    if (!errors.lines.isEmpty())
        return errors.text();
    return result < 0
               ? QStringLiteral("Falha interna do validador ao conferir o XML com %1.")
                     .arg(QString::fromLatin1(fileName(schema)))
               : QStringLiteral("XML inválido para o esquema %1.").arg(QString::fromLatin1(fileName(schema)));
}

} // namespace zavnfe
