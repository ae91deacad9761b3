#include "metrics/metrics.h"

#include "authority/eventtransmission.h"
#include "rpc/rpcerror.h"

#include <array>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <set>

namespace zavserver {

namespace {

using Counter = std::atomic<quint64>;

// The upper bounds (seconds) of the latency buckets; +Inf follows.
constexpr std::array<double, 15> kCallBounds{0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                             1,     2.5,   5,    10,    30,   60,  300};
constexpr std::array<double, 11> kAuthorityBounds{0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60, 120};

constexpr std::array<const char*, 6> kOutcomes{"ok",        "invalid", "unauthorized", "signin_refused",
                                               "forbidden", "error"};
constexpr int kOther = Metrics::kMaxMethods; // the method slot of every unknown name
constexpr int kMethodSlots = Metrics::kMaxMethods + 1;
const char* const kSignInMethod = "Login";

struct CallCounters {
    std::array<std::array<Counter, kOutcomes.size()>, kMethodSlots> calls{};
    std::array<std::array<Counter, kCallBounds.size() + 1>, kMethodSlots> buckets{};
    std::array<Counter, kMethodSlots> sumMicros{};
};

// The methods' names: written once at start, read by every call after.
struct MethodNames {
    std::array<QString, Metrics::kMaxMethods> names;
    int count = 0;
};

MethodNames& methodNames() {
    static MethodNames names;
    return names;
}

CallCounters& callCounters() {
    static CallCounters counters;
    return counters;
}

struct Plain {
    std::array<Counter, 3> cancellations{}; // C, P, N
    Counter databaseErrors{0};
    Counter reconnects{0};
    Counter signInFailures{0};
};

Plain& plain() {
    static Plain p;
    return p;
}

// The authorities' side: once per batch of up to 20 events, so a lock will do.
struct Histogram {
    std::array<quint64, kAuthorityBounds.size() + 1> buckets{};
    double sum = 0;
    quint64 count = 0;
};

struct AuthorityCounters {
    std::mutex mutex;
    std::set<QString> authorities;
    std::map<std::pair<QString, QString>, quint64> answers; // (authority, cstat)
    std::map<QString, quint64> registered;
    std::map<QString, Histogram> latency;
};

AuthorityCounters& authorityCounters() {
    static AuthorityCounters counters;
    return counters;
}

int methodSlot(const QString& method) {
    const MethodNames& m = methodNames();
    for (int i = 0; i < m.count; ++i)
        if (m.names[size_t(i)] == method)
            return i;
    return kOther;
}

QByteArray number(double value) {
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(value, 'g', 12);
}

QByteArray number(quint64 value) {
    return QByteArray::number(value);
}

void header(QByteArray& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// A sample line: name{labels} value.
void sample(QByteArray& out, const char* name, const QByteArray& labels, const QByteArray& value) {
    out += name;
    if (!labels.isEmpty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

QByteArray label(const char* name, const QString& value) {
    return QByteArray(name) + "=\"" + Metrics::escape(value) + '"';
}

template <size_t N, typename Count>
void histogram(QByteArray& out, const char* name, const QByteArray& labels,
               const std::array<double, N>& bounds, const Count& bucketAt, double sum) {
    const QByteArray bucket = QByteArray(name) + "_bucket";
    const QByteArray prefix = labels.isEmpty() ? QByteArray() : labels + ',';
    quint64 cumulative = 0;
    for (size_t i = 0; i <= N; ++i) {
        cumulative += bucketAt(i);
        const QByteArray le = i < N ? number(bounds[i]) : QByteArray("+Inf");
        sample(out, bucket.constData(), prefix + "le=\"" + le + '"', number(cumulative));
    }
    sample(out, (QByteArray(name) + "_sum").constData(), labels, number(sum));
    sample(out, (QByteArray(name) + "_count").constData(), labels, number(cumulative));
}

void renderCalls(QByteArray& out) {
    const MethodNames& m = methodNames();
    CallCounters& c = callCounters();
    const auto nameOf = [&m](int slot) {
        return slot == kOther ? QStringLiteral("other") : m.names[size_t(slot)];
    };
    const auto slots = [&m] {
        QList<int> all;
        for (int i = 0; i < m.count; ++i)
            all.append(i);
        all.append(kOther);
        return all;
    }();
    header(out, "zav_calls_total", "counter", "Calls answered, by method and outcome.");
    for (const int slot : slots)
        for (size_t o = 0; o < kOutcomes.size(); ++o)
            sample(out, "zav_calls_total",
                   label("method", nameOf(slot)) + ',' + label("outcome", QLatin1StringView(kOutcomes[o])),
                   number(c.calls[size_t(slot)][o].load(std::memory_order_relaxed)));
    header(out, "zav_call_duration_seconds", "histogram", "Time from a call's first byte to its answer.");
    for (const int slot : slots)
        histogram(
            out, "zav_call_duration_seconds", label("method", nameOf(slot)), kCallBounds,
            [&](size_t i) { return c.buckets[size_t(slot)][i].load(std::memory_order_relaxed); },
            double(c.sumMicros[size_t(slot)].load(std::memory_order_relaxed)) / 1e6);
    header(out, "zav_signin_failures_total", "counter",
           "Sign-ins refused (wrong operator or password, throttled).");
    sample(out, "zav_signin_failures_total", {},
           number(plain().signInFailures.load(std::memory_order_relaxed)));
}

void renderCancellations(QByteArray& out) {
    header(out, "zav_cancellations_total", "counter",
           "Ticked invoices by what became of them: cancelled, pending at the authority, not cancelled.");
    constexpr std::array<const char*, 3> kSituations{"cancelled", "pending", "not_cancelled"};
    for (size_t i = 0; i < kSituations.size(); ++i)
        sample(out, "zav_cancellations_total", label("outcome", QLatin1StringView(kSituations[i])),
               number(plain().cancellations[i].load(std::memory_order_relaxed)));
}

void renderAuthorities(QByteArray& out) {
    AuthorityCounters& a = authorityCounters();
    std::lock_guard lock(a.mutex);
    header(out, "zav_authority_answers_total", "counter",
           "Events answered by the authorities, by authority and the event's cStat (none: no answer).");
    for (const auto& [key, count] : a.answers)
        sample(out, "zav_authority_answers_total",
               label("authority", key.first) + ',' + label("cstat", key.second), number(count));
    header(out, "zav_events_registered_total", "counter",
           "Cancellation events registered by the authorities (cStat 135, 136, 155).");
    for (const auto& [authority, count] : a.registered)
        sample(out, "zav_events_registered_total", label("authority", authority), number(count));
    header(out, "zav_authority_batch_duration_seconds", "histogram",
           "Time of one batch's exchange with its authority.");
    for (const auto& [authority, h] : a.latency)
        histogram(
            out, "zav_authority_batch_duration_seconds", label("authority", authority), kAuthorityBounds,
            [&h = h](size_t i) { return h.buckets[i]; }, h.sum);
}

void renderGauges(QByteArray& out, const Metrics::Gauges& g) {
    header(out, "zav_database_up", "gauge", "Whether the database answered at this scrape.");
    sample(out, "zav_database_up", {}, g.databaseUp ? "1" : "0");
    header(out, "zav_database_errors_total", "counter", "Database failures met by the server.");
    sample(out, "zav_database_errors_total", {},
           number(plain().databaseErrors.load(std::memory_order_relaxed)));
    header(out, "zav_database_reconnects_total", "counter",
           "Database connections opened again after one was discarded.");
    sample(out, "zav_database_reconnects_total", {},
           number(plain().reconnects.load(std::memory_order_relaxed)));
    if (g.openSessions >= 0) {
        header(out, "zav_sessions_open", "gauge", "Operators' sessions open (every server of the database).");
        sample(out, "zav_sessions_open", {}, QByteArray::number(g.openSessions));
    }
    header(out, "zav_authority_batches_in_flight", "gauge",
           "Batches in flight to each authority from this server.");
    for (const Metrics::Desk& d : g.desks)
        sample(out, "zav_authority_batches_in_flight", label("authority", d.authority),
               QByteArray::number(d.inFlight));
    header(out, "zav_authority_breaker_open", "gauge",
           "Whether this server's breaker keeps batches from each authority.");
    for (const Metrics::Desk& d : g.desks)
        sample(out, "zav_authority_breaker_open", label("authority", d.authority), d.breakerOpen ? "1" : "0");
    header(out, "zav_authority_paused", "gauge",
           "Whether an authority asked for a pause still in force (every server).");
    for (const Metrics::Pause& p : g.pauses)
        sample(out, "zav_authority_paused",
               label("authority", p.authority) + ',' + label("cstat", QString::number(p.status)),
               p.until > g.now ? "1" : "0");
    header(out, "zav_authority_pause_seconds_left", "gauge", "Seconds until an authority's pause ends.");
    for (const Metrics::Pause& p : g.pauses)
        sample(out, "zav_authority_pause_seconds_left", label("authority", p.authority),
               QByteArray::number(std::max<qint64>(0, p.until - g.now)));
    header(out, "zav_certificate_days_left", "gauge",
           "Days until each certificate expires, an A1 file's or a token's (negative: expired).");
    for (const Metrics::Certificate& c : g.certificates)
        sample(out, "zav_certificate_days_left", label("file", c.file) + ',' + label("serial", c.serial),
               QByteArray::number(c.daysLeft, 'f', 2));
    header(out, "zav_certificates_unreadable", "gauge", "A1 files in the folder that do not open.");
    sample(out, "zav_certificates_unreadable", {}, QByteArray::number(g.unreadableCertificates));
    header(out, "zav_tokens_unavailable", "gauge",
           "PKCS#11 tokens configured that cannot be listed (absent).");
    sample(out, "zav_tokens_unavailable", {}, QByteArray::number(g.unavailableTokens));
}

} // namespace

void Metrics::setMethods(const QStringList& names) {
    MethodNames& m = methodNames();
    m.count = 0;
    for (const QString& name : names) {
        if (m.count == kMaxMethods)
            break;
        m.names[size_t(m.count++)] = name;
    }
}

const char* Metrics::outcomeOf(int code) {
    if (code == 0)
        return kOutcomes[0];
    switch (RpcCode(code)) {
    case RpcCode::ParseError:
    case RpcCode::InvalidRequest:
    case RpcCode::MethodNotFound:
    case RpcCode::InvalidParams:
        return kOutcomes[1];
    case RpcCode::Unauthorized:
        return kOutcomes[2];
    case RpcCode::SignInRefused:
        return kOutcomes[3];
    case RpcCode::Forbidden:
        return kOutcomes[4];
    case RpcCode::ServerError:
        break;
    }
    return kOutcomes[5];
}

void Metrics::call(const QString& method, int code, double milliseconds) {
    const size_t slot = size_t(methodSlot(method));
    size_t outcome = kOutcomes.size() - 1;
    const char* name = outcomeOf(code);
    for (size_t i = 0; i < kOutcomes.size(); ++i)
        if (kOutcomes[i] == name)
            outcome = i;
    CallCounters& c = callCounters();
    c.calls[slot][outcome].fetch_add(1, std::memory_order_relaxed);
    const double seconds = milliseconds / 1000.0;
    size_t bucket = 0;
    while (bucket < kCallBounds.size() && seconds > kCallBounds[bucket])
        ++bucket;
    c.buckets[slot][bucket].fetch_add(1, std::memory_order_relaxed);
    c.sumMicros[slot].fetch_add(quint64(std::max(0.0, milliseconds * 1000.0)), std::memory_order_relaxed);
    if (code != 0 && method == QLatin1StringView(kSignInMethod))
        plain().signInFailures.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::cancellation(const char* situation) {
    const size_t i = situation[0] == 'C' ? 0 : situation[0] == 'P' ? 1 : 2;
    plain().cancellations[i].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::lot(const QString& authority, const LotResult& result, double seconds) {
    AuthorityCounters& a = authorityCounters();
    std::lock_guard lock(a.mutex);
    QString name = authority;
    if (!a.authorities.count(name)) {
        if (int(a.authorities.size()) >= kMaxAuthorities)
            name = QStringLiteral("other");
        else
            a.authorities.insert(name);
    }
    for (const TransmissionResult& r : result.results) {
        std::pair<QString, QString> key{name,
                                        r.status > 0 ? QString::number(r.status) : QStringLiteral("none")};
        if (!a.answers.count(key) && int(a.answers.size()) >= kMaxAuthorityCells)
            key.second = QStringLiteral("other");
        ++a.answers[key];
        if (r.kind == TransmissionResult::Kind::Registered)
            ++a.registered[name];
    }
    Histogram& h = a.latency[name];
    size_t bucket = 0;
    while (bucket < kAuthorityBounds.size() && seconds > kAuthorityBounds[bucket])
        ++bucket;
    ++h.buckets[bucket];
    h.sum += seconds;
    ++h.count;
}

void Metrics::databaseError() {
    plain().databaseErrors.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::reconnect() {
    plain().reconnects.fetch_add(1, std::memory_order_relaxed);
}

QByteArray Metrics::escape(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray Metrics::render(const Gauges& gauges) {
    QByteArray out;
    out.reserve(qsizetype{16} * 1024);
    renderCalls(out);
    renderCancellations(out);
    renderAuthorities(out);
    renderGauges(out, gauges);
    return out;
}

} // namespace zavserver
