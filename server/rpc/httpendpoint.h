#pragma once
// The HTTP side of the server, on cpp-httplib: POST /ZAV50000.rdmCancelaNFE
// carries JSON-RPC calls, GET /health answers whether the server and its
// database work. Requests are served by a pool of worker threads, each with
// its own database connection (ThreadDatabase).
#include "serveroptions.h"

#include <QByteArray>

#include <memory>

class QElapsedTimer;

namespace httplib {
class ContentReader;
struct Request;
struct Response;
class Server;
} // namespace httplib

namespace zavserver {

class CallLog;
class RpcDispatcher;

class HttpEndpoint {
public:
    HttpEndpoint(const ServerOptions& options, const RpcDispatcher& dispatcher, CallLog& log);
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    // Binds the listening socket; the port bound (the one asked, or a free one
    // for port 0), or -1.
    int bind();
    // Serves until stop(); returns once every call in progress has been
    // answered and the worker threads have ended.
    bool run();
    bool isRunning() const;
    void stop();

private:
    void installRoutes();
    // POST of a JSON-RPC call: its body read within the limit, dispatched,
    // answered and logged.
    void serveCall(const httplib::Request& request, httplib::Response& response,
                   const httplib::ContentReader& reader);
    void refuseTooLarge(const httplib::Request& request, httplib::Response& response,
                        const QElapsedTimer& timer, bool cbor);
    void answerCall(const httplib::Request& request, const QByteArray& body, const QElapsedTimer& timer,
                    bool cbor, httplib::Response& response);
    // GET /health: whether the thread's connection reaches the invoice store.
    void answerHealth(httplib::Response& response);

    ServerOptions m_options;
    const RpcDispatcher& m_dispatcher;
    CallLog& m_log;
    std::unique_ptr<httplib::Server> m_server;
};

} // namespace zavserver
