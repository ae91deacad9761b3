#pragma once
// The tax authority's side of a cancellation: the cancellation event of one
// NF-e (event type 110111) goes out, the authority's answer comes back. The
// server cancels an invoice only when the authority registered the event
// (status 135, or 155 when it accepted a late cancellation).
#include <QDateTime>
#include <QString>

namespace zavserver {

struct CancellationEvent {
    QString accessKey;             // chNFe, 44 digits
    QString authorisationProtocol; // nProt of the authorisation, 15 digits
    QString environment;           // tpAmb: "1" production, "2" homologation
    QString reason;                // xJust, already checked
    QDateTime issuedAt;            // dhEvento, at the state's UTC offset
};

struct AuthorityAnswer {
    // False when no answer came (the event could not be sent or the answer
    // was lost): nothing is known and the invoice stays as it was.
    bool answered = false;
    QString failure;      // why, when not answered
    int status = 0;       // cStat of the event
    QString statusText;   // xMotivo
    QString protocol;     // nProt of the event, 15 digits
    QString registeredAt; // dhRegEvento, "AAAA-MM-DDThh:mm:ss-03:00"
    QString application;  // verAplic: who answered

    bool registered() const { return answered && (status == 135 || status == 155); }
};

class CancellationAuthority {
public:
    virtual ~CancellationAuthority() = default;
    // Called inside the invoice's transaction, with the invoice locked; must
    // not throw.
    virtual AuthorityAnswer cancel(const CancellationEvent& event) = 0;
};

} // namespace zavserver
