#pragma once
// The one guard at every entry point from Qt into screen code. Handlers throw;
// Qt must never see an exception. The silent abort is swallowed, any other
// exception is handed to the host's general error display.
#include "zavhost_export.h"
#include <QString>
#include <exception>
#include <functional>
#include <utility>

namespace zav {

// Runs f; returns true when it ended normally, false when it threw.
ZAVHOST_EXPORT bool guarded(const std::function<void()>& f) noexcept;

// Cleanup that must run however a block ends, normally or by an exception: f
// runs when the object goes out of scope. A failure of the cleanup itself is
// handed to the general error display (it must not end the program while
// another exception is in flight).
template <class F> class Finally {
public:
    explicit Finally(F f) : m_f(std::move(f)) {}
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;
    ~Finally() { guarded(m_f); }

private:
    F m_f;
};

// The text the general error display shows for an exception in flight.
ZAVHOST_EXPORT QString describe(const std::exception& e);

} // namespace zav
