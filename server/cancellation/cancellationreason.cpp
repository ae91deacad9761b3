#include "cancellation/cancellationreason.h"

#include "reasonrule.h"

namespace zavserver {

std::optional<CancellationOutcome> CancellationReason::check(const QString& reason, QString* accepted) {
    const zavfiscal::ReasonCheck checked = zavfiscal::checkReason(reason);
    switch (checked.fault) {
    case zavfiscal::ReasonFault::None:
        *accepted = checked.reason;
        return std::nullopt;
    // The screen shows the catalogue's text of the key, which says the same.
    case zavfiscal::ReasonFault::Empty:
    case zavfiscal::ReasonFault::TooShort:
        return CancellationOutcome::byKey("Motivo_Min");
    case zavfiscal::ReasonFault::TooLong:
        return CancellationOutcome::byText(checked.message(), "Motivo_Min");
    case zavfiscal::ReasonFault::LineBreak:
    case zavfiscal::ReasonFault::Tab:
    case zavfiscal::ReasonFault::BadCharacter:
        break;
    }
    return CancellationOutcome::byText(checked.message());
}

} // namespace zavserver
