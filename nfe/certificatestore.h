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

#include <memory>
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
    // A3 certificates (TokenSet):
    ModuleMissing, // the PKCS#11 module cannot be loaded
    TokenAbsent,   // the token is not in any slot of its module, or was removed
    PinWrong,      // the token refused the PIN of its PIN file
    PinLocked,     // the token's user PIN is locked
    PinUnreadable, // the PIN file is missing, unreadable or readable by others
    KeyNotOnToken, // the certificate is on the token, its private key is not
    KeyUnusable,   // the key is there but does not sign
};

struct CertificateLookup {
    std::optional<SigningCertificate> certificate;
    CertificateFailure failure = CertificateFailure::None;
    QString error; // in Portuguese, with the cause and the file concerned

    bool found() const { return certificate.has_value(); }
};

// One A1 file as the folder holds it, for the people running the server.
struct CertificateEntry {
    QString file;       // its name in the folder
    QString serial;     // empty when it could not be opened; normalised, for matching
    QString serialText; // as the certificate carries it (leading zero kept), for people
    QString subject;
    QDateTime notBefore, notAfter;
    QString error; // why it could not be opened
};

class TokenSet;

class CertificateStore {
public:
    static constexpr const char* kPasswordSuffix = ".senha";

    // tokens: the PKCS#11 tokens whose certificates are looked at besides the
    // folder's files (a registration's certificate may be on either).
    explicit CertificateStore(QString folder, std::shared_ptr<TokenSet> tokens = {})
        : m_folder(std::move(folder)), m_tokens(std::move(tokens)) {}

    // password: the folder's, for the files without their own. The folder
    // first, then the tokens; without a folder, the tokens alone.
    CertificateLookup find(const QString& serial, const QByteArray& password,
                           const QDateTime& now = QDateTime::currentDateTimeUtc()) const;
    // The folder's files only.
    CertificateLookup findInFolder(const QString& serial, const QByteArray& password,
                                   const QDateTime& now) const;

    // Whether a certificate that can sign now: neither before nor after its
    // validity, with readable dates; *error names it by `what` otherwise.
    static CertificateFailure checkValidity(const SigningCertificate& certificate, const QString& what,
                                            const QDateTime& now, QString* error);

    // Every A1 file of the folder, by name, opened each with its password;
    // *error says why there is no list (the folder missing).
    QList<CertificateEntry> entries(const QByteArray& password, QString* error) const;

    // The password of the file at path: its own, or the folder's; nothing,
    // with *error, when its own file may be read by others or cannot be read.
    static std::optional<QByteArray> passwordOf(const QString& path, const QByteArray& folderPassword,
                                                QString* error);

private:
    QString m_folder;
    std::shared_ptr<TokenSet> m_tokens;
};

} // namespace zavnfe
