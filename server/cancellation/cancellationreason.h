#pragma once
// The reason for a cancellation (the event's xJust): 15 to 255 characters once
// the blanks around it are dropped, each printable and within U+0020..U+00FF,
// the only ones the NF-e layout admits. Checked before anything is sent, so
// that the operator reads why instead of an authority's rejection.
#include "cancellation/cancellationoutcome.h"

#include <optional>

namespace zavserver {

class CancellationReason {
public:
    static constexpr qsizetype kMinimum = 15;
    static constexpr qsizetype kMaximum = 255;

    // The failure, or nothing when the reason may be sent; *accepted receives
    // the reason as it will be sent and recorded (trimmed).
    static std::optional<CancellationOutcome> check(const QString& reason, QString* accepted);
};

} // namespace zavserver
