#pragma once
// The methods of the remote data module ZAV50000.rdmCancelaNFE.
namespace zavserver {

class RpcDispatcher;

// Registers every method the server offers.
void registerMethods(RpcDispatcher& dispatcher);

} // namespace zavserver
