#pragma once
// The methods of the remote data module ZAV50000.rdmCancelaNFE.
namespace zavserver {

class RpcDispatcher;

// Registers every method the server offers. Cancela_NotaFiscal joins here when
// the cancellation is built; until then a call to it is "method not found".
void registerMethods(RpcDispatcher& dispatcher);

} // namespace zavserver
