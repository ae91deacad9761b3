#include "methods/methods.h"
#include "methods/cancelanotafiscal.h"
#include "methods/getnotafiscal.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

void registerMethods(RpcDispatcher& dispatcher, const NfeSettings& settings) {
    dispatcher.add(QStringLiteral("GetNotaFiscal"), GetNotaFiscal::kArity, &GetNotaFiscal::run);
    dispatcher.add(QStringLiteral("Cancela_NotaFiscal"), CancelaNotaFiscal::kArity,
                   [&settings](const Arguments& arguments, ResponseEncoder& out) {
                       CancelaNotaFiscal::run(settings, arguments, out);
                   });
}

} // namespace zavserver
