#pragma once
// The command line of zav50000-server.
#include <QString>
#include <QStringList>

namespace zavserver {

struct ServerOptions {
    QString database; // --db: SQLite file or PostgreSQL connection
    QString host = QStringLiteral("127.0.0.1");
    int port = 8211;                     // --listen HOST:PORT; 0 picks a free port
    int threads = 8;                     // --threads: worker threads, one connection each
    qint64 maxBody = 64ll * 1024 * 1024; // --max-body: largest request accepted
    QString logFile;                     // --log-file; standard error when empty
    QString tlsCertificate;              // --tls-cert: the server's certificate (PEM, chain after it)
    QString tlsKey;                      // --tls-key: its private key (PEM)
    bool plainHttp = false;              // --plain-http: no TLS, loopback only
    QStringList serverNames;             // --server-name: names the Host header may carry
    int idleTimeoutSeconds = 10;         // --idle-timeout: a connection silent this long is closed
    int requestDeadlineSeconds = 120;    // a request's body must have come whole within this
    int maxConnections = 256;            // --max-connections
    int maxPerAddress = 64;              // --max-per-address: connections from one address
    QString certificates;                // --certificates: folder of the A1 certificates
    QString certificatePasswordFile;     // --certificate-password-file: their password, first line
    QString authorities;                 // --authorities: INI table of the states' authorities

    bool tls() const { return !tlsCertificate.isEmpty(); }
    // The names a request's Host header may carry: the listening address, the
    // loopback names when it is a loopback one, and --server-name.
    QStringList hostNames() const;

    enum class Outcome { Run, Help, Error };
    struct Parsed;
    static Parsed parse(const QStringList& arguments);
};

struct ServerOptions::Parsed {
    Outcome outcome = Outcome::Error;
    ServerOptions options;
    QString text; // the help text, or what is wrong with the command line
};

bool isLoopback(const QString& host);

} // namespace zavserver
