#include "brazilianstates.h"

#include <QLatin1StringView>
#include <array>

namespace zavserver {

namespace {

constexpr int kHour = 3600;

constexpr std::array<BrazilianState, 27> kStates{{
    {"RO", "11", -4 * kHour}, {"AC", "12", -5 * kHour}, {"AM", "13", -4 * kHour}, {"RR", "14", -4 * kHour},
    {"PA", "15", -3 * kHour}, {"AP", "16", -3 * kHour}, {"TO", "17", -3 * kHour}, {"MA", "21", -3 * kHour},
    {"PI", "22", -3 * kHour}, {"CE", "23", -3 * kHour}, {"RN", "24", -3 * kHour}, {"PB", "25", -3 * kHour},
    {"PE", "26", -3 * kHour}, {"AL", "27", -3 * kHour}, {"SE", "28", -3 * kHour}, {"BA", "29", -3 * kHour},
    {"MG", "31", -3 * kHour}, {"ES", "32", -3 * kHour}, {"RJ", "33", -3 * kHour}, {"SP", "35", -3 * kHour},
    {"PR", "41", -3 * kHour}, {"SC", "42", -3 * kHour}, {"RS", "43", -3 * kHour}, {"MS", "50", -4 * kHour},
    {"MT", "51", -4 * kHour}, {"GO", "52", -3 * kHour}, {"DF", "53", -3 * kHour},
}};

} // namespace

const BrazilianState* BrazilianStates::byAbbreviation(QStringView abbreviation) {
    for (const BrazilianState& s : kStates)
        if (abbreviation == QLatin1StringView(s.abbreviation))
            return &s;
    return nullptr;
}

const BrazilianState* BrazilianStates::byCode(QStringView code) {
    for (const BrazilianState& s : kStates)
        if (code == QLatin1StringView(s.code))
            return &s;
    return nullptr;
}

} // namespace zavserver
