#pragma once
// A failure of the database (preparing or running a statement, opening the
// connection) or of a dataset used wrongly (an unknown field or parameter, a
// closed dataset). The text is meant for the host's general error display.
#include "services/exceptions.h"
#include "zavhost_export.h"

class ZAVHOST_EXPORT EDatabaseError : public EZavError {
public:
    explicit EDatabaseError(const QString& text);
};
