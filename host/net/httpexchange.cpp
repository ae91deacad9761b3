#include "httpexchange.h"
#include "services/userinputblock.h"
#include <QEventLoop>
#include <QThread>
#include <curl/curl.h>
#include <memory>
#include <utility>

namespace {

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where the answer's body goes: kept whole, or handed on as it arrives.
struct BodyTarget {
    CURL* easy = nullptr;
    QByteArray* body = nullptr;
    const HttpRequest* request = nullptr;
    int status = -1;
    QByteArray contentType;
};

size_t collectBody(char* data, size_t size, size_t count, void* out) {
    auto* target = static_cast<BodyTarget*>(out);
    const size_t n = size * count;
    if (!target->request->bodySink) {
        target->body->append(data, qsizetype(n));
        return n;
    }
    if (target->status < 0) {
        // The head is whole before the first byte of the body.
        long status = 0;
        curl_easy_getinfo(target->easy, CURLINFO_RESPONSE_CODE, &status);
        target->status = int(status);
        if (const char* type = nullptr;
            curl_easy_getinfo(target->easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
            target->contentType = type;
    }
    target->request->bodySink(target->status, target->contentType, data, qsizetype(n));
    return n;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

HttpResult::Outcome outcomeOf(CURLcode code, CURL* easy, const HttpRequest& request, int status) {
    switch (code) {
    case CURLE_OK:
        return HttpResult::Outcome::Answered;
    case CURLE_COULDNT_CONNECT:
        return HttpResult::Outcome::Refused;
    case CURLE_COULDNT_RESOLVE_HOST:
        return HttpResult::Outcome::HostNotFound;
    case CURLE_OPERATION_TIMEDOUT: {
        curl_off_t connected = 0;
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
        return connected == 0 && request.connectTimeoutMs > 0 ? HttpResult::Outcome::ConnectTimeout
                                                              : HttpResult::Outcome::Timeout;
    }
    case CURLE_GOT_NOTHING:
        return HttpResult::Outcome::ClosedBeforeAnswer;
    case CURLE_PARTIAL_FILE:
        return HttpResult::Outcome::ClosedMidAnswer;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return status == 0 ? HttpResult::Outcome::ClosedBeforeAnswer : HttpResult::Outcome::ClosedMidAnswer;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return HttpResult::Outcome::NotHttp;
    case CURLE_PEER_FAILED_VERIFICATION:
        return HttpResult::Outcome::Untrusted;
    case CURLE_SSL_CONNECT_ERROR:
        return HttpResult::Outcome::TlsFailed;
    case CURLE_SSL_CACERT_BADFILE:
        return HttpResult::Outcome::BadCaFile;
    default:
        return HttpResult::Outcome::Failed;
    }
}

// One transfer: its easy handle, libcurl's words for a failure, and how the
// transfer ended (done: libcurl reported its end, with code).
struct Transfer {
    CURL* easy = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    bool done = false;
    CURLcode code = CURLE_OK;
};

// Where the request goes and how: the connection, its TLS and its limits.
void setTransportOptions(CURL* e, const HttpRequest& request, char* error) {
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_URL, request.url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // The server is reached directly: a proxy from the environment would see
    // every invoice go by. An answer that points elsewhere is not followed.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    // A connection of its own, closed at the end: libcurl resends a request
    // on a reused connection that turns out dead, and a call must never
    // reach the server twice.
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "zavhost");
    // The server proves who it is: its certificate chains to the CA and names
    // the host asked for; nothing older than TLS 1.2 is spoken.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    const QByteArray caFile = request.caFile.toLocal8Bit();
    if (!caFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, caFile.constData());
    if (request.connectTimeoutMs > 0)
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(request.connectTimeoutMs));
    if (request.totalTimeoutMs > 0) {
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long(request.totalTimeoutMs));
        if (request.connectTimeoutMs <= 0)
            curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(request.totalTimeoutMs));
    }
}

// What is sent: the headers (the list returned must outlive the transfer)
// and the POST's body.
std::unique_ptr<curl_slist, ListDeleter> setRequestOptions(CURL* e, const HttpRequest& request) {
    std::unique_ptr<curl_slist, ListDeleter> headers;
    for (const QByteArray& h : request.headers)
        headers.reset(curl_slist_append(headers.release(), h.constData()));
    // No "Expect: 100-continue": the body goes with the request.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    if (request.post) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.constData());
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
    }
    return headers;
}

// Drives the transfer until libcurl reports its end, it stops without one,
// or the exchange is cancelled (cancel() wakes the poll).
void runTransfer(CURLM* multi, const std::atomic<bool>& cancelled, Transfer& t) {
    while (!t.done && !cancelled) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued))
            if (msg->msg == CURLMSG_DONE) {
                t.code = msg->data.result;
                t.done = true;
            }
        if (!t.done && running == 0)
            break;
        if (!t.done)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
}

// The answer's head as it came, and how the exchange ended.
void recordOutcome(const Transfer& t, const HttpRequest& request, bool cancelled, HttpResult& r) {
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    r.status = int(status);
    if (const char* type = nullptr;
        curl_easy_getinfo(t.easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
        r.contentType = type;
    if (cancelled) {
        r.outcome = HttpResult::Outcome::Cancelled;
    } else if (!t.done) {
        r.outcome = HttpResult::Outcome::Failed;
        r.detail = QStringLiteral("a transferência parou sem resultado");
    } else {
        r.outcome = outcomeOf(t.code, t.easy, request, r.status);
        r.detail = QString::fromUtf8(t.error[0] ? t.error : curl_easy_strerror(t.code));
    }
}

} // namespace

HttpExchange::HttpExchange(HttpRequest request) : m_request(std::move(request)) {
    initialiseCurl();
}

void HttpExchange::cancel() {
    m_cancelled = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi)
        curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

HttpExchange::~HttpExchange() {
    if (m_worker && !m_worker->isFinished()) {
        cancel();
        m_worker->wait();
    }
}

void HttpExchange::start(QObject* context, std::function<void()> ended) {
    m_worker.reset(QThread::create([this] { perform(); }));
    QObject::connect(m_worker.get(), &QThread::finished, context, std::move(ended));
    m_worker->start();
}

HttpResult HttpExchange::take() {
    if (m_worker)
        m_worker->wait();
    return std::move(m_result);
}

HttpResult HttpExchange::run() {
    QEventLoop loop;
    start(&loop, [&loop] { loop.quit(); });
    {
        UserInputBlock block;
        loop.exec();
    }
    // The loop also ends when the application is quitting: the exchange
    // then ends too, and nothing it touches outlives this call.
    if (!m_worker->isFinished())
        cancel();
    return take();
}

void HttpExchange::perform() {
    HttpResult& r = m_result;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        r.detail = QStringLiteral("libcurl não pôde ser iniciada");
        return;
    }
    Transfer t;
    t.easy = easy.get();
    setTransportOptions(t.easy, m_request, t.error);
    const std::unique_ptr<curl_slist, ListDeleter> headers = setRequestOptions(t.easy, m_request);
    BodyTarget target{t.easy, &r.body, &m_request, -1, {}};
    curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &target);
    // Larger pieces of a large answer: fewer hand-overs to the reader.
    if (m_request.bodySink)
        curl_easy_setopt(t.easy, CURLOPT_BUFFERSIZE, 256L * 1024L);

    curl_multi_add_handle(multi.get(), t.easy);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_multi = multi.get();
    }
    runTransfer(multi.get(), m_cancelled, t);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_multi = nullptr;
    }
    recordOutcome(t, m_request, m_cancelled, r);
    curl_multi_remove_handle(multi.get(), t.easy);
}
