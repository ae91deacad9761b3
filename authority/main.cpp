// zav-authority: a local stand-in for a state's NF-e authority, for tests and
// demonstrations: registers cancellation events and answers status queries
// over HTTPS with client certificates, from the invoices of the ERP database.
// It answers with verAplic ZAV-AUT-LOCAL_1.00, so that nothing it registers
// can be taken for a real authority's record.
#include "authorityoptions.h"
#include "authorityrecord.h"
#include "authorityservice.h"
#include "eventreception.h"
#include "requestlog.h"
#include "servicestatus.h"
#include "signaturecheck.h"
#include "statusconsultation.h"

#include "cryptolibraries.h"
#include "stopsignal.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>

using namespace zavauthority;

namespace {

enum ExitCode { Ok = 0, BadCommandLine = 1, NoRecord = 2, CannotServe = 3 };

// The command line into *options; an exit code when the process ends here
// (the help shown, or the command line refused).
std::optional<int> readCommandLine(AuthorityOptions* options) {
    QString help;
    const QString refused = AuthorityOptions::parse(QCoreApplication::arguments(), options, &help);
    if (!help.isEmpty()) {
        std::fputs(help.toLocal8Bit().constData(), stdout);
        return Ok;
    }
    if (!refused.isEmpty()) {
        std::fprintf(stderr, "zav-authority: %s\nUse --help para ver as opções.\n",
                     refused.toLocal8Bit().constData());
        return BadCommandLine;
    }
    return std::nullopt;
}

// The check of the events' signatures, trusting the CA(s) of --client-ca;
// nothing once the reason is logged.
std::optional<SignatureCheck> loadTrustedSigners(const AuthorityOptions& options, RequestLog& log) {
    QFile caFile(options.clientCa);
    if (!caFile.open(QIODevice::ReadOnly)) {
        log.line(QStringLiteral("zav-authority: não foi possível ler a AC %1").arg(options.clientCa));
        return std::nullopt;
    }
    std::optional<SignatureCheck> signatures(std::in_place, caFile.readAll());
    if (!signatures->problem().isEmpty()) {
        log.line(QStringLiteral("zav-authority: %1: %2").arg(options.clientCa, signatures->problem()));
        return std::nullopt;
    }
    return signatures;
}

// The record file, then the ERP database's invoices the record does not hold
// yet; false once the reason is logged.
bool fillRecord(AuthorityRecord& record, const AuthorityOptions& options, RequestLog& log) {
    if (!options.recordFile.isEmpty()) {
        const QString problem = record.open(options.recordFile);
        if (!problem.isEmpty()) {
            log.line(QStringLiteral("zav-authority: %1").arg(problem));
            return false;
        }
    }
    if (!options.database.isEmpty()) {
        int added = 0;
        int skipped = 0;
        const QString problem = record.importInvoices(options.database, &added, &skipped);
        if (!problem.isEmpty()) {
            log.line(QStringLiteral("zav-authority: banco do ERP indisponível: %1").arg(problem));
            return false;
        }
        log.line(QStringLiteral("zav-authority: %1 NF-e novas do banco do ERP, %2 linhas inválidas ignoradas")
                     .arg(added)
                     .arg(skipped));
        record.lookUpNewInvoicesIn(options.database);
    }
    return true;
}

// Serves on the bound port until SIGTERM or SIGINT; the process's exit code.
int serveUntilStopped(QCoreApplication& app, AuthorityService& service, const AuthorityRecord& record,
                      const AuthorityOptions& options, int port, RequestLog& log) {
    // The record lives on this thread, which runs the event loop; the
    // server's threads reach it through queued calls. The listener thread
    // ends the loop once every request in progress has been answered.
    std::atomic<bool> served{false};
    std::atomic<bool> listening{true};
    std::thread listener([&] {
        served = service.run();
        listening = false;
        QMetaObject::invokeMethod(
            &app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    // The signal may come before the server runs: the stop waits for it, unless
    // the listener has already ended by itself.
    zavcommon::StopSignal stop([&] { return !listening || service.isRunning(); }, [&] { service.stop(); });
    log.line(QStringLiteral("zav-authority: %1 NF-e, ambiente %2, prazo %3 h, fora de prazo até %4 h, %5")
                 .arg(record.invoiceCount())
                 .arg(options.environment)
                 .arg(options.ordinaryHours)
                 .arg(options.lateHours)
                 .arg(options.recordFile.isEmpty() ? QStringLiteral("registro em memória")
                                                   : QStringLiteral("registro ") + options.recordFile));
    // What makes this authority answer unlike a working one, said at the start.
    if (options.paused != 0)
        log.line(QStringLiteral("zav-authority: serviços de evento, de consulta e de status paralisados (%1)")
                     .arg(options.paused));
    if (options.excessiveUse)
        log.line(QStringLiteral("zav-authority: eventos e consultas recusados por consumo indevido (656)"));
    if (options.hang)
        log.line(
            options.hangMs > 0
                ? QStringLiteral("zav-authority: cada requisição fica sem resposta por %1 ms, depois a "
                                 "conexão é fechada")
                      .arg(options.hangMs)
                : QStringLiteral("zav-authority: cada requisição fica sem resposta até o cliente desistir"));
    if (options.tlsClientCa != options.clientCa)
        log.line(QStringLiteral("zav-authority: o TLS só aceita certificados de cliente da AC de %1")
                     .arg(options.tlsClientCa));
    std::printf("listening on https://%s:%d\n", options.host.toLocal8Bit().constData(), port);
    std::fflush(stdout);

    QCoreApplication::exec();
    listener.join();
    log.line(QStringLiteral("zav-authority: requisições recebidas: %1")
                 .arg(service.requestCounts().trimmed().replace(u'\n', QStringLiteral(", "))));
    if (stop.signalNumber() == 0) {
        log.line(QStringLiteral("zav-authority: o servidor HTTPS parou sem ter sido encerrado"));
        return CannotServe;
    }
    log.line(QStringLiteral("zav-authority: encerrado pelo sinal %1").arg(stop.signalNumber()));
    return Ok;
}

} // namespace

int main(int argc, char* argv[]) {
    zavcommon::StopSignal::block(); // before any thread exists

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zav-authority"));

    AuthorityOptions options;
    if (const std::optional<int> exitCode = readCommandLine(&options))
        return *exitCode;
    RequestLog log;
    if (!options.logFile.isEmpty() && !log.openFile(options.logFile)) {
        std::fprintf(stderr, "zav-authority: não foi possível abrir o log %s\n",
                     options.logFile.toLocal8Bit().constData());
        return BadCommandLine;
    }
    const QString crypto = zavnfe::CryptoLibraries::ensure();
    if (!crypto.isEmpty()) {
        log.line(QStringLiteral("zav-authority: %1").arg(crypto));
        return CannotServe;
    }
    const std::optional<SignatureCheck> signatures = loadTrustedSigners(options, log);
    if (!signatures)
        return BadCommandLine;
    AuthorityRecord record;
    if (!fillRecord(record, options, log))
        return NoRecord;

    const Terms terms{options.ordinaryHours, options.lateHours};
    const EventReception events(record, *signatures, terms, options.environment);
    const StatusConsultation status(record, options.environment);
    const ServiceStatus serviceStatus(options.environment, options.paused);
    AuthorityService service(options, events, status, serviceStatus, log);
    const QString tls = service.tlsProblem();
    if (!tls.isEmpty()) {
        log.line(QStringLiteral("zav-authority: %1").arg(tls));
        return CannotServe;
    }
    const int port = service.bind();
    if (port < 0) {
        log.line(QStringLiteral("zav-authority: não foi possível escutar em %1:%2")
                     .arg(options.host)
                     .arg(options.port));
        return CannotServe;
    }
    return serveUntilStopped(app, service, record, options, port, log);
}
