#pragma once
// The methods of the remote data module ZAV50000.rdmCancelaNFE.
namespace zavserver {

class RpcDispatcher;
struct NfeSettings;
struct SessionPolicy;

// Registers every method the server offers; the settings and the policy must
// outlive the dispatcher.
void registerMethods(RpcDispatcher& dispatcher, const NfeSettings& settings, const SessionPolicy& sessions);

} // namespace zavserver
