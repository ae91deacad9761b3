#pragma once
// TokenSet: the PKCS#11 tokens (A3 certificates: smart cards, USB tokens,
// HSMs) whose certificates sign events and open mutual TLS, the key used
// where it is and never read out. Each token is named by its module (the
// library path of its maker's PKCS#11 module) and by its label or serial;
// its user PIN comes from a file only its owner may read, as the A1
// passwords do (fiscal/secretfile.h).
//
// One TokenSet serves every thread of a process. A module is loaded once
// for the whole process and stays loaded: TokenSets of one module share it. Each module is loaded once
// and each token logged in once; the sessions of its key are taken from
// libp11's pool, one per signature in progress, so threads sign at once as
// far as the token itself allows (a card does one operation at a time). A
// certificate found is kept with its key until the token fails: a token
// removed, logged out or refusing the key is opened again on the next
// look-up. A PIN the token refused is never tried again until its file
// changes: a token locks itself after a few wrong PINs.
#include "certificatestore.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

namespace zavnfe {

struct TokenConfig {
    QString name;    // how the configuration calls it, for messages
    QString module;  // the PKCS#11 module's library path
    QString label;   // the token's label, or
    QString serial;  // its serial number (either names it; both must match when both are given)
    QString pinFile; // the user PIN, on the file's first line
};

// One token as it is now, for the people running the server.
struct TokenEntry {
    QString name, module;
    QString slot;                         // the slot's (reader's) description; empty when the token is absent
    QString label, serial;                // as the token says them
    QString error;                        // why the token or its certificates could not be listed
    QList<CertificateEntry> certificates; // CertificateEntry::file names the token
};

class TokenSet {
public:
    explicit TokenSet(const QList<TokenConfig>& tokens);
    ~TokenSet();
    TokenSet(const TokenSet&) = delete;
    TokenSet& operator=(const TokenSet&) = delete;

    // The tokens of a configuration file, one section each:
    //   [empresa01]
    //   modulo = /usr/lib/softhsm/libsofthsm2.so
    //   rotulo = ZAV A3            (or serie = ...)
    //   pin = /etc/zav/tokens/empresa01.pin
    // A relative path is taken from the file's folder. Null with *error when
    // the file cannot be read or a section lacks what it needs.
    static std::shared_ptr<TokenSet> load(const QString& path, QString* error);

    bool isEmpty() const { return m_tokens.empty(); }
    QList<TokenConfig> configs() const;

    // The certificate with that serial among the tokens' certificates, with
    // its key on the token, checked to sign now. NotFound when no token
    // present holds it (the error says which tokens were looked at and which
    // are absent); the other failures name the token and what to do.
    CertificateLookup find(const QString& serial, const QDateTime& now = QDateTime::currentDateTimeUtc());

    // Every token with its certificates (read without a PIN).
    QList<TokenEntry> entries();

    class Module;
    class Token;

private:
    std::vector<std::shared_ptr<Token>> m_tokens;
};

} // namespace zavnfe
