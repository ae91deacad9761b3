#include "rpc/rpcdispatcher.h"
#include "log/incidents.h"
#include "rpc/requestcheck.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

#include "database.h"
#include "paths.h"

#include <QCborMap>
#include <QCborParserError>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QScopeGuard>

namespace zavserver {

namespace {

QCborValue parse(const QByteArray& body, RequestFormat format) {
    // Read once as a stream first: nothing is built from a body that breaks a
    // rule, or that would cost too much to build.
    checkRequest(body, format);
    if (format == RequestFormat::Cbor) {
        QCborParserError error;
        QCborValue value = QCborValue::fromCbor(body, &error);
        if (error.error != QCborError::NoError)
            throw RpcError(
                RpcCode::ParseError,
                QStringLiteral("Requisição malformada: CBOR inválido na posição %1.").arg(error.offset));
        return value;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw RpcError(
            RpcCode::ParseError,
            QStringLiteral("Requisição malformada: JSON inválido na posição %1.").arg(error.offset));
    if (document.isArray())
        return QCborValue::fromJsonValue(QJsonValue(document.array()));
    if (document.isObject())
        return QCborValue::fromJsonValue(QJsonValue(document.object()));
    return QCborValue(QCborValue::Undefined); // a bare value: no request object
}

bool validId(const QCborValue& id) {
    return id.isString() || id.isInteger() || id.isDouble() || id.isNull();
}

// One call's object: a batch or a bare value is refused.
QCborMap requestObject(const QByteArray& body, RequestFormat format) {
    const QCborValue request = parse(body, format);
    if (request.isArray())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: lotes de chamadas não são aceitos; envie uma "
                                      "chamada por requisição."));
    if (!request.isMap())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: esperado um objeto JSON-RPC."));
    return request.toMap();
}

// The version and the id. A valid id goes into *id before anything else is
// checked, so that even a refused envelope is answered under its id.
void checkEnvelope(const QCborMap& request, QCborValue* id) {
    const QCborValue requestId = request.value(QLatin1StringView("id"));
    if (validId(requestId))
        *id = requestId;
    if (request.value(QLatin1StringView("jsonrpc")) != QCborValue(QLatin1StringView("2.0")))
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: o campo jsonrpc deve ser \"2.0\"."));
    if (requestId.isUndefined())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: falta o campo id (notificações não são "
                                      "aceitas: toda chamada tem resposta)."));
    if (!validId(requestId))
        throw RpcError(
            RpcCode::InvalidRequest,
            QStringLiteral("Requisição inválida: o campo id deve ser um texto, um número ou nulo."));
}

QString methodName(const QCborMap& request) {
    const QCborValue name = request.value(QLatin1StringView("method"));
    if (!name.isString())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: o campo method deve ser o nome do método."));
    return name.toString();
}

// The arguments as a list of exactly the method's arity.
QCborArray positionalParams(const QCborMap& request, const QString& method, int arity) {
    const QCborValue params = request.value(QLatin1StringView("params"));
    if (params.isMap())
        throw RpcError(RpcCode::InvalidParams,
                       QStringLiteral("Argumentos nomeados não são aceitos: params deve ser uma lista dos "
                                      "argumentos de %1 na ordem.")
                           .arg(method));
    if (!params.isArray() && !params.isUndefined())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: o campo params deve ser uma lista."));
    const QCborArray list = params.toArray();
    if (list.size() != arity)
        throw RpcError(RpcCode::InvalidParams,
                       QStringLiteral("Número de argumentos inválido para %1: esperados %2, recebidos %3")
                           .arg(method)
                           .arg(arity)
                           .arg(list.size()));
    return list;
}

} // namespace

void RpcDispatcher::add(const QString& name, int arity, Method method, Access access, Follow follow) {
    m_methods.insert(name, Entry{arity, std::move(method), access, follow});
}

SessionRecord RpcDispatcher::sessionOf(const Caller& caller, const QString& method) const {
    if (caller.bearer.isEmpty())
        throw RpcError(
            RpcCode::Unauthorized,
            QStringLiteral("Chamada sem sessão: entre no sistema antes de chamar %1.").arg(method));
    std::optional<SessionRecord> session = m_sessionCheck ? m_sessionCheck(caller.bearer) : std::nullopt;
    if (!session)
        throw RpcError(RpcCode::Unauthorized,
                       QStringLiteral("Sessão encerrada ou expirada: entre no sistema de novo."));
    return *session;
}

RpcDispatcher::Lane RpcDispatcher::laneOf(const QByteArray& body, RequestFormat format) const {
    if (body.size() > kOpenBodyBytes)
        return Lane::Long;
    if (m_lanes.isEmpty())
        return Lane::Short;
    try {
        const QCborValue name = requestObject(body, format).value(QLatin1StringView("method"));
        return name.isString() ? m_lanes.value(name.toString(), Lane::Short) : Lane::Short;
    } catch (...) {
        return Lane::Short; // refused by a worker, as always
    }
}

RpcDispatcher::SessionState RpcDispatcher::sessionState(const QByteArray& token, QString* incident) const {
    try {
        if (m_sessionCheck && m_sessionCheck(token))
            return SessionState::Open;
        return SessionState::Closed;
    } catch (const zavdb::DatabaseError& error) {
        ThreadDatabase::discard();
        *incident = Incidents::report(QStringLiteral("Erro no banco de dados"), error.text());
    } catch (const std::exception& error) {
        *incident = Incidents::report(QStringLiteral("Erro interno do servidor"),
                                      QString::fromLocal8Bit(error.what()));
    }
    return SessionState::Unknown;
}

const RpcDispatcher::Entry& RpcDispatcher::methodNamed(const QString& name) const {
    const auto found = m_methods.constFind(name);
    if (found == m_methods.constEnd())
        throw RpcError(RpcCode::MethodNotFound, QStringLiteral("Método desconhecido: %1").arg(name));
    return *found;
}

void RpcDispatcher::offerAtSessionDoor(const QString& name) {
    const auto found = m_methods.find(name);
    Q_ASSERT(found != m_methods.end());
    if (found != m_methods.end())
        found->atSessionDoor = true;
}

void RpcDispatcher::checkDoor(const QString& name, Door door) const {
    if (door == Door::Module)
        return;
    const auto found = m_methods.constFind(name);
    if (found == m_methods.constEnd() || !found->atSessionDoor)
        throw RpcError(RpcCode::MethodNotFound,
                       QStringLiteral("Método desconhecido em %1: %2. Ali só se entra e sai do sistema.")
                           .arg(QLatin1StringView(zavwire::kSessionPath), name));
}

QByteArray RpcDispatcher::dispatch(const QByteArray& body, RequestFormat format, const Caller& caller,
                                   ResponseEncoder& encoder, CallOutcome& outcome) const {
    QCborValue id(nullptr);
    try {
        const QCborMap request = requestObject(body, format);
        checkEnvelope(request, &id);
        outcome.method = methodName(request); // logged even when no such method exists
        checkDoor(outcome.method, caller.door);
        const auto open = m_methods.constFind(outcome.method);
        std::optional<SessionRecord> session;
        if (open == m_methods.constEnd() || open->access == Access::Session) {
            session = sessionOf(caller, outcome.method);
            outcome.by = session->operatorCode;
        }
        const Entry& entry = methodNamed(outcome.method);
        const QCborArray params = positionalParams(request, outcome.method, entry.arity);
        const Arguments arguments(outcome.method, params);
        std::optional<CallRegistry::Registration> followed;
        if (session && entry.follow == Follow::Yes && id.isString() &&
            CallRegistry::acceptableId(id.toString()))
            followed.emplace(m_calls->begin(CallRegistry::digestOf(caller.bearer), id.toString()));
        QString tried;
        const auto noteTried = qScopeGuard([&] { outcome.tried = tried; });
        entry.method(Call{arguments, caller, session ? &*session : nullptr,
                          followed ? followed->progress() : std::function<void(int, int)>(),
                          session ? nullptr : &tried, &outcome.answerDelayMs},
                     encoder);
        tried.clear(); // a sign-in that succeeded is logged under its session's operator
        outcome.rows = encoder.rows();
        return encoder.success(id);
    } catch (const RpcError& error) {
        outcome.code = int(error.code());
        outcome.message = error.message();
        if (error.code() == RpcCode::Unauthorized)
            outcome.httpStatus = 401;
    } catch (const zavdb::DatabaseError& error) {
        // Whatever statement failed, the session check included, the
        // connection is not trusted again: the next call opens a fresh one.
        ThreadDatabase::discard();
        outcome.code = int(RpcCode::ServerError);
        outcome.message = Incidents::report(QStringLiteral("Erro no banco de dados"), error.text());
    } catch (const ResponseAbandoned& gone) {
        // The caller went away while its answer was being written: no fault
        // of the server's, and nobody to tell.
        outcome.code = int(RpcCode::ServerError);
        outcome.message = QString::fromUtf8(gone.what());
    } catch (const std::exception& error) {
        outcome.code = int(RpcCode::ServerError);
        outcome.message = Incidents::report(QStringLiteral("Erro interno do servidor"),
                                            QString::fromLocal8Bit(error.what()));
    } catch (...) {
        outcome.code = int(RpcCode::ServerError);
        outcome.message = Incidents::report(QStringLiteral("Erro interno do servidor"),
                                            QStringLiteral("exceção desconhecida em %1").arg(outcome.method));
    }
    outcome.rows = -1;
    return encoder.failure(id, outcome.code, outcome.message);
}

std::optional<QByteArray> RpcDispatcher::answerAtOnce(const QByteArray& body, RequestFormat format,
                                                      const Caller& caller, ResponseEncoder& encoder,
                                                      CallOutcome& outcome) const {
    if (m_atOnce.isEmpty() || body.size() > kAtOnceBytes || caller.bearer.isEmpty() ||
        caller.door != Door::Module)
        return std::nullopt;
    const auto entry = m_methods.constFind(m_atOnce);
    if (entry == m_methods.constEnd())
        return std::nullopt;
    QCborValue id(nullptr);
    QCborMap request;
    try {
        request = requestObject(body, format);
        checkEnvelope(request, &id);
        if (request.value(QLatin1StringView("method")) != QCborValue(m_atOnce))
            return std::nullopt;
    } catch (...) {
        return std::nullopt; // a malformed request is answered by a worker, as always
    }
    if (!m_calls->knows(CallRegistry::digestOf(caller.bearer)))
        return std::nullopt;
    outcome.method = m_atOnce;
    try {
        const QCborArray params = positionalParams(request, m_atOnce, entry->arity);
        const Arguments arguments(m_atOnce, params);
        entry->method(Call{arguments, caller, nullptr, {}}, encoder);
        outcome.rows = encoder.rows();
        return encoder.success(id);
    } catch (const RpcError& error) {
        outcome.code = int(error.code());
        outcome.message = error.message();
    } catch (const std::exception& error) {
        outcome.code = int(RpcCode::ServerError);
        outcome.message = Incidents::report(QStringLiteral("Erro interno do servidor"),
                                            QString::fromLocal8Bit(error.what()));
    }
    outcome.rows = -1;
    return encoder.failure(id, outcome.code, outcome.message);
}

} // namespace zavserver
