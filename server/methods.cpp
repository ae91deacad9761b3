#include "methods.h"
#include "cancelanotafiscal.h"
#include "getnotafiscal.h"
#include "rpcdispatcher.h"

namespace zavserver {

void registerMethods(RpcDispatcher& dispatcher) {
    dispatcher.add(QStringLiteral("GetNotaFiscal"), GetNotaFiscal::kArity, &GetNotaFiscal::run);
    dispatcher.add(QStringLiteral("Cancela_NotaFiscal"), CancelaNotaFiscal::kArity, &CancelaNotaFiscal::run);
}

} // namespace zavserver
