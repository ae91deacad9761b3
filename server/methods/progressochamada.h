#pragma once
// Progresso_Chamada(id): how far a call of the caller's own session has come,
// asked while it runs, on another connection. The answer is a packet of one
// row: SITUACAO ("andamento" while it runs, "encerrada" for a minute after it
// ended, "desconhecida" for an id the session has no call of), FEITAS and TOTAL
// (the units of work done and in all, as the call last said; TOTAL 0 while it
// has said nothing). Another session's call is "desconhecida" like an id never
// used: nothing tells that it exists. It reads only the registry of running
// calls, so the connection's own thread answers it (no worker, no database)
// whenever the session has a call there.
#include "rpc/rpcdispatcher.h"

namespace zavserver {

class ProgressoChamada {
public:
    static constexpr int kArity = 1;
    static void run(const CallRegistry& calls, const Call& call, ResponseEncoder& out);
};

} // namespace zavserver
