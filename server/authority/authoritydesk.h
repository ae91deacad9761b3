#pragma once
// AuthorityDesk: every exchange of this server with one tax authority goes
// through its desk, whichever call it serves, so that the authority's pace is
// the server's, not each call's:
//
// - a bound on the batches in flight to it ("lotes" in the table), shared by
//   every call; each batch holds one connection, so it bounds them too. The
//   connections are kept alive between batches (clients by certificate, at
//   most the bound of them idle) and reused;
// - one breaker for it: after kBreakerFailures batches in a row without an
//   answer (no connection, a timeout), from any call, nothing is sent to it
//   for kOpenFor; then one batch at a time until one is answered. While
//   a batch has just failed, one batch at a time is in flight, so a hung
//   authority costs each call about one timeout, not one per batch;
// - the stop: a waiting call is let go, and once the stop is cut every
//   exchange still waiting on the authority is broken off (its events stay
//   pending, as without an answer).
//
// The pauses an authority asks for (656, 108, 109) live in the database for
// every server (AuthorityPause); the desk is this server's own pace.
#include "authority/authorityclient.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zavserver {

class AuthorityDesk {
public:
    static constexpr int kBreakerFailures = 3;
    static constexpr std::chrono::seconds kOpenFor{30};

    // A batch's place at the authority, with its client; given back with
    // whether the authority answered.
    class Slot {
    public:
        Slot() = default;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        Slot(Slot&& other) noexcept = default;
        Slot& operator=(Slot&& other) noexcept = default;
        ~Slot();

        AuthorityClient& client() { return *m_client; }
        explicit operator bool() const { return m_client != nullptr; }
        // The batch is over: answered (the breaker closes) or not, and why.
        void done(bool answered, const QString& failure = {});

    private:
        friend class AuthorityDesk;
        struct Shared;
        std::shared_ptr<Shared> m_desk;
        std::unique_ptr<AuthorityClient> m_client;
        QString m_certificate;
        bool m_done = false;
    };

    // What acquire() got: a slot, or why none (the breaker is open, the
    // server stops), or nothing yet when asked not to wait.
    struct Admission {
        Slot slot;
        QString refusal; // the breaker's text; empty when a slot came or none yet
        bool stopping = false;
    };

    // The desk of one authority (by the name its pause has), made on first use.
    static AuthorityDesk& of(const QString& authority);

    // A place for one batch towards the authority, within `limit` batches in
    // flight for the whole server. Waits for one when `wait` is set, else
    // comes back at once without one. makeClient makes a client for the
    // certificate when no idle one of it is kept.
    Admission acquire(int limit, const QString& certificate, bool wait,
                      const std::function<std::unique_ptr<AuthorityClient>()>& makeClient);

    // Breaks off every exchange in flight (the stop, cut).
    static void cutAll();

    // Batches in flight to the authority from this server.
    int inFlight() const;

    // Every desk made so far, as the metrics show it.
    struct State {
        QString authority;
        int inFlight = 0;
        bool breakerOpen = false;
    };
    static std::vector<State> states();

private:
    explicit AuthorityDesk(QString name);
    Admission reserve(int limit, const QString& certificate, bool wait);
    std::shared_ptr<Slot::Shared> m_shared;
};

} // namespace zavserver
