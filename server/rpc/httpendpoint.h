#pragma once
// The HTTP side of the server, on cpp-httplib: POST /ZAV50000.rdmCancelaNFE
// carries JSON-RPC calls, GET /health answers whether the server and its
// database work. Requests are served by a pool of worker threads, each with
// its own database connection (ThreadDatabase).
#include "serveroptions.h"

#include <memory>

namespace httplib {
class Server;
}

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

    ServerOptions m_options;
    const RpcDispatcher& m_dispatcher;
    CallLog& m_log;
    std::unique_ptr<httplib::Server> m_server;
};

} // namespace zavserver
