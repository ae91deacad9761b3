#include "rpc/rpcdispatcher.h"
#include "rpc/rpcerror.h"

#include "database.h"

#include <QCborMap>
#include <QCborParserError>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace zavserver {

namespace {

QCborValue parse(const QByteArray& body, RequestFormat format) {
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

} // namespace

void RpcDispatcher::add(const QString& name, int arity, Method method) {
    m_methods.insert(name, Entry{arity, std::move(method)});
}

QByteArray RpcDispatcher::dispatch(const QByteArray& body, RequestFormat format, ResponseEncoder& encoder,
                                   CallOutcome& outcome) const {
    QCborValue id(nullptr);
    try {
        const QCborValue request = parse(body, format);
        if (request.isArray())
            throw RpcError(RpcCode::InvalidRequest,
                           QStringLiteral("Requisição inválida: lotes de chamadas não são aceitos; envie uma "
                                          "chamada por requisição."));
        if (!request.isMap())
            throw RpcError(RpcCode::InvalidRequest,
                           QStringLiteral("Requisição inválida: esperado um objeto JSON-RPC."));
        const QCborMap map = request.toMap();

        const QCborValue requestId = map.value(QLatin1StringView("id"));
        if (validId(requestId))
            id = requestId;
        if (map.value(QLatin1StringView("jsonrpc")) != QCborValue(QLatin1StringView("2.0")))
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
        const QCborValue methodName = map.value(QLatin1StringView("method"));
        if (!methodName.isString())
            throw RpcError(RpcCode::InvalidRequest,
                           QStringLiteral("Requisição inválida: o campo method deve ser o nome do método."));
        outcome.method = methodName.toString();

        const auto found = m_methods.constFind(outcome.method);
        if (found == m_methods.constEnd())
            throw RpcError(RpcCode::MethodNotFound,
                           QStringLiteral("Método desconhecido: %1").arg(outcome.method));

        const QCborValue params = map.value(QLatin1StringView("params"));
        if (params.isMap())
            throw RpcError(
                RpcCode::InvalidParams,
                QStringLiteral("Argumentos nomeados não são aceitos: params deve ser uma lista dos "
                               "argumentos de %1 na ordem.")
                    .arg(outcome.method));
        if (!params.isArray() && !params.isUndefined())
            throw RpcError(RpcCode::InvalidRequest,
                           QStringLiteral("Requisição inválida: o campo params deve ser uma lista."));
        const QCborArray list = params.toArray();
        if (list.size() != found->arity)
            throw RpcError(RpcCode::InvalidParams,
                           QStringLiteral("Número de argumentos inválido para %1: esperados %2, recebidos %3")
                               .arg(outcome.method)
                               .arg(found->arity)
                               .arg(list.size()));

        found->method(Arguments(outcome.method, list), encoder);
        outcome.rows = encoder.rows();
        return encoder.success(id);
    } catch (const RpcError& error) {
        outcome.code = int(error.code());
        outcome.message = error.message();
    } catch (const zavdb::DatabaseError& error) {
        outcome.code = int(RpcCode::ServerError);
        outcome.message = error.text();
    } catch (const std::exception& error) {
        outcome.code = int(RpcCode::ServerError);
        outcome.message =
            QStringLiteral("Erro interno do servidor: %1").arg(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        outcome.code = int(RpcCode::ServerError);
        outcome.message = QStringLiteral("Erro interno do servidor.");
    }
    outcome.rows = -1;
    return encoder.failure(id, outcome.code, outcome.message);
}

} // namespace zavserver
