#pragma once
// The reason of a cancellation (the event's xJust), the one rule for every side
// that takes one: 15 to 255 characters once the blanks around it are dropped,
// each within U+0020..U+00FF, the only ones the NF-e admits, and none of them
// a control character (U+007F..U+009F lie in that range, but come only from
// text decoded with the wrong code page). Checked before anything is signed or
// sent, so that the operator reads why instead of an authority's rejection.
#include <QString>

namespace zavfiscal {

inline constexpr qsizetype kReasonMinimum = 15;
inline constexpr qsizetype kReasonMaximum = 255;

enum class ReasonFault {
    None,
    Empty,       // nothing but blanks
    TooShort,    // fewer than kReasonMinimum characters
    TooLong,     // more than kReasonMaximum characters
    LineBreak,   // U+000A or U+000D inside
    Tab,         // U+0009 inside
    BadCharacter // any other control character, or one past U+00FF
};

struct ReasonCheck {
    ReasonFault fault = ReasonFault::None;
    QString reason;         // without the blanks around it: as it is sent and recorded
    qsizetype length = 0;   // its characters (one outside the BMP counts once)
    char32_t character = 0; // LineBreak, Tab, BadCharacter: the first such character

    bool ok() const { return fault == ReasonFault::None; }
    // Why not, in Portuguese, for the operator; empty when ok. "Empty" and
    // "too short" say what the screen's message catalogue says.
    QString message() const;
};

// The length is checked before the characters, so that an empty or short
// reason is told as such whatever it holds.
ReasonCheck checkReason(const QString& reason);

} // namespace zavfiscal
