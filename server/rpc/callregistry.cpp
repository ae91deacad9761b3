#include "rpc/callregistry.h"
#include "rpc/rpcerror.h"

#include <sodium.h>

#include <algorithm>

namespace zavserver {

struct CallRegistry::Entry {
    Digest session{};
    QString id;
    bool running = true;
    bool signedOut = false; // its session ended here: no answer without the database
    int done = 0;
    int total = 0;
    Clock::time_point changed;
    Clock::time_point ended;
};

namespace {

bool sameSession(const CallRegistry::Digest& a, const CallRegistry::Digest& b) {
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

CallRegistry::Digest CallRegistry::digestOf(const QByteArray& bearer) {
    static const int ready = sodium_init(); // thread-safe, once; 1 when done before
    Q_UNUSED(ready);
    Digest digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(bearer.constData()),
                       quint64(bearer.size()));
    return digest;
}

bool CallRegistry::acceptableId(const QString& id) {
    if (id.isEmpty() || id.size() > kMaxIdLength)
        return false;
    return std::all_of(id.cbegin(), id.cend(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
               c == u'-' || c == u'_' || c == u'.';
    });
}

CallRegistry::Registration::Registration(CallRegistry* registry, std::shared_ptr<Entry> entry)
    : m_registry(registry), m_entry(std::move(entry)) {}

CallRegistry::Registration::~Registration() {
    if (m_registry && m_entry)
        m_registry->end(*m_entry);
}

std::function<void(int, int)> CallRegistry::Registration::progress() const {
    if (!m_registry || !m_entry)
        return {};
    return [registry = m_registry, entry = m_entry](int done, int total) {
        registry->record(*entry, done, total);
    };
}

CallRegistry::Registration CallRegistry::begin(const Digest& session, const QString& id) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    forgetOld(now);
    int running = 0;
    int ended = 0;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry& e = **it;
        if (!sameSession(e.session, session)) {
            ++it;
            continue;
        }
        if (e.id == id) {
            if (e.running)
                throw RpcError(RpcCode::InvalidRequest,
                               QStringLiteral("Requisição inválida: já há uma chamada em andamento com o id "
                                              "\"%1\" nesta sessão; cada chamada deve ter um id próprio.")
                                   .arg(id));
            it = m_entries.erase(it); // an ended call's id used again: the new call is the one followed
            continue;
        }
        ++(e.running ? running : ended);
        ++it;
    }
    if (running >= kMaxRunningPerSession)
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Muitas chamadas em andamento nesta sessão (%1); aguarde o fim de uma "
                                      "delas.")
                           .arg(running));
    const auto oldestEnded = [this](const Digest* of) {
        auto oldest = m_entries.end();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            if (!(*it)->running && (!of || sameSession((*it)->session, *of)) &&
                (oldest == m_entries.end() || (*it)->ended < (*oldest)->ended))
                oldest = it;
        return oldest;
    };
    if (ended >= kMaxEndedPerSession)
        m_entries.erase(oldestEnded(&session));
    if (qsizetype(m_entries.size()) >= kMaxEntries) {
        const auto oldest = oldestEnded(nullptr);
        if (oldest == m_entries.end())
            throw RpcError(RpcCode::ServerError,
                           QStringLiteral("O servidor está com chamadas demais em andamento; tente de novo "
                                          "em instantes."));
        m_entries.erase(oldest);
    }
    auto entry = std::make_shared<Entry>();
    entry->session = session;
    entry->id = id;
    entry->changed = now;
    m_entries.push_back(entry);
    return Registration(this, std::move(entry));
}

CallRegistry::Snapshot CallRegistry::look(const Digest& session, const QString& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = Clock::now();
    for (const std::shared_ptr<Entry>& e : m_entries)
        if (sameSession(e->session, session) && e->id == id) {
            if (!e->running && now - e->ended > std::chrono::seconds(kKeepEndedSeconds))
                break;
            return Snapshot{e->running ? State::Running : State::Ended, e->done, e->total};
        }
    return {};
}

bool CallRegistry::knows(const Digest& session) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool known = false;
    // Every entry is compared, so that the time taken says nothing of which
    // one matched.
    for (const std::shared_ptr<Entry>& e : m_entries) {
        known = (sameSession(e->session, session) && e->running && !e->signedOut) || known;
    }
    return known;
}

void CallRegistry::forgetSession(const Digest& session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (!sameSession((*it)->session, session)) {
            ++it;
            continue;
        }
        if ((*it)->running) {
            (*it)->signedOut = true; // ended with its registration
            ++it;
        } else {
            it = m_entries.erase(it);
        }
    }
}

void CallRegistry::record(Entry& entry, int done, int total) {
    // What a method says of itself is kept within sense: no negative counts,
    // no more done than there is.
    total = std::max(total, 0);
    done = std::clamp(done, 0, total);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!entry.running || (entry.done == done && entry.total == total))
        return;
    entry.done = done;
    entry.total = total;
    entry.changed = Clock::now();
}

void CallRegistry::end(Entry& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    entry.running = false;
    entry.ended = Clock::now();
}

void CallRegistry::forgetOld(Clock::time_point now) {
    std::erase_if(m_entries, [now](const std::shared_ptr<Entry>& e) {
        return !e->running && now - e->ended > std::chrono::seconds(kKeepEndedSeconds);
    });
}

} // namespace zavserver
