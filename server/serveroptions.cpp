#include "serveroptions.h"

#include "connectiontext.h"
#include "secretfile.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QUrl>

#include <map>

namespace zavserver {

namespace {

const char* const kAboutTheServer =
    "Servidor de aplicação da tela ZAV50000 (cancelamento de NF-e): atende POST\n"
    "/ZAV50000.rdmCancelaNFE (JSON-RPC 2.0) e GET /health, em HTTPS (TLS 1.2 ou\n"
    "mais novo) com o certificado de --tls-cert e a chave de --tls-key.\n"
    "\n"
    "HTTP sem TLS só com --plain-http, e então só num endereço de loopback\n"
    "(127.0.0.1, ::1, localhost), para testes e ferramentas na própria máquina.\n"
    "\n"
    "As opções podem vir de um arquivo (--config), uma por linha, \"nome = valor\"\n"
    "com o nome longo da opção (db = ..., listen = ..., plain-http = sim); a linha\n"
    "de comando vale sobre o arquivo. A senha do banco nunca vai em nenhum dos\n"
    "dois: vem de --db-password-file ou do PGPASSFILE do libpq.";

// The options of the command line, declared once: parse() adds them to its
// parser and reads them back by these names.
struct CommandLine {
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Mostra esta ajuda.")};
    const QCommandLineOption config{
        QStringLiteral("config"),
        QStringLiteral(
            "Arquivo de configuração (/etc/zav/zav50000-server.conf): \"opção = valor\" por linha."),
        QStringLiteral("arquivo")};
    const QCommandLineOption db{QStringLiteral("db"),
                                QStringLiteral("Banco de dados: arquivo SQLite, ou conexão PostgreSQL "
                                               "(postgresql://usuario@host:porta/banco), sem a senha. "
                                               "Obrigatório."),
                                QStringLiteral("conexão")};
    const QCommandLineOption dbPasswordFile{
        QStringLiteral("db-password-file"),
        QStringLiteral("Arquivo cuja primeira linha é a senha do banco PostgreSQL, legível só pelo "
                       "servidor (sem ele, o libpq a procura no PGPASSFILE ou em ~/.pgpass)."),
        QStringLiteral("arquivo")};
    const QCommandLineOption metricsAllow{
        QStringLiteral("metrics-allow"),
        QStringLiteral("Endereço ou rede (10.0.0.5, 10.0.0.0/24) a quem GET /metrics responde; pode "
                       "repetir. Padrão: só loopback."),
        QStringLiteral("endereço")};
    const QCommandLineOption listen{QStringLiteral("listen"),
                                    QStringLiteral("Endereço e porta (padrão 127.0.0.1:8211; porta 0 escolhe "
                                                   "uma porta livre e a mostra no log)."),
                                    QStringLiteral("host:porta"), QStringLiteral("127.0.0.1:8211")};
    const QCommandLineOption threads{
        QStringLiteral("threads"),
        QStringLiteral("Threads de atendimento, cada uma com sua conexão ao banco "
                       "(padrão 8)."),
        QStringLiteral("n"), QStringLiteral("8")};
    const QCommandLineOption maxBody{QStringLiteral("max-body"),
                                     QStringLiteral("Maior requisição aceita, em bytes (padrão 67108864: a "
                                                    "lista inteira de notas vai no cancelamento)."),
                                     QStringLiteral("bytes"), QStringLiteral("67108864")};
    const QCommandLineOption logFile{
        QStringLiteral("log-file"),
        QStringLiteral("Acrescenta o log a este arquivo em vez da saída de erros."),
        QStringLiteral("arquivo")};
    const QCommandLineOption tlsCert{
        QStringLiteral("tls-cert"),
        QStringLiteral("Certificado do servidor (PEM; os intermediários depois dele)."),
        QStringLiteral("arquivo")};
    const QCommandLineOption tlsKey{
        QStringLiteral("tls-key"),
        QStringLiteral("Chave privada do certificado (PEM), legível só pelo servidor."),
        QStringLiteral("arquivo")};
    const QCommandLineOption plainHttp{QStringLiteral("plain-http"),
                                       QStringLiteral("HTTP sem TLS; só com um endereço de loopback.")};
    const QCommandLineOption serverName{
        QStringLiteral("server-name"),
        QStringLiteral("Nome pelo qual as estações chamam o servidor (o cabeçalho Host); pode repetir. O "
                       "endereço de --listen sempre vale."),
        QStringLiteral("nome")};
    const QCommandLineOption idleTimeout{
        QStringLiteral("idle-timeout"),
        QStringLiteral("Segundos sem receber nada depois dos quais uma conexão é fechada (padrão 10)."),
        QStringLiteral("segundos"), QStringLiteral("10")};
    const QCommandLineOption maxConnections{QStringLiteral("max-connections"),
                                            QStringLiteral("Conexões abertas ao mesmo tempo (padrão 256)."),
                                            QStringLiteral("n"), QStringLiteral("256")};
    const QCommandLineOption maxPerAddress{
        QStringLiteral("max-per-address"),
        QStringLiteral("Conexões abertas ao mesmo tempo por endereço de origem (padrão 64)."),
        QStringLiteral("n"), QStringLiteral("64")};
    const QCommandLineOption certificates{
        QStringLiteral("certificates"),
        QStringLiteral(
            "Pasta dos certificados A1 (arquivos .pfx/.p12) que assinam os eventos; cada inscrição "
            "estadual usa o de seu número de série."),
        QStringLiteral("pasta")};
    const QCommandLineOption passwordFile{
        QStringLiteral("certificate-password-file"),
        QStringLiteral("Arquivo cuja primeira linha é a senha dos certificados (nunca na linha de comando)."),
        QStringLiteral("arquivo")};
    const QCommandLineOption tokens{
        QStringLiteral("tokens"),
        QStringLiteral("Arquivo (INI) dos tokens PKCS#11 dos certificados A3 (cartões, tokens USB, HSM): "
                       "uma seção por token com modulo, rotulo ou serie, e pin (o arquivo do PIN, legível "
                       "só pelo servidor). Os certificados dos tokens valem como os da pasta."),
        QStringLiteral("arquivo")};
    const QCommandLineOption authorities{
        QStringLiteral("authorities"),
        QStringLiteral("Tabela (INI) própria das autoridades fiscais: suas seções substituem as de mesmo "
                       "nome da tabela embutida (endereços da SEFAZ de cada estado e ambiente, prazos, "
                       "contingência, confiança)."),
        QStringLiteral("arquivo")};

    void declare(QCommandLineParser& parser) const {
        parser.addOptions({help,         config,       db,          dbPasswordFile, listen,
                           threads,      maxBody,      logFile,     tlsCert,        tlsKey,
                           plainHttp,    serverName,   idleTimeout, maxConnections, maxPerAddress,
                           certificates, passwordFile, tokens,      authorities,    metricsAllow});
    }
    // The options a configuration file may set (all but help and config).
    QList<const QCommandLineOption*> configurable() const {
        return {&db,          &dbPasswordFile, &listen,        &threads,      &maxBody,
                &logFile,     &tlsCert,        &tlsKey,        &plainHttp,    &serverName,
                &idleTimeout, &maxConnections, &maxPerAddress, &certificates, &passwordFile,
                &tokens,      &authorities,    &metricsAllow};
    }
    // Those that take a list (each line adds to it, or a line of several separated by commas).
    bool isList(const QCommandLineOption& option) const {
        return &option == &serverName || &option == &metricsAllow;
    }
};

// The arguments a configuration file adds to the command line: each of its
// options that the command line does not set. Empty with *problem saying the
// file and line of what is wrong.
QStringList readConfigFile(const QString& path, const QCommandLineParser& commandLine,
                           const CommandLine& options, QString* problem) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *problem = QStringLiteral("Não foi possível ler o arquivo de configuração %1: %2")
                       .arg(path, file.errorString());
        return {};
    }
    // Whoever may write it chooses the server's database, certificates and keys.
    if (file.permissions() & QFileDevice::WriteOther) {
        *problem =
            QStringLiteral("O arquivo de configuração %1 pode ser alterado por outros usuários (use chmod "
                           "640).")
                .arg(path);
        return {};
    }
    std::map<QString, const QCommandLineOption*> byName;
    for (const QCommandLineOption* option : options.configurable())
        byName[option->names().constLast()] = option;
    QStringList added;
    QStringList seen;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        const auto fail = [&](const QString& why) {
            *problem = QStringLiteral("%1, linha %2: %3").arg(path).arg(number).arg(why);
            return QStringList();
        };
        const qsizetype equals = line.indexOf(u'=');
        // The line itself is not repeated: it may be a secret written by mistake.
        if (equals <= 0)
            return fail(QStringLiteral("esperado \"opção = valor\"."));
        const QString name = line.left(equals).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        const auto known = byName.find(name);
        if (known == byName.end())
            return fail(QStringLiteral("opção desconhecida \"%1\" (zav50000-server --help lista as opções).")
                            .arg(name.left(100)));
        const QCommandLineOption& option = *known->second;
        if (!options.isList(option) && seen.contains(name))
            return fail(QStringLiteral("a opção \"%1\" já foi dada numa linha anterior.").arg(name));
        seen.append(name);
        // A secret in the file is refused whatever the command line says.
        if (&option == &options.db && carriesPassword(value))
            return fail(
                QStringLiteral("a senha do banco não vai no arquivo de configuração: tire-a de \"db\" e "
                               "dê-a num arquivo legível só pelo servidor (db-password-file) ou no "
                               "PGPASSFILE."));
        // Each line is checked, even one the command line overrides: the
        // command line wins, its options left as it gave them.
        if (option.valueName().isEmpty()) {
            const QString flag = value.toLower();
            const bool on = flag == u"sim" || flag == u"yes" || flag == u"true" || flag == u"1";
            if (!on &&
                !(flag == u"não" || flag == u"nao" || flag == u"no" || flag == u"false" || flag == u"0"))
                return fail(
                    QStringLiteral("\"%1\" espera sim ou não, não \"%2\".").arg(name, value.left(100)));
            if (on && !commandLine.isSet(option))
                added.append(QStringLiteral("--") + name);
            continue;
        }
        if (value.isEmpty())
            return fail(QStringLiteral("a opção \"%1\" está sem valor.").arg(name));
        if (commandLine.isSet(option))
            continue;
        const QStringList values =
            options.isList(option) ? value.split(u',', Qt::SkipEmptyParts) : QStringList{value};
        for (const QString& one : values)
            added << QStringLiteral("--") + name << one.trimmed();
    }
    return added;
}

// The addresses /metrics answers, "ADDRESS" or "ADDRESS/PREFIX" each; empty
// when o took them, or what is wrong.
QString readMetricsAllowed(const QStringList& values, ServerOptions& o) {
    o.metricsAllowed.clear();
    if (values.isEmpty()) {
        o.metricsAllowed = {QHostAddress::parseSubnet(QStringLiteral("127.0.0.0/8")),
                            QHostAddress::parseSubnet(QStringLiteral("::1/128"))};
        return {};
    }
    for (const QString& raw : values) {
        const QString value = raw.trimmed();
        if (value.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0) {
            o.metricsAllowed << QHostAddress::parseSubnet(QStringLiteral("127.0.0.0/8"))
                             << QHostAddress::parseSubnet(QStringLiteral("::1/128"));
            continue;
        }
        QPair<QHostAddress, int> subnet = value.contains(u'/')
                                              ? QHostAddress::parseSubnet(value)
                                              : QPair<QHostAddress, int>{QHostAddress(value), -1};
        if (subnet.first.isNull())
            return QStringLiteral("--metrics-allow inválido: %1 (esperado um endereço IP ou uma rede, como "
                                  "10.0.0.0/24).")
                .arg(value.left(100));
        if (subnet.second < 0)
            subnet.second = subnet.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        o.metricsAllowed.append(subnet);
    }
    return {};
}

// HOST:PORT, with an IPv6 address in brackets: [::1]:8211. Empty when o took
// them, or what is wrong.
QString readListen(const QString& address, ServerOptions& o) {
    const qsizetype colon = address.lastIndexOf(u':');
    QString host = colon > 0 ? address.left(colon) : QString();
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    bool portOk = false;
    const int port = colon > 0 ? address.mid(colon + 1).toInt(&portOk) : 0;
    if (host.isEmpty() || !portOk || port < 0 || port > 65535)
        return QStringLiteral("--listen inválido: %1 (esperado host:porta, como 127.0.0.1:8211).")
            .arg(address);
    o.host = host;
    o.port = port;
    return {};
}

// TLS with the server's certificate, or plain HTTP on loopback alone; and the
// names the Host header may carry. Empty when o took them, or what is wrong.
QString readTransport(const QCommandLineParser& parser, const CommandLine& options, ServerOptions& o) {
    o.tlsCertificate = parser.value(options.tlsCert).trimmed();
    o.tlsKey = parser.value(options.tlsKey).trimmed();
    o.plainHttp = parser.isSet(options.plainHttp);
    if (o.tlsCertificate.isEmpty() != o.tlsKey.isEmpty())
        return QStringLiteral("Informe --tls-cert e --tls-key juntos.");
    if (o.plainHttp && o.tls())
        return QStringLiteral("--plain-http e --tls-cert não vão juntos.");
    if (!o.plainHttp && !o.tls())
        return QStringLiteral("Informe o certificado do servidor (--tls-cert e --tls-key); HTTP sem TLS "
                              "só com --plain-http, num endereço de loopback.");
    if (o.plainHttp && !isLoopback(o.host))
        return QStringLiteral("Recusado escutar em %1 sem TLS: --plain-http só vale em endereços de "
                              "loopback, onde ninguém de fora lê nem altera as chamadas.")
            .arg(o.host);
    for (const QString& name : parser.values(options.serverName))
        if (!name.trimmed().isEmpty())
            o.serverNames.append(name.trimmed().toLower());
    return {};
}

// The threads, the largest request and the connections' limits. Empty when o
// took them, or what is wrong.
QString readLimits(const QCommandLineParser& parser, const CommandLine& options, ServerOptions& o) {
    QString error;
    const auto bounded = [&](const QCommandLineOption& option, int low, int high, int* into) {
        bool valid = false;
        const int value = parser.value(option).toInt(&valid);
        if (!valid || value < low || value > high) {
            error = QStringLiteral("--%1 inválido: %2 (de %3 a %4).")
                        .arg(option.names().constFirst(), parser.value(option))
                        .arg(low)
                        .arg(high);
            return false;
        }
        *into = value;
        return true;
    };
    if (!bounded(options.threads, 1, 256, &o.threads))
        return error;
    bool ok = false;
    o.maxBody = parser.value(options.maxBody).toLongLong(&ok);
    if (!ok || o.maxBody < 1024)
        return QStringLiteral("--max-body inválido: %1 (ao menos 1024 bytes).")
            .arg(parser.value(options.maxBody));
    if (!bounded(options.idleTimeout, 1, 3600, &o.idleTimeoutSeconds) ||
        !bounded(options.maxConnections, 1, 65536, &o.maxConnections) ||
        !bounded(options.maxPerAddress, 1, 65536, &o.maxPerAddress))
        return error;
    return {};
}

} // namespace

bool ServerOptions::metricsAllow(const QString& address) const {
    QHostAddress caller(address);
    if (caller.isNull())
        return false;
    // A dual-stack socket shows an IPv4 caller as ::ffff:a.b.c.d.
    bool mapped = false;
    const quint32 v4 = caller.toIPv4Address(&mapped);
    if (mapped)
        caller = QHostAddress(v4);
    for (const auto& subnet : metricsAllowed)
        if (caller.isInSubnet(subnet))
            return true;
    return false;
}

bool carriesPassword(const QString& connectionText) {
    try {
        const zavdb::ConnectionParts parts = zavdb::parseConnectionText(connectionText);
        return parts.dialect == zavdb::Dialect::PostgreSQL && !parts.password.isEmpty();
    } catch (const zavdb::DatabaseError&) {
        return false; // said when it is opened
    }
}

QString withPasswordFile(const QString& connectionText, const QString& passwordFile, QString* problem) {
    zavdb::ConnectionParts parts;
    try {
        parts = zavdb::parseConnectionText(connectionText);
    } catch (const zavdb::DatabaseError& error) {
        *problem = error.text();
        return {};
    }
    if (parts.dialect != zavdb::Dialect::PostgreSQL) {
        *problem = QStringLiteral("--db-password-file só vale para um banco PostgreSQL.");
        return {};
    }
    if (!parts.password.isEmpty()) {
        *problem =
            QStringLiteral("A conexão já traz uma senha: tire-a de --db e deixe-a só em --db-password-file.");
        return {};
    }
    zavcommon::SecretFault fault{};
    QString why;
    const std::optional<QByteArray> line = zavcommon::readSecretLine(passwordFile, &fault, &why);
    if (!line) {
        *problem =
            fault == zavcommon::SecretFault::OpenToOthers
                ? QStringLiteral("A senha do banco em %1 pode ser lida por outros usuários (use chmod 600).")
                      .arg(passwordFile)
                : QStringLiteral("Não foi possível ler a senha do banco em %1: %2").arg(passwordFile, why);
        return {};
    }
    const QString password = QString::fromUtf8(*line);
    const QString text = connectionText.trimmed();
    if (text.contains(u"://")) {
        QUrl url(text, QUrl::StrictMode);
        url.setPassword(password, QUrl::DecodedMode);
        return url.toString(QUrl::FullyEncoded);
    }
    QString quoted = password;
    quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
    return text + QStringLiteral(" password='") + quoted + u'\'';
}

QString passwordOnCommandLineWarning(const QString& program) {
    return QStringLiteral("%1: aviso: a senha do banco veio em --db, que qualquer usuário desta máquina lê "
                          "(ps); dê-a num arquivo legível só por este usuário (--db-password-file) ou no "
                          "PGPASSFILE.")
        .arg(program);
}

QStringList ServerOptions::hostNames() const {
    QStringList names = serverNames;
    names.append(host.toLower());
    if (isLoopback(host))
        names << QStringLiteral("localhost") << QStringLiteral("127.0.0.1") << QStringLiteral("::1");
    names.removeDuplicates();
    return names;
}

bool isLoopback(const QString& host) {
    if (host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

ServerOptions::Parsed ServerOptions::parse(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kAboutTheServer));
    const CommandLine options;
    options.declare(parser);

    Parsed result;
    if (!parser.parse(arguments)) {
        result.text = parser.errorText();
        return result;
    }
    if (parser.isSet(options.help)) {
        result.outcome = Outcome::Help;
        result.text = parser.helpText();
        return result;
    }
    ServerOptions& o = result.options;
    // The configuration file's options come after the command line's, for
    // those the command line does not give.
    o.configFile = parser.value(options.config).trimmed();
    bool passwordOnCommandLine = false;
    if (!o.configFile.isEmpty()) {
        passwordOnCommandLine = parser.isSet(options.db) && carriesPassword(parser.value(options.db));
        const QStringList added = readConfigFile(o.configFile, parser, options, &result.text);
        if (!result.text.isEmpty())
            return result;
        if (!parser.parse(arguments + added)) {
            result.text = parser.errorText();
            return result;
        }
    } else {
        passwordOnCommandLine = carriesPassword(parser.value(options.db));
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.text = QStringLiteral("Argumento inesperado: %1").arg(parser.positionalArguments().first());
        return result;
    }

    o.database = parser.value(options.db).trimmed();
    if (o.database.isEmpty()) {
        result.text =
            QStringLiteral("Informe o banco de dados com --db (ou \"db =\" no arquivo de configuração).");
        return result;
    }
    o.connectionText = o.database;
    o.databasePasswordFile = parser.value(options.dbPasswordFile).trimmed();
    if (!o.databasePasswordFile.isEmpty()) {
        o.connectionText = withPasswordFile(o.database, o.databasePasswordFile, &result.text);
        if (o.connectionText.isEmpty())
            return result;
    } else if (passwordOnCommandLine) {
        // Kept for the tests and the demo, whose connection texts carry one.
        o.warnings.append(passwordOnCommandLineWarning(QStringLiteral("zav50000-server")));
    }
    result.text = readMetricsAllowed(parser.values(options.metricsAllow), o);
    if (!result.text.isEmpty())
        return result;
    result.text = readListen(parser.value(options.listen).trimmed(), o);
    if (result.text.isEmpty())
        result.text = readTransport(parser, options, o);
    if (result.text.isEmpty())
        result.text = readLimits(parser, options, o);
    if (!result.text.isEmpty())
        return result;
    o.logFile = parser.value(options.logFile);
    o.certificates = parser.value(options.certificates).trimmed();
    o.certificatePasswordFile = parser.value(options.passwordFile).trimmed();
    o.tokens = parser.value(options.tokens).trimmed();
    o.authorities = parser.value(options.authorities).trimmed();

    result.outcome = Outcome::Run;
    return result;
}

} // namespace zavserver
