#include "terminationwatcher.h"
#include "rpc/httpendpoint.h"

#include <chrono>
#include <csignal>
#include <pthread.h>

namespace zavserver {

namespace {

// SIGUSR1 only wakes the watching thread when the server ends by itself.
sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    return set;
}

} // namespace

void TerminationWatcher::block() {
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that goes away while its answer is written must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
}

TerminationWatcher::TerminationWatcher(HttpEndpoint& endpoint)
    : m_endpoint(endpoint), m_thread([this] { watch(); }) {}

TerminationWatcher::~TerminationWatcher() {
    m_finished = true;
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
}

void TerminationWatcher::watch() {
    const sigset_t set = terminationSignals();
    int signal = 0;
    while (!m_finished) {
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
            continue;
        m_signal = signal;
        m_requested = true;
        // The signal may come between bind and serve: wait until the endpoint
        // serves (or the main thread gave up) and stop it exactly once.
        while (!m_finished && !m_endpoint.isRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!m_finished)
            m_endpoint.stop();
        return;
    }
}

} // namespace zavserver
