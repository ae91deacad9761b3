#pragma once
// EventReception: the NFeRecepcaoEvento4 service. Takes an envEvento, checks
// the batch (schema, every signature and its certificate's CNPJ against the
// event's author) and then each event on its own, and answers retEnvEvento:
// cStat 128 with one retEvento per event, matched by chNFe, or a rejection of
// the whole batch with no retEvento.
#include "authoritymessages.h"
#include "authorityrecord.h"
#include "signaturecheck.h"

#include <QByteArray>
#include <QString>

#include <vector>

#include <libxml/tree.h>

struct stack_st_X509;

namespace zavauthority {

struct ServiceAnswer {
    QByteArray payload; // the message for nfeResultMsg
    QString summary;    // what the log shows of it
};

class EventReception {
public:
    static constexpr const char* kApplication = "ZAV-AUT-LOCAL_1.00";
    // How far in the future of the authority's clock an event may be dated.
    static constexpr int kClockToleranceSeconds = 5 * 60;

    EventReception(AuthorityRecord& record, const SignatureCheck& signatures, const Terms& terms,
                   int environment)
        : m_record(record), m_signatures(signatures), m_terms(terms), m_environment(environment) {}

    // intermediates: the certificates the sender presented in the TLS
    // handshake besides its own, which may complete a signer's chain.
    ServiceAnswer process(const QByteArray& envEvento, const QDateTime& now,
                          stack_st_X509* intermediates = nullptr) const;
    // The whole batch refused with status before anything in it is looked at
    // (edit characters in the message, the service paused).
    ServiceAnswer refuse(const QByteArray& envEvento, int status) const;

private:
    struct Incoming; // one evento as the batch carries it

    // The answer's head before anything of the batch is read.
    zavnfe::RetEnvEventoData head() const;
    static std::vector<Incoming> readEvents(xmlNode* root);
    // The status an event's own fields refuse it with; 0 when they pass.
    int refusal(const Incoming& in, const QDateTime& at, const QDateTime& now) const;
    // The decision on one event of a batch whose signatures all verified,
    // with its retEvento.
    Decision answer(const Incoming& in, const QString& batchOrgan, const QDateTime& now) const;

    AuthorityRecord& m_record;
    const SignatureCheck& m_signatures;
    Terms m_terms;
    int m_environment;
};

} // namespace zavauthority
