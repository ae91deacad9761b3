#pragma once
// One HTTP/1.1 request and its answer, made with libcurl on a thread of its own
// while the caller waits in a local event loop: every window keeps painting
// (the busy animation turns) and the operator's input is dropped, never queued
// for afterwards (UserInputBlock).
//
// A request is sent at most once. Each exchange opens a connection of its own
// and closes it at the end; a connection that drops before the answer is a
// failure of the exchange, never a reason to send the request again (the
// server may already be cancelling the invoices it asked for).
#include "zavhost_export.h"
#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QThread;

struct HttpRequest {
    QByteArray url;
    bool post = false;
    QByteArray body;           // the POST's body
    QList<QByteArray> headers; // "Name: value"
    int connectTimeoutMs = 0;  // the connection made within this; 0: only the total limit
    int totalTimeoutMs = 0;    // the whole exchange within this
    // https: the server's certificate is verified against this CA file (the
    // system's trust when empty) and must name the host; TLS 1.2 or newer.
    QString caFile;
    // When set, the answer's body is handed to it piece by piece as it
    // arrives (on the exchange's own thread, with the status and content
    // type of the answer) instead of being kept in HttpResult::body.
    std::function<void(int status, const QByteArray& contentType, const char* data, qsizetype size)> bodySink;
};

struct HttpResult {
    enum class Outcome {
        Answered,           // a whole answer arrived (any status)
        Refused,            // nobody listens at the address
        HostNotFound,       // the name does not resolve
        ConnectTimeout,     // no connection within the connect limit
        Timeout,            // connected, but no whole answer within the total limit
        ClosedBeforeAnswer, // the peer closed the connection before answering
        ClosedMidAnswer,    // the peer closed it in the middle of the answer
        NotHttp,            // the peer answered something that is no HTTP
        Untrusted,          // the server's certificate does not verify or does not name the host
        TlsFailed,          // no TLS session could be agreed (version, ciphers, a plain-HTTP peer)
        BadCaFile,          // the CA file cannot be read
        Cancelled,          // cancel() was called
        Failed,             // anything else; detail says what
    };
    Outcome outcome = Outcome::Failed;
    QString detail; // libcurl's own words, for the failures without a text of ours
    int status = 0; // 0: no answer's head arrived
    QByteArray contentType;
    QByteArray body; // empty when the request had a bodySink
};

class ZAVHOST_EXPORT HttpExchange {
public:
    explicit HttpExchange(HttpRequest request);
    ~HttpExchange(); // an exchange still going is cancelled and waited for
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    // Makes the exchange and returns when it has ended: answered, failed or
    // cancelled. Runs on the user-interface thread, once.
    HttpResult run();
    // Ends the exchange soon, from a handler running inside run()'s wait.
    void cancel();

    // The same without a wait of its own, for a caller that waits in its own
    // loop on several: starts the exchange, and calls ended (through the
    // context's thread, from its event loop) once it has ended. Once, instead
    // of run().
    void start(QObject* context, std::function<void()> ended);
    // The result, once ended has been called (or after cancel(), waiting for
    // the end).
    HttpResult take();

private:
    void perform(); // on the worker thread

    HttpRequest m_request;
    HttpResult m_result;
    std::atomic<bool> m_cancelled{false};
    std::mutex m_mutex; // guards m_multi between the worker and cancel()
    void* m_multi = nullptr;
    std::unique_ptr<QThread> m_worker;
};
