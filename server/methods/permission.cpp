#include "methods/permission.h"
#include "access/operatorstore.h"
#include "rpc/rpcerror.h"
#include "store/threaddatabase.h"

namespace zavserver {

void requireEstablishment(const Call& call, const QString& branch, const QString& company) {
    const QString who = call.session ? call.session->operatorCode : QString();
    const QString refusal = OperatorStore(ThreadDatabase::get()).screenRefusal(who, branch, company);
    if (!refusal.isEmpty())
        throw RpcError(RpcCode::Forbidden, refusal);
}

} // namespace zavserver
