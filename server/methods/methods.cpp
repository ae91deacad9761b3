#include "methods/methods.h"
#include "methods/cancelanotafiscal.h"
#include "methods/getnotafiscal.h"
#include "methods/signin.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

void registerMethods(RpcDispatcher& dispatcher, const NfeSettings& settings, const SessionPolicy& sessions) {
    dispatcher.add(
        QStringLiteral("Login"), SignIn::kLoginArity,
        [&sessions](const Call& call, ResponseEncoder& out) { SignIn::login(sessions, call, out); },
        RpcDispatcher::Access::Open);
    dispatcher.add(QStringLiteral("Logout"), SignIn::kLogoutArity, &SignIn::logout);
    dispatcher.add(QStringLiteral("GetNotaFiscal"), GetNotaFiscal::kArity, &GetNotaFiscal::run);
    dispatcher.add(
        QStringLiteral("Cancela_NotaFiscal"), CancelaNotaFiscal::kArity,
        [&settings](const Call& call, ResponseEncoder& out) { CancelaNotaFiscal::run(settings, call, out); });
}

} // namespace zavserver
