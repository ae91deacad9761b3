#pragma once
// What the session's operator may do: use ZAV50000 on an establishment
// (branch and company) granted to it (zav-admin grant).
#include "rpc/rpcdispatcher.h"

#include <QString>

namespace zavserver {

// Throws RpcError Forbidden, naming the establishment, unless the session's
// operator may use the screen on it.
void requireEstablishment(const Call& call, const QString& branch, const QString& company);

} // namespace zavserver
