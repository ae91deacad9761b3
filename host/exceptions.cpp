#include "exceptions.h"

const char* EAbort::what() const noexcept {
    return "operation aborted";
}

EZavError::EZavError(const QString& text) : std::runtime_error(text.toStdString()), m_text(text) {}

void Abort() {
    throw EAbort();
}
