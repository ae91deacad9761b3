#pragma once
// Passwords and session tokens. A password is kept only as libsodium's
// Argon2id string (salted, slow: about 64 MiB and a few tens of milliseconds
// per check), and at most two are hashed or checked at once in a process, so
// a burst of sign-ins cannot take the server's memory. A token is 32 random
// bytes in base64url; the database keeps only its SHA-256.
#include "texterror.h"

#include <QByteArray>
#include <QString>

namespace zavserver {

// A refusal to show the caller as it stands (Portuguese).
class AccessError : public zavcommon::TextError {
public:
    using TextError::TextError;
};

namespace credentials {

inline constexpr int kMinPasswordLength = 8;  // characters
inline constexpr int kMaxPasswordBytes = 128; // UTF-8 bytes
inline constexpr int kTokenLength = 43;       // base64url of 32 bytes, no padding
inline constexpr int kMaxOperatorLength = 30;

// The operator's code as kept: trimmed and in capitals. Throws AccessError for
// an empty code, one longer than 30 characters, or one with anything but
// letters A-Z, digits, '.', '_' and '-'.
QString operatorCode(const QString& typed);

// Throws AccessError when a new password is too short, too long or holds a
// control character.
void checkNewPassword(const QString& password);

// The Argon2id string of a password. Throws AccessError when the system cannot
// spare the memory.
QString hashPassword(const QString& password);
// Whether the password matches the stored string; false for a string that is
// not one of ours. A password over kMaxPasswordBytes never matches (and is
// not hashed).
bool verifyPassword(const QString& stored, const QString& password);
// Spends what a check spends, for an operator that does not exist, so that
// the answer's time does not tell which operators exist.
void verifyNothing(const QString& password);

// A new session token, and the digest the database keeps of it.
QByteArray newToken();
// Whether a text has a token's form (checked before any database lookup).
bool looksLikeToken(const QByteArray& token);
QString tokenDigest(const QByteArray& token);
// A random handle of 16 hexadecimal digits.
QString newHandle();

} // namespace credentials
} // namespace zavserver
