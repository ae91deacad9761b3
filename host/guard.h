#pragma once
// The one guard at every entry point from Qt into screen code. Handlers throw;
// Qt must never see an exception. The silent abort is swallowed, any other
// exception is handed to the host's general error display.
#include "zavhost_export.h"
#include <QString>
#include <exception>
#include <functional>

namespace zav {

// Runs f; returns true when it ended normally, false when it threw.
ZAVHOST_EXPORT bool guarded(const std::function<void()>& f) noexcept;

// The text the general error display shows for an exception in flight.
ZAVHOST_EXPORT QString describe(const std::exception& e);

} // namespace zav
