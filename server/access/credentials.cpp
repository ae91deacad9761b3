#include "access/credentials.h"

#include <sodium.h>

#include <QRegularExpression>

#include <semaphore>

namespace zavserver::credentials {

namespace {

// Two Argon2id computations at a time: each takes the interactive memory
// limit (64 MiB).
std::counting_semaphore<2> g_hashing(2);

class HashingSlot {
public:
    HashingSlot() { g_hashing.acquire(); }
    ~HashingSlot() { g_hashing.release(); }
    HashingSlot(const HashingSlot&) = delete;
    HashingSlot& operator=(const HashingSlot&) = delete;
};

void ensureSodium() {
    static const int ready = sodium_init();
    if (ready < 0)
        throw AccessError(QStringLiteral("Não foi possível iniciar a biblioteca de criptografia."));
}

} // namespace

QString operatorCode(const QString& typed) {
    QString code = typed.trimmed().toUpper();
    static const QRegularExpression shape(QStringLiteral("^[A-Z0-9._-]{1,30}$"));
    if (code.isEmpty())
        throw AccessError(QStringLiteral("Informe o operador."));
    if (!shape.match(code).hasMatch())
        throw AccessError(QStringLiteral("Operador inválido: use de 1 a %1 letras (sem acento), algarismos, "
                                         "'.', '_' ou '-'.")
                              .arg(kMaxOperatorLength));
    return code;
}

void checkNewPassword(const QString& password) {
    if (password.size() < kMinPasswordLength)
        throw AccessError(QStringLiteral("A senha deve ter ao menos %1 caracteres.").arg(kMinPasswordLength));
    if (password.toUtf8().size() > kMaxPasswordBytes)
        throw AccessError(QStringLiteral("A senha deve ter no máximo %1 bytes.").arg(kMaxPasswordBytes));
    for (const QChar c : password)
        if (c.category() == QChar::Other_Control)
            throw AccessError(QStringLiteral("A senha não pode ter caracteres de controle."));
}

QString hashPassword(const QString& password) {
    ensureSodium();
    const QByteArray bytes = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    HashingSlot slot;
    if (crypto_pwhash_str(out, bytes.constData(), quint64(bytes.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw AccessError(QStringLiteral("Sem memória para guardar a senha; tente de novo."));
    return QString::fromLatin1(out);
}

bool verifyPassword(const QString& stored, const QString& password) {
    ensureSodium();
    const QByteArray hash = stored.toLatin1();
    const QByteArray bytes = password.toUtf8();
    if (bytes.size() > kMaxPasswordBytes || hash.size() >= crypto_pwhash_STRBYTES ||
        !hash.startsWith(crypto_pwhash_argon2id_STRPREFIX))
        return false;
    HashingSlot slot;
    return crypto_pwhash_str_verify(hash.constData(), bytes.constData(), quint64(bytes.size())) == 0;
}

void verifyNothing(const QString& password) {
    // A hash of a password nobody has, made once.
    static const QString nobody = hashPassword(QString::fromLatin1(newToken()));
    verifyPassword(nobody, password);
}

QByteArray newToken() {
    ensureSodium();
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    return QByteArray(reinterpret_cast<const char*>(random), sizeof random)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool looksLikeToken(const QByteArray& token) {
    if (token.size() != kTokenLength)
        return false;
    for (const char c : token)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '_'))
            return false;
    return true;
}

QString tokenDigest(const QByteArray& token) {
    ensureSodium();
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.constData()),
                       quint64(token.size()));
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex());
}

QString newHandle() {
    ensureSodium();
    unsigned char random[8];
    randombytes_buf(random, sizeof random);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex());
}

} // namespace zavserver::credentials
