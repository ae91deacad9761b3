#pragma once
// AuthorityService: the HTTPS side of the local authority. Mutual TLS (the
// client's certificate must chain to the client CA through the intermediates
// the client presents; sessions may be resumed), SOAP 1.2 over POST on
// /ws/NFeRecepcaoEvento4, /ws/NFeConsultaProtocolo4 and /ws/NFeStatusServico4,
// a message with edit characters between its tags refused (588) before
// anything else, the pause, the misuse block (656), the delay, the hang and
// the dropped answers and requests asked for on the command line, and one log
// line per request. GET /zav/requests (not a real authority's) says how many
// requests each service received, counted on arrival.
#include "authorityoptions.h"
#include "eventreception.h"
#include "requestlog.h"
#include "servicestatus.h"
#include "statusconsultation.h"

#include <httplib.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zavauthority {

class AuthorityService {
public:
    static constexpr const char* kEventPath = "/ws/NFeRecepcaoEvento4";
    static constexpr const char* kStatusPath = "/ws/NFeConsultaProtocolo4";
    static constexpr const char* kServiceStatusPath = "/ws/NFeStatusServico4";
    static constexpr const char* kRequestCountPath = "/zav/requests";
    static constexpr size_t kMaxRequestBytes = size_t{4} * 1024 * 1024;

    AuthorityService(const AuthorityOptions& options, const EventReception& events,
                     const StatusConsultation& status, const ServiceStatus& serviceStatus, RequestLog& log);

    // Empty when the TLS certificate, key and CA were accepted.
    QString tlsProblem() const;
    // The port bound (the one asked for, or a free one for 0); -1 on failure.
    int bind();
    // Serves until stop(); false when it ended by itself.
    bool run();
    // Also ends at once every delay and hang in progress.
    void stop();
    bool isRunning() const { return m_server->is_running(); }
    // The requests each service received so far: "evento N\nconsulta N\nstatus N\n".
    QString requestCounts() const;

private:
    enum class Service { Event, Status, ServiceStatus };
    void handle(Service service, const httplib::Request& request, httplib::Response& response);
    struct Exchange; // one request: who sent it, to where, since when; its log line
    // The request left without an answer, as --hang and --drop-requests ask;
    // false when it is to be answered.
    bool withhold(Service service, const httplib::Request& request, httplib::Response& response,
                  const Exchange& exchange);
    // The service's SOAP answer to the request, or its refusal; throws what
    // the services throw.
    void respond(Service service, const httplib::Request& request, httplib::Response& response,
                 const Exchange& exchange);
    // A request refused with a SOAP fault, after the delay.
    void refuse(httplib::Response& response, const Exchange& exchange, int httpStatus, const QString& why);
    // The wait before each answer (--delay-ms).
    void delay();
    // Waits ms milliseconds (0: without end), until the authority stops, or,
    // when a client connection is given, until the client closes it; false
    // when the authority stops.
    bool hold(int ms, const SSL* client);

    // The service's answer to the message (payload) of a request (body).
    ServiceAnswer answer(Service service, const QByteArray& body, const QByteArray& payload,
                         const QDateTime& now, const SSL* ssl) const;

    const AuthorityOptions& m_options;
    const EventReception& m_events;
    const StatusConsultation& m_status;
    const ServiceStatus& m_serviceStatus;
    RequestLog& m_log;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::atomic<int> m_dropAnswers;
    std::atomic<int> m_dropRequests;
    std::array<std::atomic<qint64>, 3> m_received{}; // by Service
    std::mutex m_stopMutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    bool m_sessionProblem = false;
    bool m_trustProblem = false; // the handshake's store could not be cut down to the roots
};

} // namespace zavauthority
