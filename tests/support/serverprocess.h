#pragma once
// A real zav50000-server process for the tests and benchmarks: started from
// ZAV_BIN_DIR on a free loopback port (plain HTTP, asked for, unless the
// arguments give it a certificate), ready once it says where it listens and
// answers; its log written to a file of its own (a pipe nobody reads while a
// test waits on a long call would fill up and stop the server); stopped with
// SIGTERM when destroyed.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class QDeadlineTimer;
class QRegularExpression;

// Waits, until the deadline, for a started process to name the port it listens
// on in its log (the pattern's first group): the port, or 0 with *why (who
// ended, or did not say where it listens, and the log).
int waitForListening(const QProcess& process, const std::function<QByteArray()>& log,
                     const QRegularExpression& pattern, const QDeadlineTimer& deadline, const QString& who,
                     QString* why);

// Waits for the process to end: its exit code, or -1 when it crashed or had
// to be killed at the timeout.
int exitCodeWithin(QProcess& process, int timeoutMs);

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server on the database; false (with the reason) when it does
    // not come up.
    bool start(const QString& connectionText, const QStringList& extraArguments = {}, QString* why = nullptr);
    // The same over HTTPS, with the server.pem and server.key of tlsDir (a
    // folder made by scripts/make-certificates.sh).
    bool startTls(const QString& connectionText, const QString& tlsDir,
                  const QStringList& extraArguments = {}, QString* why = nullptr);
    // Runs the server with the arguments and waits for it to end by itself:
    // its exit code, -1 when it kept running or crashed.
    int runToExit(const QStringList& arguments, int timeoutMs = 15000);

    // Makes the operator unless it exists (zav-admin: the tests' password,
    // every establishment of the database) and signs it in over plain HTTP:
    // the session's token, kept as token(); empty, with *why, on a failure.
    QByteArray signIn(const QString& connectionText, const QString& operatorCode = QStringLiteral("OPER1"),
                      QString* why = nullptr);
    QByteArray token() const { return m_token; }
    // "Authorization: Bearer TOKEN\r\n", for requests written by hand.
    QByteArray authorization() const { return "Authorization: Bearer " + m_token + "\r\n"; }

    bool running() const;
    int port() const { return m_port; }
    qint64 pid() const;
    // Everything the server logged and wrote so far.
    QByteArray log();
    // Whether the log holds text, reading what the server writes meanwhile.
    bool waitForLog(const QByteArray& text, int timeoutMs = 5000);

    // SIGTERM, then waits: the exit code, or -1 when it did not exit normally.
    int terminate(int timeoutMs = 15000);
    // SIGTERM without waiting; then waitForExit.
    void signalTerminate();
    int waitForExit(int timeoutMs = 15000);
    // Stops it whatever it takes (SIGTERM, then SIGKILL).
    void stop();

    static QString binary();
    // The tests' build of the server, with the methods only tests call
    // (testmethods.cpp), started instead when testMethods is set.
    static QString testBinary();
    bool testMethods = false;
    // A loopback port nobody listens on (bound, then released).
    static int closedPort();

private:
    std::unique_ptr<QProcess> m_process;
    QTemporaryDir m_logDir;
    QString m_logFile;
    QByteArray m_output; // what it wrote to its standard streams
    int m_port = 0;
    QByteArray m_token;
};

// One plain HTTP GET on loopback, written by hand (so that a test chooses
// its Host header): the status (0 when nothing came) and the body.
struct HttpReply {
    int status = 0;
    QByteArray headers;
    QByteArray body;
};
HttpReply httpGet(int port, const QByteArray& path, const QByteArray& host = "127.0.0.1");

// The password every test operator is given.
inline constexpr char kTestPassword[] = "senha-dos-testes";
