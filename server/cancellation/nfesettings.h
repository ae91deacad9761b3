#pragma once
// What the server needs to sign and send NF-e events, read once at start from
// its command line: the folder of A1 certificates and their password, and the
// table of the states' authorities. Shared read-only by every thread.
#include "authority/authorityconfig.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace zavserver {

struct NfeSettings {
    QString certificateFolder;                  // --certificates
    QByteArray certificatePassword;             // first line of --certificate-password-file
    std::optional<AuthorityConfig> authorities; // --authorities
};

} // namespace zavserver
