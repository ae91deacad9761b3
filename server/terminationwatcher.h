#pragma once
// Turns SIGTERM and SIGINT into a clean stop of the endpoint: no new calls are
// accepted, the calls in progress are answered, and the process exits with 0.
// The signals are blocked in every thread (block() must run before any thread
// starts) and taken by one thread of this class with sigwait, so nothing
// runs in a signal handler.
#include <atomic>
#include <thread>

namespace zavserver {

class HttpEndpoint;

class TerminationWatcher {
public:
    static void block();

    explicit TerminationWatcher(HttpEndpoint& endpoint);
    ~TerminationWatcher(); // ends the watching thread
    TerminationWatcher(const TerminationWatcher&) = delete;
    TerminationWatcher& operator=(const TerminationWatcher&) = delete;

    // Whether a signal came, possibly before the endpoint started serving.
    bool stopRequested() const { return m_requested; }
    int signalNumber() const { return m_signal; }

private:
    void watch();

    HttpEndpoint& m_endpoint;
    std::atomic<bool> m_requested{false};
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_signal{0};
    std::thread m_thread;
};

} // namespace zavserver
