#include "authority/eventtransmission.h"

#include "authority/authoritypause.h"

#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "soap.h"

namespace zavserver {

namespace {

// Event types that cancel an NF-e: the cancellation, and the cancellation by
// substitution.
bool cancels(QStringView eventType) {
    return eventType == QLatin1StringView(zavnfe::kCancellationEventType) ||
           eventType == QLatin1StringView(zavnfe::kSubstitutionCancellationEventType);
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

// The event registered by the batch's answer: its retEvento joined to the
// evento as it was signed.
TransmissionResult registeredBy(const LotEvent& event, const zavnfe::EventResult& mine,
                                const zavnfe::BatchAnswer& answer) {
    TransmissionResult r;
    r.kind = TransmissionResult::Kind::Registered;
    r.status = mine.status;
    r.statusText = mine.statusText;
    r.protocol = mine.protocol;
    r.registeredAt = mine.registeredAt;
    r.application = mine.application.isEmpty() ? answer.application : mine.application;
    r.procEvento =
        zavnfe::procEventoNFe(zavnfe::eventoOf(event.signedEnvEvento, event.accessKey), mine.retEventoXml);
    return r;
}

} // namespace

QByteArray EventTransmission::call(const QUrl& url, const char* service, const char* operation,
                                   const QByteArray& message, QString* why) {
    const QByteArray envelope = zavnfe::Soap::envelope(service, message);
    const AuthorityClient::Reply reply =
        m_client.post(m_endpoints, url, zavnfe::Soap::contentType(service, operation), envelope);
    if (!reply.answered) {
        if (m_lot) {
            m_lot->unreachable = true;
            m_lot->failure = reply.failure;
        }
        *why = reply.failure;
        return {};
    }
    QString error;
    QByteArray payload = zavnfe::Soap::payload(reply.body, &error);
    if (payload.isEmpty())
        *why = QStringLiteral("resposta inválida da autoridade: %1").arg(error);
    return payload;
}

void EventTransmission::notePause(int status, const QString& text) {
    if (m_lot && AuthorityPause::minutesFor(status) > 0) {
        m_lot->pauseStatus = status;
        m_lot->pauseText = text;
    }
}

EventTransmission::Known EventTransmission::query(const QString& accessKey, const QByteArray& signedEnvEvento,
                                                  TransmissionResult& result) {
    QString why;
    const QByteArray payload = call(m_endpoints.statusUrl, zavnfe::Soap::kStatusService, "nfeConsultaNF",
                                    zavnfe::consSitNFe(m_environment, accessKey), &why);
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
    // A pause says nothing of the NF-e: the event stays as it was.
    if (AuthorityPause::minutesFor(answer->status) > 0) {
        notePause(answer->status, answer->statusText);
        result = unanswered(QStringLiteral("consulta à SEFAZ: %1 - %2")
                                .arg(QString::number(answer->status), answer->statusText));
        return Known::Final;
    }
    const std::optional<zavnfe::SignedEventFields> signedEvent = zavnfe::readSignedEnvEvento(signedEnvEvento);
    const QString ours = signedEvent ? signedEvent->eventAt : QString();
    for (const QByteArray& proc : answer->procEventos) {
        const std::optional<zavnfe::ProcEventoFields> read = zavnfe::readProcEventoNFe(proc);
        if (!read)
            continue;
        const zavnfe::ProcEventoFields& f = *read;
        if (f.answer.accessKey == accessKey && cancels(f.eventType) && registers(f.answer.status)) {
            result = TransmissionResult{};
            const bool mine =
                f.eventType == QLatin1StringView(kEventType) && !ours.isEmpty() && f.eventAt == ours;
            result.kind =
                mine ? TransmissionResult::Kind::Registered : TransmissionResult::Kind::AlreadyCancelled;
            result.status = f.answer.status;
            result.statusText = f.answer.statusText;
            result.protocol = f.answer.protocol;
            result.registeredAt = f.answer.registeredAt;
            result.application = f.answer.application;
            result.procEvento = proc;
            result.reason = f.reason;
            return Known::Registered;
        }
    }
    // 100: authorised, without our cancellation: it may be sent. Cancelled
    // (101, 151) with no cancellation shown: cancelled all the same. Anything
    // else (an unknown NF-e, denied...) is final.
    if (answer->status == zavnfe::AuthorisedUse)
        return Known::NotRegistered;
    if (answer->status == zavnfe::CancellationApproved || answer->status == zavnfe::CancelledOutOfTerm) {
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

void EventTransmission::post(const QString& batchId, const std::vector<LotEvent>& events,
                             const std::vector<size_t>& which, LotResult& lot) {
    QList<QByteArray> signedBatches;
    for (const size_t i : which)
        signedBatches.append(events[i].signedEnvEvento);
    QString error;
    const QByteArray batch = zavnfe::CancellationBatch::combine(batchId, signedBatches, &error);
    if (batch.isEmpty()) {
        for (const size_t i : which)
            lot.results[i] = unanswered(QStringLiteral("lote não montado: %1").arg(error));
        return;
    }
    QString why;
    const std::optional<zavnfe::BatchAnswer> answer = postBatch(batch, &why);
    for (const size_t i : which) {
        if (!answer)
            lot.results[i] = unanswered(why);
        else
            settle(events[i], *answer, lot.results[i]);
    }
}

std::optional<zavnfe::BatchAnswer> EventTransmission::postBatch(const QByteArray& batch, QString* why) {
    const QByteArray payload =
        call(m_endpoints.eventUrl, zavnfe::Soap::kEventService, "nfeRecepcaoEvento", batch, why);
    if (payload.isEmpty())
        return std::nullopt;
    QString error;
    std::optional<zavnfe::BatchAnswer> answer = zavnfe::parseRetEnvEvento(payload, &error);
    if (!answer)
        *why = QStringLiteral("resposta inválida da autoridade: %1").arg(error);
    return answer;
}

void EventTransmission::settle(const LotEvent& event, const zavnfe::BatchAnswer& answer,
                               TransmissionResult& r) {
    // Refused whole: none of its events was registered.
    if (answer.status != zavnfe::BatchProcessed) {
        notePause(answer.status, answer.statusText);
        r = rejected(answer.status, answer.statusText);
        return;
    }
    // Matched by access key: an authority may answer a batch in any order.
    const zavnfe::EventResult* mine = nullptr;
    for (const zavnfe::EventResult& e : answer.events)
        if (e.accessKey == event.accessKey)
            mine = &e;
    if (!mine) {
        r = unanswered(QStringLiteral("a resposta da autoridade não traz o resultado do evento"));
        return;
    }
    if (registers(mine->status)) {
        r = registeredBy(event, *mine, answer);
        return;
    }
    if (mine->status == zavnfe::DuplicateEvent || mine->status == zavnfe::AlreadyCancelledNfe ||
        mine->status == zavnfe::AlreadyCancelled) {
        settleByQuery(event, *mine, r);
        return;
    }
    if (AuthorityPause::minutesFor(mine->status) > 0)
        notePause(mine->status, mine->statusText);
    r = rejected(mine->status, mine->statusText);
}

// Already registered (an earlier answer was lost), or the NF-e already
// cancelled: take it from the authority instead of failing or registering a
// second one.
void EventTransmission::settleByQuery(const LotEvent& event, const zavnfe::EventResult& mine,
                                      TransmissionResult& r) {
    const int queries = r.queries;
    if (queries >= event.queriesLeft) {
        r = unanswered(QStringLiteral("%1 - %2; consulta adiada: limite de consultas da NF-e na hora")
                           .arg(QString::number(mine.status), mine.statusText));
        r.queries = queries;
        return;
    }
    TransmissionResult found;
    if (query(event.accessKey, event.signedEnvEvento, found) == Known::NotRegistered)
        found = rejected(mine.status, mine.statusText);
    r = found;
    r.queries = queries + 1;
}

LotResult EventTransmission::sendLot(const QString& batchId, const std::vector<LotEvent>& events) {
    LotResult lot;
    lot.results.resize(events.size());
    m_lot = &lot;
    try {
        std::vector<size_t> toSend;
        for (size_t i = 0; i < events.size(); ++i) {
            const LotEvent& event = events[i];
            if (!event.resume) {
                toSend.push_back(i);
                continue;
            }
            if (event.queriesLeft <= 0) {
                lot.results[i] = unanswered(QStringLiteral("limite de consultas da NF-e na hora atingido"));
                continue;
            }
            TransmissionResult found;
            const Known known = query(event.accessKey, event.signedEnvEvento, found);
            found.queries = 1;
            lot.results[i] = found;
            if (known == Known::NotRegistered)
                toSend.push_back(i);
        }
        if (!toSend.empty() && lot.pauseStatus == 0)
            post(batchId, events, toSend, lot);
        else
            for (const size_t i : toSend)
                lot.results[i] = unanswered(QStringLiteral("SEFAZ em pausa (%1 - %2)")
                                                .arg(QString::number(lot.pauseStatus), lot.pauseText));
    } catch (const std::exception& e) {
        // Nothing may leave a lot's thread: whatever was not answered stays pending.
        for (TransmissionResult& r : lot.results)
            if (r.kind == TransmissionResult::Kind::Unanswered && r.failure.isEmpty())
                r = unanswered(QString::fromLocal8Bit(e.what()));
    }
    m_lot = nullptr;
    return lot;
}

} // namespace zavserver
