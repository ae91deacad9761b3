#include "exceptions.h"

const char* EAbort::what() const noexcept {
    return "operation aborted";
}

EZavError::EZavError(const QString& text) : TextError(text) {}

void Abort() {
    throw EAbort();
}
