#pragma once
// The 27 federative units: abbreviation (UF), IBGE code (cUF: the first two
// digits of an access key and the cOrgao of its events) and the UTC offset of
// the state's legal time, which every NF-e date-time carries (daylight saving
// was abolished in 2019).
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <span>

namespace zavfiscal {

struct State {
    const char* abbreviation; // "SP"
    const char* code;         // "35"
    int utcOffsetSeconds;     // -10800 for -03:00
};

// Every state, in the order of their codes.
std::span<const State> allStates();

// The state of an abbreviation ("SP"; in capitals unless told otherwise), or
// nullptr.
const State* stateByAbbreviation(QStringView abbreviation, Qt::CaseSensitivity cs = Qt::CaseSensitive);
// The state of a two-digit IBGE code ("35"), or nullptr.
const State* stateByCode(QStringView code);
// The UTC offset of the state of an IBGE code; 0 for a code of no state.
int utcOffsetOfCode(QStringView code);

// "-03:00": an offset of whole hours as the NF-e writes it.
QString utcOffsetText(int utcOffsetSeconds);
// The moment in a state's legal time, as the NF-e writes it:
// "AAAA-MM-DDThh:mm:ss-03:00".
QString legalDateTime(const QDateTime& moment, int utcOffsetSeconds);

} // namespace zavfiscal
