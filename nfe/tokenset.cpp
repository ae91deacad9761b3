#include "tokenset.h"

#include "cryptolibraries.h"
#include "externalkey.h"
#include "opensslerror.h"
#include "secretfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <libp11.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <map>
#include <mutex>

namespace zavnfe {

namespace {

// The PKCS#11 return values the messages tell apart (PKCS#11 2.40, 11.1).
enum : unsigned long {
    kCkrGeneralError = 0x05,
    kCkrDeviceError = 0x30,
    kCkrDeviceMemory = 0x31,
    kCkrDeviceRemoved = 0x32,
    kCkrKeyHandleInvalid = 0x60,
    kCkrKeyTypeInconsistent = 0x63,
    kCkrKeyFunctionNotPermitted = 0x68,
    kCkrMechanismInvalid = 0x70,
    kCkrObjectHandleInvalid = 0x82,
    kCkrPinIncorrect = 0xA0,
    kCkrPinInvalid = 0xA1,
    kCkrPinLenRange = 0xA2,
    kCkrPinExpired = 0xA3,
    kCkrPinLocked = 0xA4,
    kCkrSessionClosed = 0xB0,
    kCkrSessionHandleInvalid = 0xB3,
    kCkrTokenNotPresent = 0xE0,
    kCkrTokenNotRecognized = 0xE1,
    kCkrUserNotLoggedIn = 0x101,
};

// The PKCS#11 return value libp11 left on this thread's OpenSSL queue (0
// for none); the queue is emptied, *other gets the first error of another
// library.
unsigned long takeCkr(QString* other = nullptr) {
    const int library = ERR_get_CKR_code();
    unsigned long ckr = 0;
    while (const unsigned long e = ERR_get_error()) {
        if (ckr == 0 && ERR_GET_LIB(e) == library)
            ckr = ERR_GET_REASON(e);
        else if (other && other->isEmpty()) {
            char text[256];
            ERR_error_string_n(e, text, sizeof text);
            *other = QString::fromLatin1(text);
        }
    }
    return ckr;
}

bool meansRemoved(unsigned long ckr) {
    return ckr == kCkrDeviceRemoved || ckr == kCkrTokenNotPresent || ckr == kCkrTokenNotRecognized ||
           ckr == kCkrObjectHandleInvalid || ckr == kCkrKeyHandleInvalid || ckr == kCkrSessionClosed ||
           ckr == kCkrSessionHandleInvalid || ckr == kCkrDeviceError;
}

QString ckrText(unsigned long ckr) {
    return QStringLiteral("CKR 0x%1").arg(ckr, 0, 16);
}

// Text of PKCS#11's fixed-width fields, as libp11 copies them (blank padded).
QString fieldText(const char* text) {
    return text ? QString::fromUtf8(text).trimmed() : QString();
}

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

bool isCa(X509* certificate) {
    return X509_check_ca(certificate) != 0;
}

} // namespace

// One PKCS#11 module, loaded once for the process (moduleOf). Its slot
// lists are kept with it: releasing one closes every session of its slots,
// the later lists' too.
class TokenSet::Module {
public:
    explicit Module(QString path) : m_path(std::move(path)) {}
    ~Module() {
        for (const auto& [slots, count] : m_lists)
            PKCS11_release_all_slots(m_context, slots, count);
        if (m_context) {
            if (m_loaded)
                PKCS11_CTX_unload(m_context);
            PKCS11_CTX_free(m_context);
        }
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const QString& path() const { return m_path; }
    std::mutex& mutex() { return m_mutex; }

    // Loads the module once; empty, or why not (under mutex()).
    QString load() {
        if (m_loaded)
            return {};
        if (!QFileInfo::exists(m_path))
            return QStringLiteral("Módulo PKCS#11 %1 não encontrado: instale o pacote do fabricante do token "
                                  "(para SoftHSM, softhsm2; para cartões, opensc) ou corrija o caminho "
                                  "na configuração dos tokens.")
                .arg(m_path);
        if (!m_context)
            m_context = PKCS11_CTX_new();
        ERR_clear_error();
        if (!m_context || PKCS11_CTX_load(m_context, m_path.toLocal8Bit().constData()) != 0) {
            const QString why = openSslError();
            return QStringLiteral("Módulo PKCS#11 %1 não carregou (%2): confira se é o módulo do token e se "
                                  "o serviço do leitor (pcscd) está instalado.")
                .arg(m_path, why);
        }
        m_loaded = true;
        return {};
    }

    // The slots as they are now (under mutex()); null with *error.
    PKCS11_SLOT* slots(unsigned int* count, QString* error) {
        PKCS11_SLOT* list = nullptr;
        unsigned int n = 0;
        ERR_clear_error();
        if (PKCS11_enumerate_slots(m_context, &list, &n) != 0) {
            *error = QStringLiteral("o módulo %1 não listou seus leitores (%2)").arg(m_path, openSslError());
            return nullptr;
        }
        m_lists.emplace_back(list, n);
        *count = n;
        return list;
    }

    PKCS11_CTX* context() const { return m_context; }

private:
    QString m_path;
    std::mutex m_mutex;
    PKCS11_CTX* m_context = nullptr;
    bool m_loaded = false;
    std::vector<std::pair<PKCS11_SLOT*, unsigned int>> m_lists;
};

class TokenSet::Token : public std::enable_shared_from_this<TokenSet::Token> {
public:
    Token(TokenConfig config, std::shared_ptr<Module> module)
        : m_config(std::move(config)), m_module(std::move(module)) {}

    const TokenConfig& config() const { return m_config; }
    QString describe() const {
        QString name = !m_config.label.isEmpty() ? m_config.label : m_config.serial;
        return QStringLiteral("token %1 (%2)").arg(name, m_config.name);
    }

    // Opens it again on the next look-up: its key handles, session or login
    // are gone.
    void markStale() { m_stale = true; }

    // The token's failure of a private-key operation, in Portuguese.
    QString failure(const QString& serial) {
        QString other;
        const unsigned long ckr = takeCkr(&other);
        if (meansRemoved(ckr)) {
            markStale();
            return QStringLiteral("O %1 foi removido ou deixou de responder (%2) durante a assinatura com o "
                                  "certificado %3: reconecte o token e confirme de novo.")
                .arg(describe(), ckrText(ckr), serial);
        }
        if (ckr == kCkrUserNotLoggedIn || ckr == kCkrPinExpired) {
            markStale();
            return QStringLiteral("O %1 encerrou a sessão do PIN (%2) durante a assinatura com o certificado "
                                  "%3: confirme de novo.")
                .arg(describe(), ckrText(ckr), serial);
        }
        if (ckr == kCkrKeyFunctionNotPermitted || ckr == kCkrKeyTypeInconsistent ||
            ckr == kCkrMechanismInvalid)
            return unusable(serial, ckrText(ckr));
        if (ckr != 0) {
            markStale();
            return QStringLiteral("O %1 falhou ao assinar com o certificado %2 (%3): confira o token e "
                                  "confirme de novo.")
                .arg(describe(), serial, ckrText(ckr));
        }
        // Nothing of the token's: the caller says its own failure.
        return {};
    }

    QString unusable(const QString& serial, const QString& why) const {
        return QStringLiteral("A chave do certificado %1 no %2 não pode assinar (%3): o token precisa de uma "
                              "chave RSA com uso de assinatura para esse certificado.")
            .arg(serial, describe(), why);
    }

    CertificateLookup find(const QString& wanted, const QDateTime& now, bool* onThisToken);
    TokenEntry entry();

private:
    // The slot holding the token (under the module's mutex); null with
    // *failure and *error when it cannot be had.
    PKCS11_SLOT* slot(CertificateFailure* failure, QString* error);
    // Logs the user in once (under the module's mutex).
    CertificateFailure login(PKCS11_SLOT* slot, QString* error);
    CertificateLookup useCertificate(PKCS11_SLOT* slot, PKCS11_CERT* certificate,
                                     const std::vector<X509*>& all, const QDateTime& now);

    TokenConfig m_config;
    std::shared_ptr<Module> m_module;
    PKCS11_SLOT* m_slot = nullptr; // in a list the module keeps
    bool m_loggedIn = false;
    bool m_stale = false;
    std::optional<QByteArray> m_refusedPin;        // the PIN the token refused last
    std::map<QString, SigningCertificate> m_found; // by normalised serial
};

namespace {

// Where a token's key lives. It keeps the module loaded (its key cannot
// work without it) but not the token, whose cache holds the key: a key
// outliving its TokenSet still says its failures, without the token's state.
class TokenKey : public KeySource {
public:
    TokenKey(const std::shared_ptr<TokenSet::Token>& token, std::shared_ptr<TokenSet::Module> module,
             QString serial)
        : m_token(token), m_module(std::move(module)), m_where(token->describe()),
          m_serial(std::move(serial)) {}
    QString where() const override { return m_where; }
    QString failure() const override {
        if (const std::shared_ptr<TokenSet::Token> token = m_token.lock())
            return token->failure(m_serial);
        return {};
    }

private:
    std::weak_ptr<TokenSet::Token> m_token;
    std::shared_ptr<TokenSet::Module> m_module;
    QString m_where, m_serial;
};

// One PKCS#1 v1.5 signature of a SHA-1 digest, as the events' signatures are
// made: the key is there and signs. Empty, or the OpenSSL queue left as the
// failure left it.
bool signsOnce(EVP_PKEY* key) {
    unsigned char digest[SHA_DIGEST_LENGTH] = {};
    unsigned char signature[1024];
    size_t length = sizeof signature;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key, nullptr),
                                                                        EVP_PKEY_CTX_free);
    return context && EVP_PKEY_sign_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha1()) == 1 &&
           EVP_PKEY_sign(context.get(), signature, &length, digest, sizeof digest) == 1;
}

} // namespace

PKCS11_SLOT* TokenSet::Token::slot(CertificateFailure* failure, QString* error) {
    if (m_slot && !m_stale)
        return m_slot;
    if (const QString why = m_module->load(); !why.isEmpty()) {
        *failure = CertificateFailure::ModuleMissing;
        *error = why;
        return nullptr;
    }
    m_slot = nullptr;
    m_loggedIn = false;
    m_found.clear();
    unsigned int count = 0;
    QString why;
    PKCS11_SLOT* list = m_module->slots(&count, &why);
    for (unsigned int i = 0; list && i < count; ++i) {
        const PKCS11_TOKEN* token = list[i].token;
        if (!token || !token->initialized)
            continue;
        if (!m_config.label.isEmpty() && fieldText(token->label) != m_config.label)
            continue;
        if (!m_config.serial.isEmpty() &&
            fieldText(token->serialnr).compare(m_config.serial, Qt::CaseInsensitive))
            continue;
        m_slot = &list[i];
        break;
    }
    if (!m_slot) {
        *failure = CertificateFailure::TokenAbsent;
        *error = QStringLiteral("O %1 não está em nenhum leitor do módulo %2%3: conecte o token (ou o cartão "
                                "ao leitor) e confirme de novo.")
                     .arg(describe(), m_module->path(),
                          why.isEmpty() ? QString() : QStringLiteral(" (") + why + u')');
        return nullptr;
    }
    m_stale = false;
    return m_slot;
}

CertificateFailure TokenSet::Token::login(PKCS11_SLOT* slot, QString* error) {
    if (m_loggedIn)
        return CertificateFailure::None;
    const PKCS11_TOKEN* token = slot->token;
    if (token->userPinLocked) {
        // The flags are the slot list's: read again on the next look-up, so
        // that a PIN unlocked meanwhile is seen without a restart.
        markStale();
        *error = QStringLiteral("O PIN do %1 está bloqueado por tentativas erradas: desbloqueie-o com o PIN "
                                "de administrador (SO) ou a ferramenta do fabricante; o servidor não tenta "
                                "um token bloqueado.")
                     .arg(describe());
        return CertificateFailure::PinLocked;
    }
    zavcommon::SecretFault fault{};
    QString why;
    const std::optional<QByteArray> pin = zavcommon::readSecretLine(m_config.pinFile, &fault, &why);
    if (!pin) {
        *error = fault == zavcommon::SecretFault::OpenToOthers
                     ? QStringLiteral("O arquivo do PIN do %1 (%2) pode ser lido por outros usuários: use "
                                      "chmod 600.")
                           .arg(describe(), m_config.pinFile)
                     : QStringLiteral("O arquivo do PIN do %1 (%2) não pôde ser lido (%3).")
                           .arg(describe(), m_config.pinFile, why);
        return CertificateFailure::PinUnreadable;
    }
    const QString finalTry =
        token->userPinFinalTry
            ? QStringLiteral(" Atenção: o token diz que mais uma tentativa errada o bloqueia.")
            : QString();
    const QString refused =
        QStringLiteral("O %1 recusou o PIN do arquivo %2: corrija o arquivo; o mesmo PIN não "
                       "é tentado de novo, para que o token não se bloqueie.%3")
            .arg(describe(), m_config.pinFile, finalTry);
    if (m_refusedPin && *m_refusedPin == *pin) {
        *error = refused;
        return CertificateFailure::PinWrong;
    }
    ERR_clear_error();
    if (PKCS11_login(slot, 0, pin->constData()) == 0) {
        m_loggedIn = true;
        m_refusedPin.reset();
        return CertificateFailure::None;
    }
    const unsigned long ckr = takeCkr();
    if (ckr == kCkrPinIncorrect || ckr == kCkrPinInvalid || ckr == kCkrPinLenRange) {
        m_refusedPin = *pin;
        *error = refused;
        return CertificateFailure::PinWrong;
    }
    if (ckr == kCkrPinLocked) {
        markStale();
        *error =
            QStringLiteral("O PIN do %1 está bloqueado: desbloqueie-o com o PIN de administrador (SO) ou "
                           "a ferramenta do fabricante.")
                .arg(describe());
        return CertificateFailure::PinLocked;
    }
    if (meansRemoved(ckr)) {
        markStale();
        *error = QStringLiteral("O %1 foi removido (%2): reconecte o token e confirme de novo.")
                     .arg(describe(), ckrText(ckr));
        return CertificateFailure::TokenAbsent;
    }
    *error = QStringLiteral("O %1 recusou a entrada com o PIN (%2).").arg(describe(), ckrText(ckr));
    return CertificateFailure::PinWrong;
}

CertificateLookup TokenSet::Token::useCertificate(PKCS11_SLOT* slot, PKCS11_CERT* certificate,
                                                  const std::vector<X509*>& all, const QDateTime& now) {
    CertificateLookup lookup;
    auto fail = [&lookup](CertificateFailure failure, const QString& why) {
        lookup.failure = failure;
        lookup.error = why;
        return lookup;
    };
    const QString serial = SigningCertificate::serialTextOf(certificate->x509);
    {
        // The dates before the PIN: an expired certificate costs no login.
        X509_up_ref(certificate->x509);
        const SigningCertificate bare(nullptr, certificate->x509);
        QString why;
        const CertificateFailure validity = CertificateStore::checkValidity(bare, describe(), now, &why);
        if (validity != CertificateFailure::None)
            return fail(validity, why);
    }
    QString why;
    if (const CertificateFailure failure = login(slot, &why); failure != CertificateFailure::None)
        return fail(failure, why);
    ERR_clear_error();
    PKCS11_KEY* key = PKCS11_find_key(certificate);
    if (!key) {
        const unsigned long ckr = takeCkr();
        if (meansRemoved(ckr)) {
            markStale();
            return fail(CertificateFailure::TokenAbsent,
                        QStringLiteral("O %1 foi removido (%2): reconecte o token e confirme de novo.")
                            .arg(describe(), ckrText(ckr)));
        }
        return fail(
            CertificateFailure::KeyNotOnToken,
            QStringLiteral("O certificado %1 está no %2, mas a chave privada dele não (nenhuma chave com "
                           "o mesmo CKA_ID): gere ou importe a chave no token com o certificado.")
                .arg(serial, describe()));
    }
    if (PKCS11_get_key_type(key) != EVP_PKEY_RSA)
        return fail(CertificateFailure::KeyUnusable, unusable(serial, QStringLiteral("a chave não é RSA")));
    EVP_PKEY* privateKey = PKCS11_get_private_key(key); // one reference, ours
    if (!privateKey)
        return fail(CertificateFailure::KeyUnusable, unusable(serial, openSslError()));
    if (!markPrivateHeldElsewhere(privateKey)) {
        EVP_PKEY_free(privateKey);
        return fail(CertificateFailure::KeyUnusable, unusable(serial, QStringLiteral("a chave não é RSA")));
    }
    X509_up_ref(certificate->x509);
    SigningCertificate found(privateKey, certificate->x509,
                             std::make_shared<TokenKey>(shared_from_this(), m_module, serial));
    if (!signsOnce(privateKey)) {
        QString other;
        const unsigned long ckr = takeCkr(&other);
        if (meansRemoved(ckr)) {
            markStale();
            return fail(CertificateFailure::TokenAbsent,
                        QStringLiteral("O %1 foi removido (%2): reconecte o token e confirme de novo.")
                            .arg(describe(), ckrText(ckr)));
        }
        if (ckr == kCkrUserNotLoggedIn)
            markStale();
        return fail(CertificateFailure::KeyUnusable, unusable(serial, ckr != 0 ? ckrText(ckr) : other));
    }
    // The chain above it, as the token holds it: the intermediates go in the
    // TLS handshake, as an A1 file's do.
    X509* current = certificate->x509;
    for (int depth = 0; depth < 8; ++depth) {
        X509* issuer = nullptr;
        for (X509* candidate : all)
            if (candidate != current && isCa(candidate) && X509_check_issued(candidate, current) == X509_V_OK)
                issuer = candidate;
        if (!issuer || X509_check_issued(issuer, issuer) == X509_V_OK) {
            if (issuer) {
                X509_up_ref(issuer);
                found.addIssuer(issuer);
            }
            break;
        }
        X509_up_ref(issuer);
        found.addIssuer(issuer);
        current = issuer;
    }
    lookup.certificate = found;
    m_found.insert_or_assign(SigningCertificate::normalisedSerial(serial), found);
    return lookup;
}

CertificateLookup TokenSet::Token::find(const QString& wanted, const QDateTime& now, bool* onThisToken) {
    const std::lock_guard lock(m_module->mutex());
    *onThisToken = false;
    CertificateLookup lookup;
    if (!m_stale) {
        const auto known = m_found.find(wanted);
        if (known != m_found.end()) {
            *onThisToken = true;
            QString why;
            lookup.failure = CertificateStore::checkValidity(known->second, describe(), now, &why);
            lookup.error = why;
            if (lookup.failure == CertificateFailure::None)
                lookup.certificate = known->second;
            return lookup;
        }
    }
    PKCS11_SLOT* slot = this->slot(&lookup.failure, &lookup.error);
    if (!slot)
        return lookup;
    PKCS11_CERT* certificates = nullptr;
    unsigned int count = 0;
    ERR_clear_error();
    if (PKCS11_enumerate_certs(slot->token, &certificates, &count) != 0) {
        const unsigned long ckr = takeCkr();
        markStale();
        lookup.failure = CertificateFailure::TokenAbsent;
        lookup.error = QStringLiteral("O %1 não listou seus certificados (%2): reconecte o token e confirme "
                                      "de novo.")
                           .arg(describe(), ckrText(ckr));
        return lookup;
    }
    std::vector<X509*> all;
    PKCS11_CERT* match = nullptr;
    for (unsigned int i = 0; i < count; ++i) {
        if (!certificates[i].x509)
            continue;
        all.push_back(certificates[i].x509);
        if (!match &&
            SigningCertificate::normalisedSerial(SigningCertificate::serialTextOf(certificates[i].x509)) ==
                wanted &&
            !isCa(certificates[i].x509))
            match = &certificates[i];
    }
    if (!match) {
        lookup.failure = CertificateFailure::NotFound;
        return lookup;
    }
    *onThisToken = true;
    return useCertificate(slot, match, all, now);
}

TokenEntry TokenSet::Token::entry() {
    const std::lock_guard lock(m_module->mutex());
    TokenEntry entry;
    entry.name = m_config.name;
    entry.module = m_config.module;
    CertificateFailure failure = CertificateFailure::None;
    // A listing looks again, as a person would: the token may have come back.
    m_stale = true;
    PKCS11_SLOT* slot = this->slot(&failure, &entry.error);
    if (!slot)
        return entry;
    entry.slot = fieldText(slot->description);
    entry.label = fieldText(slot->token->label);
    entry.serial = fieldText(slot->token->serialnr);
    PKCS11_CERT* certificates = nullptr;
    unsigned int count = 0;
    ERR_clear_error();
    if (PKCS11_enumerate_certs(slot->token, &certificates, &count) != 0) {
        entry.error = QStringLiteral("o token não listou seus certificados (%1)").arg(ckrText(takeCkr()));
        return entry;
    }
    for (unsigned int i = 0; i < count; ++i) {
        X509* x509 = certificates[i].x509;
        if (!x509 || isCa(x509))
            continue;
        X509_up_ref(x509);
        const SigningCertificate certificate(nullptr, x509);
        CertificateEntry e;
        e.file = describe();
        e.serial = certificate.serialHex();
        e.serialText = certificate.serialText();
        e.subject = certificate.subject();
        e.notBefore = certificate.notBefore();
        e.notAfter = certificate.notAfter();
        entry.certificates.append(e);
    }
    return entry;
}

namespace {

// The modules of the process, each loaded once and never unloaded: its
// C_Finalize would end every session of every user of it in the process
// (another TokenSet's, a key still held), and some modules do not survive
// being loaded again.
std::shared_ptr<TokenSet::Module> moduleOf(const QString& path) {
    static std::mutex mutex;
    static auto* modules = new std::map<QString, std::shared_ptr<TokenSet::Module>>();
    const std::lock_guard lock(mutex);
    std::shared_ptr<TokenSet::Module>& module = (*modules)[QFileInfo(path).absoluteFilePath()];
    if (!module)
        module = std::make_shared<TokenSet::Module>(path);
    return module;
}

} // namespace

TokenSet::TokenSet(const QList<TokenConfig>& tokens) {
    for (const TokenConfig& config : tokens)
        m_tokens.push_back(std::make_shared<Token>(config, moduleOf(config.module)));
}

TokenSet::~TokenSet() = default;

QList<TokenConfig> TokenSet::configs() const {
    QList<TokenConfig> list;
    for (const auto& token : m_tokens)
        list.append(token->config());
    return list;
}

std::shared_ptr<TokenSet> TokenSet::load(const QString& path, QString* error) {
    if (!QFileInfo(path).isReadable()) {
        *error =
            QStringLiteral("Configuração dos tokens %1 inexistente ou sem permissão de leitura.").arg(path);
        return nullptr;
    }
    QSettings file(path, QSettings::IniFormat);
    const QDir folder = QFileInfo(path).absoluteDir();
    QList<TokenConfig> tokens;
    for (const QString& group : file.childGroups()) {
        file.beginGroup(group);
        TokenConfig config;
        config.name = group;
        config.module = file.value(QStringLiteral("modulo")).toString().trimmed();
        config.label = file.value(QStringLiteral("rotulo")).toString().trimmed();
        config.serial = file.value(QStringLiteral("serie")).toString().trimmed();
        const QString pin = file.value(QStringLiteral("pin")).toString().trimmed();
        config.pinFile = pin.isEmpty() ? QString() : folder.absoluteFilePath(pin);
        file.endGroup();
        QString missing;
        if (config.module.isEmpty())
            missing = QStringLiteral("modulo");
        else if (config.label.isEmpty() && config.serial.isEmpty())
            missing = QStringLiteral("rotulo ou serie");
        else if (config.pinFile.isEmpty())
            missing = QStringLiteral("pin");
        if (!missing.isEmpty()) {
            *error = QStringLiteral("%1: o token [%2] precisa de %3.").arg(path, group, missing);
            return nullptr;
        }
        tokens.append(config);
    }
    if (file.status() != QSettings::NoError) {
        *error = QStringLiteral("%1 não é um arquivo INI legível.").arg(path);
        return nullptr;
    }
    return std::make_shared<TokenSet>(tokens);
}

CertificateLookup TokenSet::find(const QString& serial, const QDateTime& now) {
    CryptoLibraries::ensure();
    const QString wanted = SigningCertificate::normalisedSerial(serial);
    CertificateLookup result;
    result.failure = CertificateFailure::NotFound;
    if (wanted.isEmpty()) {
        result.error = QStringLiteral("Número de série do certificado não informado.");
        return result;
    }
    QStringList looked, unavailable;
    CertificateFailure firstUnavailable = CertificateFailure::NotFound;
    for (const auto& token : m_tokens) {
        bool onThisToken = false;
        CertificateLookup lookup = token->find(wanted, now, &onThisToken);
        if (onThisToken || lookup.found())
            return lookup;
        if (lookup.failure == CertificateFailure::NotFound) {
            looked.append(token->describe());
        } else {
            if (unavailable.isEmpty())
                firstUnavailable = lookup.failure;
            unavailable.append(lookup.error);
        }
    }
    result.error = QStringLiteral("Certificado com número de série %1 não encontrado nos tokens").arg(wanted);
    if (!looked.isEmpty())
        result.error += QStringLiteral(" (%1)").arg(looked.join(QStringLiteral(", ")));
    result.error += u'.';
    if (!unavailable.isEmpty())
        result.error += u' ' + unavailable.join(u' ');
    // When no token could be looked at, what kept it from being looked at is
    // the failure (a token absent, a module missing).
    if (looked.isEmpty() && !unavailable.isEmpty())
        result.failure = firstUnavailable;
    return result;
}

QList<TokenEntry> TokenSet::entries() {
    CryptoLibraries::ensure();
    QList<TokenEntry> list;
    for (const auto& token : m_tokens)
        list.append(token->entry());
    return list;
}

} // namespace zavnfe
