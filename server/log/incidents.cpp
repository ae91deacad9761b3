#include "log/incidents.h"
#include "log/calllog.h"

#include <QRandomGenerator>

#include <atomic>
#include <cstdio>

namespace zavserver {

namespace {
std::atomic<CallLog*> g_log{nullptr};
} // namespace

void Incidents::setLog(CallLog* log) {
    g_log = log;
}

QString Incidents::record(const QString& details) {
    QString id = QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    const QString line = QStringLiteral("ocorrência %1: %2").arg(id, details.simplified());
    if (CallLog* log = g_log.load())
        log->note(line);
    else
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    return id;
}

QString Incidents::report(const QString& what, const QString& details) {
    return QStringLiteral("%1 (ocorrência %2).").arg(what, record(details));
}

} // namespace zavserver
