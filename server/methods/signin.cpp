#include "access/credentials.h"
#include "access/loginthrottle.h"
#include "access/operatorstore.h"
#include "methods/handlers.h"
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

void signIn(const SessionPolicy& policy, const Call& call, ResponseEncoder& out) {
    const Arguments& a = call.arguments;
    QString code;
    try {
        code =
            credentials::operatorCode(a.text(1, QStringLiteral("operador"), credentials::kMaxOperatorLength));
    } catch (const AccessError& e) {
        a.reject(1, QStringLiteral("operador"), e.text());
    }
    const QString password = passwordOf(a);
    if (call.tried)
        *call.tried = code; // the log says whom a failed sign-in tried
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // Counted before the password is checked, so that guesses sent at once
    // are counted one after another. The first statement of the call: a
    // connection that broke meanwhile is opened again and asked once more
    // (an attempt counted twice only slows the next one).
    const LoginThrottle::Admission admission = ThreadDatabase::readWithRetry(
        [&] { return LoginThrottle(ThreadDatabase::get()).begin(code, call.caller.address, now); });
    if (admission.wait > 0)
        throw RpcError(RpcCode::SignInRefused,
                       QStringLiteral("Muitas tentativas de entrada sem sucesso: tente de novo em %1 s.")
                           .arg(admission.wait));
    QSqlDatabase& db = ThreadDatabase::get();
    const std::optional<OperatorRecord> record = OperatorStore(db).find(code);
    bool accepted = false;
    if (record && record->active)
        accepted = credentials::verifyPassword(record->passwordHash, password);
    else
        credentials::verifyNothing(password); // the same time whether or not the operator exists
    if (!accepted) {
        // A guesser of an operator guessed at from everywhere learns of each
        // failure a moment later (the answer waits without a worker); the
        // right password is never held back.
        if (admission.slowed && call.answerDelayMs)
            *call.answerDelayMs = LoginThrottle::kOperatorDelayMs;
        throw RpcError(RpcCode::SignInRefused, kRefused); // counted already
    }
    LoginThrottle(db).succeeded(code, call.caller.address);
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

void signOut(const Call& call, ResponseEncoder& out) {
    SessionStore(ThreadDatabase::get(), {}).close(call.caller.bearer, QDateTime::currentSecsSinceEpoch());
    out.nullResult();
}

} // namespace zavserver
