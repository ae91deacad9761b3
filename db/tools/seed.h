#pragma once
// Demo and volume data for the ERP database. The reference tables (branches,
// companies, registrations, series, customers, suppliers, processing dates) are
// seeded by seedReference; the server's invoice store by seedInvoices. Both bind
// every value and run inside one transaction each.
#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <optional>

namespace zavdb {

struct SeedOptions {
    QDate today = QDate::currentDate(); // demo dates are relative to this day
    int customers = 0;                  // 0: the demo set; more: a volume set for benchmarks
    int suppliers = 0;                  // 0: the demo set
    int invoices = 0;                   // 0: the demo set; more: a volume set for benchmarks
};

void seedReference(QSqlDatabase& db, const SeedOptions& options);
void seedInvoices(QSqlDatabase& db, const SeedOptions& options);

// The establishment (branch, company, registrations, series) with the most
// authorised invoices, ties broken by its keys, with how many it has and its
// first and last days of issue: where a benchmark or a test finds the largest
// list a volume set offers. Empty when no invoice is authorised; throws
// DatabaseError when the database fails.
struct BusiestEstablishment {
    QString branch, company, stateRegistration, cityRegistration, series;
    int authorised = 0;
    QDate firstIssue, lastIssue;
    // Branch, company, state and city registrations, series: the first five
    // arguments of the invoice list.
    QVariantList keys() const { return {branch, company, stateRegistration, cityRegistration, series}; }
};
std::optional<BusiestEstablishment> busiestEstablishment(QSqlDatabase& db);

} // namespace zavdb
