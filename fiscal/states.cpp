#include "states.h"

#include <QLatin1StringView>

#include <array>

namespace zavfiscal {

namespace {

constexpr int kHour = 3600;

constexpr std::array<State, 27> kStates{{
    {"RO", "11", -4 * kHour}, {"AC", "12", -5 * kHour}, {"AM", "13", -4 * kHour}, {"RR", "14", -4 * kHour},
    {"PA", "15", -3 * kHour}, {"AP", "16", -3 * kHour}, {"TO", "17", -3 * kHour}, {"MA", "21", -3 * kHour},
    {"PI", "22", -3 * kHour}, {"CE", "23", -3 * kHour}, {"RN", "24", -3 * kHour}, {"PB", "25", -3 * kHour},
    {"PE", "26", -3 * kHour}, {"AL", "27", -3 * kHour}, {"SE", "28", -3 * kHour}, {"BA", "29", -3 * kHour},
    {"MG", "31", -3 * kHour}, {"ES", "32", -3 * kHour}, {"RJ", "33", -3 * kHour}, {"SP", "35", -3 * kHour},
    {"PR", "41", -3 * kHour}, {"SC", "42", -3 * kHour}, {"RS", "43", -3 * kHour}, {"MS", "50", -4 * kHour},
    {"MT", "51", -4 * kHour}, {"GO", "52", -3 * kHour}, {"DF", "53", -3 * kHour},
}};

} // namespace

std::span<const State> allStates() {
    return kStates;
}

const State* stateByAbbreviation(QStringView abbreviation, Qt::CaseSensitivity cs) {
    for (const State& s : kStates)
        if (abbreviation.compare(QLatin1StringView(s.abbreviation), cs) == 0)
            return &s;
    return nullptr;
}

const State* stateByCode(QStringView code) {
    for (const State& s : kStates)
        if (code == QLatin1StringView(s.code))
            return &s;
    return nullptr;
}

int utcOffsetOfCode(QStringView code) {
    const State* state = stateByCode(code);
    return state ? state->utcOffsetSeconds : 0;
}

QString utcOffsetText(int utcOffsetSeconds) {
    const int hours = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / kHour;
    return QStringLiteral("%1%2:00")
        .arg(utcOffsetSeconds < 0 ? QStringLiteral("-") : QStringLiteral("+"))
        .arg(hours, 2, 10, QLatin1Char('0'));
}

QString legalDateTime(const QDateTime& moment, int utcOffsetSeconds) {
    return moment.toOffsetFromUtc(utcOffsetSeconds).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           utcOffsetText(utcOffsetSeconds);
}

} // namespace zavfiscal
