#pragma once
// A real zav50000-server process on a free loopback port, for the tests and
// the benchmark of the client side: started from ZAV_BIN_DIR on a database,
// ready once GET /health answers 200, stopped with SIGTERM when destroyed.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <memory>

class AppServerProcess {
public:
    AppServerProcess() = default;
    ~AppServerProcess();
    AppServerProcess(const AppServerProcess&) = delete;
    AppServerProcess& operator=(const AppServerProcess&) = delete;

    // False, with the reason in *why, when it does not come up in time. With
    // tlsDir (a folder made by scripts/make-certificates.sh) it serves HTTPS
    // with server.pem and server.key, signed by ca.pem; else plain HTTP.
    bool start(const QString& connectionText, QString* why, const QString& tlsDir = {});
    void stop();

    int port() const { return m_port; }
    QByteArray log();

    static QString binary(); // ZAV_BIN_DIR/zav50000-server
    // A loopback port nobody listens on (bound, then released).
    static int closedPort();

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_log;
    int m_port = 0;
};
