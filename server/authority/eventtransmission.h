#pragma once
// EventTransmission: takes one signed cancellation event to the authority of
// its state and says what became of it, never registering it twice.
//
// An event is sent in the envEvento it was signed in, or with others of the
// same authority and certificate (sendLot, below). Its own cStat decides:
// 135, 136 and 155 register it (procEventoNFe = the signed evento followed by
// the authority's retEvento); 573 (a duplicate: an event is already there),
// 218 and 420 (the NF-e is already cancelled) are resolved by the protocol
// query; anything else rejects it. No answer, or an answer that is not a
// batch result for this event, leaves it unanswered: the event may or may not
// be registered, so it stays pending.
//
// A pending event is asked about first: the same bytes are sent again only
// when the authority has no cancellation of the NF-e.
//
// sendLot() takes up to 20 events at once: the pending ones are asked about
// first, one by one, and every event still to send goes in one envEvento,
// each evento byte for byte as it was signed and journalled, the answers
// matched by access key. A batch refused whole with 656 (consumo
// indevido), 108 or 109 (service paused) rejects its events (none was
// registered) and tells the caller to pause the authority.
//
// The authority's word on a cancelled NF-e is final: when its query shows the
// NF-e cancelled by an event that is not this one (another system's, say),
// or cancelled with no event it shows, the result says so (AlreadyCancelled)
// instead of rejecting this event, and the invoice is cancelled here too.
#include "authority/authorityclient.h"

#include "authority/authorityconfig.h"
#include "vocabulary.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace zavnfe {
struct BatchAnswer;
struct EventResult;
} // namespace zavnfe

namespace zavserver {

struct TransmissionResult {
    // AlreadyCancelled: the authority holds the NF-e as cancelled, not by this
    // event; procEvento is the cancellation it shows (empty when it shows none).
    enum class Kind { Registered, Rejected, Unanswered, AlreadyCancelled };
    Kind kind = Kind::Unanswered;
    int status = 0;        // cStat of the event (or of the batch, when it was refused whole)
    QString statusText;    // xMotivo
    QString protocol;      // nProt of the event
    QString registeredAt;  // dhRegEvento
    QString application;   // verAplic
    QByteArray procEvento; // procEventoNFe, when registered
    QString reason;        // xJust of the procEventoNFe's event
    QString failure;       // unanswered: why
    int queries = 0;       // protocol queries of the NF-e made for this result

    // "cStat - xMotivo", as the failure row shows a rejection.
    QString statusLine() const { return QString::number(status) + QStringLiteral(" - ") + statusText; }
};

// One event of a lot.
struct LotEvent {
    QString accessKey;
    QByteArray signedEnvEvento; // its own signed batch of one event, as journalled
    bool resume = false;        // pending from an earlier attempt: asked about first
    int queriesLeft = 0;        // protocol queries of the NF-e still allowed this hour
};

struct LotResult {
    std::vector<TransmissionResult> results; // one per event, in the lot's order
    bool unreachable = false;                // a request of the lot got no answer at all
    QString failure;                         // the last such failure
    int pauseStatus = 0;                     // 656, 108 or 109 when the authority asked for a pause
    QString pauseText;
};

class EventTransmission {
public:
    static constexpr const char* kEventType = zavnfe::kCancellationEventType;

    EventTransmission(AuthorityClient& client, const AuthorityEndpoints& endpoints, int environment)
        : m_client(client), m_endpoints(endpoints), m_environment(environment) {}

    // Never throws.
    LotResult sendLot(const QString& batchId, const std::vector<LotEvent>& events);

    static bool registers(int status) { return zavnfe::registersEvent(status); }

private:
    enum class Known { Registered, NotRegistered, Final };
    // The authority's state of the NF-e: a cancellation registered (result
    // filled: Registered when it is the event signedEnvEvento holds,
    // AlreadyCancelled otherwise), not registered (the event may be sent), or
    // a final answer in result (rejected, unanswered, or AlreadyCancelled with
    // no event shown).
    Known query(const QString& accessKey, const QByteArray& signedEnvEvento, TransmissionResult& result);
    // The events of a lot still to send, in one batch; their results filled.
    void post(const QString& batchId, const std::vector<LotEvent>& events, const std::vector<size_t>& which,
              LotResult& lot);
    // The batch sent to the event service: the authority's answer, or none
    // with *why.
    std::optional<zavnfe::BatchAnswer> postBatch(const QByteArray& batch, QString* why);
    // What the batch's answer says of one of its events, into r.
    void settle(const LotEvent& event, const zavnfe::BatchAnswer& answer, TransmissionResult& r);
    // An event answered 573, 218 or 420, taken from the protocol query when
    // the NF-e's queries allow one.
    void settleByQuery(const LotEvent& event, const zavnfe::EventResult& mine, TransmissionResult& r);
    // The message sent to one of the authority's services in its SOAP
    // envelope: the answer's payload, or empty with *why (an authority out of
    // reach noted on the lot).
    QByteArray call(const QUrl& url, const char* service, const char* operation, const QByteArray& message,
                    QString* why);
    void notePause(int status, const QString& text);

    LotResult* m_lot = nullptr; // the lot being sent, for its failures and pause

    AuthorityClient& m_client;
    const AuthorityEndpoints& m_endpoints;
    int m_environment;
};

} // namespace zavserver
