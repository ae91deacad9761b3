#pragma once
// The 27 federative units: abbreviation, IBGE code (cUF, the first two digits
// of an access key) and the UTC offset of the state's legal time, which the
// NF-e events must carry (daylight saving was abolished in 2019).
#include <QStringView>

namespace zavserver {

struct BrazilianState {
    const char* abbreviation; // "SP"
    const char* code;         // "35"
    int utcOffsetSeconds;     // -10800 for -03:00
};

class BrazilianStates {
public:
    // The state of an abbreviation in capitals, or nullptr.
    static const BrazilianState* byAbbreviation(QStringView abbreviation);
    // The state of a two-digit IBGE code, or nullptr.
    static const BrazilianState* byCode(QStringView code);
};

} // namespace zavserver
