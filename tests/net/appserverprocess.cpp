#include "appserverprocess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int kStartMs = 20000;

// One GET /health: the HTTP status, 0 without an answer.
int health(int port, const QString& tlsDir) {
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(
        QUrl(QStringLiteral("%1://127.0.0.1:%2/health").arg(tlsDir.isEmpty() ? "http" : "https").arg(port)));
    if (!tlsDir.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(tlsDir + QStringLiteral("/ca.pem")));
        request.setSslConfiguration(tls);
    }
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

AppServerProcess::~AppServerProcess() {
    stop();
}

QString AppServerProcess::binary() {
    QString dir = qEnvironmentVariable("ZAV_BIN_DIR");
#ifdef ZAV_BIN_DIR
    if (dir.isEmpty())
        dir = QStringLiteral(ZAV_BIN_DIR);
#endif
    return dir + QStringLiteral("/zav50000-server");
}

int AppServerProcess::closedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const int port = probe.serverPort();
    probe.close();
    return port;
}

bool AppServerProcess::start(const QString& connectionText, QString* why, const QString& tlsDir) {
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(binary());
    QStringList arguments{QStringLiteral("--db"),      connectionText,
                          QStringLiteral("--listen"),  QStringLiteral("127.0.0.1:0"),
                          QStringLiteral("--threads"), QStringLiteral("2")};
    if (tlsDir.isEmpty())
        arguments << QStringLiteral("--plain-http");
    else
        arguments << QStringLiteral("--tls-cert") << tlsDir + QStringLiteral("/server.pem")
                  << QStringLiteral("--tls-key") << tlsDir + QStringLiteral("/server.key");
    m_process->setArguments(arguments);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->start();
    if (!m_process->waitForStarted(kStartMs)) {
        *why = QStringLiteral("%1 did not start: %2").arg(binary(), m_process->errorString());
        return false;
    }
    // The first log line names the port the server took.
    static const QRegularExpression listening(QStringLiteral("ouvindo em https?://127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(kStartMs);
    while (m_port == 0 && !deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running) {
            *why = QStringLiteral("the server ended (exit code %1): %2")
                       .arg(m_process->exitCode())
                       .arg(QString::fromLocal8Bit(log()));
            return false;
        }
        m_process->waitForReadyRead(100);
        m_log += m_process->readAllStandardError();
        const QRegularExpressionMatch m = listening.match(QString::fromLocal8Bit(m_log));
        if (m.hasMatch())
            m_port = m.captured(1).toInt();
    }
    // The server logs a line per call: read it as it comes, so that a full
    // pipe never stops the server.
    QObject::connect(m_process.get(), &QProcess::readyReadStandardError, m_process.get(), [this] {
        m_log += m_process->readAllStandardError();
        if (m_log.size() > (1 << 20))
            m_log = m_log.right(1 << 19);
    });
    while (m_port != 0 && !deadline.hasExpired()) {
        if (health(m_port, tlsDir) == 200)
            return true;
        QThread::msleep(50);
    }
    *why = QStringLiteral("the server did not answer /health in time: %1").arg(QString::fromLocal8Bit(log()));
    return false;
}

void AppServerProcess::stop() {
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(15000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_log += m_process->readAllStandardError();
    m_process.reset();
    m_port = 0;
}

QByteArray AppServerProcess::log() {
    if (m_process)
        m_log += m_process->readAllStandardError();
    return m_log;
}
