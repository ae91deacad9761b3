#include "servicestatus.h"

#include "authoritymessages.h"
#include "schemaset.h"
#include "states.h"
#include "statuscodes.h"

namespace zavauthority {

namespace {

// The state named in an answer to a query whose own cannot be read.
const char* const kFallbackState = "53";

// The query against the published schema (consStatServ_v4.00.xsd).
QString schemaProblem(const QByteArray& consStatServ) {
    return zavnfe::SchemaSet::instance().validate(zavnfe::Schema::ConsStatServ, consStatServ);
}

} // namespace

ServiceAnswer ServiceStatus::answer(xmlNode* root, int status, const QString& detail,
                                    const QDateTime& now) const {
    zavnfe::ServiceStatusAnswer data;
    data.environment = m_environment;
    data.application = QLatin1String(EventReception::kApplication);
    data.status = status;
    data.statusText = StatusCodes::text(status, detail);
    const QString state = zavnfe::childText(root, "cUF");
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
    const QString problem = doc ? schemaProblem(consStatServ) : why;
    if (!problem.isEmpty())
        return answer(root, SchemaFailure, problem, now);
    if (zavnfe::childText(root, "tpAmb").toInt() != m_environment)
        return answer(root, EnvironmentDiffers, QString(), now);
    return answer(root, m_paused != 0 ? m_paused : ServiceInOperation, QString(), now);
}

} // namespace zavauthority
