#include "terminationwatcher.h"
#include "httpendpoint.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

namespace zavserver {

namespace {

sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void TerminationWatcher::block() {
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that goes away while its answer is written must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
}

TerminationWatcher::TerminationWatcher(HttpEndpoint& endpoint) : m_endpoint(endpoint), m_thread([this] { watch(); }) {}

TerminationWatcher::~TerminationWatcher() {
    m_finished = true;
    m_thread.join();
}

void TerminationWatcher::watch() {
    const sigset_t set = terminationSignals();
    const timespec tick{0, 100 * 1000 * 1000};
    while (!m_finished) {
        const int signal = sigtimedwait(&set, nullptr, &tick);
        if (signal <= 0)
            continue;
        m_signal = signal;
        m_requested = true;
        // The signal may come between bind and serve: wait until the endpoint
        // serves (or the main thread gave up) and stop it exactly once.
        while (!m_finished && !m_endpoint.isRunning()) {
            const timespec pause{0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        if (!m_finished)
            m_endpoint.stop();
        return;
    }
}

} // namespace zavserver
