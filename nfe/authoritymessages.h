#pragma once
// The messages exchanged with the authority's event, status and service
// status services: what the client reads from its answers (retEnvEvento,
// retConsSitNFe, retConsStatServ), the queries it sends (consSitNFe,
// consStatServ), the stored result of an event (procEventoNFe), and what the
// authority writes back (retEvento, retEnvEvento, retConsSitNFe,
// retConsStatServ).
#include "xmlhandles.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace zavnfe {

struct EventResult {
    QString accessKey; // chNFe: answers are matched to events by it, never by position
    int status = 0;
    QString statusText, protocol, registeredAt, application;
    QByteArray retEventoXml; // the retEvento element, serialised on its own
};
// What every answer of the authority says of itself: cStat, xMotivo, verAplic.
struct AnswerStatus {
    int status = 0;
    QString statusText, application;
};

struct BatchAnswer : AnswerStatus {
    std::vector<EventResult> events;
};

// Client side: parse retEnvEvento; nullopt + *error when it is not one.
std::optional<BatchAnswer> parseRetEnvEvento(const QByteArray& xml, QString* error);

// consSitNFe versao 4.00 asking for the state and events of one NF-e.
QByteArray consSitNFe(int environment, const QString& accessKey);

struct StatusAnswer : AnswerStatus {
    std::vector<QByteArray> procEventos; // each procEventoNFe serialised on its own
};
std::optional<StatusAnswer> parseRetConsSitNFe(const QByteArray& xml, QString* error);

// consStatServ versao 4.00: is the service of the state (cUF, its IBGE code)
// in operation for the environment?
QByteArray consStatServ(int environment, const QString& stateCode);

// retConsStatServ versao 4.00: cStat 107 in operation, 108 paused for a
// short while, 109 paused without a forecast; tMed (seconds) and dhRetorno
// only when the authority gives them. An answer outside the published schema
// (retConsStatServ_v4.00.xsd) is refused with the schema's first message.
struct ServiceStatusAnswer : AnswerStatus {
    int environment = 0;
    QString stateCode, receivedAt, returnAt, observation;
    std::optional<int> averageSeconds; // tMed
};
std::optional<ServiceStatusAnswer> parseRetConsStatServ(const QByteArray& xml, QString* error);

// procEventoNFe versao 1.00 = the signed evento (bytes from the signed
// envEvento, unchanged) + retEvento; empty when either is not well-formed XML
// with the expected root.
QByteArray procEventoNFe(const QByteArray& signedEvento, const QByteArray& retEvento);

// The signed evento of one access key taken from a signed envEvento,
// serialised without changing the signed content: the namespaces in scope
// where it was signed are declared on it, nothing inside is touched. Empty
// when the batch holds no evento for that key.
QByteArray eventoOf(const QByteArray& signedEnvEvento, const QString& accessKey);

// What a signed envEvento of one event says of it (as the server journals
// it): the batch's idLote, and its event's chNFe, tpEvento, dhEvento, and
// detEvento's nProt and xJust. Nullopt when it is not an envEvento with an
// evento.
struct SignedEventFields {
    QString batchId, accessKey, eventType, eventAt, protocol, reason;
};
std::optional<SignedEventFields> readSignedEnvEvento(const QByteArray& xml);

// What a procEventoNFe says of itself: its event's dhEvento and xJust, and
// its retEvento's fields (tpEvento in eventType). Nullopt when it is not a
// procEventoNFe with a retEvento.
struct ProcEventoFields {
    QString eventAt, reason, eventType;
    EventResult answer; // retEventoXml left empty
};
std::optional<ProcEventoFields> readProcEventoNFe(const QByteArray& xml);

// ---- The authority's side -------------------------------------------------

// One retEvento (versao 1.00). protocol and the Id are left out when empty
// (a rejection has no protocol).
struct RetEventoData {
    int environment = 0;
    QString application, orgao;
    int status = 0;
    QString statusText, accessKey, eventType, eventDescription;
    int sequence = 0;
    QString registeredAt, protocol;
};
QByteArray retEvento(const RetEventoData& data);

// retEnvEvento versao 1.00 around the retEvento elements given, in order.
struct RetEnvEventoData {
    QString batchId;
    int environment = 0;
    QString application, orgao;
    int status = 0;
    QString statusText;
};
QByteArray retEnvEvento(const RetEnvEventoData& data, const std::vector<QByteArray>& retEventos);

// retConsSitNFe versao 4.00. protNFe is written when authorisationProtocol is
// set; each procEventoNFe is placed as it is given.
struct RetConsSitNFeData {
    int environment = 0;
    QString application;
    int status = 0;
    QString statusText, stateCode, receivedAt, accessKey;
    QString authorisationProtocol, authorisedAt;
    int authorisationStatus = 0;
    QString authorisationText;
};
QByteArray retConsSitNFe(const RetConsSitNFeData& data, const std::vector<QByteArray>& procEventos);

// retConsStatServ versao 4.00; tMed is written when averageSeconds is set.
QByteArray retConsStatServ(const ServiceStatusAnswer& data);

// ---- XML helpers shared by Soap and the authority -------------------------

// Where a message has an edit character that the authorities refuse
// (rejection 588): a blank, tab, CR or LF before its first tag or after its
// last, or a text between two tags made of nothing else. -1 when it has none.
qsizetype editCharacterAt(const QByteArray& xml);

// A document that came over the network: no DTD (refused), no network access,
// no entity expansion, whitespace kept. Null with *error on failure.
XmlDoc parseUntrusted(const QByteArray& xml, QString* error);

// The element serialised as a document of its own (no XML declaration), with
// its namespaces declared on it. With inScope, every namespace declared by
// its ancestors is declared on it as well, as inclusive canonicalisation saw
// it there, so that a signature made in that context still verifies.
QByteArray standaloneElement(xmlNode* element, bool inScope);

// The first child element / next sibling element named so in the namespace
// (any element when name is null).
xmlNode* childElement(xmlNode* parent, const char* name, const char* ns);
xmlNode* nextElement(xmlNode* node, const char* name, const char* ns);
QString elementText(xmlNode* element);
// The text of the first child element so named in the NF-e namespace.
QString childText(xmlNode* parent, const char* name);
QString attribute(xmlNode* element, const char* name);

} // namespace zavnfe
