#include "authority/authoritydesk.h"

#include "rpc/servicestop.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

namespace zavserver {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting call looks at the stop.
constexpr auto kStopLook = std::chrono::milliseconds(100);

} // namespace

struct AuthorityDesk::Slot::Shared {
    QString name;
    mutable std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;
    int failedInARow = 0;
    QString lastFailure;
    Clock::time_point openUntil{};
    std::multimap<QString, std::unique_ptr<AuthorityClient>> idle; // by certificate
    std::set<AuthorityClient*> busy;                               // in flight, for the cut

    // answered: nothing when the place went unused.
    void giveBack(std::unique_ptr<AuthorityClient> client, const QString& certificate,
                  std::optional<bool> answered, const QString& failure) {
        std::unique_lock lock(mutex);
        busy.erase(client.get());
        --inFlight;
        if (answered == true) {
            failedInARow = 0;
        } else if (answered == false && !ServiceStop::isCut()) {
            // (A batch broken off by the stop says nothing of the authority.)
            lastFailure = failure;
            if (++failedInARow >= kBreakerFailures)
                openUntil = Clock::now() + kOpenFor;
        }
        // Kept alive for the next batch, within the bound: an idle client
        // over it (of another certificate, say) is closed.
        if (client && answered != false && !ServiceStop::isCut()) {
            idle.emplace(certificate, std::move(client));
            while (int(idle.size()) > std::max(1, inFlight + 4))
                idle.erase(idle.begin());
        }
        lock.unlock();
        changed.notify_all();
    }
};

namespace {

std::mutex g_desksMutex;
std::map<QString, std::unique_ptr<AuthorityDesk>>& desks() {
    static std::map<QString, std::unique_ptr<AuthorityDesk>> all;
    return all;
}

} // namespace

AuthorityDesk::Slot::~Slot() {
    // A place given back unused says nothing of the authority.
    if (m_desk && !m_done)
        m_desk->giveBack(std::move(m_client), m_certificate, std::nullopt, {});
}

void AuthorityDesk::Slot::done(bool answered, const QString& failure) {
    if (m_done || !m_desk)
        return;
    m_done = true;
    m_desk->giveBack(std::move(m_client), m_certificate, answered, failure);
}

AuthorityDesk::AuthorityDesk(QString name) : m_shared(std::make_shared<Slot::Shared>()) {
    m_shared->name = std::move(name);
}

AuthorityDesk& AuthorityDesk::of(const QString& authority) {
    std::lock_guard lock(g_desksMutex);
    std::unique_ptr<AuthorityDesk>& desk = desks()[authority];
    if (!desk)
        desk.reset(new AuthorityDesk(authority));
    return *desk;
}

int AuthorityDesk::inFlight() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->inFlight;
}

std::vector<AuthorityDesk::State> AuthorityDesk::states() {
    std::vector<State> all;
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(g_desksMutex);
    for (const auto& [name, desk] : desks()) {
        std::lock_guard deskLock(desk->m_shared->mutex);
        const Slot::Shared& s = *desk->m_shared;
        all.push_back(State{name, s.inFlight, s.failedInARow >= kBreakerFailures && now < s.openUntil});
    }
    return all;
}

void AuthorityDesk::cutAll() {
    ServiceStop::cut();
    std::lock_guard lock(g_desksMutex);
    for (auto& [name, desk] : desks()) {
        std::lock_guard deskLock(desk->m_shared->mutex);
        for (AuthorityClient* client : desk->m_shared->busy)
            client->abort();
        desk->m_shared->idle.clear();
        desk->m_shared->changed.notify_all();
    }
}

AuthorityDesk::Admission
AuthorityDesk::acquire(int limit, const QString& certificate, bool wait,
                       const std::function<std::unique_ptr<AuthorityClient>()>& makeClient) {
    Admission a = reserve(limit, certificate, wait);
    if (!a.slot.m_desk)
        return a;
    if (!a.slot.m_client)
        a.slot.m_client = makeClient();
    std::lock_guard lock(m_shared->mutex);
    m_shared->busy.insert(a.slot.m_client.get());
    if (ServiceStop::isCut())
        a.slot.m_client->abort();
    return a;
}

AuthorityDesk::Admission AuthorityDesk::reserve(int limit, const QString& certificate, bool wait) {
    Admission a;
    Slot::Shared& s = *m_shared;
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (ServiceStop::requested()) {
            a.stopping = true;
            return a;
        }
        const Clock::time_point now = Clock::now();
        if (s.failedInARow >= kBreakerFailures && now < s.openUntil) {
            a.refusal =
                QStringLiteral("SEFAZ indisponível (%1 lotes sem resposta: %2): nota fiscal não enviada.")
                    .arg(s.failedInARow)
                    .arg(s.lastFailure);
            return a;
        }
        // After a batch without an answer, one at a time until one is answered.
        const int bound = s.failedInARow > 0 ? 1 : std::max(1, limit);
        if (s.inFlight < bound)
            break;
        if (!wait)
            return a;
        s.changed.wait_for(lock, kStopLook);
    }
    ++s.inFlight;
    a.slot.m_desk = m_shared;
    a.slot.m_certificate = certificate;
    if (auto it = s.idle.find(certificate); it != s.idle.end()) {
        a.slot.m_client = std::move(it->second);
        s.idle.erase(it);
    }
    return a;
}

} // namespace zavserver
