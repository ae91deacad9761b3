#pragma once
// One scrape of GET /metrics: the counters, and what is measured at that
// moment: the authorities' desks of this server, the pauses and the open
// sessions the database holds for every server, the A1 certificates' days
// left. Runs on a worker thread (it reads the database through the thread's
// connection); a database that does not answer leaves its gauges out and
// says so (zav_database_up 0), never the scrape unanswered.
#include <QByteArray>

namespace zavserver {

class CertificateWatch;

// certificates may be null (no folder).
QByteArray scrapeMetrics(CertificateWatch* certificates);

} // namespace zavserver
