#pragma once
// StopSignal: SIGTERM and SIGINT become a call of the stop function on a
// thread of this class (taken with sigwait, so nothing runs in a signal
// handler). block() must run before any other thread starts, so that every
// thread inherits the blocked signals.
#include <atomic>
#include <functional>
#include <thread>

namespace zavauthority {

class StopSignal {
public:
    static void block();

    explicit StopSignal(std::function<void()> stop);
    ~StopSignal(); // ends the watching thread
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    int signalNumber() const { return m_signal; }

private:
    void watch();

    std::function<void()> m_stop;
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_signal{0};
    std::thread m_thread;
};

} // namespace zavauthority
