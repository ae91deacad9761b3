#include "eventreception.h"

#include "accesskey.h"
#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "digits.h"
#include "schemaset.h"
#include "states.h"
#include "statuscodes.h"

namespace zavauthority {

namespace {

const char* const kNfe = zavnfe::CancellationBatch::kNamespace;
// The organ of the whole country, for an answer to a batch whose own cannot
// be read.
const char* const kNationalOrgan = "91";

// The one place where the batch meets the published schema.
QString schemaProblem(const QByteArray& envEvento) {
    return zavnfe::SchemaSet::instance().validate(zavnfe::Schema::EnvEvento, envEvento);
}

// What the batch says of itself goes back in the answer when it reads as the
// schema's types; anything else would make the answer invalid too.
void readBatchHead(xmlNode* root, zavnfe::RetEnvEventoData& head) {
    const QString batchId = zavnfe::childText(root, "idLote");
    if (zavfiscal::isDigits(batchId, 1, 15))
        head.batchId = batchId;
    xmlNode* first = zavnfe::childElement(zavnfe::childElement(root, "evento", kNfe), "infEvento", kNfe);
    if (zavfiscal::stateByCode(zavnfe::childText(first, "cOrgao")))
        head.orgao = zavnfe::childText(first, "cOrgao");
}

// The whole batch refused: no retEvento.
ServiceAnswer rejectBatch(zavnfe::RetEnvEventoData& head, int status, const QString& detail) {
    head.status = status;
    head.statusText = StatusCodes::text(status, detail);
    return ServiceAnswer{
        zavnfe::retEnvEvento(head, {}),
        QStringLiteral("lote %1: %2 %3").arg(head.batchId).arg(status).arg(detail).trimmed()};
}

} // namespace

struct EventReception::Incoming {
    QString key, id, orgao, type, author, dateTime, authorisationProtocol;
    int environment = 0, sequence = 0;
    QByteArray evento;
};

std::vector<EventReception::Incoming> EventReception::readEvents(xmlNode* root) {
    std::vector<Incoming> events;
    for (xmlNode* evento = zavnfe::childElement(root, "evento", kNfe); evento;
         evento = zavnfe::nextElement(evento, "evento", kNfe)) {
        xmlNode* info = zavnfe::childElement(evento, "infEvento", kNfe);
        Incoming in;
        in.key = zavnfe::childText(info, "chNFe");
        in.id = zavnfe::attribute(info, "Id");
        in.orgao = zavnfe::childText(info, "cOrgao");
        in.environment = zavnfe::childText(info, "tpAmb").toInt();
        in.author = zavnfe::childText(info, "CNPJ");
        in.dateTime = zavnfe::childText(info, "dhEvento");
        in.type = zavnfe::childText(info, "tpEvento");
        in.sequence = zavnfe::childText(info, "nSeqEvento").toInt();
        in.authorisationProtocol = zavnfe::childText(zavnfe::childElement(info, "detEvento", kNfe), "nProt");
        in.evento = zavnfe::standaloneElement(evento, true);
        events.push_back(std::move(in));
    }
    return events;
}

int EventReception::refusal(const Incoming& in, const QDateTime& at, const QDateTime& now) const {
    const QString expectedId =
        QStringLiteral("ID%1%2%3").arg(in.type, in.key).arg(in.sequence, 2, 10, QLatin1Char('0'));
    if (in.id != expectedId)
        return BadEventId;
    if (in.orgao != zavfiscal::accessKeyStateCode(in.key))
        return OrganDiffersFromKey;
    if (in.environment != m_environment)
        return EnvironmentDiffers;
    if (!zavfiscal::isValidAccessKey(in.key))
        return BadCheckDigit;
    if (in.author.isEmpty() || in.author != zavfiscal::accessKeyIssuerCnpj(in.key))
        return AuthorDiffers;
    if (!at.isValid() || at.secsTo(now) < -kClockToleranceSeconds)
        return EventAfterProcessing;
    return 0;
}

Decision EventReception::answer(const Incoming& in, const QString& batchOrgan, const QDateTime& now) const {
    zavnfe::RetEventoData ret;
    ret.environment = m_environment;
    ret.application = QLatin1String(kApplication);
    ret.orgao = zavfiscal::stateByCode(in.orgao) ? in.orgao : batchOrgan;
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

    const QDateTime at = QDateTime::fromString(in.dateTime, Qt::ISODate);
    const int status = refusal(in, at, now);
    if (status != 0)
        return Decision{status, QString(),
                        build(status, QString(),
                              zavfiscal::legalDateTime(
                                  now, zavfiscal::utcOffsetOfCode(zavfiscal::accessKeyStateCode(in.key))))};
    const EventFacts facts{in.key, in.type, in.authorisationProtocol, in.sequence, at, in.evento};
    Decision decision;
    m_record.onRecordThread([&] { decision = m_record.decide(facts, m_terms, now, build); });
    return decision;
}

zavnfe::RetEnvEventoData EventReception::head() const {
    return zavnfe::RetEnvEventoData{QStringLiteral("0"),
                                    m_environment,
                                    QLatin1String(kApplication),
                                    QLatin1String(kNationalOrgan),
                                    0,
                                    QString()};
}

ServiceAnswer EventReception::refuse(const QByteArray& envEvento, int status) const {
    zavnfe::RetEnvEventoData head = this->head();
    QString why;
    const zavnfe::XmlDoc doc = zavnfe::parseUntrusted(envEvento, &why);
    readBatchHead(doc ? xmlDocGetRootElement(doc.get()) : nullptr, head);
    return rejectBatch(head, status, QString());
}

ServiceAnswer EventReception::process(const QByteArray& envEvento, const QDateTime& now,
                                      stack_st_X509* intermediates) const {
    zavnfe::RetEnvEventoData head = this->head();
    QString why;
    zavnfe::XmlDoc doc = zavnfe::parseUntrusted(envEvento, &why);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    readBatchHead(root, head);
    if (!doc)
        return rejectBatch(head, SchemaFailure, why);
    const QString schema = schemaProblem(envEvento);
    if (!schema.isEmpty())
        return rejectBatch(head, SchemaFailure, schema);

    const std::vector<Incoming> events = readEvents(root);
    for (const Incoming& in : events) {
        const SignatureCheck::Result signature = m_signatures.verify(in.evento, intermediates);
        if (signature.status != 0)
            return rejectBatch(head, signature.status,
                               QStringLiteral("chNFe %1: %2").arg(in.key, signature.detail));
        if (signature.signerCnpj.isEmpty())
            return rejectBatch(head, SigningCertificateWithoutCnpj, QStringLiteral("chNFe %1").arg(in.key));
        // Any establishment of the company may be the author: the base (the
        // first 8 digits) of its CNPJ is the certificate's.
        if (in.author.left(8) != signature.signerCnpj.left(8))
            return rejectBatch(head, CnpjBaseDiffers,
                               QStringLiteral("chNFe %1: autor %2, certificado %3")
                                   .arg(in.key, in.author, signature.signerCnpj));
    }

    std::vector<QByteArray> answers;
    QStringList results;
    for (const Incoming& in : events) {
        const Decision decision = answer(in, head.orgao, now);
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
