#pragma once
// The JSON-RPC 2.0 dispatcher: checks the request's envelope, finds the method
// in its table, checks the number of arguments and runs it. Whatever goes
// wrong, the caller gets a response body: a result or a JSON-RPC error.
#include "access/sessionstore.h"
#include "rpc/arguments.h"
#include "rpc/callregistry.h"
#include "rpc/responseencoder.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace zavserver {

enum class RequestFormat { Json, Cbor };

// The path a call came in at: a screen's module, or the host's sign-in
// path, where only the methods offered there (signing in and out) answer.
enum class Door { Module, Session };

// What the connection tells of a caller: the token of its Authorization
// header ("Bearer ..."), empty without one, its address and its door.
struct Caller {
    QByteArray bearer;
    QString address;
    Door door = Door::Module;
};

// One call as its method sees it: the arguments, the caller, and the session
// the call was made under (null for a method open to anyone, as Login).
// A long method says how far it has come through progress (done of total
// units of its work), which its caller may ask for while the call runs; it
// may be empty, and is safe to call from any thread.
struct Call {
    const Arguments& arguments;
    const Caller& caller;
    const SessionRecord* session = nullptr;
    std::function<void(int done, int total)> progress;
    // Whom a call open to anyone says it is for (Login's operator), for the
    // log; may be null.
    QString* tried = nullptr;
    // How long its answer is to be held back before it is sent (without a
    // worker); may be null.
    int* answerDelayMs = nullptr;
};

// What the call log records of one call.
struct CallOutcome {
    QString method;        // empty when the request named none
    int rows = -1;         // rows of the result's packet; -1 without a packet
    int code = 0;          // 0 on success, else the JSON-RPC error code
    QString message;       // the error's text
    QString from;          // the caller's address, as the connection shows it
    QString by;            // the session's operator, when the call had one
    QString tried;         // the operator a sign-in tried, when it failed
    int answerDelayMs = 0; // the answer held back this long before it is sent (a guessed sign-in)
    int httpStatus = 200;
};

class RpcDispatcher {
public:
    // A method writes its result into the encoder and fails by throwing
    // RpcError (or zavdb::DatabaseError, reported as a server error).
    using Method = std::function<void(const Call& call, ResponseEncoder& result)>;
    // Every method asks for a session but those open to anyone (signing in).
    enum class Access { Session, Open };
    // Every call made under a session whose id is a text of the registry's
    // form is followed while it runs (its progress may be asked for), but the
    // calls of a method that only asks (the question itself).
    enum class Follow { Yes, No };
    // The open session of a token, renewed; nothing when there is none. It
    // throws zavdb::DatabaseError when the database cannot say.
    using SessionCheck = std::function<std::optional<SessionRecord>(const QByteArray& token)>;

    void add(const QString& name, int arity, Method method, Access access = Access::Session,
             Follow follow = Follow::Yes);
    bool has(const QString& name) const { return m_methods.contains(name); }
    // Offers a method added before at the host's sign-in path too; any other
    // method called there is not found, whatever the session.
    void offerAtSessionDoor(const QString& name);
    // Every method's name, sorted.
    QStringList methodNames() const {
        QStringList names = m_methods.keys();
        names.sort();
        return names;
    }
    // Where a call runs: the long ones (that wait on an authority) on
    // threads of their own, sign-ins (a slow hash each) on threads of their
    // own, the rest on the ordinary workers.
    enum class Lane { Short, Long, SignIn };
    void setLane(const QString& name, Lane lane) { m_lanes.insert(name, lane); }
    // The lane of a request: its method's, and Long for any body over
    // kOpenBodyBytes (only a cancellation carries one); read on the
    // connections' thread, so small bodies only.
    Lane laneOf(const QByteArray& body, RequestFormat format) const;
    static constexpr qsizetype kOpenBodyBytes = 4096;
    // Without a check, every call that needs a session is refused.
    void setSessionCheck(SessionCheck check) { m_sessionCheck = std::move(check); }

    // Whether a token is that of an open session, asked before a large body
    // is read; Unknown, with the incident's text, when the database cannot say.
    enum class SessionState { Open, Closed, Unknown };
    SessionState sessionState(const QByteArray& token, QString* incident) const;

    QByteArray dispatch(const QByteArray& body, RequestFormat format, const Caller& caller,
                        ResponseEncoder& encoder, CallOutcome& outcome) const;

    // The calls running, for the method that tells their progress.
    CallRegistry& calls() const { return *m_calls; }
    // Names the method answered on the connection's own thread (no worker, no
    // database): the question about a running call's progress.
    void setAnsweredAtOnce(const QString& name) { m_atOnce = name; }
    // The answer to a small request for that method, made with the token of a
    // session the registry knows (a session with a call running, checked when
    // that call began); nothing for any other request, which goes to a worker
    // and its session check as every call does.
    std::optional<QByteArray> answerAtOnce(const QByteArray& body, RequestFormat format, const Caller& caller,
                                           ResponseEncoder& encoder, CallOutcome& outcome) const;
    // The largest body answerAtOnce reads.
    static constexpr qsizetype kAtOnceBytes = 1024;

private:
    struct Entry {
        int arity = 0;
        Method method;
        Access access = Access::Session;
        Follow follow = Follow::Yes;
        bool atSessionDoor = false;
    };
    // The entry of a method, or a "method not found" error.
    const Entry& methodNamed(const QString& name) const;
    // A "method not found" error unless the method is offered at the door.
    void checkDoor(const QString& name, Door door) const;

    // The caller's session; RpcError Unauthorized without one. Checked before
    // the method is looked up, so that a caller without a session learns
    // nothing of the methods.
    SessionRecord sessionOf(const Caller& caller, const QString& method) const;

    QHash<QString, Entry> m_methods;
    QHash<QString, Lane> m_lanes;
    SessionCheck m_sessionCheck;
    std::unique_ptr<CallRegistry> m_calls = std::make_unique<CallRegistry>();
    QString m_atOnce;
};

} // namespace zavserver
