// zav-doctor: whether the tax authorities answer this server. For each state
// and environment configured (or those asked for), it calls the authority's
// status service (NFeStatusServico4) as the server would call it — the same
// table of authorities, trust, A1 certificate and security level — and prints
// the answer (cStat, xMotivo), the TLS chain the authority presents with the
// expiry of each certificate, and the server's own certificates with theirs:
// its A1 files, and each PKCS#11 token (module, slot, label, serial) with the
// certificates on it.
//
//   zav-doctor [--authorities FILE] [--certificates DIR --certificate-password-file FILE]
//              [--tokens FILE] [--serial SERIAL] [SP.2 | SP | ...]
//
// Exit status 0 when every authority asked answered 107 (in operation), 1
// otherwise, 2 for a bad command line or configuration.
#include "authority/authorityclient.h"
#include "authority/authorityconfig.h"
#include "authority/tlsprobe.h"

#include "authoritymessages.h"
#include "certificatestore.h"
#include "secretfile.h"
#include "soap.h"
#include "states.h"
#include "tokenset.h"
#include "vocabulary.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSet>
#include <QTextStream>

#include <csignal>
#include <cstdio>

namespace {

using zavserver::AuthorityConfig;
using zavserver::AuthorityEndpoints;

struct Target {
    QString state, environment;
};

QString day(const QDateTime& at) {
    return at.isValid() ? at.toString(QStringLiteral("dd/MM/yyyy")) : QStringLiteral("?");
}

// "SP.2", "SP" (both environments), "*" or nothing (every state, both).
std::optional<QList<Target>> targetsOf(const QStringList& arguments, QString* error) {
    QList<Target> targets;
    const QStringList asked = arguments.isEmpty() ? QStringList{QStringLiteral("*")} : arguments;
    for (const QString& argument : asked) {
        const QStringList parts = argument.toUpper().split(u'.');
        const QString state = parts.value(0);
        const QStringList environments =
            parts.size() > 1 ? QStringList{parts[1]} : QStringList{QStringLiteral("1"), QStringLiteral("2")};
        QStringList states;
        if (state == u"*")
            for (const zavfiscal::State& s : zavfiscal::allStates())
                states.append(QString::fromLatin1(s.abbreviation));
        else
            states.append(state);
        for (const QString& s : states)
            for (const QString& e : environments) {
                if (!zavfiscal::stateByAbbreviation(s) || (e != u"1" && e != u"2") || parts.size() > 2) {
                    *error = QStringLiteral("\"%1\" não é estado.ambiente (SP.2), estado (SP) nem *.")
                                 .arg(argument);
                    return std::nullopt;
                }
                targets.append({s, e});
            }
    }
    return targets;
}

QByteArray readPassword(const QString& path, QString* error) {
    if (path.isEmpty())
        return {};
    zavcommon::SecretFault fault{};
    QString why;
    const std::optional<QByteArray> line = zavcommon::readSecretLine(path, &fault, &why);
    if (!line && fault == zavcommon::SecretFault::OpenToOthers)
        *error =
            QStringLiteral("a senha dos certificados em %1 pode ser lida por outros usuários (use chmod 600)")
                .arg(path);
    else if (!line)
        *error = QStringLiteral("não foi possível ler %1: %2").arg(path, why);
    return line.value_or(QByteArray());
}

class Doctor {
public:
    Doctor(const AuthorityConfig& config, std::optional<zavnfe::SigningCertificate> certificate,
           QTextStream& out)
        : m_config(config), m_certificate(std::move(certificate)), m_out(out) {}

    // One state and environment; true when its authority answered 107.
    bool examine(const Target& t);

private:
    void showChain(const QUrl& url, const AuthorityEndpoints& authority);

    const AuthorityConfig& m_config;
    std::optional<zavnfe::SigningCertificate> m_certificate;
    QTextStream& m_out;
    QSet<QString> m_hostsShown;
};

bool Doctor::examine(const Target& t) {
    m_out << t.state << '.' << t.environment;
    const AuthorityEndpoints* authority = m_config.find(t.state, t.environment);
    if (!authority) {
        m_out << ": nenhuma autoridade na tabela" << Qt::endl;
        return false;
    }
    m_out << " (" << authority->name << (authority->shipped ? ", tabela embutida" : ", tabela do servidor")
          << ")" << Qt::endl;
    const QUrl url = authority->serviceStatusUrl;
    if (url.isEmpty()) {
        m_out << "  sem o endereço do serviço de status (chave status da seção " << authority->name << ")"
              << Qt::endl;
        return false;
    }
    m_out << "  status   " << url.toString() << Qt::endl;
    showChain(url, *authority);
    if (!m_certificate) {
        m_out << "  resposta não pedida: nenhum certificado válido para apresentar" << Qt::endl;
        return false;
    }
    zavserver::AuthorityClient client(m_config, *m_certificate);
    const QByteArray envelope = zavnfe::Soap::envelope(
        zavnfe::Soap::kServiceStatusService,
        zavnfe::consStatServ(t.environment.toInt(),
                             QString::fromLatin1(zavfiscal::stateByAbbreviation(t.state)->code)));
    const zavserver::AuthorityClient::Reply reply = client.post(
        *authority, url,
        zavnfe::Soap::contentType(zavnfe::Soap::kServiceStatusService, zavnfe::Soap::kServiceStatusOperation),
        envelope);
    if (!reply.answered) {
        m_out << "  sem resposta: " << reply.failure << Qt::endl;
        return false;
    }
    QString error;
    const QByteArray payload = zavnfe::Soap::payload(reply.body, &error);
    const auto answer = payload.isEmpty() ? std::nullopt : zavnfe::parseRetConsStatServ(payload, &error);
    if (!answer) {
        m_out << "  resposta inválida: " << error << Qt::endl;
        return false;
    }
    m_out << "  resposta " << answer->status << " - " << answer->statusText;
    if (answer->averageSeconds)
        m_out << " (tempo médio " << *answer->averageSeconds << " s)";
    if (!answer->returnAt.isEmpty())
        m_out << " (retorno previsto " << answer->returnAt << ")";
    m_out << Qt::endl;
    return answer->status == zavnfe::ServiceInOperation;
}

void Doctor::showChain(const QUrl& url, const AuthorityEndpoints& authority) {
    const QString host = url.host() + u':' + QString::number(url.port(443));
    if (m_hostsShown.contains(host)) {
        m_out << "  TLS      " << host << ": como acima" << Qt::endl;
        return;
    }
    m_hostsShown.insert(host);
    const zavserver::TlsProbe probe = zavserver::TlsProbe::run(url, m_config, authority, m_certificate);
    if (!probe.handshake) {
        m_out << "  TLS      " << host << ": " << probe.failure << Qt::endl;
        return;
    }
    m_out << "  TLS      " << host << ": " << probe.protocol << ' ' << probe.cipher << ", cadeia "
          << (probe.verified ? QStringLiteral("confiável")
                             : QStringLiteral("NÃO confiável: ") + probe.verification)
          << Qt::endl;
    if (!probe.failure.isEmpty())
        m_out << "           " << probe.failure << Qt::endl;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < probe.chain.size(); ++i) {
        const zavserver::TlsProbe::Certificate& c = probe.chain.at(i);
        m_out << "    " << i << ' ' << c.subject << "  até " << day(c.notAfter)
              << (c.notAfter.isValid() && c.notAfter < now ? "  VENCIDO" : "") << Qt::endl;
    }
}

// One certificate's line: serial as it carries it, where, holder, validity.
QString certificateLine(const zavnfe::CertificateEntry& e, const QString& where, const QDateTime& now) {
    const bool valid = e.notBefore <= now && now <= e.notAfter;
    const qint64 days = now.secsTo(e.notAfter) / 86400;
    return QStringLiteral("  %1  %2  %3  de %4 até %5%6")
        .arg(e.serialText, where, e.subject, day(e.notBefore), day(e.notAfter),
             !valid       ? QStringLiteral("  FORA DA VALIDADE")
             : days <= 30 ? QStringLiteral("  vence em %1 dias").arg(days)
                          : QString());
}

// The server's A1 certificates; the serials that can sign today, in order.
QStringList listFolder(const QString& folder, const QByteArray& password, QTextStream& out) {
    if (folder.isEmpty()) {
        out << "Certificados A1: pasta não informada (--certificates)" << Qt::endl;
        return {};
    }
    QString error;
    const QList<zavnfe::CertificateEntry> entries =
        zavnfe::CertificateStore(folder).entries(password, &error);
    out << "Certificados A1 em " << folder << Qt::endl;
    if (!error.isEmpty())
        out << "  " << error << Qt::endl;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QStringList valid;
    for (const zavnfe::CertificateEntry& e : entries) {
        if (e.serial.isEmpty()) {
            out << "  " << e.file << ": não abre: " << e.error << Qt::endl;
            continue;
        }
        out << certificateLine(e, e.file, now) << Qt::endl;
        if (e.notBefore <= now && now <= e.notAfter)
            valid.append(e.serial);
    }
    return valid;
}

// The tokens, each with its certificates and whether each signs (a look-up
// as the server's: a PIN refused is said, never tried twice); the serials
// that can sign today, in order.
QStringList listTokens(zavnfe::TokenSet* tokens, QTextStream& out) {
    if (!tokens)
        return {};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QStringList valid;
    for (const zavnfe::TokenEntry& t : tokens->entries()) {
        out << "Token A3 [" << t.name << "] módulo " << t.module << Qt::endl;
        if (!t.error.isEmpty()) {
            out << "  " << t.error << Qt::endl;
            continue;
        }
        out << "  slot " << t.slot << ", rótulo " << t.label << ", série " << t.serial << Qt::endl;
        if (t.certificates.isEmpty())
            out << "  nenhum certificado no token" << Qt::endl;
        for (const zavnfe::CertificateEntry& e : t.certificates) {
            out << certificateLine(e, QStringLiteral("token"), now) << Qt::endl;
            const zavnfe::CertificateLookup lookup = tokens->find(e.serial, now);
            if (lookup.found())
                valid.append(e.serial);
            else
                out << "    não assina: " << lookup.error << Qt::endl;
        }
    }
    return valid;
}

// The certificate to present: the serial asked for, or the first valid today
// (the folder's first, then the tokens').
std::optional<zavnfe::SigningCertificate> chooseCertificate(const QString& folder, const QByteArray& password,
                                                            const std::shared_ptr<zavnfe::TokenSet>& tokens,
                                                            const QString& serial, QTextStream& out) {
    QStringList valid = listFolder(folder, password, out);
    valid += listTokens(tokens.get(), out);
    const QString chosen =
        serial.isEmpty() ? valid.value(0) : zavnfe::SigningCertificate::normalisedSerial(serial);
    if (chosen.isEmpty())
        return std::nullopt;
    zavnfe::CertificateLookup lookup = zavnfe::CertificateStore(folder, tokens).find(chosen, password);
    if (!lookup.found()) {
        out << "  o certificado " << chosen << " não serve: " << lookup.error << Qt::endl;
        return std::nullopt;
    }
    out << "  apresentado às autoridades: " << lookup.certificate->serialText()
        << (lookup.certificate->onToken() ? QStringLiteral(" (") + lookup.certificate->keyLocation() + u')'
                                          : QString())
        << Qt::endl;
    return lookup.certificate;
}

} // namespace

int main(int argc, char** argv) {
    // A peer that closes first must not end the program (the TLS probe says
    // goodbye on a connection the authority may have closed).
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zav-doctor"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Pergunta a cada autoridade fiscal se o serviço está em operação (NFeStatusServico4), como o "
        "servidor de aplicação a chamaria, e mostra a resposta, a cadeia TLS da autoridade e os "
        "certificados do servidor (os A1 da pasta e os A3 de cada token) com suas validades.\n\nAlvos: SP.2, "
        "SP (os dois ambientes) ou * "
        "(todos; o padrão)."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("authorities"),
         QStringLiteral("A tabela própria do servidor (a mesma de zav50000-server)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("certificates"), QStringLiteral("Pasta dos certificados A1."),
         QStringLiteral("pasta")},
        {QStringLiteral("certificate-password-file"),
         QStringLiteral("Arquivo (modo 600) com a senha da pasta na primeira linha."),
         QStringLiteral("arquivo")},
        {QStringLiteral("tokens"),
         QStringLiteral("Arquivo (INI) dos tokens PKCS#11 dos certificados A3 (o mesmo de zav50000-server)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("serial"),
         QStringLiteral("Número de série do certificado a apresentar (padrão: o primeiro válido)."),
         QStringLiteral("serie")},
    });
    parser.addPositionalArgument(QStringLiteral("alvos"), QStringLiteral("Estados e ambientes."),
                                 QStringLiteral("[SP.2 ...]"));
    parser.process(app);

    QString error;
    const auto config = AuthorityConfig::load(parser.value(QStringLiteral("authorities")), &error);
    const auto targets = config ? targetsOf(parser.positionalArguments(), &error) : std::nullopt;
    const QByteArray password =
        readPassword(parser.value(QStringLiteral("certificate-password-file")), &error);
    std::shared_ptr<zavnfe::TokenSet> tokens;
    if (config && targets && error.isEmpty() && parser.isSet(QStringLiteral("tokens")))
        tokens = zavnfe::TokenSet::load(parser.value(QStringLiteral("tokens")), &error);
    if (!config || !targets || !error.isEmpty()) {
        std::fprintf(stderr, "zav-doctor: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    QTextStream out(stdout);
    out << "Tabela de autoridades de " << config->shippedDate() << " (" << config->shippedSource() << ")"
        << (config->overridden() ? ", com as seções da tabela do servidor" : "") << Qt::endl;
    auto certificate = chooseCertificate(parser.value(QStringLiteral("certificates")), password, tokens,
                                         parser.value(QStringLiteral("serial")), out);
    Doctor doctor(*config, std::move(certificate), out);
    int failed = 0;
    for (const Target& t : *targets)
        if (!doctor.examine(t))
            ++failed;
    out << (failed == 0
                ? QStringLiteral("Todas as autoridades em operação.")
                : QStringLiteral("%1 de %2 sem resposta 107 (em operação).").arg(failed).arg(targets->size()))
        << Qt::endl;
    return failed == 0 ? 0 : 1;
}
