#pragma once
// The batch of cancellation events as a libxml2 document: what
// CancellationBatch::build writes out, and what the signer signs in place
// without writing it and reading it back.
#include "cancellationevent.h"
#include "xmlhandles.h"

#include <QList>

namespace zavnfe {

// Null, with *error set, for the batches CancellationBatch::build refuses.
XmlDoc batchDocument(const QString& batchId, const QList<CancellationEvent>& events, QString* error);

} // namespace zavnfe
