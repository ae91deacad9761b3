#pragma once
// The connections the HTTP layer holds, so that no stranger can hold them:
//
// - a deadline for a request's head (the TLS handshake, the request line and
//   the headers, or the wait for the next request on a kept-alive
//   connection), counted from its start however the bytes trickle: a
//   connection still in its head after kHeadSeconds is closed (the idle
//   timeout only counts silence);
// - a reserve: once the table holds all but kReserve of its connections, each
//   new one makes room by closing a connection still in its head, the oldest
//   of the address that holds the most, so that a full table never keeps a new
//   operator out and one address's connections never push another's out.
//
// A request's body has a deadline of its own (the HTTP endpoint's), and a
// request being answered is the server's, not the client's, to finish.
//
// Connections are closed by shutting their socket down from the sweeping
// thread; the HTTP library then ends them on its own thread as any connection
// the peer closed. The table's lock is held from the library's notice of a
// connection's end until it forgets it, so a socket shut down is always the
// connection's own, never a number the system gave to a newer one.
#include <QString>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

struct MHD_Connection;

namespace zavserver {

class ConnectionTable {
public:
    static constexpr int kHeadSeconds = 10;
    static constexpr int kReserve = 16;
    using Clock = std::chrono::steady_clock;

    // headSeconds: the head's deadline (at least kHeadSeconds: a server
    // whose idle timeout is longer lets a kept-alive connection wait as long).
    ConnectionTable(int capacity, int headSeconds);
    ~ConnectionTable();
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // From the HTTP library's thread.
    void opened(MHD_Connection* connection, int socket, const QString& address);
    void closed(MHD_Connection* connection);
    // Its head is whole: the request is the endpoint's now.
    void headDone(MHD_Connection* connection);
    // Its request is over: it waits for the next one, a head again.
    void requestDone(MHD_Connection* connection);

    // Stops the sweeping thread (before the HTTP library stops).
    void stop();

    // For the log: connections closed for their head's deadline, and to make room.
    int closedLate() const { return m_closedLate; }
    int evicted() const { return m_evicted; }

private:
    struct Entry {
        int socket = -1;
        QString address;
        Clock::time_point since;
        bool inHead = true;
        bool shut = false;
    };
    void sweep();
    // Under the lock: the connection to close to make room, or null.
    MHD_Connection* victim(MHD_Connection* newcomer) const;

    const int m_capacity;
    const int m_headSeconds;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<MHD_Connection*, Entry> m_entries;
    bool m_stopping = false;
    int m_closedLate = 0;
    int m_evicted = 0;
    std::thread m_sweeper;
};

} // namespace zavserver
