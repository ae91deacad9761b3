#include "rpc/connectiontable.h"

#include <QHash>

#include <sys/socket.h>

namespace zavserver {

ConnectionTable::ConnectionTable(int capacity, int headSeconds)
    : m_capacity(capacity), m_headSeconds(headSeconds) {
    m_sweeper = std::thread([this] { sweep(); });
}

ConnectionTable::~ConnectionTable() {
    stop();
}

void ConnectionTable::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_sweeper.joinable())
        m_sweeper.join();
}

void ConnectionTable::opened(MHD_Connection* connection, int socket, const QString& address) {
    std::lock_guard lock(m_mutex);
    m_entries[connection] = Entry{socket, address, Clock::now(), true, false};
    if (int(m_entries.size()) < m_capacity - kReserve)
        return;
    if (MHD_Connection* out = victim(connection)) {
        Entry& e = m_entries[out];
        e.shut = true;
        ::shutdown(e.socket, SHUT_RDWR);
        ++m_evicted;
    }
}

void ConnectionTable::closed(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    m_entries.erase(connection);
}

void ConnectionTable::headDone(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_entries.find(connection); it != m_entries.end())
        it->second.inHead = false;
}

void ConnectionTable::requestDone(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_entries.find(connection); it != m_entries.end()) {
        it->second.inHead = true;
        it->second.since = Clock::now();
    }
}

MHD_Connection* ConnectionTable::victim(MHD_Connection* newcomer) const {
    QHash<QString, int> perAddress;
    for (const auto& [c, e] : m_entries)
        if (!e.shut)
            ++perAddress[e.address];
    MHD_Connection* chosen = nullptr;
    int chosenCount = 0;
    Clock::time_point chosenSince;
    for (const auto& [c, e] : m_entries) {
        if (c == newcomer || !e.inHead || e.shut)
            continue;
        const int n = perAddress.value(e.address);
        if (!chosen || n > chosenCount || (n == chosenCount && e.since < chosenSince)) {
            chosen = c;
            chosenCount = n;
            chosenSince = e.since;
        }
    }
    return chosen;
}

void ConnectionTable::sweep() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait_for(lock, std::chrono::milliseconds(500));
        const Clock::time_point late = Clock::now() - std::chrono::seconds(m_headSeconds);
        for (auto& [c, e] : m_entries)
            if (e.inHead && !e.shut && e.since < late) {
                e.shut = true;
                ::shutdown(e.socket, SHUT_RDWR);
                ++m_closedLate;
            }
    }
}

} // namespace zavserver
