#pragma once
// Signing in and out. Login(operator, password) is the one method open to a
// caller without a session: it answers a data packet of one row, OPERADOR
// (the code as kept), NMOPERADOR, TOKEN (to send as "Authorization: Bearer
// TOKEN" with every later call) and VALIDADE (seconds until the session
// expires unless used). Logout() ends the session of the call.
#include "access/sessionstore.h"
#include "rpc/rpcdispatcher.h"

namespace zavserver {

class SignIn {
public:
    static constexpr int kLoginArity = 2;
    static constexpr int kLogoutArity = 0;
    static void login(const SessionPolicy& policy, const Call& call, ResponseEncoder& out);
    static void logout(const Call& call, ResponseEncoder& out);
};

} // namespace zavserver
