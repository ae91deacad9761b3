#include "certificatestore.h"

#include "cryptolibraries.h"
#include "opensslerror.h"
#include "secretfile.h"
#include "tokenset.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

namespace zavnfe {

namespace {

struct FileOutcome {
    std::optional<SigningCertificate> certificate;
    bool wrongPassword = false;
    QString error;
};

// Reads one PKCS#12 file; the certificate comes back only when the password
// opened it and it holds an RSA key with its certificate.
FileOutcome readPkcs12(const QString& path, const QByteArray& password) {
    FileOutcome outcome;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        outcome.error = QStringLiteral("não foi possível ler o arquivo (%1)").arg(file.errorString());
        return outcome;
    }
    const QByteArray bytes = file.readAll();
    ERR_clear_error();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())),
                                                  BIO_free);
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr,
                                                        PKCS12_free);
    if (!p12) {
        outcome.error = QStringLiteral("não é um arquivo PKCS#12 válido (%1)").arg(openSslError());
        return outcome;
    }
    if (PKCS12_mac_present(p12.get()) &&
        !PKCS12_verify_mac(p12.get(), password.constData(), int(password.size()))) {
        outcome.wrongPassword = true;
        outcome.error = QStringLiteral("senha incorreta");
        return outcome;
    }
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* chain = nullptr;
    if (!PKCS12_parse(p12.get(), password.constData(), &key, &certificate, &chain)) {
        outcome.error = QStringLiteral("não foi possível abrir o conteúdo (%1)").arg(openSslError());
        return outcome;
    }
    if (!certificate || !key) {
        sk_X509_pop_free(chain, X509_free);
        EVP_PKEY_free(key);
        X509_free(certificate);
        outcome.error = QStringLiteral("não contém o certificado com sua chave privada");
        return outcome;
    }
    outcome.certificate.emplace(key, certificate);
    // The stack's references pass to the certificate, in the file's order.
    while (chain && sk_X509_num(chain) > 0)
        outcome.certificate->addIssuer(sk_X509_shift(chain));
    sk_X509_free(chain);
    return outcome;
}

const QStringList kPatterns{QStringLiteral("*.pfx"), QStringLiteral("*.p12")};

// Opens a file of the folder with its password.
FileOutcome open(const QDir& dir, const QString& name, const QByteArray& folderPassword) {
    QString error;
    const std::optional<QByteArray> password =
        CertificateStore::passwordOf(dir.filePath(name), folderPassword, &error);
    if (!password) {
        FileOutcome outcome;
        outcome.error = error;
        return outcome;
    }
    return readPkcs12(dir.filePath(name), *password);
}

QString when(const QDateTime& at) {
    return at.toString(QStringLiteral("dd/MM/yyyy HH:mm 'UTC'"));
}

} // namespace

CertificateFailure CertificateStore::checkValidity(const SigningCertificate& certificate, const QString& what,
                                                   const QDateTime& now, QString* error) {
    const QString serial = certificate.serialHex();
    if (!certificate.notBefore().isValid() || !certificate.notAfter().isValid()) {
        *error = QStringLiteral("O certificado %1 (%2) tem datas de validade ilegíveis.").arg(serial, what);
        return CertificateFailure::Unreadable;
    }
    if (now < certificate.notBefore()) {
        *error = QStringLiteral("O certificado %1 (%2) só vale a partir de %3.")
                     .arg(serial, what, when(certificate.notBefore()));
        return CertificateFailure::NotYetValid;
    }
    if (now > certificate.notAfter()) {
        *error = QStringLiteral("O certificado %1 (%2) venceu em %3.")
                     .arg(serial, what, when(certificate.notAfter()));
        return CertificateFailure::Expired;
    }
    return CertificateFailure::None;
}

CertificateLookup CertificateStore::find(const QString& serial, const QByteArray& password,
                                         const QDateTime& now) const {
    if (!m_tokens || m_tokens->isEmpty())
        return findInFolder(serial, password, now);
    if (SigningCertificate::normalisedSerial(serial).isEmpty()) {
        CertificateLookup lookup;
        lookup.failure = CertificateFailure::NotFound;
        lookup.error = QStringLiteral("Número de série do certificado não informado.");
        return lookup;
    }
    CertificateLookup inFolder;
    if (!m_folder.isEmpty()) {
        inFolder = findInFolder(serial, password, now);
        // Found, or found and refused: the file holds it.
        if (inFolder.found() || (inFolder.failure != CertificateFailure::NotFound &&
                                 inFolder.failure != CertificateFailure::FolderMissing &&
                                 inFolder.failure != CertificateFailure::WrongPassword))
            return inFolder;
    }
    CertificateLookup onToken = m_tokens->find(serial, now);
    if (onToken.found() || onToken.failure != CertificateFailure::NotFound || m_folder.isEmpty())
        return onToken;
    // On neither: both say what they looked at.
    onToken.failure = inFolder.failure;
    onToken.error = inFolder.error + u' ' + onToken.error;
    return onToken;
}

CertificateLookup CertificateStore::findInFolder(const QString& serial, const QByteArray& password,
                                                 const QDateTime& now) const {
    CryptoLibraries::ensure();
    CertificateLookup lookup;
    auto fail = [&lookup](CertificateFailure failure, const QString& why) {
        lookup.failure = failure;
        lookup.error = why;
        return lookup;
    };
    const QString wanted = SigningCertificate::normalisedSerial(serial);
    if (wanted.isEmpty())
        return fail(CertificateFailure::NotFound,
                    QStringLiteral("Número de série do certificado não informado."));
    const QDir dir(m_folder);
    if (m_folder.isEmpty() || !dir.exists() || !dir.isReadable())
        return fail(CertificateFailure::FolderMissing,
                    QStringLiteral("Pasta de certificados %1 inexistente ou sem permissão de leitura.")
                        .arg(m_folder));

    QStringList closed;     // files the password did not open
    QStringList unreadable; // files that are not certificates at all, or whose password is not kept safe
    const QStringList names =
        dir.entryList(kPatterns, QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        FileOutcome outcome = open(dir, name, password);
        if (!outcome.certificate) {
            (outcome.wrongPassword ? closed : unreadable)
                .append(QStringLiteral("%1: %2").arg(name, outcome.error));
            continue;
        }
        SigningCertificate& found = *outcome.certificate;
        if (found.serialHex() != wanted)
            continue;
        if (EVP_PKEY_get_base_id(found.key()) != EVP_PKEY_RSA)
            return fail(CertificateFailure::Unreadable,
                        QStringLiteral("O certificado %1 (%2) não tem chave RSA.").arg(wanted, name));
        QString why;
        const CertificateFailure validity = checkValidity(found, name, now, &why);
        if (validity != CertificateFailure::None)
            return fail(validity, why);
        lookup.certificate = std::move(outcome.certificate);
        return lookup;
    }
    if (!closed.isEmpty())
        return fail(CertificateFailure::WrongPassword,
                    QStringLiteral(
                        "Certificado %1 não encontrado entre os que a senha abre; senha incorreta para: %2.")
                        .arg(wanted, closed.join(QStringLiteral("; "))));
    QString why =
        QStringLiteral("Certificado com número de série %1 não encontrado em %2.").arg(wanted, m_folder);
    if (!unreadable.isEmpty())
        why += QStringLiteral(" Arquivos ilegíveis: %1.").arg(unreadable.join(QStringLiteral("; ")));
    return fail(CertificateFailure::NotFound, why);
}

std::optional<QByteArray> CertificateStore::passwordOf(const QString& path, const QByteArray& folderPassword,
                                                       QString* error) {
    const QFileInfo own(path + QLatin1StringView(kPasswordSuffix));
    if (!own.exists())
        return folderPassword;
    // Another user who reads it signs as the company.
    zavcommon::SecretFault fault{};
    QString why;
    std::optional<QByteArray> line = zavcommon::readSecretLine(own.filePath(), &fault, &why);
    if (!line && fault == zavcommon::SecretFault::OpenToOthers)
        *error = QStringLiteral("a senha em %1 pode ser lida por outros usuários (use chmod 600)")
                     .arg(own.fileName());
    else if (!line)
        *error = QStringLiteral("não foi possível ler a senha em %1 (%2)").arg(own.fileName(), why);
    return line;
}

QList<CertificateEntry> CertificateStore::entries(const QByteArray& password, QString* error) const {
    CryptoLibraries::ensure();
    const QDir dir(m_folder);
    if (m_folder.isEmpty() || !dir.exists() || !dir.isReadable()) {
        *error =
            QStringLiteral("Pasta de certificados %1 inexistente ou sem permissão de leitura.").arg(m_folder);
        return {};
    }
    QList<CertificateEntry> list;
    for (const QString& name : dir.entryList(kPatterns, QDir::Files, QDir::Name | QDir::IgnoreCase)) {
        CertificateEntry entry;
        entry.file = name;
        const FileOutcome outcome = open(dir, name, password);
        if (outcome.certificate) {
            entry.serial = outcome.certificate->serialHex();
            entry.serialText = outcome.certificate->serialText();
            entry.subject = outcome.certificate->subject();
            entry.notBefore = outcome.certificate->notBefore();
            entry.notAfter = outcome.certificate->notAfter();
        } else {
            entry.error = outcome.error;
        }
        list.append(entry);
    }
    return list;
}

} // namespace zavnfe
