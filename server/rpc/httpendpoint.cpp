#include "rpc/httpendpoint.h"
#include "log/calllog.h"
#include "log/incidents.h"
#include "rpc/cborencoder.h"
#include "rpc/connectiontable.h"
#include "rpc/headpolicy.h"
#include "rpc/jsonencoder.h"
#include "rpc/rpcdispatcher.h"
#include "rpc/rpcerror.h"
#include "rpc/servicestop.h"
#include "rpc/workerpool.h"
#include "store/storeprobe.h"
#include "store/threaddatabase.h"

#include "database.h"

#include <microhttpd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

#include <arpa/inet.h>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace zavserver {

namespace {

// Everything a request's head may take (its request line and headers).
constexpr size_t kHeadMemory = size_t{32} * 1024;
// Answers (or bodies) larger than this give their memory back when done.
constexpr qsizetype kTrimAfterBytes = qsizetype{4} * 1024 * 1024;

// The refusal of a body over the limit, announced or found while it arrives.
QString tooLarge(qint64 maxBody) {
    return QStringLiteral("Requisição grande demais: o limite do servidor é de %1 bytes.").arg(maxBody);
}
// A streamed answer leaves in pieces of about this size, and at most this
// much of it waits for the client.
constexpr qsizetype kPieceBytes = qsizetype{64} * 1024;
constexpr qsizetype kQueuedBytes = qsizetype{16} * kPieceBytes;
// A stop: how long the calls in progress are given to finish their current
// batch before the exchanges still waiting on an authority are cut, then how
// long they are waited for in all, then how long their answers are given to
// leave once every worker has ended.
constexpr int kGraceSeconds = 5;
constexpr int kDrainSeconds = 30;
constexpr int kLeaveSeconds = 5;
// TLS 1.2 and 1.3 only.
// In TLS 1.2, only suites with forward secrecy (no RSA key exchange) and
// AEAD ciphers (no CBC, no SHA-1 MACs).
const char* const kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-RSA:-CIPHER-ALL:+AES-256-GCM:"
                                   "+AES-128-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD";

QByteArray header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value ? QByteArray(value) : QByteArray();
}

std::unique_ptr<ResponseEncoder> encoderFor(bool cbor) {
    if (cbor)
        return std::make_unique<CborEncoder>();
    return std::make_unique<JsonEncoder>();
}

double millisecondsSince(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

QString databaseProblem() {
    QString problem;
    try {
        bool failed = false;
        {
            QSqlQuery query(ThreadDatabase::get());
            if (!query.exec(QString::fromLatin1(kStoreProbeSql))) {
                failed = true;
                problem = Incidents::report(QStringLiteral("Banco de dados indisponível"),
                                            query.lastError().text());
            }
        }
        if (failed)
            ThreadDatabase::discard();
    } catch (const zavdb::DatabaseError& error) {
        problem = Incidents::report(QStringLiteral("Banco de dados indisponível"), error.text());
    } catch (const std::exception& error) {
        problem = Incidents::report(QStringLiteral("Banco de dados indisponível"),
                                    QString::fromLocal8Bit(error.what()));
    }
    return problem;
}

MHD_Result onRequest(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char* uploadData, size_t* uploadSize, void** state) {
    auto*& request = reinterpret_cast<HttpEndpoint::Request*&>(*state);
    return static_cast<HttpEndpoint*>(self)->handle(connection, url, method, uploadData, uploadSize, request)
               ? MHD_YES
               : MHD_NO;
}

void onCompleted(void* self, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
    static_cast<HttpEndpoint*>(self)->completed(connection, static_cast<HttpEndpoint::Request*>(*state));
    *state = nullptr;
}

void onConnection(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    static_cast<HttpEndpoint*>(self)->connectionChanged(connection, code == MHD_CONNECTION_NOTIFY_STARTED);
}

void writeLibraryLog(void* log, const char* format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    static_cast<LimitedNotes*>(log)->note(
        QStringLiteral("http: %1").arg(QString::fromLocal8Bit(text).trimmed()));
}

// The address a connection comes from, in numbers ("10.0.0.7", "::1").
QString callerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    const sockaddr* a = info->client_addr;
    const socklen_t length = a->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    char host[NI_MAXHOST] = {};
    if (getnameinfo(a, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return QString::fromLatin1(host);
}

// The listening address: an IP address, or a name resolved to its first one.
bool socketAddress(const QString& host, int port, sockaddr_storage& address, socklen_t& length) {
    QHostAddress ip(host);
    if (ip.isNull() && host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        ip = QHostAddress(QHostAddress::LocalHost);
    if (ip.isNull())
        return false;
    std::memset(&address, 0, sizeof address);
    if (ip.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(quint16(port));
        const Q_IPV6ADDR bytes = ip.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, 16);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(quint16(port));
        a->sin_addr.s_addr = htonl(ip.toIPv4Address());
        length = sizeof(sockaddr_in);
    }
    return true;
}

} // namespace

// The pieces of an answer on their way from the worker that writes them to
// the connection that sends them. The connection's side reads on the HTTP
// library's thread and, when nothing is there yet, suspends the connection
// (from the library's callback, as it allows) until the worker adds a piece
// or ends the answer. Whether it is suspended is decided under one lock, so
// that a connection is resumed only while it is suspended (and so still open),
// and once for each suspension.
class ResponseStream {
public:
    explicit ResponseStream(MHD_Connection* connection) : m_connection(connection) {}

    // The worker's side. push takes the piece's bytes and leaves in piece a
    // buffer already sent, if there is one, to write the next piece into; it
    // waits while the queue is full; false once the client has gone.
    bool push(QByteArray& piece) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [this] { return m_queued < kQueuedBytes || m_gone; });
        if (m_gone)
            return false;
        m_queued += piece.size();
        m_pieces.push_back(std::move(piece));
        piece = QByteArray();
        if (!m_sent.empty()) {
            piece = std::move(m_sent.back());
            m_sent.pop_back();
        }
        const bool resume = wake();
        lock.unlock();
        if (resume)
            MHD_resume_connection(m_connection);
        return true;
    }
    // The answer's end: whole, or broken off.
    void end(bool whole) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ended = true;
        m_whole = whole;
        const bool resume = wake();
        lock.unlock();
        if (resume)
            MHD_resume_connection(m_connection);
    }

    // The connection's side.
    ssize_t read(char* into, size_t room) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pieces.empty()) {
            const QByteArray& piece = m_pieces.front();
            const qsizetype n = std::min<qsizetype>(piece.size() - m_offset, qsizetype(room));
            std::memcpy(into, piece.constData() + m_offset, size_t(n));
            m_offset += n;
            m_queued -= n;
            if (m_offset == piece.size()) {
                // Kept for the worker's next piece: an answer of many pieces
                // goes through a few buffers.
                if (m_sent.size() < kSentKept)
                    m_sent.push_back(std::move(m_pieces.front()));
                m_pieces.pop_front();
                m_offset = 0;
            }
            m_room.notify_all();
            return ssize_t(n);
        }
        if (m_ended)
            return m_whole ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
        m_suspended = true;
        MHD_suspend_connection(m_connection);
        return 0;
    }
    // The connection is done with (closed, or the client gone): the worker stops.
    void abandon() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gone = true;
        m_pieces.clear();
        m_sent.clear();
        m_queued = 0;
        m_room.notify_all();
    }

private:
    // Whether the connection waits suspended for what was just added: it is
    // then resumed, out of the lock (it stays suspended, and open, until then).
    bool wake() {
        if (!m_suspended || m_gone)
            return false;
        m_suspended = false;
        return true;
    }

    MHD_Connection* m_connection;
    std::mutex m_mutex;
    std::condition_variable m_room;
    std::deque<QByteArray> m_pieces;
    static constexpr size_t kSentKept = 4;
    std::vector<QByteArray> m_sent; // pieces read whole, their buffers kept
    qsizetype m_offset = 0;         // what of the first piece has been read
    qsizetype m_queued = 0;
    bool m_ended = false;
    bool m_whole = false;
    bool m_gone = false;
    bool m_suspended = false;
};

struct HttpEndpoint::Request {
    enum class Kind { Call, Health, Metrics };
    Kind kind = Kind::Call;
    Door door = Door::Module; // a call's path: the module's or the host's sign-in
    QElapsedTimer timer;
    bool cbor = false; // the answer's encoding, by Accept
    RequestFormat format = RequestFormat::Json;
    qint64 announced = -1; // Content-Length, when the client gave one
    bool chunked = false;
    // A large body's session, checked from the head before the body is read.
    enum class Probe { None, Pending, Open, Closed, Failed };
    std::atomic<Probe> probe{Probe::None};
    QString probeIncident;
    bool headAgain = false;   // the call the library repeats once resumed after the check
    qint64 heldBodyBytes = 0; // its share of the bodies read at once
    int delayMs = 0;          // its answer held back this long (a guessed sign-in)
    QByteArray body;
    bool tooLarge = false;
    bool counted = false;           // admitted: a stop waits for its answer
    bool dispatched = false;        // handed to a worker
    std::atomic<bool> ready{false}; // the worker's answer is there
    int status = 0;
    QByteArray contentType;
    QByteArray reply;
    qsizetype largestBytes = 0; // the larger of its body and its answer
    QString from;               // the caller's address, for the call log
    QByteArray bearer;          // the session token of its Authorization header
    QList<QPair<QByteArray, QByteArray>> extraHeaders;
    // A streamed answer: set by the worker before the connection is resumed.
    std::shared_ptr<ResponseStream> stream;
    qint64 streamedBytes = 0;
    std::atomic<int> holders{1}; // its connection, and its worker while it runs
};

namespace {

// Queues an answer; the body is moved into the response and freed with it.
bool queue(MHD_Connection* connection, int status, const QByteArray& contentType, QByteArray body,
           const QList<QPair<QByteArray, QByteArray>>& extraHeaders = {}) {
    auto* held = new QByteArray(std::move(body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        size_t(held->size()), held->data(), [](void* p) { delete static_cast<QByteArray*>(p); }, held);
    if (!response) {
        delete held;
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType.constData());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : extraHeaders)
        MHD_add_response_header(response, name.constData(), value.constData());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

// Queues a streamed answer: chunked, its pieces read from the stream.
bool queueStream(MHD_Connection* connection, const std::shared_ptr<ResponseStream>& stream,
                 const QByteArray& contentType) {
    auto* held = new std::shared_ptr<ResponseStream>(stream);
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, size_t(kPieceBytes),
        [](void* cls, uint64_t, char* into, size_t room) {
            return static_cast<std::shared_ptr<ResponseStream>*>(cls)->get()->read(into, room);
        },
        held,
        [](void* cls) {
            auto* own = static_cast<std::shared_ptr<ResponseStream>*>(cls);
            (*own)->abandon();
            delete own;
        });
    if (!response) {
        stream->abandon();
        delete held;
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType.constData());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

// A JSON-RPC error outside any call (refused before it is read), in the
// encoding the client asked for.
bool refuse(MHD_Connection* connection, int status, RpcCode code, const QString& message,
            const QList<QPair<QByteArray, QByteArray>>& extraHeaders = {}) {
    const std::unique_ptr<ResponseEncoder> encoder = encoderFor(prefersCbor(header(connection, "Accept")));
    return queue(connection, status, encoder->contentType(),
                 encoder->failure(QCborValue(nullptr), int(code), message), extraHeaders);
}

} // namespace

HttpEndpoint::HeldAnswers::HeldAnswers() {
    m_thread = std::thread([this] { run(); });
}

HttpEndpoint::HeldAnswers::~HeldAnswers() {
    flush();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

bool HttpEndpoint::HeldAnswers::hold(MHD_Connection* connection, Request* request, int delayMs) {
    std::lock_guard lock(m_mutex);
    if (m_stopping || m_flushed)
        return false;
    m_held.emplace(Clock::now() + std::chrono::milliseconds(delayMs), Held{connection, request});
    m_wake.notify_all();
    return true;
}

void HttpEndpoint::HeldAnswers::flush() {
    std::lock_guard lock(m_mutex);
    m_flushed = true;
    for (const auto& [when, held] : m_held)
        resume(held);
    m_held.clear();
}

void HttpEndpoint::HeldAnswers::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_held.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const auto first = m_held.begin();
        if (m_wake.wait_until(lock, first->first) == std::cv_status::timeout ||
            Clock::now() >= first->first) {
            if (!m_held.empty() && Clock::now() >= m_held.begin()->first) {
                resume(m_held.begin()->second);
                m_held.erase(m_held.begin());
            }
        }
    }
}

void HttpEndpoint::HeldAnswers::resume(const Held& held) {
    MHD_resume_connection(held.connection);
    release(held.request);
}

HttpEndpoint::HttpEndpoint(const ServerOptions& options, const RpcDispatcher& dispatcher, CallLog& log)
    : m_options(options), m_dispatcher(dispatcher), m_log(log),
      m_libraryLog(log, "http: %1 mensagens como as anteriores omitidas em %2 s"),
      m_hostNames(options.hostNames()) {
    // A streamed answer's pieces are mapped and unmapped whole: made on one
    // thread and freed on another, they would otherwise be left in the
    // worker threads' arenas, where no trim gives them back. (A fixed
    // threshold: glibc's own one rises past the pieces' size after the first.)
    mallopt(M_MMAP_THRESHOLD, int(kPieceBytes));
}

HttpEndpoint::~HttpEndpoint() {
    m_delayed.flush();
    if (m_connections)
        m_connections->stop();
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
    if (m_workers)
        m_workers->stop();
    for (WorkerPool* pool : {m_longWorkers.get(), m_signInWorkers.get(), m_healthWorkers.get()})
        if (pool)
            pool->stop();
}

int HttpEndpoint::bind(QString* why) {
    const auto fail = [why](const QString& text) {
        if (why)
            *why = text;
        return -1;
    };
    sockaddr_storage address;
    socklen_t length = 0;
    if (!socketAddress(m_options.host, m_options.port, address, length))
        return fail(QStringLiteral("%1 não é um endereço IP").arg(m_options.host));
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (address.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    if (m_options.tls()) {
        QFile cert(m_options.tlsCertificate);
        QFile key(m_options.tlsKey);
        if (!cert.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("certificado TLS ilegível: %1").arg(m_options.tlsCertificate));
        if (!key.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("chave TLS ilegível: %1").arg(m_options.tlsKey));
        m_tlsCertificate = cert.readAll() + '\0';
        m_tlsKey = key.readAll() + '\0';
        flags |= MHD_USE_TLS;
    }
    m_connections = std::make_unique<ConnectionTable>(
        m_options.maxConnections, std::max(ConnectionTable::kHeadSeconds, m_options.idleTimeoutSeconds));
    m_workers = std::make_unique<WorkerPool>(m_options.threads);
    // Long calls (a cancellation waits on the authority) have threads of
    // their own, so that lists, sign-ins, progress and health never queue
    // behind them.
    m_longWorkers = std::make_unique<WorkerPool>(m_options.threads);
    // Sign-ins and health probes too: a health probe is answered whatever
    // the lists' load, a sign-in waits for no list.
    m_signInWorkers = std::make_unique<WorkerPool>(kSignInThreads);
    m_healthWorkers = std::make_unique<WorkerPool>(1);
    MHD_OptionItem tls[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, m_tlsCertificate.data()},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, m_tlsKey.data()},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
        {MHD_OPTION_END, 0, nullptr},
    };
    if (!m_options.tls())
        tls[0] = {MHD_OPTION_END, 0, nullptr};
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &onRequest, this,                          //
                                MHD_OPTION_EXTERNAL_LOGGER, &writeLibraryLog, &m_libraryLog,           //
                                MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),           //
                                MHD_OPTION_CONNECTION_TIMEOUT, unsigned(m_options.idleTimeoutSeconds), //
                                MHD_OPTION_CONNECTION_LIMIT, unsigned(m_options.maxConnections),       //
                                MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(m_options.maxPerAddress), //
                                MHD_OPTION_CONNECTION_MEMORY_LIMIT, kHeadMemory,                       //
                                MHD_OPTION_STRICT_FOR_CLIENT, 1,                                       //
                                MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, this,                       //
                                MHD_OPTION_NOTIFY_CONNECTION, &onConnection, this,                     //
                                MHD_OPTION_ARRAY, tls,                                                 //
                                MHD_OPTION_END);
    if (!m_daemon)
        return fail(QStringLiteral("a porta está ocupada ou o certificado TLS não serve"));
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    return info ? int(info->port) : m_options.port;
}

bool HttpEndpoint::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stopping; });
    // No new connection, no new work; the calls in progress finish their
    // current batch and answer what was done.
    ServiceStop::request();
    if (const MHD_socket listening = MHD_quiesce_daemon(m_daemon); listening != MHD_INVALID_SOCKET)
        ::close(listening);
    const auto drained = [this] { return m_inProgress == 0; };
    if (!m_changed.wait_for(lock, std::chrono::seconds(kGraceSeconds), drained)) {
        // What still waits on an authority is broken off: its events stay
        // pending, and its call answers them so.
        lock.unlock();
        if (m_onCut)
            m_onCut();
        lock.lock();
        // A request that is still arriving is waited for too, but not
        // forever: a client that stops sending is closed by the idle
        // timeout, one that trickles by the request's deadline or here.
        m_changed.wait_for(lock, std::chrono::seconds(kDrainSeconds), drained);
    }
    // No job is handed to a worker any more; those handed are run, each
    // resuming its connection with its answer. libmicrohttpd may not stop
    // with a connection suspended.
    m_poolsClosed = true;
    lock.unlock();
    m_workers->stop();
    m_longWorkers->stop();
    m_signInWorkers->stop();
    m_healthWorkers->stop();
    m_delayed.flush(); // every answer held back goes now
    lock.lock();
    m_changed.wait_for(lock, std::chrono::seconds(kLeaveSeconds), drained);
    lock.unlock();
    m_connections->stop();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    return true;
}

bool HttpEndpoint::isRunning() const {
    return m_daemon != nullptr;
}

void HttpEndpoint::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
}

bool HttpEndpoint::handle(MHD_Connection* connection, const char* url, const char* method,
                          const char* uploadData, size_t* uploadSize, Request*& request) {
    if (!request) {
        // The head: checked before anything is spent on the request.
        request = new Request;
        request->timer.start();
        request->from = callerAddress(connection);
        m_connections->headDone(connection);
        if (admit(connection, url, method, *request) && request->kind == Request::Kind::Call)
            beforeBody(connection, *request);
        return true; // a refusal is queued at once
    }
    if (request->status != 0 && !request->dispatched) {
        *uploadSize = 0; // refused, the answer already queued: the body is not kept
        return true;
    }
    // The connection was suspended for the session's check; the library may
    // offer a piece of the body once more before the suspension holds: it is
    // left where it is, for after the check.
    if (request->probe == Request::Probe::Pending)
        return true;
    // Resumed after the check, the library calls again as for the head, with
    // no body yet: the body's pieces come next.
    if (request->probe == Request::Probe::Open && !request->headAgain && *uploadSize == 0) {
        request->headAgain = true;
        return true;
    }
    if (request->probe == Request::Probe::Closed || request->probe == Request::Probe::Failed) {
        *uploadSize = 0;
        return refuseBeforeBody(connection, *request);
    }
    if (*uploadSize > 0)
        return takePiece(connection, *request, uploadData, uploadSize);
    if (request->tooLarge) {
        request->status = 413;
        const QString message = tooLarge(m_options.maxBody);
        m_log.call(CallOutcome{QString(), -1, int(RpcCode::InvalidRequest), message, request->from},
                   millisecondsSince(request->timer), 0, request->cbor ? "cbor" : "json");
        return refuse(connection, 413, RpcCode::InvalidRequest, message);
    }
    if (!request->dispatched) {
        if (request->kind == Request::Kind::Call && answerAtOnce(connection, *request))
            return true;
        return dispatchToWorker(connection, *request);
    }
    if (!request->ready.load())
        return true; // resumed before its answer (it cannot be): wait on
    if (request->stream)
        return queueStream(connection, request->stream, request->contentType);
    return queue(connection, request->status, request->contentType,
                 std::exchange(request->reply, QByteArray()), request->extraHeaders);
}

void HttpEndpoint::beforeBody(MHD_Connection* connection, Request& request) {
    // A small body (any sign-in, list or question) is read and goes the way
    // of every call: the session is checked before the method runs. A larger
    // one (only a cancellation carries one) needs an open session before a
    // byte of it is read, and a share of the bodies the server reads at once.
    const bool large = request.announced > kOpenBodyBytes || (request.announced < 0 && request.chunked);
    if (!large)
        return;
    if (request.bearer.isEmpty()) {
        request.probe = Request::Probe::Closed;
        refuseBeforeBody(connection, request);
        return;
    }
    if (request.announced > 0) {
        if (m_bodyBytes + request.announced > bodiesLimit()) {
            request.status = 503;
            const QString message = QStringLiteral(
                "Servidor ocupado recebendo outras requisições grandes: tente de novo em instantes.");
            m_log.call(CallOutcome{QString(), -1, int(RpcCode::ServerError), message, request.from},
                       millisecondsSince(request.timer), 0, request.cbor ? "cbor" : "json");
            refuse(connection, 503, RpcCode::ServerError, message, {{"Retry-After", "2"}});
            return;
        }
        request.heldBodyBytes = request.announced;
        m_bodyBytes += request.announced;
    }
    probeSession(connection, request);
}

void HttpEndpoint::probeSession(MHD_Connection* connection, Request& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_poolsClosed) {
        request.status = 503;
        refuse(connection, 503, RpcCode::ServerError, QStringLiteral("O servidor está sendo encerrado."),
               {{"Connection", "close"}});
        return;
    }
    request.probe = Request::Probe::Pending;
    MHD_suspend_connection(connection);
    ++request.holders;
    m_workers->submit([this, connection, &request] {
        QString incident;
        switch (m_dispatcher.sessionState(request.bearer, &incident)) {
        case RpcDispatcher::SessionState::Open:
            request.probe = Request::Probe::Open;
            break;
        case RpcDispatcher::SessionState::Closed:
            request.probe = Request::Probe::Closed;
            break;
        case RpcDispatcher::SessionState::Unknown:
            request.probeIncident = incident;
            request.probe = Request::Probe::Failed;
            break;
        }
        MHD_resume_connection(connection);
        release(&request);
    });
}

bool HttpEndpoint::refuseBeforeBody(MHD_Connection* connection, Request& request) {
    const bool failed = request.probe == Request::Probe::Failed;
    const int status = failed ? 503 : 401;
    const RpcCode code = failed ? RpcCode::ServerError : RpcCode::Unauthorized;
    const QString message =
        failed ? request.probeIncident
        : request.bearer.isEmpty()
            ? QStringLiteral("Chamada sem sessão: entre no sistema antes de chamar os métodos.")
            : QStringLiteral("Sessão encerrada ou expirada: entre no sistema de novo.");
    request.status = status;
    request.body = QByteArray();
    m_log.call(CallOutcome{QString(), -1, int(code), message, request.from}, millisecondsSince(request.timer),
               0, request.cbor ? "cbor" : "json");
    HeaderList headers{{"Connection", "close"}};
    if (!failed)
        headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer realm=\"ZAV50000\"")));
    return refuse(connection, status, code, message, headers);
}

bool HttpEndpoint::takePiece(MHD_Connection* connection, Request& request, const char* data, size_t* size) {
    // A request has a deadline for the whole of its body, however it trickles.
    if (request.timer.elapsed() > qint64(m_options.requestDeadlineSeconds) * 1000) {
        m_log.note(QStringLiteral("http: requisição de %1 fechada: o corpo não chegou em %2 s")
                       .arg(request.from)
                       .arg(m_options.requestDeadlineSeconds));
        *size = 0;
        return false;
    }
    const qint64 grown = request.body.size() + qint64(*size);
    // A body of unknown length passing the open size needs a session as one
    // announced large does.
    if (grown > kOpenBodyBytes && request.probe == Request::Probe::None) {
        *size = 0;
        request.probe = Request::Probe::Closed;
        return refuseBeforeBody(connection, request);
    }
    // A piece of the body, bounded as it comes: what passes the limit is
    // dropped, and the request is refused once it has been read.
    if (!request.tooLarge && grown <= m_options.maxBody) {
        if (grown > request.heldBodyBytes && grown > kOpenBodyBytes) {
            // Unannounced growth counts against the bodies read at once too.
            if (m_bodyBytes + (grown - request.heldBodyBytes) > bodiesLimit()) {
                *size = 0;
                request.status = 503;
                request.body = QByteArray();
                return refuse(connection, 503, RpcCode::ServerError,
                              QStringLiteral("Servidor ocupado recebendo outras requisições grandes: tente "
                                             "de novo em instantes."),
                              {{"Retry-After", "2"}, {"Connection", "close"}});
            }
            m_bodyBytes += grown - request.heldBodyBytes;
            request.heldBodyBytes = grown;
        }
        if (request.body.isEmpty() && request.probe == Request::Probe::Open && request.announced > 0)
            request.body.reserve(qsizetype(request.announced)); // its session is open: its share is had
        request.body.append(data, qsizetype(*size));
    } else {
        request.tooLarge = true;
        request.body = QByteArray();
    }
    *size = 0;
    return true;
}

qint64 HttpEndpoint::bodiesLimit() const {
    return std::max<qint64>(qint64{2} * m_options.maxBody, qint64{8} * 1024 * 1024);
}

namespace {

MHD_Result collectHeader(void* into, MHD_ValueKind, const char* key, const char* value) {
    static_cast<HeaderList*>(into)->append(qMakePair(QByteArray(key), QByteArray(value ? value : "")));
    return MHD_YES;
}

} // namespace

bool HttpEndpoint::admit(MHD_Connection* connection, const char* url, const char* method, Request& request) {
    RequestHead head{QByteArray(method), QByteArray(url), {}, request.from};
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectHeader, &head.headers);
    HeadPolicy policy{m_hostNames, m_options.maxBody, false,
                      [this](const QString& address) { return m_options.metricsAllow(address); }};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        policy.stopping = m_stopping;
    }
    const HeadDecision d = checkHead(head, policy);
    request.cbor = d.cbor;
    if (!d.admitted()) {
        request.status = d.status;
        refuse(connection, d.status, d.code, d.message, d.extraHeaders);
        return false;
    }
    request.kind = d.route == Route::Health    ? Request::Kind::Health
                   : d.route == Route::Metrics ? Request::Kind::Metrics
                                               : Request::Kind::Call;
    request.door = d.route == Route::Session ? Door::Session : Door::Module;
    request.format = d.format;
    request.announced = d.announced;
    request.chunked = d.chunked;
    request.bearer = d.bearer;
    admitted(request);
    return true;
}

void HttpEndpoint::admitted(Request& request) {
    request.counted = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_inProgress;
}

WorkerPool& HttpEndpoint::poolFor(const Request& request) const {
    if (request.kind != Request::Kind::Call)
        return *m_healthWorkers;
    switch (m_dispatcher.laneOf(request.body, request.format)) {
    case RpcDispatcher::Lane::Long:
        return *m_longWorkers;
    case RpcDispatcher::Lane::SignIn:
        return *m_signInWorkers;
    case RpcDispatcher::Lane::Short:
        break;
    }
    return *m_workers;
}

bool HttpEndpoint::dispatchToWorker(MHD_Connection* connection, Request& request) {
    WorkerPool& pool = poolFor(request);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_poolsClosed) {
        request.status = 503;
        request.dispatched = true;
        return refuse(connection, 503, RpcCode::ServerError,
                      QStringLiteral("O servidor está sendo encerrado."), {{"Connection", "close"}});
    }
    request.dispatched = true;
    MHD_suspend_connection(connection);
    ++request.holders;
    // A large answer leaves in pieces as it is written: its first piece
    // resumes the connection, which then sends them as they come.
    request.stream.reset();
    pool.submit([this, connection, &request] {
        serve(request, connection);
        if (!request.stream) {
            request.ready.store(true);
            // An answer the method asked to hold back (a guessed sign-in)
            // waits without its worker.
            if (request.delayMs > 0 && m_delayed.hold(connection, &request, request.delayMs))
                return; // resumed and released when its time comes
            MHD_resume_connection(connection);
        }
        release(&request);
    });
    return true;
}

bool HttpEndpoint::answerAtOnce(MHD_Connection* connection, Request& request) {
    if (request.body.size() > RpcDispatcher::kAtOnceBytes)
        return false;
    const std::unique_ptr<ResponseEncoder> encoder = encoderFor(request.cbor);
    CallOutcome outcome;
    outcome.from = request.from;
    std::optional<QByteArray> reply = m_dispatcher.answerAtOnce(
        request.body, request.format, Caller{request.bearer, request.from, request.door}, *encoder, outcome);
    if (!reply)
        return false;
    m_log.call(outcome, millisecondsSince(request.timer), reply->size(), request.cbor ? "cbor" : "json");
    request.status = outcome.httpStatus;
    request.dispatched = true; // answered: nothing more is read or run for it
    return queue(connection, outcome.httpStatus, encoder->contentType(), std::move(*reply));
}

void HttpEndpoint::serve(Request& request, MHD_Connection* connection) {
    try {
        if (request.kind == Request::Kind::Health)
            answerHealth(request);
        else if (request.kind == Request::Kind::Metrics)
            answerMetrics(request);
        else
            answerCall(request, connection);
    } catch (const std::exception& error) {
        if (request.stream) {
            // Part of the answer has left: it is broken off, never closed as whole.
            request.stream->end(false);
            Incidents::report(QStringLiteral("Erro interno do servidor"),
                              QString::fromLocal8Bit(error.what()));
            return;
        }
        // Nothing escapes into the HTTP library: an unexpected failure is
        // still an answer the caller can read.
        const QString message = Incidents::report(QStringLiteral("Erro interno do servidor"),
                                                  QString::fromLocal8Bit(error.what()));
        const std::unique_ptr<ResponseEncoder> encoder = encoderFor(request.cbor);
        request.status = 500;
        request.contentType = encoder->contentType();
        request.reply = encoder->failure(QCborValue(nullptr), int(RpcCode::ServerError), message);
        m_log.call(CallOutcome{QString(), -1, int(RpcCode::ServerError), message, request.from},
                   millisecondsSince(request.timer), 0, request.cbor ? "cbor" : "json");
    }
}

void HttpEndpoint::answerCall(Request& request, MHD_Connection* connection) {
    const std::unique_ptr<ResponseEncoder> encoder = encoderFor(request.cbor);
    encoder->streamTo(
        [&request, connection, type = encoder->contentType()](QByteArray& piece) {
            request.streamedBytes += piece.size();
            if (request.stream)
                return request.stream->push(piece);
            // The first piece: the answer begins (200, chunked) and the
            // connection, suspended since the request came whole, sends it.
            request.stream = std::make_shared<ResponseStream>(connection);
            request.status = 200;
            request.contentType = type;
            request.stream->push(piece);
            request.ready.store(true);
            MHD_resume_connection(connection);
            return true;
        },
        kPieceBytes);
    CallOutcome outcome;
    outcome.from = request.from;
    QByteArray reply = m_dispatcher.dispatch(
        request.body, request.format, Caller{request.bearer, request.from, request.door}, *encoder, outcome);
    request.largestBytes = std::max(request.body.size(), reply.size());
    request.body = QByteArray(); // given back before the answer is sent
    const double elapsed = millisecondsSince(request.timer);
    if (request.stream) {
        // The rest of a streamed answer, or its end broken off: an error
        // after the first piece cannot be told as a JSON-RPC error any more.
        bool whole = outcome.code == 0;
        if (whole) {
            request.streamedBytes += reply.size();
            whole = request.stream->push(reply);
        }
        request.stream->end(whole);
        if (outcome.code == 0 && !whole) {
            outcome.code = int(RpcCode::ServerError);
            outcome.message = QStringLiteral("o cliente deixou de ler a resposta");
            outcome.rows = -1;
        }
        m_log.call(outcome, elapsed, request.streamedBytes, request.cbor ? "cbor" : "json");
        return;
    }
    request.status = outcome.httpStatus;
    request.delayMs = outcome.answerDelayMs;
    if (outcome.httpStatus == 401)
        request.extraHeaders.append(
            qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer realm=\"ZAV50000\"")));
    request.contentType = encoder->contentType();
    m_log.call(outcome, elapsed, reply.size(), request.cbor ? "cbor" : "json");
    request.reply = std::move(reply);
}

void HttpEndpoint::answerHealth(Request& request) {
    const QString problem = databaseProblem();
    QJsonObject body;
    if (problem.isEmpty()) {
        body.insert(QStringLiteral("status"), QStringLiteral("ok"));
        request.status = 200;
    } else {
        body.insert(QStringLiteral("status"), QStringLiteral("erro"));
        body.insert(QStringLiteral("message"), problem);
        request.status = 503;
        m_log.note(QStringLiteral("health erro \"%1\"").arg(problem));
    }
    if (m_healthNotes)
        if (const QStringList notes = m_healthNotes(); !notes.isEmpty())
            body.insert(QStringLiteral("avisos"), QJsonArray::fromStringList(notes));
    if (m_healthTokens)
        body.insert(QStringLiteral("tokens"), m_healthTokens());
    request.contentType = "application/json; charset=utf-8";
    request.reply = QJsonDocument(body).toJson(QJsonDocument::Compact);
}

void HttpEndpoint::answerMetrics(Request& request) {
    request.status = 200;
    request.contentType = "text/plain; version=0.0.4; charset=utf-8";
    request.reply = m_metrics ? m_metrics() : QByteArray();
}

void HttpEndpoint::release(Request* request) {
    if (request->holders.fetch_sub(1) != 1)
        return;
    // A streamed answer's pieces (below the size the allocator maps on its
    // own) stay in its arenas too, however long the list.
    const bool large = request->largestBytes > kTrimAfterBytes || request->stream;
    delete request;
    // A large answer leaves the allocator's arenas swollen (a worker thread
    // each); what is free goes back to the system, so that an idle server
    // does not keep the memory of the largest list it ever sent.
    if (large)
        malloc_trim(0);
}

void HttpEndpoint::connectionChanged(MHD_Connection* connection, bool opened) {
    if (!opened) {
        m_connections->closed(connection);
        return;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info)
        m_connections->opened(connection, info->connect_fd, callerAddress(connection));
}

void HttpEndpoint::completed(MHD_Connection* connection, Request* request) {
    m_connections->requestDone(connection);
    if (!request)
        return;
    const bool counted = request->counted;
    m_bodyBytes -= request->heldBodyBytes;
    request->heldBodyBytes = 0;
    // The connection is done with: a worker still writing its answer stops.
    if (request->ready.load() && request->stream)
        request->stream->abandon();
    release(request);
    if (!counted)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inProgress;
    }
    m_changed.notify_all();
}

} // namespace zavserver
