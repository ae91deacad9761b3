#pragma once
// The reason for a cancellation as the failure row tells it: the rule itself
// (15 to 255 characters once the blanks around it are dropped, each printable
// and within U+0020..U+00FF) is the fiscal rules' checkReason; here its result
// becomes the message catalogue's key Motivo_Min when the reason is missing,
// short or long, and a text where the catalogue has none.
#include "cancellation/cancellationoutcome.h"

#include <optional>

namespace zavserver {

class CancellationReason {
public:
    // The failure, or nothing when the reason may be sent; *accepted receives
    // the reason as it will be sent and recorded (trimmed).
    static std::optional<CancellationOutcome> check(const QString& reason, QString* accepted);
};

} // namespace zavserver
