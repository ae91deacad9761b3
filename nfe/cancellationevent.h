#pragma once
// CancellationEvent: one NF-e cancellation event (type 110111), its fields
// checked and normalised, ready to be written into an envEvento batch
// (CancellationBatch) and signed (EventSigner).
#include "accesskey.h"
#include "vocabulary.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace zavnfe {

// What the caller knows about the cancellation of one invoice.
struct CancellationData {
    QString accessKey;             // chNFe, 44 digits with a valid check digit
    QString issuerCnpj;            // CNPJ of the issuer, 14 digits
    QString authorisationProtocol; // nProt of the authorisation, 15 digits
    int environment = 0;           // tpAmb: 1 production, 2 homologation
    QString reason;                // xJust, trimmed here
    QDateTime at;                  // the moment of the event
    int stateUtcOffsetSeconds = 0; // the issuing state's offset, whole hours
};

class CancellationEvent {
public:
    static constexpr const char* kEventType = kCancellationEventType;
    static constexpr const char* kDescription = "Cancelamento";
    static constexpr int kSequence = 1;

    // The event, or nothing with *error set to the first fault found, in
    // Portuguese, fit to show to the operator.
    static std::optional<CancellationEvent> create(const CancellationData& data, QString* error);

    QString id() const; // "ID" + tpEvento + chNFe + nSeqEvento (2 digits)
    QString stateCode() const { return zavfiscal::accessKeyStateCode(m_data.accessKey); } // cOrgao
    QString dateTime() const; // dhEvento, AAAA-MM-DDThh:mm:ss±hh:00
    const CancellationData& data() const { return m_data; }

private:
    explicit CancellationEvent(CancellationData data) : m_data(std::move(data)) {}
    CancellationData m_data;
};

} // namespace zavnfe
