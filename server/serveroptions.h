#pragma once
// The options of zav50000-server: its configuration file (--config, lines
// "key = value", each key an option's long name) and its command line, which
// wins over the file. Nothing secret is given in either: the database's
// password comes from a file only the server's user reads
// (db-password-file), or from libpq's PGPASSFILE.
#include <QHostAddress>
#include <QList>
#include <QPair>
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
    QString tokens;                      // --tokens: INI of the PKCS#11 tokens (A3 certificates)
    QString authorities;                 // --authorities: INI table of the states' authorities
    QString configFile;                  // --config: where the options below the command line came from
    QString databasePasswordFile;        // --db-password-file: the database's password, first line
    // --metrics-allow: the addresses (or networks, "10.0.0.0/24") GET /metrics
    // answers; loopback by default.
    QList<QPair<QHostAddress, int>> metricsAllowed;
    // The connection text as the server opens it: database, with the password
    // of databasePasswordFile when there is one. Never logged.
    QString connectionText;
    // The warnings of a start that goes on (a password on the command line).
    QStringList warnings;

    bool tls() const { return !tlsCertificate.isEmpty(); }
    // Whether GET /metrics answers this caller's address.
    bool metricsAllow(const QString& address) const;
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

// Whether a database connection text carries a password (a PostgreSQL URI's
// user:password@, or a password= keyword).
bool carriesPassword(const QString& connectionText);
// The connection text with the password of an owner-only file (its first
// line) put in; empty with *problem when the file cannot be used, or when the
// text already carries a password.
QString withPasswordFile(const QString& connectionText, const QString& passwordFile, QString* problem);
// What to say of a password given in a --db: where it should come from instead.
QString passwordOnCommandLineWarning(const QString& program);

} // namespace zavserver
