#pragma once
// CallAuthority: what one cancellation call needs of its authority, found
// once, when the first invoice gets that far: the state's authority in the
// table, the registration's certificate (an A1 file or a token's), opened once, and its signer,
// which keeps the key ready for every event of the call. The call's threads
// each get a client of their own (newClient).
#include "authority/authorityclient.h"
#include "authority/authorityconfig.h"
#include "cancellation/cancellationoutcome.h"
#include "cancellation/nfesettings.h"

#include "eventsigner.h"
#include "signingcertificate.h"

#include <memory>
#include <optional>

namespace zavserver {

struct CancellationContext;

class CallAuthority {
public:
    CallAuthority(const CancellationContext& context, const NfeSettings& settings);
    ~CallAuthority();
    CallAuthority(const CallAuthority&) = delete;
    CallAuthority& operator=(const CallAuthority&) = delete;

    // Why nothing can be sent (no table, no authority for the state, no
    // certificate), or nothing; looked up at the first call only.
    std::optional<CancellationOutcome> resolve();

    // After resolve() found them.
    const AuthorityEndpoints& endpoints() const { return *m_endpoints; }
    zavnfe::EventSigner& signer() { return *m_signer; }
    std::unique_ptr<AuthorityClient> newClient() const;

private:
    const CancellationContext& m_context;
    const NfeSettings& m_settings;
    bool m_looked = false;
    std::optional<CancellationOutcome> m_problem;
    const AuthorityEndpoints* m_endpoints = nullptr;
    std::optional<zavnfe::SigningCertificate> m_certificate;
    std::optional<zavnfe::EventSigner> m_signer;
};

} // namespace zavserver
