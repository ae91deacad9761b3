#include "serverprocess.h"

#include <httplib.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

namespace {

bool healthy(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1);
    const auto result = client.Get("/health");
    return result && result->status == 200;
}

bool accepting(int port) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    return socket.waitForConnected(1000);
}

} // namespace

ServerProcess::~ServerProcess() {
    if (running()) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

QString ServerProcess::binary() {
    QString dir = qEnvironmentVariable("ZAV_BIN_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(ZAV_BIN_DIR);
    return QDir(dir).filePath(QStringLiteral("zav50000-server"));
}

bool ServerProcess::start(const QString& connectionText, const QStringList& extraArguments, QString* why) {
    QString failure;
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    QStringList arguments{QStringLiteral("--db"), connectionText, QStringLiteral("--listen"),
                          QStringLiteral("127.0.0.1:0")};
    arguments += extraArguments;
    // Plain HTTP on loopback, asked for: the tests that are about TLS pass
    // the server's certificate instead.
    if (!arguments.contains(QStringLiteral("--tls-cert")))
        arguments << QStringLiteral("--plain-http");
    m_process->start(binary(), arguments);
    if (!m_process->waitForStarted(10000))
        failure = QStringLiteral("cannot start %1: %2").arg(binary(), m_process->errorString());

    // The server names the port it bound in its first log line.
    static const QRegularExpression listening(QStringLiteral("ouvindo em https?://127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(20000);
    while (failure.isEmpty() && m_port == 0) {
        if (m_process->state() != QProcess::Running) {
            failure = QStringLiteral("the server ended: %1").arg(QString::fromUtf8(log()));
            break;
        }
        if (deadline.hasExpired()) {
            failure =
                QStringLiteral("the server did not say where it listens: %1").arg(QString::fromUtf8(log()));
            break;
        }
        m_process->waitForReadyRead(100);
        const auto match = listening.match(QString::fromUtf8(log()));
        if (match.hasMatch())
            m_port = match.captured(1).toInt();
    }
    // Over TLS the port accepting connections is the sign (the log already
    // said the server listens); in plain HTTP, /health answering 200.
    const bool tls = arguments.contains(QStringLiteral("--tls-cert"));
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
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(binary(), arguments);
    if (!m_process->waitForFinished(timeoutMs)) {
        m_process->kill();
        m_process->waitForFinished(5000);
        return -1;
    }
    log();
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

bool ServerProcess::running() const {
    return m_process && m_process->state() == QProcess::Running;
}

qint64 ServerProcess::pid() const {
    return m_process ? m_process->processId() : 0;
}

QByteArray ServerProcess::log() {
    if (m_process) {
        if (m_process->processChannelMode() != QProcess::MergedChannels)
            m_log += m_process->readAllStandardError();
        m_log += m_process->readAllStandardOutput();
    }
    return m_log;
}

bool ServerProcess::waitForLog(const QByteArray& text, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired() || !m_process)
            return false;
        if (m_process->state() == QProcess::NotRunning)
            return log().contains(text);
        m_process->setReadChannel(QProcess::StandardError);
        m_process->waitForReadyRead(50);
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
