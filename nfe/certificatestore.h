#pragma once
// CertificateStore: the folder where the A1 certificates (PKCS#12 files,
// .pfx or .p12) live; finds the one whose serial number the company's
// configuration names and checks that it can sign today.
#include "signingcertificate.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace zavnfe {

enum class CertificateFailure {
    None,
    FolderMissing, // the folder does not exist or cannot be read
    NotFound,      // no readable file holds a certificate with that serial
    WrongPassword, // no file matched, and some could not be opened with the password
    Unreadable,    // the matching file is damaged or holds no usable RSA key
    NotYetValid,
    Expired,
};

struct CertificateLookup {
    std::optional<SigningCertificate> certificate;
    CertificateFailure failure = CertificateFailure::None;
    QString error; // in Portuguese, with the cause and the file concerned

    bool found() const { return certificate.has_value(); }
};

class CertificateStore {
public:
    explicit CertificateStore(QString folder) : m_folder(std::move(folder)) {}

    CertificateLookup find(const QString& serial, const QByteArray& password,
                           const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

private:
    QString m_folder;
};

} // namespace zavnfe
