// zav50000-server: the application server of the NF-e cancellation screen.
#include "access/sessionstore.h"
#include "authority/authoritydesk.h"
#include "authority/certificatewatch.h"
#include "cancellation/nfesettings.h"
#include "log/calllog.h"
#include "log/incidents.h"
#include "methods/methods.h"
#include "metrics/metrics.h"
#include "metrics/scrape.h"
#include "rpc/httpendpoint.h"
#include "rpc/rpcdispatcher.h"

#include "serveroptions.h"
#include "store/storeprobe.h"
#include "store/threaddatabase.h"
#include <QDateTime>

#include "database.h"
#include "migrations.h"
#include "secretfile.h"
#include "stopsignal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <cstdio>
#include <malloc.h>
#include <systemd/sd-daemon.h>

#ifdef ZAV_TEST_METHODS
// The tests' build of the server adds methods of its own (tests/support).
namespace zavserver {
void registerTestMethods(RpcDispatcher& dispatcher);
}
#endif

namespace {

enum ExitCode { Ok = 0, BadCommandLine = 1, NoDatabase = 2, CannotListen = 3, BadNfeSettings = 4 };

// The database as the log shows it: never the password of a PostgreSQL
// connection.
QString describeDatabase(const QString& text) {
    if (text.startsWith(QLatin1StringView("postgres"), Qt::CaseInsensitive) && text.contains(u"://")) {
        QUrl url(text);
        url.setPassword(QString());
        return QStringLiteral("PostgreSQL ") + url.toString(QUrl::RemovePassword);
    }
    if (text.contains(u'='))
        return QStringLiteral("PostgreSQL (parâmetros libpq)");
    return QStringLiteral("SQLite ") + text;
}

// What systemd (Type=notify) hears of the server: nothing when it was not
// started by systemd (no NOTIFY_SOCKET).
void tellSystemd(const QString& state) {
    sd_notify(0, state.toUtf8().constData());
}

// Whether a file holding a key may be read or written by anyone but its owner.
bool openToOthers(const QFileInfo& file) {
    return (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                                  QFileDevice::WriteOther)) != 0;
}

// The TLS key and the A1 certificates are refused when others may read
// them, as the password files are: whoever reads them is the server, or signs
// as every company whose file they open. Empty, or what is wrong.
QString checkKeys(const zavserver::ServerOptions& options) {
    if (options.tls() && openToOthers(QFileInfo(options.tlsKey)))
        return QStringLiteral("a chave TLS %1 pode ser lida por outros usuários (use chmod 600)")
            .arg(options.tlsKey);
    if (options.certificates.isEmpty())
        return {};
    const QFileInfo folder(options.certificates);
    if (folder.isDir() &&
        (folder.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                                 QFileDevice::WriteOther | QFileDevice::ExeGroup | QFileDevice::ExeOther)))
        return QStringLiteral(
                   "a pasta dos certificados A1 %1 pode ser lida por outros usuários (use chmod 700)")
            .arg(options.certificates);
    const QFileInfoList files = QDir(options.certificates)
                                    .entryInfoList({QStringLiteral("*.pfx"), QStringLiteral("*.p12"),
                                                    QStringLiteral("*.PFX"), QStringLiteral("*.P12")},
                                                   QDir::Files);
    for (const QFileInfo& file : files)
        if (openToOthers(file))
            return QStringLiteral("o certificado A1 %1 pode ser lido por outros usuários (use chmod 600)")
                .arg(file.filePath());
    return {};
}

// Fails fast, before listening, when the database cannot be opened or has no
// invoice store, instead of failing every call later.
QString checkDatabase(const QString& connectionText) {
    const QString name = QStringLiteral("zav50000-server-check");
    QString problem;
    try {
        QSqlDatabase db = zavdb::open(connectionText, name);
        {
            QSqlQuery query(db);
            if (!query.exec(QString::fromLatin1(zavserver::kStoreProbeSql)))
                problem =
                    QStringLiteral("O banco não tem o cadastro de notas fiscais (tabela NOTAFISCAL): %1")
                        .arg(query.lastError().text());
        }
        db.close();
    } catch (const zavdb::DatabaseError& error) {
        problem = error.text();
    }
    QSqlDatabase::removeDatabase(name);
    return problem;
}

// The certificate folder, its password and the authorities' table; *problem
// says what is wrong. Without certificates the server runs, and every
// cancellation says what is missing.
zavserver::NfeSettings readNfeSettings(const zavserver::ServerOptions& options, QString* problem) {
    zavserver::NfeSettings settings;
    settings.certificateFolder = options.certificates;
    if (!options.certificatePasswordFile.isEmpty()) {
        // Whoever reads it signs as every company whose file it opens.
        zavcommon::SecretFault fault{};
        QString why;
        const std::optional<QByteArray> line =
            zavcommon::readSecretLine(options.certificatePasswordFile, &fault, &why);
        if (!line && fault == zavcommon::SecretFault::OpenToOthers) {
            *problem = QStringLiteral("a senha dos certificados em %1 pode ser lida por outros usuários (use "
                                      "chmod 600)")
                           .arg(options.certificatePasswordFile);
            return settings;
        }
        if (!line) {
            *problem = QStringLiteral("não foi possível ler a senha dos certificados em %1: %2")
                           .arg(options.certificatePasswordFile, why);
            return settings;
        }
        settings.certificatePassword = *line;
    }
    // The tokens, loaded once and shared by every thread: their modules stay
    // loaded and each token is logged in once.
    if (!options.tokens.isEmpty()) {
        QString error;
        settings.tokens = zavnfe::TokenSet::load(options.tokens, &error);
        if (!settings.tokens) {
            *problem = QStringLiteral("tokens A3 recusados: %1").arg(error);
            return settings;
        }
    }
    // The shipped table, under the server's own when there is one.
    QString error;
    settings.authorities = zavserver::AuthorityConfig::load(options.authorities, &error);
    if (!settings.authorities)
        *problem = error;
    return settings;
}

// --help and a refused command line: what the server says, and its exit code.
int answerCommandLine(const zavserver::ServerOptions::Parsed& parsed) {
    if (parsed.outcome == zavserver::ServerOptions::Outcome::Help) {
        std::fputs(parsed.text.toLocal8Bit().constData(), stdout);
        return Ok;
    }
    std::fprintf(stderr, "zav50000-server: %s\nUse --help para ver as opções.\n",
                 parsed.text.toLocal8Bit().constData());
    return BadCommandLine;
}

// The log in the file asked for (standard error without one); false, said on
// standard error, when the file cannot be opened.
bool openLog(zavserver::CallLog& log, const QString& file) {
    if (file.isEmpty() || log.openFile(file))
        return true;
    std::fprintf(stderr, "zav50000-server: não foi possível abrir o log %s\n",
                 file.toLocal8Bit().constData());
    return false;
}

// Where the authorities' table comes from, and whether anything can be signed.
void noteNfeSettings(zavserver::CallLog& log, const zavserver::NfeSettings& nfe,
                     const zavserver::ServerOptions& options) {
    log.note(QStringLiteral("zav50000-server: tabela de autoridades fiscais de %1%2")
                 .arg(nfe.authorities->shippedDate(),
                      options.authorities.isEmpty()
                          ? QString()
                          : QStringLiteral(", com as seções de %1").arg(options.authorities)));
    if (nfe.tokens)
        for (const zavnfe::TokenConfig& token : nfe.tokens->configs())
            log.note(QStringLiteral("zav50000-server: token A3 [%1]: %2 no módulo %3")
                         .arg(token.name,
                              token.label.isEmpty() ? QStringLiteral("série ") + token.serial
                                                    : QStringLiteral("rótulo ") + token.label,
                              token.module));
    if (!nfe.hasCertificates())
        log.note(QStringLiteral(
            "zav50000-server: sem --certificates nem --tokens: nenhuma NF-e poderá ser cancelada"));
}

// The methods, and how a call's session is checked.
void registerCalls(zavserver::RpcDispatcher& dispatcher, const zavserver::NfeSettings& nfe,
                   const zavserver::SessionPolicy& sessions) {
    zavserver::registerMethods(dispatcher, nfe, sessions);
#ifdef ZAV_TEST_METHODS
    zavserver::registerTestMethods(dispatcher);
#endif
    zavserver::Metrics::setMethods(dispatcher.methodNames());
    // Sessions live in the database, so that every server on it honours them.
    // The check is the first statement of nearly every call: a connection
    // that broke meanwhile (the database restarted) is found here, opened
    // again, and the check asked once more (renewing a session may run twice).
    dispatcher.setSessionCheck([&sessions](const QByteArray& token) {
        return zavserver::ThreadDatabase::readWithRetry([&] {
            return zavserver::SessionStore(zavserver::ThreadDatabase::get(), sessions)
                .check(token, QDateTime::currentSecsSinceEpoch());
        });
    });
}

// Serves on the bound port until a signal stops the endpoint: no new calls,
// the calls in progress answered, then exit with 0.
int serveUntilStopped(zavserver::HttpEndpoint& endpoint, zavserver::CallLog& log,
                      const zavserver::ServerOptions& options, int port) {
    zavcommon::StopSignal watcher([&] { return endpoint.isRunning(); },
                                  [&] {
                                      tellSystemd(
                                          QStringLiteral("STOPPING=1\nSTATUS=encerrando: as chamadas em "
                                                         "andamento terminam"));
                                      endpoint.stop();
                                  });
    const QString where = QStringLiteral("%1://%2:%3")
                              .arg(options.tls() ? QStringLiteral("https") : QStringLiteral("http"),
                                   options.host.contains(u':') ? u'[' + options.host + u']' : options.host)
                              .arg(port);
    log.note(QStringLiteral("zav50000-server: ouvindo em %1 (%2 threads, %3)")
                 .arg(where)
                 .arg(options.threads)
                 .arg(describeDatabase(options.database)));
    // The door is open: connections are accepted from here on.
    tellSystemd(QStringLiteral("READY=1\nSTATUS=atendendo em %1").arg(where));
    if (!watcher.stopRequested())
        endpoint.run();
    if (!watcher.stopRequested()) {
        log.note(QStringLiteral("zav50000-server: o servidor HTTP parou sem ter sido encerrado"));
        return CannotListen;
    }
    const int signal = watcher.signalNumber();
    log.note(signal ? QStringLiteral("zav50000-server: encerrado pelo sinal %1").arg(signal)
                    : QStringLiteral("zav50000-server: encerrado"));
    return Ok;
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace zavserver;

    // Before any thread exists, so that every thread inherits the mask.
    zavcommon::StopSignal::block();
    // The free memory at the top of every thread's heap goes back to the
    // system once it passes 1 MiB (malloc's own threshold grows with the
    // largest block ever freed, and a thread that built a large list would
    // keep that much for good).
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zav50000-server"));

    const ServerOptions::Parsed parsed = ServerOptions::parse(QCoreApplication::arguments());
    if (parsed.outcome != ServerOptions::Outcome::Run)
        return answerCommandLine(parsed);
    const ServerOptions& options = parsed.options;

    CallLog log;
    if (!openLog(log, options.logFile))
        return BadCommandLine;
    Incidents::setLog(&log);
    for (const QString& warning : options.warnings)
        log.note(warning);
    if (!options.configFile.isEmpty())
        log.note(QStringLiteral("zav50000-server: configuração de %1").arg(options.configFile));
    if (const QString keys = checkKeys(options); !keys.isEmpty()) {
        log.note(QStringLiteral("zav50000-server: %1").arg(keys));
        tellSystemd(QStringLiteral("STATUS=recusado: ") + keys);
        return BadNfeSettings;
    }

    tellSystemd(QStringLiteral("STATUS=abrindo o banco de dados"));
    const QString problem = checkDatabase(options.connectionText);
    if (!problem.isEmpty()) {
        log.note(QStringLiteral("zav50000-server: banco indisponível: %1").arg(problem));
        tellSystemd(QStringLiteral("STATUS=banco indisponível"));
        return NoDatabase;
    }
    // A database of another schema version is refused: which version, and how to upgrade it.
    if (const QString schema = zavdb::schemaVersionProblem(options.connectionText); !schema.isEmpty()) {
        log.note(QStringLiteral("zav50000-server: %1").arg(schema));
        tellSystemd(QStringLiteral("STATUS=versão do banco recusada"));
        return NoDatabase;
    }
    ThreadDatabase::configure(options.connectionText);

    QString nfeProblem;
    const NfeSettings nfe = readNfeSettings(options, &nfeProblem);
    if (!nfeProblem.isEmpty()) {
        log.note(QStringLiteral("zav50000-server: %1").arg(nfeProblem));
        return BadNfeSettings;
    }
    noteNfeSettings(log, nfe, options);

    const SessionPolicy sessions;
    RpcDispatcher dispatcher;
    registerCalls(dispatcher, nfe, sessions);

    HttpEndpoint endpoint(options, dispatcher, log);
    CertificateWatch certificates(nfe.certificateFolder, nfe.certificatePassword, nfe.tokens);
    for (const QString& warning : certificates.warnings())
        log.note(QStringLiteral("zav50000-server: aviso: %1").arg(warning));
    endpoint.setHealthNotes([&certificates] { return certificates.warnings(); });
    if (nfe.tokens)
        endpoint.setHealthTokens([&certificates] { return certificates.tokensJson(); });
    endpoint.setMetrics([&certificates] { return scrapeMetrics(&certificates); });
    endpoint.setOnCut([] { AuthorityDesk::cutAll(); });
    QString bindProblem;
    const int port = endpoint.bind(&bindProblem);
    if (port < 0) {
        log.note(QStringLiteral("zav50000-server: não foi possível escutar em %1:%2 (%3)")
                     .arg(options.host)
                     .arg(options.port)
                     .arg(bindProblem));
        return CannotListen;
    }
    return serveUntilStopped(endpoint, log, options, port);
}
