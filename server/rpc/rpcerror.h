#pragma once
// A JSON-RPC error: its code and the Portuguese text the operator reads in the
// host's error display.
#include <QByteArray>
#include <QString>
#include <exception>

namespace zavserver {

enum class RpcCode : int {
    ParseError = -32700,
    InvalidRequest = -32600,
    MethodNotFound = -32601,
    InvalidParams = -32602,
    ServerError = -32000,
    // No session, or one ended or expired: HTTP 401, sign in again.
    Unauthorized = -32001,
    // Operator and password not accepted, or too many failures just before.
    SignInRefused = -32002,
    // A session whose operator may not do this (another operator's name,
    // another establishment).
    Forbidden = -32003,
};

class RpcError : public std::exception {
public:
    RpcError(RpcCode code, QString message)
        : m_code(code), m_message(std::move(message)), m_what(m_message.toUtf8()) {}

    RpcCode code() const { return m_code; }
    const QString& message() const { return m_message; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    RpcCode m_code;
    QString m_message;
    QByteArray m_what;
};

} // namespace zavserver
