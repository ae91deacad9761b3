#include "eventreception.h"

#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "schemaset.h"
#include "statezones.h"
#include "statuscodes.h"

#include <algorithm>

namespace zavauthority {

namespace {

const char* const kNfe = zavnfe::CancellationBatch::kNamespace;
// The organ of the whole country, for an answer to a batch whose own cannot
// be read.
const char* const kNationalOrgan = "91";

QString text(xmlNode* parent, const char* name) {
    return zavnfe::elementText(zavnfe::childElement(parent, name, kNfe));
}

// The one place where the batch meets the published schema.
QString schemaProblem(const QByteArray& envEvento) {
    return zavnfe::SchemaSet::instance().validate(zavnfe::Schema::EnvEvento, envEvento);
}

struct Incoming {
    xmlNode* info = nullptr;
    QString key, id, orgao, type, author, dateTime, authorisationProtocol;
    int environment = 0, sequence = 0;
    QByteArray evento;
};

} // namespace

ServiceAnswer EventReception::process(const QByteArray& envEvento, const QDateTime& now) const {
    zavnfe::RetEnvEventoData head{QStringLiteral("0"),
                                  m_environment,
                                  QLatin1String(kApplication),
                                  QLatin1String(kNationalOrgan),
                                  0,
                                  QString()};
    auto batchRejection = [&](int status, const QString& detail) {
        head.status = status;
        head.statusText = StatusCodes::text(status, detail);
        return ServiceAnswer{zavnfe::retEnvEvento(head, {}),
                             QStringLiteral("lote %1: %2 %3").arg(head.batchId).arg(status).arg(detail)};
    };

    QString why;
    zavnfe::XmlDoc doc = zavnfe::parseUntrusted(envEvento, &why);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    // What the batch says of itself goes back in the answer when it reads as
    // the schema's types; anything else would make the answer invalid too.
    const QString batchId = text(root, "idLote");
    if (!batchId.isEmpty() && batchId.size() <= 15 &&
        std::all_of(batchId.cbegin(), batchId.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        head.batchId = batchId;
    xmlNode* first = zavnfe::childElement(zavnfe::childElement(root, "evento", kNfe), "infEvento", kNfe);
    if (StateZones::known(text(first, "cOrgao")))
        head.orgao = text(first, "cOrgao");
    if (!doc)
        return batchRejection(SchemaFailure, why);
    const QString schema = schemaProblem(envEvento);
    if (!schema.isEmpty())
        return batchRejection(SchemaFailure, schema);

    std::vector<Incoming> events;
    for (xmlNode* evento = zavnfe::childElement(root, "evento", kNfe); evento;
         evento = zavnfe::nextElement(evento, "evento", kNfe)) {
        Incoming in;
        in.info = zavnfe::childElement(evento, "infEvento", kNfe);
        in.key = text(in.info, "chNFe");
        in.id = zavnfe::attribute(in.info, "Id");
        in.orgao = text(in.info, "cOrgao");
        in.environment = text(in.info, "tpAmb").toInt();
        in.author = text(in.info, "CNPJ");
        in.dateTime = text(in.info, "dhEvento");
        in.type = text(in.info, "tpEvento");
        in.sequence = text(in.info, "nSeqEvento").toInt();
        in.authorisationProtocol = text(zavnfe::childElement(in.info, "detEvento", kNfe), "nProt");
        in.evento = zavnfe::standaloneElement(evento, true);
        events.push_back(std::move(in));
    }
    for (const Incoming& in : events) {
        const SignatureCheck::Result signature = m_signatures.verify(in.evento);
        if (signature.status != 0)
            return batchRejection(signature.status,
                                  QStringLiteral("chNFe %1: %2").arg(in.key, signature.detail));
    }

    std::vector<QByteArray> answers;
    QStringList results;
    for (const Incoming& in : events) {
        zavnfe::RetEventoData ret;
        ret.environment = m_environment;
        ret.application = QLatin1String(kApplication);
        ret.orgao = StateZones::known(in.orgao) ? in.orgao : head.orgao;
        ret.accessKey = in.key;
        ret.eventType = in.type;
        ret.sequence = in.sequence;
        auto build = [ret](int status, const QString& protocol, const QString& registeredAt) mutable {
            ret.status = status;
            ret.statusText = StatusCodes::text(status);
            ret.protocol = protocol;
            ret.registeredAt = registeredAt;
            if (!protocol.isEmpty())
                ret.eventDescription = QStringLiteral("Cancelamento registrado");
            return zavnfe::retEvento(ret);
        };

        int status = 0;
        const QString expectedId =
            QStringLiteral("ID%1%2%3").arg(in.type, in.key).arg(in.sequence, 2, 10, QLatin1Char('0'));
        const QDateTime at = QDateTime::fromString(in.dateTime, Qt::ISODate);
        if (in.id != expectedId)
            status = BadEventId;
        else if (in.orgao != in.key.left(2))
            status = OrganDiffersFromKey;
        else if (in.environment != m_environment)
            status = EnvironmentDiffers;
        else if (!zavnfe::CancellationEvent::validAccessKey(in.key))
            status = BadCheckDigit;
        else if (in.author.isEmpty() || in.author != in.key.mid(6, 14))
            status = AuthorDiffers;
        else if (!at.isValid() || at.secsTo(now) < -kClockToleranceSeconds)
            status = EventAfterProcessing;

        Decision decision;
        if (status != 0) {
            decision = Decision{status, QString(),
                                build(status, QString(), StateZones::format(now, in.key.left(2)))};
        } else {
            const EventFacts facts{in.key, in.type, in.authorisationProtocol, in.sequence, at, in.evento};
            m_record.onRecordThread([&] { decision = m_record.decide(facts, m_terms, now, build); });
        }
        answers.push_back(decision.retEvento);
        results.append(QStringLiteral("%1:%2%3")
                           .arg(in.key)
                           .arg(decision.status)
                           .arg(decision.protocol.isEmpty() ? QString() : u'/' + decision.protocol));
    }
    head.status = BatchProcessed;
    head.statusText = StatusCodes::text(BatchProcessed);
    return ServiceAnswer{
        zavnfe::retEnvEvento(head, answers),
        QStringLiteral("lote %1: %2 [%3]").arg(head.batchId).arg(head.status).arg(results.join(u' '))};
}

} // namespace zavauthority
