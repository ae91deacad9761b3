#pragma once
// CancellationBatch: the envEvento batch (version 1.00) that carries up to 20
// cancellation events to the authority, one evento per invoice, written as
// UTF-8 XML in the NF-e namespace and not yet signed (EventSigner signs it).
#include "cancellationevent.h"

#include <QByteArray>
#include <QList>

namespace zavnfe {

class CancellationBatch {
public:
    static constexpr const char* kNamespace = "http://www.portalfiscal.inf.br/nfe";
    static constexpr const char* kVersion = "1.00";
    static constexpr qsizetype kMaxEvents = 20;

    // The batch's XML, or an empty array with *error set. batchId is idLote,
    // 1 to 15 digits; no two events may cancel the same invoice, since their
    // Ids would collide and the signature could not tell them apart.
    static QByteArray build(const QString& batchId, const QList<CancellationEvent>& events, QString* error);
    // The same for the cancellations, each made its event first: empty, with
    // *error, at the first one refused.
    static QByteArray buildFrom(const QString& batchId, const QList<CancellationData>& cancellations,
                                QString* error);

    // One batch of events already signed, each taken byte for byte from its
    // own signed batch of one event (the signature covers infEvento alone, so
    // it holds in any batch): the first batch's head with idLote batchId, the
    // events in the order given. Empty, with *error, when one of them does
    // not hold exactly one evento, or for more than kMaxEvents or none.
    static QByteArray combine(const QString& batchId, const QList<QByteArray>& signedBatches, QString* error);

    // Why the signed batch must not be sent, or empty: an edit character
    // between its tags or at its ends (the authorities refuse it with 588),
    // or the first errors of its validation against the published schema
    // (envEventoCancNFe_v1.00.xsd).
    static QString problemBeforeSending(const QByteArray& signedBatch);
};

} // namespace zavnfe
