#pragma once
// StatusConsultation: the NFeConsultaProtocolo4 service. Takes a consSitNFe
// and answers retConsSitNFe with the NF-e's state, its authorisation and
// every event registered for it, each as procEventoNFe: the way a sender
// recovers an event whose answer it never received.
#include "authorityrecord.h"
#include "eventreception.h"

namespace zavauthority {

class StatusConsultation {
public:
    StatusConsultation(AuthorityRecord& record, int environment)
        : m_record(record), m_environment(environment) {}

    ServiceAnswer process(const QByteArray& consSitNFe, const QDateTime& now) const;
    // The query refused with status before anything in it is looked at.
    ServiceAnswer refuse(const QByteArray& consSitNFe, int status, const QDateTime& now) const;

private:
    AuthorityRecord& m_record;
    int m_environment;
};

} // namespace zavauthority
