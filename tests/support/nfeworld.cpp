#include "nfeworld.h"
#include "certificaterequests.h"
#include "database.h"
#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>

namespace {

QString sourceDir() {
    const QString dir = qEnvironmentVariable("ZAV_SOURCE_DIR");
    return dir.isEmpty() ? QStringLiteral(ZAV_SOURCE_DIR) : dir;
}

QString binDir() {
    const QString dir = qEnvironmentVariable("ZAV_BIN_DIR");
    return dir.isEmpty() ? QStringLiteral(ZAV_BIN_DIR) : dir;
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace

AuthorityProcess::~AuthorityProcess() {
    if (running()) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

QString AuthorityProcess::binary() {
    return QDir(binDir()).filePath(QStringLiteral("zav-authority"));
}

bool AuthorityProcess::running() const {
    return m_process && m_process->state() == QProcess::Running;
}

QByteArray AuthorityProcess::log() {
    QFile file(m_logFile);
    if (m_logFile.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool AuthorityProcess::start(const QStringList& arguments, QString* why) {
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    static int started = 0;
    m_logFile = m_logDir.filePath(QStringLiteral("authority-%1.log").arg(++started));
    m_process->setStandardOutputFile(m_logFile);
    m_port = 0;
    m_process->start(binary(), arguments);
    if (!m_process->waitForStarted(10000)) {
        *why = QStringLiteral("cannot start %1: %2").arg(binary(), m_process->errorString());
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on https://127\\.0\\.0\\.1:(\\d+)"));
    m_port = waitForListening(
        *m_process, [this] { return log(); }, listening, QDeadlineTimer(30000),
        QStringLiteral("the authority"), why);
    return m_port != 0;
}

int AuthorityProcess::terminate(int timeoutMs) {
    if (!running())
        return -1;
    m_process->terminate();
    return exitCodeWithin(*m_process, timeoutMs);
}

NfeWorld::NfeWorld() = default;

QTemporaryDir& NfeWorld::shared() {
    static QTemporaryDir dir;
    return dir;
}

QString NfeWorld::certificateFolder() const {
    return shared().filePath(QStringLiteral("certs"));
}
QString NfeWorld::caFile() const {
    return QDir(certificateFolder()).filePath(QStringLiteral("ca.pem"));
}

QString NfeWorld::certificates(QSqlDatabase& db, const QStringList& extraSerials) {
    if (!shared().isValid())
        return QStringLiteral("no temporary folder");
    QStringList serials;
    try {
        serials = zavdb::certificateRequests(db); // each with its establishment's CNPJ
    } catch (const zavdb::DatabaseError& e) {
        return QString::fromUtf8(e.what());
    }
    serials += extraSerials;
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"),
                 QStringList{QDir(sourceDir()).filePath(QStringLiteral("scripts/make-certificates.sh")),
                             certificateFolder(), QString::fromLatin1(kPassword)} +
                     serials);
    if (!script.waitForFinished(180000) || script.exitStatus() != QProcess::NormalExit ||
        script.exitCode() != 0)
        return QStringLiteral("make-certificates.sh failed: %1").arg(QString::fromUtf8(script.readAll()));
    // Readable by its owner only, as the server demands.
    const QString password = m_own.filePath(QStringLiteral("password"));
    if (!writeFile(password, QByteArray(kPassword) + "\n") ||
        !QFile::setPermissions(password, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return QStringLiteral("cannot write the password file");
    return {};
}

QString NfeWorld::writeTable(const QString& content) const {
    QString path = m_own.filePath(QStringLiteral("autoridades.ini"));
    writeFile(path, content.toUtf8());
    return path;
}

QString NfeWorld::table() const {
    QFile file(serverArguments().last());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

QString NfeWorld::writeTerms(const QString& terms) const {
    QString content = table();
    content.replace(QStringLiteral("prazoHoras = %1").arg(kGenerousHours), terms);
    return writeTable(content);
}

QString NfeWorld::prepare(QSqlDatabase& db, const QString& connectionText) {
    if (QString why = certificates(db); !why.isEmpty())
        return why;
    return startAuthority(connectionText);
}

QString NfeWorld::startAuthority(const QString& connectionText, const QStringList& arguments, int answerMs) {
    const QDir certs(certificateFolder());
    // The authority's trust: the root, and the intermediate it completes a
    // signer's chain from (a resumed session carries no chain).
    const QString trust = certs.exists(QStringLiteral("authority-trust.pem"))
                              ? certs.filePath(QStringLiteral("authority-trust.pem"))
                              : caFile();
    QStringList all{QStringLiteral("--listen"),    QStringLiteral("127.0.0.1:0"),
                    QStringLiteral("--cert"),      certs.filePath(QStringLiteral("authority.pem")),
                    QStringLiteral("--key"),       certs.filePath(QStringLiteral("authority.key")),
                    QStringLiteral("--client-ca"), trust,
                    QStringLiteral("--db"),        connectionText};
    if (!arguments.contains(QStringLiteral("--ordinary-hours")))
        all += {QStringLiteral("--ordinary-hours"), QString::number(kGenerousHours)};
    all += arguments;
    QString why;
    if (!m_authority.start(all, &why))
        return why;
    const QString base = QStringLiteral("https://127.0.0.1:%1/ws/").arg(m_authority.port());
    m_table =
        writeTable(QStringLiteral("[geral]\nca = %1\nconexaoMs = 3000\nrespostaMs = %2\n\n"
                                  "[*.*]\nevento = %3NFeRecepcaoEvento4\nconsulta = %3NFeConsultaProtocolo4\n"
                                  "status = %3NFeStatusServico4\n"
                                  "prazoHoras = %4\n")
                       .arg(caFile())
                       .arg(answerMs)
                       .arg(base)
                       .arg(kGenerousHours));
    return {};
}

QStringList NfeWorld::serverArguments() const {
    return {QStringLiteral("--certificates"),
            certificateFolder(),
            QStringLiteral("--certificate-password-file"),
            m_own.filePath(QStringLiteral("password")),
            QStringLiteral("--authorities"),
            m_table.isEmpty() ? m_own.filePath(QStringLiteral("autoridades.ini")) : m_table};
}

QString NfeWorld::verifySignature(const QByteArray& xml) const {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("doc.xml"));
    if (!writeFile(path, xml))
        return QStringLiteral("cannot write the document");
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("xmlsec1"),
            {QStringLiteral("--verify"), QStringLiteral("--trusted-pem"), caFile(),
             QStringLiteral("--untrusted-pem"),
             QDir(certificateFolder()).filePath(QStringLiteral("intermediate.pem")),
             QStringLiteral("--id-attr:Id"), QStringLiteral("http://www.portalfiscal.inf.br/nfe:infEvento"),
             path});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("xmlsec1 refused it: %1").arg(QString::fromUtf8(p.readAll()));
    return {};
}

SoftToken::SoftToken() {
    QDir(m_dir.path()).mkpath(QStringLiteral("tokens"));
    const QString conf = m_dir.filePath(QStringLiteral("softhsm2.conf"));
    writeFile(conf,
              QStringLiteral("directories.tokendir = %1\nobjectstore.backend = file\nlog.level = ERROR\n")
                  .arg(tokensFolder())
                  .toUtf8());
    // Before the module is loaded: SoftHSM reads it once, at C_Initialize.
    qputenv("SOFTHSM2_CONF", conf.toLocal8Bit());
}

QString SoftToken::pinFile() const {
    return m_dir.filePath(QStringLiteral("token.pin"));
}

QString SoftToken::tokensFolder() const {
    return m_dir.filePath(QStringLiteral("tokens"));
}

QString SoftToken::make(const QString& certificateFolder, const QString& label, const QString& request) {
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"), {QDir(sourceDir()).filePath(QStringLiteral("scripts/make-token.sh")),
                                          certificateFolder, pinFile(), label, request});
    if (!script.waitForFinished(120000) || script.exitStatus() != QProcess::NormalExit ||
        script.exitCode() != 0)
        return QStringLiteral("make-token.sh failed: %1").arg(QString::fromUtf8(script.readAll()));
    if (!m_labels.contains(label))
        m_labels.append(label);
    QString config;
    for (const QString& each : m_labels)
        config += QStringLiteral("[%1]\nmodulo = %2\nrotulo = %1\npin = %3\n\n")
                      .arg(each, QLatin1String(kModule), pinFile());
    writeFile(configFile(), config.toUtf8());
    return {};
}

QString SoftToken::configFile() const {
    return m_dir.filePath(QStringLiteral("tokens.ini"));
}

QString SoftToken::folderOf(const QString& label) const {
    const QDir tokens(tokensFolder());
    for (const QString& name : tokens.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile object(tokens.filePath(name + QStringLiteral("/token.object")));
        if (object.open(QIODevice::ReadOnly) && object.readAll().contains(label.toUtf8()))
            return tokens.filePath(name);
    }
    return {};
}
