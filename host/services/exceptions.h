#pragma once
// Failures travel as exceptions. EAbort is the silent one: whoever raises it has
// already told the operator (MensErro) and only wants the current operation to
// stop. Anything else is a real error and ends at the host's general display.
#include "texterror.h"
#include "zavhost_export.h"
#include <QString>
#include <exception>

class ZAVHOST_EXPORT EAbort : public std::exception {
public:
    const char* what() const noexcept override;
};

class ZAVHOST_EXPORT EZavError : public zavcommon::TextError {
public:
    explicit EZavError(const QString& text);
};

// Throws the silent abort.
[[noreturn]] ZAVHOST_EXPORT void Abort();
