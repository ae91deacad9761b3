#pragma once
// Where the server reaches each state's tax authority, and the terms for a
// cancellation there. Two INI tables read once at start: the one shipped in
// the server (cancellation/autoridades.ini: every state, production and
// homologation, dated) and the server's own (--authorities), which overrides
// it section by section:
//
//   [geral]
//   ca = autoridades-ca.pem     ; certificates trusted besides the system's
//                               ; store (the ICP-Brasil chains, for example)
//   conexaoMs = 5000            ; connecting, TLS handshake included
//   respostaMs = 30000          ; waiting for an answer
//   nivelSeguranca = 2          ; OpenSSL's security level (0 to 5); without
//                               ; it, the system's
//
//   [SP.2]                      ; a state and environment (1 production,
//                               ; 2 homologation); "*" stands for any
//   evento = https://host/ws/NFeRecepcaoEvento4
//   consulta = https://host/ws/NFeConsultaProtocolo4
//   status = https://host/ws/NFeStatusServico4   ; optional (zav-doctor)
//   prazoHoras = 24             ; ordinary cancellation: hours after the authorisation
//   prazoExtemporaneoHoras = 0  ; up to how many hours after the authorisation
//                               ; the state still accepts a late cancellation
//                               ; (answer 155); 0: none. prazoExtemporaneoDias
//                               ; says the same in days (not both)
//   nivelSeguranca = 1          ; this authority's, over [geral]'s
//
//   [SP]                        ; which authority serves the state
//   autorizador = SP            ; its own, or SVRS, SVAN
//   contingencia = SVC-AN       ; SVC-AN or SVC-RS
//   prazoHoras, prazoExtemporaneoHoras ; the state's own terms, over its
//                               ; authority's
//
//   [SVRS.1]                    ; an authority's services, keys as [SP.2]
//
//   [contingencia]
//   estados = SP, MG            ; states sent to their contingency authority
//
// A state is served by the server's own [UF.E], [*.E] or [*.*], the first
// found, with the terms written there; otherwise by the authority its [UF]
// names (its contingency when listed in [contingencia]), in the section
// [NAME.E] of the server's table or, without one there, of the shipped one,
// with the state's terms when [UF] gives them. Terms are counted from the
// authorisation, as the states count them. Relative file names are taken
// from the server's table's folder.
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <optional>

class QDir;
class QSettings;

namespace zavserver {

struct AuthorityEndpoints {
    QString name;          // the section that answers: "SVRS.1", "SP.2", "*.2"
    bool shipped = false;  // from the shipped table, not the server's own
    QUrl eventUrl;         // NFeRecepcaoEvento4
    QUrl statusUrl;        // NFeConsultaProtocolo4
    QUrl serviceStatusUrl; // NFeStatusServico4; may be empty in the server's own table
    int ordinaryHours = 24;
    int lateHours = 0;      // from the authorisation; 0: no late cancellation
    int securityLevel = -1; // OpenSSL's security level; -1: the system's
    int parallelLots = -1;  // batches in flight at once; -1: [geral]'s, or the default

    // Hours after the authorisation within which a cancellation is sent.
    int lastHour() const { return std::max(ordinaryHours, lateHours); }
};

class AuthorityConfig {
public:
    static constexpr int kDefaultConnectMs = 5000;
    static constexpr int kDefaultAnswerMs = 30000;
    // Batches of events in flight at once towards one authority ("lotes").
    static constexpr int kDefaultParallelLots = 4;
    static constexpr int kMaxParallelLots = 16;
    // The table built into the server.
    static constexpr const char* kShippedTable = ":/zav/autoridades.ini";

    // The shipped table, overridden by the server's own (fileName; none when
    // empty); or nothing, with *error saying what is wrong (in Portuguese,
    // naming the section and the key).
    static std::optional<AuthorityConfig> load(const QString& fileName, QString* error);
    // As load, with the shipped table read from another file (for tests).
    static std::optional<AuthorityConfig> load(const QString& shippedFile, const QString& fileName,
                                               QString* error);

    // The authority of a state ("SP") in an environment ("1"/"2"), or nullptr.
    const AuthorityEndpoints* find(const QString& state, const QString& environment) const;

    QString caFile() const { return m_caFile; }
    int connectMs() const { return m_connectMs; }
    int answerMs() const { return m_answerMs; }
    // The shipped table's date ("2025-11-05") and where its addresses come from.
    QString shippedDate() const { return m_shippedDate; }
    QString shippedSource() const { return m_shippedSource; }
    // Whether the server's own table overrides the shipped one somewhere.
    bool overridden() const { return !m_own.services.isEmpty() || !m_own.routes.isEmpty(); }

private:
    struct Route {
        QString authority;                      // "SVRS"
        QString contingency;                    // "SVC-AN"
        int ordinaryHours = -1, lateHours = -1; // the state's terms; -1: its authority's
    };
    struct Table {
        QHash<QString, AuthorityEndpoints> services; // "SP.2", "*.2", "SVRS.1"
        QHash<QString, Route> routes;                // "SP"
        std::optional<QSet<QString>> contingency;    // when the table has [contingencia]
    };
    bool read(const QString& fileName, bool shipped, Table& into, QString* error);
    // The sections of a table, one step each; false with *error.
    bool readGeneral(QSettings& s, const QDir& base, bool shipped, QString* error);
    static bool readContingency(QSettings& s, Table& into, QString* error);
    static bool readRoute(QSettings& s, const QString& group, Table& into, QString* error);
    static bool readServices(QSettings& s, const QString& key, bool shipped, Table& into, QString* error);
    std::optional<AuthorityEndpoints> resolve(const QString& uf, const QString& environment) const;

    Table m_shipped, m_own;
    QHash<QString, AuthorityEndpoints> m_resolved; // "SP.2": every state in both environments
    QSet<QString> m_contingency;                   // states sent to their contingency authority
    QString m_caFile;
    int m_connectMs = kDefaultConnectMs;
    int m_answerMs = kDefaultAnswerMs;
    int m_securityLevel = -1;
    int m_parallelLots = kDefaultParallelLots;
    QString m_shippedDate, m_shippedSource;
};

} // namespace zavserver
