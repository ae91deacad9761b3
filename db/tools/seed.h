#pragma once
// Demo and volume data for the ERP database. The reference tables (branches,
// companies, registrations, series, customers, suppliers, processing dates) are
// seeded by seedReference; the server's invoice store by seedInvoices. Both bind
// every value and run inside one transaction each.
#include <QDate>
#include <QSqlDatabase>

namespace zavdb {

struct SeedOptions {
    QDate today = QDate::currentDate(); // demo dates are relative to this day
    int customers = 0;                  // 0: the demo set; more: a volume set for benchmarks
    int suppliers = 0;                  // 0: the demo set
    int invoices = 0;                   // 0: the demo set; more: a volume set for benchmarks
};

void seedReference(QSqlDatabase& db, const SeedOptions& options);
void seedInvoices(QSqlDatabase& db, const SeedOptions& options);

} // namespace zavdb
