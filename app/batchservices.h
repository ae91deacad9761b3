#pragma once
// Host services for unattended runs (--screenshot): nothing waits for an
// operator; every message goes to the standard error stream.
#include "hostservices.h"

// Nobody is there to answer: a question is written down and taken as yes.
class BatchServices : public HostServices {
public:
    ZAV_HOST_SERVICES;
};
