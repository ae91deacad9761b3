#include "statezones.h"

#include <QHash>

namespace zavauthority {

namespace {

const QHash<QString, int>& offsets() {
    static const QHash<QString, int> table{
        {QStringLiteral("11"), -4}, {QStringLiteral("12"), -5}, {QStringLiteral("13"), -4}, {QStringLiteral("14"), -4},
        {QStringLiteral("15"), -3}, {QStringLiteral("16"), -3}, {QStringLiteral("17"), -3}, {QStringLiteral("21"), -3},
        {QStringLiteral("22"), -3}, {QStringLiteral("23"), -3}, {QStringLiteral("24"), -3}, {QStringLiteral("25"), -3},
        {QStringLiteral("26"), -3}, {QStringLiteral("27"), -3}, {QStringLiteral("28"), -3}, {QStringLiteral("29"), -3},
        {QStringLiteral("31"), -3}, {QStringLiteral("32"), -3}, {QStringLiteral("33"), -3}, {QStringLiteral("35"), -3},
        {QStringLiteral("41"), -3}, {QStringLiteral("42"), -3}, {QStringLiteral("43"), -3}, {QStringLiteral("50"), -4},
        {QStringLiteral("51"), -4}, {QStringLiteral("52"), -3}, {QStringLiteral("53"), -3},
    };
    return table;
}

} // namespace

bool StateZones::known(const QString& code) { return offsets().contains(code); }

int StateZones::offsetSeconds(const QString& code) { return offsets().value(code, 0) * 3600; }

QString StateZones::format(const QDateTime& moment, const QString& code) {
    const int offset = offsetSeconds(code);
    const int hours = (offset < 0 ? -offset : offset) / 3600;
    return moment.toOffsetFromUtc(offset).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           QStringLiteral("%1%2:00")
               .arg(offset < 0 ? QStringLiteral("-") : QStringLiteral("+"))
               .arg(hours, 2, 10, QLatin1Char('0'));
}

} // namespace zavauthority
