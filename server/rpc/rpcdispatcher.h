#pragma once
// The JSON-RPC 2.0 dispatcher: checks the request's envelope, finds the method
// in its table, checks the number of arguments and runs it. Whatever goes
// wrong, the caller gets a response body: a result or a JSON-RPC error.
#include "rpc/arguments.h"
#include "rpc/responseencoder.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <functional>

namespace zavserver {

enum class RequestFormat { Json, Cbor };

// What the call log records of one call.
struct CallOutcome {
    QString method;  // empty when the request named none
    int rows = -1;   // rows of the result's packet; -1 without a packet
    int code = 0;    // 0 on success, else the JSON-RPC error code
    QString message; // the error's text
    QString from;    // the caller's address, as the connection shows it
};

class RpcDispatcher {
public:
    // A method writes its result into the encoder and fails by throwing
    // RpcError (or zavdb::DatabaseError, reported as a server error).
    using Method = std::function<void(const Arguments& arguments, ResponseEncoder& result)>;

    void add(const QString& name, int arity, Method method);
    bool has(const QString& name) const { return m_methods.contains(name); }

    QByteArray dispatch(const QByteArray& body, RequestFormat format, ResponseEncoder& encoder,
                        CallOutcome& outcome) const;

private:
    struct Entry {
        int arity = 0;
        Method method;
    };
    // The entry of a method, or a "method not found" error.
    const Entry& methodNamed(const QString& name) const;

    QHash<QString, Entry> m_methods;
};

} // namespace zavserver
