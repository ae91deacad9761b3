#pragma once
// The methods of the remote data module ZAV50000.rdmCancelaNFE.
namespace zavserver {

class RpcDispatcher;
struct NfeSettings;

// Registers every method the server offers; the settings must outlive the
// dispatcher.
void registerMethods(RpcDispatcher& dispatcher, const NfeSettings& settings);

} // namespace zavserver
