#pragma once
// The HTTP side of the server, on libmicrohttpd: POST /ZAV50000.rdmCancelaNFE
// carries JSON-RPC calls, GET /health answers whether the server and its
// database work, GET /metrics (to the addresses named for it) what it counts. HTTPS (TLS 1.2 or newer) unless
// --plain-http on loopback.
//
// One event-driven thread holds every connection; a request reaches a worker
// (WorkerPool, each with its own database connection) only once it has come
// whole, its connection suspended meanwhile. So an idle kept-alive connection,
// or one that sends its request a byte at a time, holds no worker; a connection
// that sends nothing for the idle timeout is closed; headers are bounded by the
// connection's memory limit, connections in all and per address by limits of
// their own; a body is bounded before it is read, and while it is read.
//
// What a request must be before anything is spent on it: its Host one of the
// server's names (no DNS rebinding), no Origin (no web page's call), a POST
// body declared application/json or application/cbor (415 otherwise). The
// answer is the method's, whole: no Range, no CORS, nothing transformed.
//
// A large answer (a list) leaves as it is written: once its first piece is
// ready the worker's connection is resumed and the answer goes out chunked,
// fed through a bounded queue (the worker waits while it is full, so a
// request holds a bounded amount of memory however long its list). A failure
// after the first piece ends the answer unfinished (no last chunk): the client
// sees a broken answer, never a short list passed off as whole. A client that
// goes away stops the method at its next row.
#include "log/calllog.h"
#include "rpc/rpcdispatcher.h"
#include "serveroptions.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct MHD_Daemon;
struct MHD_Connection;

namespace zavserver {

class ConnectionTable;
class RpcDispatcher;
class WorkerPool;

class HttpEndpoint {
public:
    HttpEndpoint(const ServerOptions& options, const RpcDispatcher& dispatcher, CallLog& log);
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    // What /health says besides whether the database answers (certificates
    // about to expire, say); called on worker threads.
    void setHealthNotes(std::function<QStringList()> notes) { m_healthNotes = std::move(notes); }
    // The PKCS#11 tokens /health lists ("tokens"), when the server has any.
    void setHealthTokens(std::function<QJsonArray()> tokens) { m_healthTokens = std::move(tokens); }
    // The answer of GET /metrics (Prometheus text); called on a worker thread.
    void setMetrics(std::function<QByteArray()> metrics) { m_metrics = std::move(metrics); }
    // What a stop does once its grace is over: break off the exchanges still
    // waiting on an authority.
    void setOnCut(std::function<void()> cut) { m_onCut = std::move(cut); }

    // Starts listening; the port bound (the one asked, or a free one for port
    // 0), or -1 with the reason in *why.
    int bind(QString* why = nullptr);
    // Serves until stop(); returns once every call in progress has been
    // answered and the worker threads have ended.
    bool run();
    bool isRunning() const;
    void stop();

    struct Request; // one request's state, from its first line to its answer

    // The largest body read before its session is checked: every sign-in,
    // list and question fits; only a cancellation carries more.
    static constexpr qint64 kOpenBodyBytes = RpcDispatcher::kOpenBodyBytes;

    // For the HTTP library's callbacks: each call made for a request (its
    // head, each piece of its body, its end, its resumption), true to go on;
    // and its end, answered or not.
    bool handle(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
                size_t* uploadSize, Request*& request);
    void completed(MHD_Connection* connection, Request* request);
    // A connection opened or closed.
    void connectionChanged(MHD_Connection* connection, bool opened);

private:
    // The head's checks; false when the request was answered with a refusal.
    bool admit(MHD_Connection* connection, const char* url, const char* method, Request& request);
    // What a call's head decides of its body: read as it comes (a small
    // one), or after its session is found open (a large one, within the
    // bodies read at once), or refused.
    void beforeBody(MHD_Connection* connection, Request& request);
    // The large body's session checked on a worker, the connection suspended.
    void probeSession(MHD_Connection* connection, Request& request);
    bool refuseBeforeBody(MHD_Connection* connection, Request& request);
    // A piece of a body, within the limits; false closes the connection.
    bool takePiece(MHD_Connection* connection, Request& request, const char* data, size_t* size);
    qint64 bodiesLimit() const;
    // Counts an admitted request as in progress until it is completed.
    void admitted(Request& request);
    // Answers on this thread what needs no worker (the progress of a running
    // call); false when the request must go to a worker.
    bool answerAtOnce(MHD_Connection* connection, Request& request);
    // Runs the request on a worker; its connection waits suspended.
    bool dispatchToWorker(MHD_Connection* connection, Request& request);
    // The workers of a request's kind and lane.
    WorkerPool& poolFor(const Request& request) const;
    static constexpr int kSignInThreads = 2;
    void serve(Request& request, MHD_Connection* connection);
    // Drops one holder of the request (its connection, its worker); the last deletes it.
    static void release(Request* request);
    void answerCall(Request& request, MHD_Connection* connection);
    void answerHealth(Request& request);
    void answerMetrics(Request& request);

    // Answers held back (a guessed sign-in) without holding a worker: their
    // connections stay suspended until their time, or until flush (a stop).
    class HeldAnswers {
    public:
        HeldAnswers();
        ~HeldAnswers();
        HeldAnswers(const HeldAnswers&) = delete;
        HeldAnswers& operator=(const HeldAnswers&) = delete;
        // False when answers are no longer held (the stop): send it now.
        bool hold(MHD_Connection* connection, Request* request, int delayMs);
        void flush();

    private:
        using Clock = std::chrono::steady_clock;
        struct Held {
            MHD_Connection* connection;
            Request* request;
        };
        void run();
        static void resume(const Held& held);
        std::mutex m_mutex;
        std::condition_variable m_wake;
        std::multimap<Clock::time_point, Held> m_held;
        bool m_stopping = false;
        bool m_flushed = false;
        std::thread m_thread;
    };

    ServerOptions m_options;
    std::function<QStringList()> m_healthNotes;
    std::function<QJsonArray()> m_healthTokens;
    std::function<QByteArray()> m_metrics;
    const RpcDispatcher& m_dispatcher;
    CallLog& m_log;
    LimitedNotes m_libraryLog; // the HTTP library's own lines
    QStringList m_hostNames;
    std::unique_ptr<ConnectionTable> m_connections;
    HeldAnswers m_delayed;
    std::unique_ptr<WorkerPool> m_workers;     // lists, sign-ins, progress, health
    std::unique_ptr<WorkerPool> m_longWorkers; // cancellations
    std::unique_ptr<WorkerPool> m_signInWorkers;
    std::unique_ptr<WorkerPool> m_healthWorkers;
    std::function<void()> m_onCut;
    MHD_Daemon* m_daemon = nullptr;
    QByteArray m_tlsCertificate; // kept for the daemon's life
    QByteArray m_tlsKey;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_poolsClosed = false; // a stop: no job is handed to a worker any more
    int m_inProgress = 0;       // requests admitted and not yet answered
    qint64 m_bodyBytes = 0;     // large bodies being read (the HTTP library's thread only)
};

} // namespace zavserver
