#pragma once
// EventTransmission: takes one signed cancellation event to the authority of
// its state and says what became of it, never registering it twice.
//
// send() posts the stored envEvento as it is. The event's own cStat decides:
// 135, 136 and 155 register it (procEventoNFe = the signed evento followed by
// the authority's retEvento); 573 (a duplicate: an event is already there),
// 218 and 420 (the NF-e is already cancelled) are resolved by the protocol
// query; anything else rejects it. No answer, or an answer that is not a
// batch result for this event, leaves it unanswered: the event may or may not
// be registered, so it stays pending.
//
// resume() is for a pending event: it asks the authority first and sends the
// same bytes again only when the authority has no cancellation of the NF-e.
//
// The authority's word on a cancelled NF-e is final: when its query shows the
// NF-e cancelled by an event that is not this one (another system's, say),
// or cancelled with no event it shows, the result says so (AlreadyCancelled)
// instead of rejecting this event, and the invoice is cancelled here too.
#include "cancellation/authorityclient.h"
#include "cancellation/authorityconfig.h"

#include <QByteArray>
#include <QString>

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

    // "cStat - xMotivo", as the failure row shows a rejection.
    QString statusLine() const { return QString::number(status) + QStringLiteral(" - ") + statusText; }
};

class EventTransmission {
public:
    static constexpr const char* kEventType = "110111";

    EventTransmission(AuthorityClient& client, const AuthorityEndpoints& endpoints, int environment)
        : m_client(client), m_endpoints(endpoints), m_environment(environment) {}

    TransmissionResult send(const QByteArray& signedEnvEvento, const QString& accessKey);
    TransmissionResult resume(const QByteArray& signedEnvEvento, const QString& accessKey);

    static bool registers(int status) { return status == 135 || status == 136 || status == 155; }

private:
    enum class Known { Registered, NotRegistered, Final };
    // The authority's state of the NF-e: a cancellation registered (result
    // filled: Registered when it is the event signedEnvEvento holds,
    // AlreadyCancelled otherwise), not registered (the event may be sent), or
    // a final answer in result (rejected, unanswered, or AlreadyCancelled with
    // no event shown).
    Known query(const QString& accessKey, const QByteArray& signedEnvEvento, TransmissionResult& result);

    AuthorityClient& m_client;
    const AuthorityEndpoints& m_endpoints;
    int m_environment;
};

} // namespace zavserver
