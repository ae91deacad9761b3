#pragma once
// StopSignal: SIGTERM and SIGINT become one call of a stop function, made on a
// thread of this class that takes the signals with sigwait, so that nothing
// runs in a signal handler. block() must run before any other thread starts,
// so that every thread inherits the blocked signals.
//
// A signal may come before what it stops serves (between bind and listen, say):
// the thread then waits until isRunning() says it serves, or until the
// StopSignal is destroyed, and calls stop exactly once. Both run on the
// watching thread; a stop meant for a Qt object's thread is posted there
// (QMetaObject::invokeMethod with a queued connection).
#include <atomic>
#include <functional>
#include <thread>

namespace zavcommon {

class StopSignal {
public:
    static void block();

    StopSignal(std::function<bool()> isRunning, std::function<void()> stop);
    ~StopSignal(); // ends the watching thread
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Whether a signal came, and which (0 while none has).
    bool stopRequested() const { return m_requested; }
    int signalNumber() const { return m_signal; }

private:
    void watch();

    std::function<bool()> m_isRunning;
    std::function<void()> m_stop;
    std::atomic<bool> m_requested{false};
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_signal{0};
    std::thread m_thread;
};

} // namespace zavcommon
