#include "methods/methods.h"
#include "methods/handlers.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

// The module's table: each method's name and the number of its positional
// arguments, then where it runs and who may call it.
void registerMethods(RpcDispatcher& dispatcher, const NfeSettings& settings, const SessionPolicy& sessions) {
    dispatcher.add(
        QStringLiteral("Login"), 2,
        [&sessions](const Call& call, ResponseEncoder& out) { signIn(sessions, call, out); },
        RpcDispatcher::Access::Open);
    dispatcher.add(QStringLiteral("Logout"), 0,
                   [&calls = dispatcher.calls()](const Call& call, ResponseEncoder& out) {
                       signOut(call, out);
                       calls.forgetSession(CallRegistry::digestOf(call.caller.bearer));
                   });
    // The host signs in and out at its own path, whatever screen it opens;
    // a workstation of the previous version, at the module's.
    dispatcher.offerAtSessionDoor(QStringLiteral("Login"));
    dispatcher.offerAtSessionDoor(QStringLiteral("Logout"));
    dispatcher.add(QStringLiteral("GetNotaFiscal"), 12, &getNotaFiscal);
    dispatcher.add(
        QStringLiteral("Cancela_NotaFiscal"), 6,
        [&settings](const Call& call, ResponseEncoder& out) { cancelaNotaFiscal(settings, call, out); });
    // It waits on the authority: never on the threads that answer the rest.
    dispatcher.setLane(QStringLiteral("Cancela_NotaFiscal"), RpcDispatcher::Lane::Long);
    // A slow hash each: sign-ins never wait behind lists, nor lists behind them.
    dispatcher.setLane(QStringLiteral("Login"), RpcDispatcher::Lane::SignIn);
    // Asked about another call while it runs: answered on the connection's
    // thread when the registry knows the session, so that it is answered even
    // when every worker is busy with long calls.
    const QString progress = QStringLiteral("Progresso_Chamada");
    dispatcher.add(
        progress, 1,
        [&calls = dispatcher.calls()](const Call& call, ResponseEncoder& out) {
            progressoChamada(calls, call, out);
        },
        RpcDispatcher::Access::Session, RpcDispatcher::Follow::No);
    dispatcher.setAnsweredAtOnce(progress);
}

} // namespace zavserver
