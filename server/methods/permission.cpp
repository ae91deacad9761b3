#include "methods/permission.h"
#include "access/operatorstore.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

namespace zavserver {

void requireEstablishment(const Call& call, const QString& branch, const QString& company) {
    const QString who = call.session ? call.session->operatorCode : QString();
    if (who.isEmpty() || !OperatorStore(ThreadDatabase::get())
                              .mayUse(who, QLatin1String(OperatorStore::kProgram), branch, company))
        throw RpcError(RpcCode::Forbidden,
                       QStringLiteral("O operador %1 não tem permissão para usar o ZAV50000 na filial %2, "
                                      "empresa %3.")
                           .arg(who, branch, company));
}

} // namespace zavserver
