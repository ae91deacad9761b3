#include "cancellation/callauthority.h"

#include "cancellation/invoicecanceller.h"

#include "certificatestore.h"

namespace zavserver {

CallAuthority::CallAuthority(const CancellationContext& context, const NfeSettings& settings)
    : m_context(context), m_settings(settings) {}

CallAuthority::~CallAuthority() = default;

std::optional<CancellationOutcome> CallAuthority::resolve() {
    if (m_looked)
        return m_problem;
    m_looked = true;
    auto problem = [this](const QString& text, const char* key) {
        m_problem = CancellationOutcome::byText(fitFailure(text), key);
        return m_problem;
    };
    if (!m_settings.authorities)
        return problem(QStringLiteral("Servidor sem a tabela de autoridades fiscais (opção --authorities)."),
                       "fa_transmi");
    m_endpoints = m_settings.authorities->find(m_context.state, m_context.environment);
    if (!m_endpoints)
        return problem(QStringLiteral("SEFAZ de %1 (ambiente %2) não configurada no servidor.")
                           .arg(m_context.state, m_context.environment),
                       "fa_transmi");
    if (!m_settings.hasCertificates())
        return problem(
            QStringLiteral("Servidor sem certificados: nem a pasta dos A1 (opção --certificates) nem "
                           "tokens A3 (opção --tokens)."),
            "fa_assinar");
    // The folder's A1 files, then the tokens: a registration's certificate may be on either.
    zavnfe::CertificateLookup lookup =
        zavnfe::CertificateStore(m_settings.certificateFolder, m_settings.tokens)
            .find(m_context.certificate, m_settings.certificatePassword);
    if (!lookup.found())
        return problem(lookup.error, "fa_assinar");
    m_certificate = std::move(lookup.certificate);
    m_signer.emplace(*m_certificate);
    return std::nullopt;
}

std::unique_ptr<AuthorityClient> CallAuthority::newClient() const {
    return std::make_unique<AuthorityClient>(*m_settings.authorities, *m_certificate);
}

} // namespace zavserver
