#include "seed.h"

namespace zavdb {

// The invoice store seeds its demo invoices here.
void seedInvoices(QSqlDatabase& /*db*/, const SeedOptions& /*options*/) {}

} // namespace zavdb
