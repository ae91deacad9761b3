#pragma once
// StandInAuthority: the stand-in for the tax authority until the server signs
// and transmits cancellation events for real. It never leaves the process: it
// checks the event as the authority's first checks would (the access key and
// its check digit, the authorisation protocol, the environment) and registers
// everything else at once with status 135.
//
// Its answers are marked as its own so that no one takes them for the
// authority's: the application (verAplic) is kApplication, and its protocol
// numbers begin with 9, which no state's authoriser uses.
#include "cancellationauthority.h"

#include <atomic>

namespace zavserver {

class StandInAuthority final : public CancellationAuthority {
public:
    static constexpr const char* kApplication = "SUBSTITUTA_1.00";

    AuthorityAnswer cancel(const CancellationEvent& event) override;

private:
    QString nextProtocol(const QString& stateCode, const QDateTime& at);
};

} // namespace zavserver
