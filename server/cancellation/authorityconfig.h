#pragma once
// Where the server reaches each state's tax authority, and the terms for a
// cancellation there: a table read once at start from an INI file (the
// server's --authorities option).
//
//   [geral]
//   ca = autoridades-ca.pem     ; the authorities' TLS certificates are checked
//                               ; against it (without it: the system's store)
//   conexaoMs = 5000            ; connecting, TLS handshake included
//   respostaMs = 30000          ; waiting for an answer
//
//   [SP.2]                      ; state and environment (1 production,
//                               ; 2 homologation); "*" stands for any
//   evento = https://host/ws/NFeRecepcaoEvento4
//   consulta = https://host/ws/NFeConsultaProtocolo4
//   prazoHoras = 24             ; ordinary cancellation: hours after the authorisation
//   prazoExtemporaneoDias = 0   ; beyond it, days in which the state still
//                               ; accepts a late cancellation (answer 155)
//
// Relative file names are taken from the INI's folder. A section for the
// state wins over "*.<environment>", which wins over "*.*".
#include <QHash>
#include <QString>
#include <QUrl>

#include <optional>

namespace zavserver {

struct AuthorityEndpoints {
    QUrl eventUrl;  // NFeRecepcaoEvento4
    QUrl statusUrl; // NFeConsultaProtocolo4
    int ordinaryHours = 24;
    int lateDays = 0;
};

class AuthorityConfig {
public:
    static constexpr int kDefaultConnectMs = 5000;
    static constexpr int kDefaultAnswerMs = 30000;

    // The table of an INI file, or nothing with *error saying what is wrong
    // (in Portuguese, naming the section and the key).
    static std::optional<AuthorityConfig> load(const QString& fileName, QString* error);

    // The authority of a state ("SP") in an environment ("1"/"2"), or nullptr.
    const AuthorityEndpoints* find(const QString& state, const QString& environment) const;

    QString caFile() const { return m_caFile; }
    int connectMs() const { return m_connectMs; }
    int answerMs() const { return m_answerMs; }
    bool empty() const { return m_endpoints.isEmpty(); }

private:
    QHash<QString, AuthorityEndpoints> m_endpoints; // "SP.2", "*.2", "*.*"
    QString m_caFile;
    int m_connectMs = kDefaultConnectMs;
    int m_answerMs = kDefaultAnswerMs;
};

} // namespace zavserver
