#include "cancellation/eventtransmission.h"

#include "authoritymessages.h"
#include "soap.h"

#include <QXmlStreamReader>

namespace zavserver {

namespace {

// What a procEventoNFe says of itself: its retEvento's fields, and its
// event's time and reason.
struct ProcEventoFields {
    QString accessKey, eventType, statusText, protocol, registeredAt, application;
    QString eventAt, reason;
    int status = 0;
};

// Event types that cancel an NF-e: the cancellation, and the cancellation by
// substitution.
bool cancels(QStringView eventType) {
    return eventType == u"110111" || eventType == u"110112";
}

// dhEvento of the first event of a signed envEvento or procEventoNFe.
QString eventTime(const QByteArray& xml) {
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == u"dhEvento")
            return reader.readElementText().trimmed();
    }
    return {};
}

ProcEventoFields readProcEvento(const QByteArray& xml) {
    ProcEventoFields f;
    QXmlStreamReader reader(xml);
    bool inAnswer = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const QStringView name = reader.name();
        if (name == u"retEvento") {
            inAnswer = true;
            continue;
        }
        if (!inAnswer) {
            if (name == u"dhEvento")
                f.eventAt = reader.readElementText().trimmed();
            else if (name == u"xJust")
                f.reason = reader.readElementText();
            continue;
        }
        if (name == u"chNFe")
            f.accessKey = reader.readElementText().trimmed();
        else if (name == u"tpEvento")
            f.eventType = reader.readElementText().trimmed();
        else if (name == u"cStat")
            f.status = reader.readElementText().trimmed().toInt();
        else if (name == u"xMotivo")
            f.statusText = reader.readElementText().trimmed();
        else if (name == u"nProt")
            f.protocol = reader.readElementText().trimmed();
        else if (name == u"dhRegEvento")
            f.registeredAt = reader.readElementText().trimmed();
        else if (name == u"verAplic")
            f.application = reader.readElementText().trimmed();
    }
    if (reader.hasError())
        return {};
    return f;
}

TransmissionResult unanswered(const QString& why) {
    TransmissionResult r;
    r.kind = TransmissionResult::Kind::Unanswered;
    r.failure = why;
    return r;
}

TransmissionResult rejected(int status, const QString& text) {
    TransmissionResult r;
    r.kind = TransmissionResult::Kind::Rejected;
    r.status = status;
    r.statusText = text;
    return r;
}

// The payload of a SOAP answer, or empty with *why.
QByteArray answerPayload(const AuthorityClient::Reply& reply, QString* why) {
    if (!reply.answered) {
        *why = reply.failure;
        return {};
    }
    QString error;
    QByteArray payload = zavnfe::Soap::payload(reply.body, &error);
    if (payload.isEmpty())
        *why = QStringLiteral("resposta inválida da autoridade: %1").arg(error);
    return payload;
}

} // namespace

EventTransmission::Known EventTransmission::query(const QString& accessKey, const QByteArray& signedEnvEvento,
                                                  TransmissionResult& result) {
    const QByteArray envelope =
        zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(m_environment, accessKey));
    const AuthorityClient::Reply reply =
        m_client.post(m_endpoints, m_endpoints.statusUrl,
                      zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, "nfeConsultaNF"), envelope);
    QString why;
    const QByteArray payload = answerPayload(reply, &why);
    if (payload.isEmpty()) {
        result = unanswered(QStringLiteral("consulta à SEFAZ: %1").arg(why));
        return Known::Final;
    }
    QString error;
    const std::optional<zavnfe::StatusAnswer> answer = zavnfe::parseRetConsSitNFe(payload, &error);
    if (!answer) {
        result = unanswered(QStringLiteral("consulta à SEFAZ: resposta inválida: %1").arg(error));
        return Known::Final;
    }
    const QString ours = eventTime(signedEnvEvento);
    for (const QByteArray& proc : answer->procEventos) {
        const ProcEventoFields f = readProcEvento(proc);
        if (f.accessKey == accessKey && cancels(f.eventType) && registers(f.status)) {
            result = TransmissionResult{};
            const bool mine =
                f.eventType == QLatin1StringView(kEventType) && !ours.isEmpty() && f.eventAt == ours;
            result.kind =
                mine ? TransmissionResult::Kind::Registered : TransmissionResult::Kind::AlreadyCancelled;
            result.status = f.status;
            result.statusText = f.statusText;
            result.protocol = f.protocol;
            result.registeredAt = f.registeredAt;
            result.application = f.application;
            result.procEvento = proc;
            result.reason = f.reason;
            return Known::Registered;
        }
    }
    // 100: authorised, without our cancellation: it may be sent. Cancelled
    // (101, 151) with no cancellation shown: cancelled all the same. Anything
    // else (an unknown NF-e, denied...) is final.
    if (answer->status == 100)
        return Known::NotRegistered;
    if (answer->status == 101 || answer->status == 151) {
        result = TransmissionResult{};
        result.kind = TransmissionResult::Kind::AlreadyCancelled;
        result.status = answer->status;
        result.statusText = answer->statusText;
        result.application = answer->application;
        return Known::Final;
    }
    result = rejected(answer->status, answer->statusText);
    return Known::Final;
}

TransmissionResult EventTransmission::send(const QByteArray& signedEnvEvento, const QString& accessKey) {
    const QByteArray envelope = zavnfe::Soap::envelope(zavnfe::Soap::kEventService, signedEnvEvento);
    const AuthorityClient::Reply reply =
        m_client.post(m_endpoints, m_endpoints.eventUrl,
                      zavnfe::Soap::contentType(zavnfe::Soap::kEventService, "nfeRecepcaoEvento"), envelope);
    QString why;
    const QByteArray payload = answerPayload(reply, &why);
    if (payload.isEmpty())
        return unanswered(why);
    QString error;
    const std::optional<zavnfe::BatchAnswer> batch = zavnfe::parseRetEnvEvento(payload, &error);
    if (!batch)
        return unanswered(QStringLiteral("resposta inválida da autoridade: %1").arg(error));
    if (batch->status != 128)
        return rejected(batch->status, batch->statusText);
    // Matched by access key: an authority may answer a batch in any order.
    const zavnfe::EventResult* mine = nullptr;
    for (const zavnfe::EventResult& e : batch->events)
        if (e.accessKey == accessKey)
            mine = &e;
    if (!mine)
        return unanswered(QStringLiteral("a resposta da autoridade não traz o resultado do evento"));
    if (registers(mine->status)) {
        TransmissionResult r;
        r.kind = TransmissionResult::Kind::Registered;
        r.status = mine->status;
        r.statusText = mine->statusText;
        r.protocol = mine->protocol;
        r.registeredAt = mine->registeredAt;
        r.application = mine->application.isEmpty() ? batch->application : mine->application;
        r.procEvento =
            zavnfe::procEventoNFe(zavnfe::eventoOf(signedEnvEvento, accessKey), mine->retEventoXml);
        return r;
    }
    if (mine->status == 573 || mine->status == 218 || mine->status == 420) {
        // Already registered (an earlier answer was lost), or the NF-e already
        // cancelled: take it from the authority instead of failing or
        // registering a second one.
        TransmissionResult r;
        if (query(accessKey, signedEnvEvento, r) == Known::NotRegistered)
            return rejected(mine->status, mine->statusText);
        return r;
    }
    return rejected(mine->status, mine->statusText);
}

TransmissionResult EventTransmission::resume(const QByteArray& signedEnvEvento, const QString& accessKey) {
    TransmissionResult r;
    if (query(accessKey, signedEnvEvento, r) != Known::NotRegistered)
        return r;
    return send(signedEnvEvento, accessKey);
}

} // namespace zavserver
