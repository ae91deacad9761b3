#pragma once
// Demo data for what can stop a cancellation, so that the demo database shows
// every case: on the first establishment's authorised invoices, in issue-date
// order, the oldest day inside a closed accounting period (MS02), the next day
// inside a tax apportionment map (MapaApurado), and then one exit invoice per
// blocking receivable state (MS03 to MS10); every other authorised exit
// invoice of the demo has open receivables, which a cancellation cancels with
// it. Only for the demo set: the volume set gets none of it.
#include "seed.h"

#include <QSqlDatabase>

namespace zavdb {

// Runs inside the caller's transaction, after seedInvoices has written the
// invoices. Throws DatabaseError.
void seedBlocks(QSqlDatabase& db, const SeedOptions& options);

} // namespace zavdb
