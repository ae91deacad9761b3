// The methods only the tests' build of the server (zav50000-server-teste)
// offers, for what no real method does on demand yet.
//
// Teste_Progresso(total, passoMs, paradaEm, paradaMs): works total units of
// passoMs each, saying its progress after each; once paradaEm units are done
// (0: never) it goes silent for paradaMs before going on. Its result is null.
#include "rpc/rpcdispatcher.h"
#include "rpc/rpcerror.h"

#include <chrono>
#include <thread>

namespace zavserver {

namespace {

int bounded(const Arguments& a, int position, const QString& label, int most) {
    const QCborValue v = a.value(position);
    if (!v.isInteger() || v.toInteger() < 0 || v.toInteger() > most)
        a.reject(position, label, QStringLiteral("esperado um inteiro de 0 a %1").arg(most));
    return int(v.toInteger());
}

} // namespace

void registerTestMethods(RpcDispatcher& dispatcher) {
    dispatcher.add(QStringLiteral("Teste_Progresso"), 4, [](const Call& call, ResponseEncoder& out) {
        const Arguments& a = call.arguments;
        const int total = bounded(a, 1, QStringLiteral("total"), 10000);
        const int stepMs = bounded(a, 2, QStringLiteral("passoMs"), 5000);
        const int stopAt = bounded(a, 3, QStringLiteral("paradaEm"), 10000);
        const int stopMs = bounded(a, 4, QStringLiteral("paradaMs"), 600000);
        for (int done = 0; done < total; ++done) {
            if (stopAt > 0 && done == stopAt)
                std::this_thread::sleep_for(std::chrono::milliseconds(stopMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
            if (call.progress)
                call.progress(done + 1, total);
        }
        out.nullResult();
    });
}

} // namespace zavserver
