#include "methods/signin.h"
#include "access/credentials.h"
#include "access/loginthrottle.h"
#include "access/operatorstore.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

#include <QDateTime>

#include <array>

namespace zavserver {

namespace {

const std::array<PacketField, 4> kSessionFields{{
    {QStringLiteral("OPERADOR"), FieldType::String, credentials::kMaxOperatorLength},
    {QStringLiteral("NMOPERADOR"), FieldType::String, 60},
    {QStringLiteral("TOKEN"), FieldType::String, credentials::kTokenLength},
    {QStringLiteral("VALIDADE"), FieldType::Float, 10},
}};

const QString kRefused = QStringLiteral("Operador ou senha inválidos.");

// The password exactly as typed (blanks are part of it), bounded before it is
// hashed.
QString passwordOf(const Arguments& a) {
    const QCborValue v = a.value(2);
    if (!v.isString())
        a.reject(2, QStringLiteral("senha"), QStringLiteral("esperado um texto"));
    QString password = v.toString();
    if (password.isEmpty())
        a.reject(2, QStringLiteral("senha"), QStringLiteral("deve ser informada"));
    if (password.toUtf8().size() > credentials::kMaxPasswordBytes)
        throw RpcError(RpcCode::SignInRefused, kRefused);
    return password;
}

} // namespace

void SignIn::login(const SessionPolicy& policy, const Call& call, ResponseEncoder& out) {
    const Arguments& a = call.arguments;
    QString code;
    try {
        code =
            credentials::operatorCode(a.text(1, QStringLiteral("operador"), credentials::kMaxOperatorLength));
    } catch (const AccessError& e) {
        a.reject(1, QStringLiteral("operador"), e.text());
    }
    const QString password = passwordOf(a);
    QSqlDatabase& db = ThreadDatabase::get();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    LoginThrottle throttle(db);
    const QStringList keys{LoginThrottle::operatorKey(code), LoginThrottle::addressKey(call.caller.address)};
    if (const qint64 wait = throttle.wait(keys, now); wait > 0)
        throw RpcError(
            RpcCode::SignInRefused,
            QStringLiteral("Muitas tentativas de entrada sem sucesso: tente de novo em %1 s.").arg(wait));
    const std::optional<OperatorRecord> record = OperatorStore(db).find(code);
    bool accepted = false;
    if (record && record->active)
        accepted = credentials::verifyPassword(record->passwordHash, password);
    else
        credentials::verifyNothing(password); // the same time whether or not the operator exists
    if (!accepted) {
        throttle.failed(keys, now);
        throw RpcError(RpcCode::SignInRefused, kRefused);
    }
    throttle.clear(keys.first());
    const SessionStore::Opened opened = SessionStore(db, policy).open(code, call.caller.address, now);
    out.beginPacket(kSessionFields);
    out.beginRow();
    out.text(record->code.toUtf8());
    out.text(record->name.toUtf8());
    out.text(opened.token);
    out.number(double(opened.session.expires - now));
    out.endRow();
    out.endPacket();
}

void SignIn::logout(const Call& call, ResponseEncoder& out) {
    SessionStore(ThreadDatabase::get(), {}).close(call.caller.bearer, QDateTime::currentSecsSinceEpoch());
    out.nullResult();
}

} // namespace zavserver
