#include "authorityoptions.h"
#include "statuscodes.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace zavauthority {

namespace {

// A whole number from minimum up; *error names the option otherwise.
int number(const QCommandLineParser& parser, const QString& name, int fallback, int minimum, QString* error) {
    if (!parser.isSet(name))
        return fallback;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < minimum) {
        if (error->isEmpty())
            *error = QStringLiteral("--%1 espera um número inteiro a partir de %2, não \"%3\".")
                         .arg(name)
                         .arg(minimum)
                         .arg(parser.value(name));
        return fallback;
    }
    return value;
}

// The options, described for --help; the help option itself.
QCommandLineOption describeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Autoridade fiscal local: recebe eventos de cancelamento de NF-e e responde consultas de "
        "situação por HTTPS com certificado de cliente, para testes e demonstração."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Endereço e porta (127.0.0.1:0 escolhe uma porta livre)."),
         QStringLiteral("host:porta")},
        {QStringLiteral("cert"), QStringLiteral("Certificado TLS do servidor (PEM)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("key"), QStringLiteral("Chave privada do certificado TLS (PEM)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("client-ca"),
         QStringLiteral("AC raiz dos certificados de cliente, também a das assinaturas dos eventos (PEM)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("tls-client-ca"),
         QStringLiteral("Outra AC em que o TLS confia para certificados de cliente, no lugar de --client-ca "
                        "(simula uma SEFAZ que não confia na cadeia da empresa: alerta unknown_ca)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("db"), QStringLiteral("Banco do ERP de onde vêm as NF-e autorizadas (lido uma vez)."),
         QStringLiteral("conexão")},
        {QStringLiteral("record"), QStringLiteral("Arquivo SQLite próprio das NF-e e eventos registrados."),
         QStringLiteral("arquivo")},
        {QStringLiteral("ordinary-hours"), QStringLiteral("Prazo do cancelamento em horas (padrão 24)."),
         QStringLiteral("horas")},
        {QStringLiteral("late-hours"),
         QStringLiteral("Até quantas horas depois da autorização o cancelamento fora de prazo ainda é aceito "
                        "(155; padrão 0: nunca)."),
         QStringLiteral("horas")},
        {QStringLiteral("late-days"), QStringLiteral("O mesmo que --late-hours, em dias."),
         QStringLiteral("dias")},
        {QStringLiteral("environment"),
         QStringLiteral("Ambiente atendido: 1 produção, 2 homologação (padrão 2)."), QStringLiteral("tpAmb")},
        {QStringLiteral("delay-ms"), QStringLiteral("Espera antes de cada resposta."), QStringLiteral("ms")},
        {QStringLiteral("drop-answers"),
         QStringLiteral(
             "Processa e registra os próximos N lotes de eventos e fecha a conexão sem responder."),
         QStringLiteral("N")},
        {QStringLiteral("drop-requests"),
         QStringLiteral("Fecha a conexão dos próximos N lotes de eventos sem processá-los."),
         QStringLiteral("N")},
        {QStringLiteral("paused"),
         QStringLiteral("Serviços de evento, de consulta do protocolo e de status paralisados: 108 (curto "
                        "prazo) ou 109 (sem previsão)."),
         QStringLiteral("cStat")},
        {QStringLiteral("consumo-indevido"),
         QStringLiteral("Responde a toda requisição dos serviços de evento e de consulta do protocolo com "
                        "656 (Rejeição: Consumo Indevido), sem ler o lote ou a consulta.")},
        {QStringLiteral("hang"),
         QStringLiteral("Lê cada requisição e segura a conexão sem responder até o cliente desistir (ou o "
                        "encerramento), então a fecha sem resposta.")},
        {QStringLiteral("hang-ms"),
         QStringLiteral("O mesmo que --hang, mas fecha a conexão sem resposta depois de ms milissegundos."),
         QStringLiteral("ms")},
        {QStringLiteral("log-file"),
         QStringLiteral("Arquivo do registro das requisições (padrão: saída de erros). Quantas requisições "
                        "cada serviço recebeu: GET /zav/requests (com certificado de cliente) responde "
                        "\"evento N\", \"consulta N\" e \"status N\", uma por linha, contadas na chegada, "
                        "e o registro as diz ao encerrar."),
         QStringLiteral("arquivo")},
    });
    return helpOption;
}

// --listen host:port.
QString readListen(const QCommandLineParser& parser, AuthorityOptions& options) {
    const QString listen = parser.value(QStringLiteral("listen"));
    const qsizetype colon = listen.lastIndexOf(u':');
    bool portOk = false;
    options.host = colon > 0 ? listen.left(colon) : QString();
    options.port = colon > 0 ? listen.mid(colon + 1).toInt(&portOk) : -1;
    if (options.host.isEmpty() || !portOk || options.port < 0 || options.port > 65535)
        return QStringLiteral("Informe --listen host:porta (porta de 0 a 65535), não \"%1\".").arg(listen);
    return {};
}

// The TLS files, which must be readable, and where the invoices come from.
QString readFiles(const QCommandLineParser& parser, AuthorityOptions& options) {
    options.certificate = parser.value(QStringLiteral("cert"));
    options.key = parser.value(QStringLiteral("key"));
    options.clientCa = parser.value(QStringLiteral("client-ca"));
    options.tlsClientCa = parser.isSet(QStringLiteral("tls-client-ca"))
                              ? parser.value(QStringLiteral("tls-client-ca"))
                              : options.clientCa;
    for (const auto& [name, path] :
         {std::pair{"cert", options.certificate}, std::pair{"key", options.key},
          std::pair{"client-ca", options.clientCa}, std::pair{"tls-client-ca", options.tlsClientCa}}) {
        if (path.isEmpty())
            return QStringLiteral("Informe --%1.").arg(QLatin1StringView(name));
        if (!QFileInfo(path).isReadable() || !QFileInfo(path).isFile())
            return QStringLiteral("--%1: não foi possível ler %2.").arg(QLatin1StringView(name), path);
    }
    options.database = parser.value(QStringLiteral("db"));
    options.recordFile = parser.value(QStringLiteral("record"));
    // A record kept from an earlier run already holds the invoices; any other
    // start needs the ERP database to know them.
    if (options.database.isEmpty() &&
        (options.recordFile.isEmpty() || !QFileInfo::exists(options.recordFile)))
        return QStringLiteral("Informe --db (o banco do ERP), ou um --record já preenchido.");
    return {};
}

// The terms, the environment and the fault options.
QString readNumbers(const QCommandLineParser& parser, AuthorityOptions& options) {
    QString error;
    options.ordinaryHours = number(parser, QStringLiteral("ordinary-hours"), 24, 1, &error);
    // The late term counted from the authorisation, in hours or in days.
    if (parser.isSet(QStringLiteral("late-hours")) && parser.isSet(QStringLiteral("late-days")))
        return QStringLiteral("--late-hours e --late-days dizem o mesmo prazo: use um só.");
    options.lateHours = parser.isSet(QStringLiteral("late-days"))
                            ? number(parser, QStringLiteral("late-days"), 0, 0, &error) * 24
                            : number(parser, QStringLiteral("late-hours"), 0, 0, &error);
    options.environment = number(parser, QStringLiteral("environment"), 2, 1, &error);
    options.delayMs = number(parser, QStringLiteral("delay-ms"), 0, 0, &error);
    options.dropAnswers = number(parser, QStringLiteral("drop-answers"), 0, 0, &error);
    options.dropRequests = number(parser, QStringLiteral("drop-requests"), 0, 0, &error);
    if (!error.isEmpty())
        return error;
    if (options.environment > 2)
        return QStringLiteral("--environment é 1 (produção) ou 2 (homologação).");
    options.paused = number(parser, QStringLiteral("paused"), 0, 0, &error);
    if (!error.isEmpty() || (options.paused != 0 && options.paused != ServicePausedShortly &&
                             options.paused != ServicePausedIndefinitely))
        return QStringLiteral(
            "--paused é 108 (paralisado momentaneamente) ou 109 (paralisado sem previsão).");
    // How long a request is held unanswered.
    if (parser.isSet(QStringLiteral("hang")) && parser.isSet(QStringLiteral("hang-ms")))
        return QStringLiteral("--hang e --hang-ms dizem a mesma espera: use um só.");
    options.hang = parser.isSet(QStringLiteral("hang")) || parser.isSet(QStringLiteral("hang-ms"));
    options.hangMs = number(parser, QStringLiteral("hang-ms"), 0, 1, &error);
    if (!error.isEmpty())
        return error;
    options.excessiveUse = parser.isSet(QStringLiteral("consumo-indevido"));
    return {};
}

} // namespace

QString AuthorityOptions::parse(const QStringList& arguments, AuthorityOptions* options, QString* help) {
    QCommandLineParser parser;
    const QCommandLineOption helpOption = describeOptions(parser);
    if (!parser.parse(arguments))
        return parser.errorText();
    if (parser.isSet(helpOption)) {
        *help = parser.helpText();
        return {};
    }
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("Argumento inesperado: %1").arg(parser.positionalArguments().constFirst());

    AuthorityOptions result;
    QString refused = readListen(parser, result);
    if (refused.isEmpty())
        refused = readFiles(parser, result);
    if (refused.isEmpty())
        refused = readNumbers(parser, result);
    if (!refused.isEmpty())
        return refused;
    result.logFile = parser.value(QStringLiteral("log-file"));
    *options = result;
    return {};
}

} // namespace zavauthority
