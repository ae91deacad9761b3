#pragma once
// CertificateStore: the folder where the A1 certificates (PKCS#12 files,
// .pfx or .p12) live; finds the one whose serial number the company's
// configuration names and checks that it can sign today.
//
// Each file opens with its own password when one is kept beside it, in a file
// of the same name with ".senha" added ("empresa01.pfx.senha": its first
// line), which only its owner may read or write; otherwise with the folder's
// password (the server's --certificate-password-file).
#include "signingcertificate.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
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

// One A1 file as the folder holds it, for the people running the server.
struct CertificateEntry {
    QString file;   // its name in the folder
    QString serial; // empty when it could not be opened
    QString subject;
    QDateTime notBefore, notAfter;
    QString error; // why it could not be opened
};

class CertificateStore {
public:
    static constexpr const char* kPasswordSuffix = ".senha";

    explicit CertificateStore(QString folder) : m_folder(std::move(folder)) {}

    // password: the folder's, for the files without their own.
    CertificateLookup find(const QString& serial, const QByteArray& password,
                           const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

    // Every A1 file of the folder, by name, opened each with its password;
    // *error says why there is no list (the folder missing).
    QList<CertificateEntry> entries(const QByteArray& password, QString* error) const;

    // The password of the file at path: its own, or the folder's; nothing,
    // with *error, when its own file may be read by others or cannot be read.
    static std::optional<QByteArray> passwordOf(const QString& path, const QByteArray& folderPassword,
                                                QString* error);

private:
    QString m_folder;
};

} // namespace zavnfe
