#include "statusconsultation.h"

#include "accesskey.h"
#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "digits.h"
#include "states.h"
#include "statuscodes.h"

namespace zavauthority {

namespace {

const char* const kNfe = zavnfe::CancellationBatch::kNamespace;

// The query's layout, checked here since no published schema of it ships
// with the product: root, version and each field in order, nothing else.
QString layoutProblem(xmlNode* root) {
    if (!root || !root->ns || !xmlStrEqual(root->name, zavnfe::xmlText("consSitNFe")) ||
        !xmlStrEqual(root->ns->href, zavnfe::xmlText(kNfe)))
        return QStringLiteral("a mensagem não é um consSitNFe");
    if (zavnfe::attribute(root, "versao") != u"4.00")
        return QStringLiteral("consSitNFe deve ter versao 4.00");
    const char* fields[] = {"tpAmb", "xServ", "chNFe"};
    xmlNode* node = zavnfe::childElement(root, nullptr, nullptr);
    for (const char* field : fields) {
        if (!node || !xmlStrEqual(node->name, zavnfe::xmlText(field)) || !node->ns ||
            !xmlStrEqual(node->ns->href, zavnfe::xmlText(kNfe)))
            return QStringLiteral("consSitNFe sem o campo %1 no lugar esperado")
                .arg(QLatin1StringView(field));
        node = zavnfe::nextElement(node, nullptr, nullptr);
    }
    if (node)
        return QStringLiteral("consSitNFe com campo inesperado");
    const QString environment = zavnfe::childText(root, "tpAmb");
    if (environment != u"1" && environment != u"2")
        return QStringLiteral("tpAmb deve ser 1 ou 2");
    if (zavnfe::childText(root, "xServ") != u"CONSULTAR")
        return QStringLiteral("xServ deve ser CONSULTAR");
    if (!zavfiscal::isDigits(zavnfe::childText(root, "chNFe"), 44))
        return QStringLiteral("chNFe deve ter 44 algarismos");
    return {};
}

} // namespace

ServiceAnswer StatusConsultation::refuse(const QByteArray& consSitNFe, int status,
                                         const QDateTime& now) const {
    zavnfe::RetConsSitNFeData data;
    data.environment = m_environment;
    data.application = QLatin1String(EventReception::kApplication);
    data.status = status;
    data.statusText = StatusCodes::text(status);
    QString why;
    const zavnfe::XmlDoc doc = zavnfe::parseUntrusted(consSitNFe, &why);
    const QString key = doc ? zavnfe::childText(xmlDocGetRootElement(doc.get()), "chNFe") : QString();
    if (zavfiscal::isDigits(key, 44))
        data.accessKey = key;
    if (zavfiscal::stateByCode(zavfiscal::accessKeyStateCode(data.accessKey)))
        data.stateCode = zavfiscal::accessKeyStateCode(data.accessKey);
    data.receivedAt = zavfiscal::legalDateTime(
        now, zavfiscal::utcOffsetOfCode(data.stateCode.isEmpty() ? QStringLiteral("53") : data.stateCode));
    return ServiceAnswer{zavnfe::retConsSitNFe(data, {}),
                         QStringLiteral("consulta %1: %2")
                             .arg(data.accessKey.isEmpty() ? QStringLiteral("-") : data.accessKey)
                             .arg(status)};
}

ServiceAnswer StatusConsultation::process(const QByteArray& consSitNFe, const QDateTime& now) const {
    zavnfe::RetConsSitNFeData data;
    data.environment = m_environment;
    data.application = QLatin1String(EventReception::kApplication);
    auto answer = [&](int status, const QString& detail, const std::vector<QByteArray>& procEventos = {}) {
        data.status = status;
        data.statusText = StatusCodes::text(status, detail);
        data.receivedAt = zavfiscal::legalDateTime(
            now, zavfiscal::utcOffsetOfCode(zavfiscal::stateByCode(data.stateCode) ? data.stateCode
                                                                                   : QStringLiteral("53")));
        return ServiceAnswer{zavnfe::retConsSitNFe(data, procEventos),
                             QStringLiteral("consulta %1: %2%3 (%4 eventos)")
                                 .arg(data.accessKey.isEmpty() ? QStringLiteral("-") : data.accessKey)
                                 .arg(status)
                                 .arg(detail.isEmpty() ? QString() : u' ' + detail)
                                 .arg(procEventos.size())};
    };

    QString why;
    zavnfe::XmlDoc doc = zavnfe::parseUntrusted(consSitNFe, &why);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    const QString problem = doc ? layoutProblem(root) : why;
    if (!problem.isEmpty())
        return answer(SchemaFailure, problem);
    const QString key = zavnfe::childText(root, "chNFe");
    data.accessKey = key;
    if (zavfiscal::stateByCode(zavfiscal::accessKeyStateCode(key)))
        data.stateCode = zavfiscal::accessKeyStateCode(key);
    if (zavnfe::childText(root, "tpAmb").toInt() != m_environment)
        return answer(EnvironmentDiffers, QString());
    if (!zavfiscal::isValidAccessKey(key))
        return answer(BadCheckDigit, QString());

    std::optional<Invoice> invoice;
    std::vector<RegisteredEvent> events;
    m_record.onRecordThread([&] {
        invoice = m_record.invoice(key);
        events = m_record.events(key);
    });
    if (!invoice)
        return answer(NotInDatabase, QString());
    data.authorisationProtocol = invoice->protocol;
    data.authorisedAt = invoice->authorisedAtText;
    data.authorisationStatus = invoice->state == u'D' ? DeniedUse : AuthorisedUse;
    data.authorisationText = StatusCodes::text(data.authorisationStatus);
    std::vector<QByteArray> procEventos;
    for (const RegisteredEvent& event : events) {
        const QByteArray proc = zavnfe::procEventoNFe(event.evento, event.retEvento);
        if (!proc.isEmpty())
            procEventos.push_back(proc);
    }
    const int status = invoice->state == u'C'   ? CancellationApproved
                       : invoice->state == u'D' ? DeniedUse
                                                : AuthorisedUse;
    return answer(status, QString(), procEventos);
}

} // namespace zavauthority
