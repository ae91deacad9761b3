#pragma once
// A real zav50000-server process for the tests: started from ZAV_BIN_DIR on a
// free loopback port, ready once /health answers; stopped with SIGTERM.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server on the database; false (with the reason) when it does
    // not come up.
    bool start(const QString& connectionText, const QStringList& extraArguments = {}, QString* why = nullptr);
    // Runs the server with the arguments and waits for it to end by itself:
    // its exit code, -1 when it kept running or crashed.
    int runToExit(const QStringList& arguments, int timeoutMs = 15000);

    bool running() const;
    int port() const { return m_port; }
    qint64 pid() const;
    // Everything the server wrote to standard error so far.
    QByteArray log();
    // Whether the log holds text, reading what the server writes meanwhile.
    bool waitForLog(const QByteArray& text, int timeoutMs = 5000);

    // SIGTERM, then waits: the exit code, or -1 when it did not exit normally.
    int terminate(int timeoutMs = 15000);
    // SIGTERM without waiting; then waitForExit.
    void signalTerminate();
    int waitForExit(int timeoutMs = 15000);

    static QString binary();

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_log;
    int m_port = 0;
};
