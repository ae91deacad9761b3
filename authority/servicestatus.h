#pragma once
// ServiceStatus: the NFeStatusServico4 service. Takes a consStatServ and
// answers retConsStatServ: 107 in operation, or the pause the command line
// asked for (108 for a short while, 109 without a forecast).
#include "eventreception.h"

namespace zavauthority {

class ServiceStatus {
public:
    // pausedStatus: 0 in operation, else 108 or 109.
    ServiceStatus(int environment, int pausedStatus) : m_environment(environment), m_paused(pausedStatus) {}

    ServiceAnswer process(const QByteArray& consStatServ, const QDateTime& now) const;
    // The query refused with status before anything in it is looked at.
    ServiceAnswer refuse(const QByteArray& consStatServ, int status, const QDateTime& now) const;

private:
    ServiceAnswer answer(xmlNode* root, int status, const QString& detail, const QDateTime& now) const;

    int m_environment;
    int m_paused;
};

} // namespace zavauthority
