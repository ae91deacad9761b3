#include "servicestatus.h"

#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "states.h"
#include "statuscodes.h"

namespace zavauthority {

namespace {

const char* const kNfe = zavnfe::CancellationBatch::kNamespace;
// The state named in an answer to a query whose own cannot be read.
const char* const kFallbackState = "53";

QString text(xmlNode* parent, const char* name) {
    return zavnfe::elementText(zavnfe::childElement(parent, name, kNfe));
}

// The query's layout: root, version and each field in order, nothing else.
QString layoutProblem(xmlNode* root) {
    if (!root || !root->ns || !xmlStrEqual(root->name, zavnfe::xmlText("consStatServ")) ||
        !xmlStrEqual(root->ns->href, zavnfe::xmlText(kNfe)))
        return QStringLiteral("a mensagem não é um consStatServ");
    if (zavnfe::attribute(root, "versao") != u"4.00")
        return QStringLiteral("consStatServ deve ter versao 4.00");
    xmlNode* node = zavnfe::childElement(root, nullptr, nullptr);
    for (const char* field : {"tpAmb", "cUF", "xServ"}) {
        if (!node || !xmlStrEqual(node->name, zavnfe::xmlText(field)) || !node->ns ||
            !xmlStrEqual(node->ns->href, zavnfe::xmlText(kNfe)))
            return QStringLiteral("consStatServ sem o campo %1 no lugar esperado")
                .arg(QLatin1StringView(field));
        node = zavnfe::nextElement(node, nullptr, nullptr);
    }
    if (node)
        return QStringLiteral("consStatServ com campo inesperado");
    const QString environment = text(root, "tpAmb");
    if (environment != u"1" && environment != u"2")
        return QStringLiteral("tpAmb deve ser 1 ou 2");
    if (!zavfiscal::stateByCode(text(root, "cUF")))
        return QStringLiteral("cUF não é o código de uma UF");
    if (text(root, "xServ") != u"STATUS")
        return QStringLiteral("xServ deve ser STATUS");
    return {};
}

} // namespace

ServiceAnswer ServiceStatus::answer(xmlNode* root, int status, const QString& detail,
                                    const QDateTime& now) const {
    zavnfe::ServiceStatusAnswer data;
    data.environment = m_environment;
    data.application = QLatin1String(EventReception::kApplication);
    data.status = status;
    data.statusText = StatusCodes::text(status, detail);
    const QString state = text(root, "cUF");
    data.stateCode = zavfiscal::stateByCode(state) ? state : QLatin1String(kFallbackState);
    data.receivedAt = zavfiscal::legalDateTime(now, zavfiscal::utcOffsetOfCode(data.stateCode));
    if (status == ServiceInOperation)
        data.averageSeconds = 1;
    return ServiceAnswer{zavnfe::retConsStatServ(data),
                         QStringLiteral("status do serviço %1: %2%3")
                             .arg(data.stateCode)
                             .arg(status)
                             .arg(detail.isEmpty() ? QString() : u' ' + detail)};
}

ServiceAnswer ServiceStatus::refuse(const QByteArray& consStatServ, int status, const QDateTime& now) const {
    QString why;
    const zavnfe::XmlDoc doc = zavnfe::parseUntrusted(consStatServ, &why);
    return answer(doc ? xmlDocGetRootElement(doc.get()) : nullptr, status, QString(), now);
}

ServiceAnswer ServiceStatus::process(const QByteArray& consStatServ, const QDateTime& now) const {
    QString why;
    const zavnfe::XmlDoc doc = zavnfe::parseUntrusted(consStatServ, &why);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    const QString problem = doc ? layoutProblem(root) : why;
    if (!problem.isEmpty())
        return answer(root, SchemaFailure, problem, now);
    if (text(root, "tpAmb").toInt() != m_environment)
        return answer(root, EnvironmentDiffers, QString(), now);
    return answer(root, m_paused != 0 ? m_paused : ServiceInOperation, QString(), now);
}

} // namespace zavauthority
