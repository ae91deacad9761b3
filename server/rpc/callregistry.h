#pragma once
// The calls running under each session, so that their callers may ask how far
// they have come while they run (Progresso_Chamada). A call is known by the
// session that made it and the id its caller gave it; the session is kept only
// as the SHA-256 of its token, the same digest the database keeps, compared in
// constant time, so that answering a question needs neither a worker thread
// nor the database.
//
// Everything is bounded: an id is a text of 1 to 64 characters of a small
// alphabet; a session has at most kMaxRunningPerSession calls running and
// kMaxEndedPerSession ended ones remembered; the registry holds at most
// kMaxEntries in all. An ended call is remembered for kKeepEndedSeconds, so
// that its caller learns that it ended even when its own answer is slower to
// arrive than the question.
#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zavserver {

class CallRegistry {
public:
    static constexpr qsizetype kMaxIdLength = 64;
    static constexpr int kMaxRunningPerSession = 8;
    static constexpr int kMaxEndedPerSession = 16;
    static constexpr int kMaxEntries = 1024;
    static constexpr int kKeepEndedSeconds = 60;

    using Digest = std::array<unsigned char, 32>;
    using Clock = std::chrono::steady_clock;

    // The digest a session is known by: the SHA-256 of its bearer token.
    static Digest digestOf(const QByteArray& bearer);
    // Whether a text may be a followed call's id: 1 to 64 letters, digits,
    // '-', '_' or '.'.
    static bool acceptableId(const QString& id);

    enum class State { Unknown, Running, Ended };
    struct Snapshot {
        State state = State::Unknown;
        int done = 0;
        int total = 0; // 0: the call has not said how much work it has
    };

    struct Entry;
    // A running call, registered while it lives; its destruction marks the
    // call ended. progress() records (done, total) from any thread.
    class Registration {
    public:
        Registration() = default;
        Registration(CallRegistry* registry, std::shared_ptr<Entry> entry);
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        Registration(Registration&& other) noexcept = default;
        Registration& operator=(Registration&&) = delete;

        std::function<void(int done, int total)> progress() const;

    private:
        CallRegistry* m_registry = nullptr;
        std::shared_ptr<Entry> m_entry;
    };

    // Registers a running call; throws RpcError when the session already runs
    // a call of that id, or has (or the server has) too many running.
    Registration begin(const Digest& session, const QString& id);
    // What the session may know of its call of that id; Unknown for an id it
    // never used or that is forgotten, and for any other session's call.
    Snapshot look(const Digest& session, const QString& id) const;
    // Whether the session has a call running here (which proves that its
    // token was valid when that call was made) and was not signed out since.
    // Questions of any other session go to a worker and its session check.
    bool knows(const Digest& session) const;
    // The session was signed out: its ended calls are forgotten, and its
    // running ones are no reason to answer without the database any more.
    void forgetSession(const Digest& session);

private:
    void record(Entry& entry, int done, int total);
    void end(Entry& entry);
    // Drops the ended calls that are too old; under the lock.
    void forgetOld(Clock::time_point now);

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Entry>> m_entries;
};

} // namespace zavserver
