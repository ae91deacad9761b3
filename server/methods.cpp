#include "methods.h"
#include "getnotafiscal.h"
#include "rpcdispatcher.h"

namespace zavserver {

void registerMethods(RpcDispatcher& dispatcher) {
    dispatcher.add(QStringLiteral("GetNotaFiscal"), GetNotaFiscal::kArity, &GetNotaFiscal::run);
}

} // namespace zavserver
