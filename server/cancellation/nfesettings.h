#pragma once
// What the server needs to sign and send NF-e events, read once at start from
// its command line: the folder of A1 certificates and their password, the
// PKCS#11 tokens of the A3 certificates, and the table of the states'
// authorities. Shared by every thread (the tokens guard themselves).
#include "authority/authorityconfig.h"

#include "tokenset.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace zavserver {

struct NfeSettings {
    QString certificateFolder;                  // --certificates
    QByteArray certificatePassword;             // first line of --certificate-password-file
    std::shared_ptr<zavnfe::TokenSet> tokens;   // --tokens; null without
    std::optional<AuthorityConfig> authorities; // --authorities

    // Whether any certificate can be found: a folder or tokens.
    bool hasCertificates() const { return !certificateFolder.isEmpty() || (tokens && !tokens->isEmpty()); }
};

} // namespace zavserver
