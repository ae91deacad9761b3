#pragma once
// The authority's answer codes (cStat) and their official texts (xMotivo), as
// the taxpayer's guidance manual lists them.
#include "vocabulary.h"

#include <QString>

namespace zavauthority {

// The codes are the NF-e vocabulary's (nfe/vocabulary.h), named here as there.
using StatusCode = zavnfe::AnswerCode;
using enum zavnfe::AnswerCode;

class StatusCodes {
public:
    // The official text of the code; detail, when given, is added in
    // brackets and the whole cut to the 255 characters xMotivo holds.
    static QString text(int code, const QString& detail = QString());
};

} // namespace zavauthority
