#include "methods/methods.h"
#include "methods/cancelanotafiscal.h"
#include "methods/getnotafiscal.h"
#include "methods/progressochamada.h"
#include "methods/signin.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

void registerMethods(RpcDispatcher& dispatcher, const NfeSettings& settings, const SessionPolicy& sessions) {
    dispatcher.add(
        QStringLiteral("Login"), SignIn::kLoginArity,
        [&sessions](const Call& call, ResponseEncoder& out) { SignIn::login(sessions, call, out); },
        RpcDispatcher::Access::Open);
    dispatcher.add(QStringLiteral("Logout"), SignIn::kLogoutArity,
                   [&calls = dispatcher.calls()](const Call& call, ResponseEncoder& out) {
                       SignIn::logout(call, out);
                       calls.forgetSession(CallRegistry::digestOf(call.caller.bearer));
                   });
    dispatcher.add(QStringLiteral("GetNotaFiscal"), GetNotaFiscal::kArity, &GetNotaFiscal::run);
    dispatcher.add(
        QStringLiteral("Cancela_NotaFiscal"), CancelaNotaFiscal::kArity,
        [&settings](const Call& call, ResponseEncoder& out) { CancelaNotaFiscal::run(settings, call, out); });
    // It waits on the authority: never on the threads that answer the rest.
    dispatcher.setLane(QStringLiteral("Cancela_NotaFiscal"), RpcDispatcher::Lane::Long);
    // A slow hash each: sign-ins never wait behind lists, nor lists behind them.
    dispatcher.setLane(QStringLiteral("Login"), RpcDispatcher::Lane::SignIn);
    // Asked about another call while it runs: answered on the connection's
    // thread when the registry knows the session, so that it is answered even
    // when every worker is busy with long calls.
    const QString progress = QStringLiteral("Progresso_Chamada");
    dispatcher.add(
        progress, ProgressoChamada::kArity,
        [&calls = dispatcher.calls()](const Call& call, ResponseEncoder& out) {
            ProgressoChamada::run(calls, call, out);
        },
        RpcDispatcher::Access::Session, RpcDispatcher::Follow::No);
    dispatcher.setAnsweredAtOnce(progress);
}

} // namespace zavserver
