#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

// One GET /health over plain HTTP: whether it answered 200.
bool healthy(int port) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(1000))
        return false;
    socket.write("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(1000))
        answer += socket.readAll();
    return answer.startsWith("HTTP/1.1 200");
}

// One POST of a JSON body over plain HTTP: the answer's body, empty when none came.
QByteArray postJson(int port, const QByteArray& body) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(2000))
        return {};
    socket.write(
        "POST /ZAV50000.rdmCancelaNFE HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Connection: close\r\nContent-Length: " +
        QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray answer;
    while (socket.waitForReadyRead(10000))
        answer += socket.readAll();
    const qsizetype end = answer.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : answer.mid(end + 4);
}

bool accepting(int port) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    return socket.waitForConnected(1000);
}

} // namespace

HttpReply httpGet(int port, const QByteArray& path, const QByteArray& host) {
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(5000))
        return reply;
    socket.write("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(10000))
        answer += socket.readAll();
    const qsizetype end = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 ") || end < 0)
        return reply;
    reply.status = answer.mid(9, 3).toInt();
    reply.headers = answer.left(end);
    reply.body = answer.mid(end + 4);
    // A chunked body, joined.
    if (reply.headers.toLower().contains("transfer-encoding: chunked")) {
        QByteArray joined;
        qsizetype at = 0;
        while (at < reply.body.size()) {
            const qsizetype line = reply.body.indexOf("\r\n", at);
            if (line < 0)
                break;
            bool ok = false;
            const qsizetype size = reply.body.mid(at, line - at).trimmed().toLongLong(&ok, 16);
            if (!ok || size == 0)
                break;
            joined += reply.body.mid(line + 2, size);
            at = line + 2 + size + 2;
        }
        reply.body = joined;
    }
    return reply;
}

int exitCodeWithin(QProcess& process, int timeoutMs) {
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int waitForListening(const QProcess& process, const std::function<QByteArray()>& log,
                     const QRegularExpression& pattern, const QDeadlineTimer& deadline, const QString& who,
                     QString* why) {
    for (;;) {
        if (process.state() != QProcess::Running) {
            *why = QStringLiteral("%1 ended: %2").arg(who, QString::fromUtf8(log()));
            return 0;
        }
        if (deadline.hasExpired()) {
            *why = QStringLiteral("%1 did not say where it listens: %2").arg(who, QString::fromUtf8(log()));
            return 0;
        }
        QThread::msleep(50);
        const auto match = pattern.match(QString::fromUtf8(log()));
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
}

ServerProcess::~ServerProcess() {
    stop();
}

QString ServerProcess::binary() {
    QString dir = qEnvironmentVariable("ZAV_BIN_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(ZAV_BIN_DIR);
    return QDir(dir).filePath(QStringLiteral("zav50000-server"));
}

QString ServerProcess::testBinary() {
    return binary() + QStringLiteral("-teste");
}

int ServerProcess::closedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const int port = probe.serverPort();
    probe.close();
    return port;
}

bool ServerProcess::startTls(const QString& connectionText, const QString& tlsDir,
                             const QStringList& extraArguments, QString* why) {
    return start(connectionText,
                 QStringList{QStringLiteral("--tls-cert"),
                             QDir(tlsDir).filePath(QStringLiteral("server.pem")), QStringLiteral("--tls-key"),
                             QDir(tlsDir).filePath(QStringLiteral("server.key"))} +
                     extraArguments,
                 why);
}

bool ServerProcess::start(const QString& connectionText, const QStringList& extraArguments, QString* why) {
    stop();
    m_port = 0;
    m_output.clear();
    QStringList arguments{QStringLiteral("--db"), connectionText, QStringLiteral("--listen"),
                          QStringLiteral("127.0.0.1:0")};
    arguments += extraArguments;
    const bool tls = arguments.contains(QStringLiteral("--tls-cert"));
    // Plain HTTP on loopback, asked for: the tests about TLS give a certificate.
    if (!tls)
        arguments << QStringLiteral("--plain-http");
    if (arguments.contains(QStringLiteral("--log-file"))) {
        m_logFile = arguments.at(arguments.indexOf(QStringLiteral("--log-file")) + 1);
    } else {
        m_logFile =
            m_logDir.filePath(QStringLiteral("server-%1.log").arg(QDateTime::currentMSecsSinceEpoch()));
        arguments << QStringLiteral("--log-file") << m_logFile;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    const QString program = testMethods ? testBinary() : binary();
    m_process->start(program, arguments);
    QString failure;
    if (!m_process->waitForStarted(10000))
        failure = QStringLiteral("cannot start %1: %2").arg(program, m_process->errorString());

    // The server names the port it bound in its first log line.
    static const QRegularExpression listening(QStringLiteral("ouvindo em https?://127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(20000);
    if (failure.isEmpty())
        m_port = waitForListening(
            *m_process, [this] { return log(); }, listening, deadline, QStringLiteral("the server"),
            &failure);
    // Over TLS the port accepting connections is the sign; in plain HTTP,
    // /health answering 200.
    while (failure.isEmpty() && !(tls ? accepting(m_port) : healthy(m_port))) {
        if (deadline.hasExpired())
            failure = QStringLiteral("/health did not answer 200: %1").arg(QString::fromUtf8(log()));
        QThread::msleep(50);
    }
    if (why)
        *why = failure;
    return failure.isEmpty();
}

int ServerProcess::runToExit(const QStringList& arguments, int timeoutMs) {
    stop();
    m_logFile.clear();
    m_output.clear();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(binary(), arguments);
    const int code = exitCodeWithin(*m_process, timeoutMs);
    log();
    return code;
}

bool ServerProcess::running() const {
    return m_process && m_process->state() == QProcess::Running;
}

qint64 ServerProcess::pid() const {
    return m_process ? m_process->processId() : 0;
}

QByteArray ServerProcess::log() {
    if (m_process)
        m_output += m_process->readAll();
    QByteArray all = m_output;
    if (!m_logFile.isEmpty()) {
        QFile file(m_logFile);
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

bool ServerProcess::waitForLog(const QByteArray& text, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired() || !m_process)
            return false;
        if (m_process->state() == QProcess::NotRunning)
            return log().contains(text);
        QThread::msleep(25);
    }
    return true;
}

int ServerProcess::terminate(int timeoutMs) {
    if (!running())
        return -1;
    signalTerminate();
    return waitForExit(timeoutMs);
}

void ServerProcess::signalTerminate() {
    if (running())
        m_process->terminate(); // SIGTERM
}

int ServerProcess::waitForExit(int timeoutMs) {
    if (!m_process)
        return -1;
    if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(timeoutMs))
        return -1;
    log();
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

void ServerProcess::stop() {
    if (!running())
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(15000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    log();
}

QByteArray ServerProcess::signIn(const QString& connectionText, const QString& operatorCode, QString* why) {
    const auto fail = [&](const QString& text) {
        if (why)
            *why = text;
        return QByteArray();
    };
    const QString passwordFile = m_logDir.filePath(QStringLiteral("operator.password"));
    {
        QFile f(passwordFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(kTestPassword) + "\n") < 0)
            return fail(QStringLiteral("cannot write %1").arg(passwordFile));
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    const QString admin = QFileInfo(binary()).dir().filePath(QStringLiteral("zav-admin"));
    const auto runAdmin = [&](const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(admin, QStringList{QStringLiteral("--db"), connectionText} + args);
        const int code = exitCodeWithin(p, 60000);
        return std::pair{code, QString::fromUtf8(p.readAll())};
    };
    const auto [listed, operators] = runAdmin({QStringLiteral("operators")});
    if (listed != 0)
        return fail(QStringLiteral("zav-admin operators: %1").arg(operators));
    if (!operators.contains(operatorCode + QLatin1Char('\t'))) {
        const auto [added, text] = runAdmin(
            {QStringLiteral("add-operator"), operatorCode, QStringLiteral("--password-file"), passwordFile});
        if (added != 0)
            return fail(QStringLiteral("zav-admin add-operator: %1").arg(text));
    }
    const auto [granted, text] = runAdmin({QStringLiteral("grant-all"), operatorCode});
    if (granted != 0)
        return fail(QStringLiteral("zav-admin grant-all: %1").arg(text));
    const QByteArray answer =
        postJson(m_port, R"({"jsonrpc":"2.0","id":1,"method":"Login","params":[")" + operatorCode.toUtf8() +
                             R"(",")" + QByteArray(kTestPassword) + R"("]})");
    static const QRegularExpression token(QStringLiteral("\"([A-Za-z0-9_-]{43})\""));
    const auto match = token.match(QString::fromUtf8(answer));
    if (!match.hasMatch())
        return fail(QStringLiteral("Login answered: %1").arg(QString::fromUtf8(answer)));
    m_token = match.captured(1).toLatin1();
    return m_token;
}
