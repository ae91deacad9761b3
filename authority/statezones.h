#pragma once
// The federative units by IBGE code (cUF, the first two digits of an access
// key) and the UTC offset of each one's legal time (no daylight saving since
// 2019): the authority writes its times with the state's offset.
#include <QDateTime>
#include <QString>

namespace zavauthority {

class StateZones {
public:
    static bool known(const QString& code);
    // The state's offset in seconds (0 for an unknown code).
    static int offsetSeconds(const QString& code);
    // The moment as AAAA-MM-DDThh:mm:ss-03:00 in the state's legal time.
    static QString format(const QDateTime& moment, const QString& code);
};

} // namespace zavauthority
