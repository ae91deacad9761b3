#include "stopsignal.h"

#include <chrono>
#include <csignal>
#include <pthread.h>

namespace zavcommon {

namespace {

// SIGUSR1 only wakes the watching thread when the process ends by itself.
sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    return set;
}

} // namespace

void StopSignal::block() {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that goes away while its answer is written must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

StopSignal::StopSignal(std::function<bool()> isRunning, std::function<void()> stop)
    : m_isRunning(std::move(isRunning)), m_stop(std::move(stop)), m_thread([this] { watch(); }) {}

StopSignal::~StopSignal() {
    m_finished = true;
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
}

void StopSignal::watch() {
    const sigset_t set = watchedSignals();
    int signal = 0;
    while (!m_finished) {
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
            continue;
        m_signal = signal;
        m_requested = true;
        while (!m_finished && !m_isRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!m_finished)
            m_stop();
        return;
    }
}

} // namespace zavcommon
