#pragma once
// What a test needs for the server to cancel NF-e for real on this machine:
// the certificates of the demo's registrations (made once per test program
// with scripts/make-certificates.sh), a local authority process (zav-authority)
// on a free loopback port reading the test's database, and the server's
// options that point at both.
#include <QProcess>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class AuthorityProcess {
public:
    AuthorityProcess() = default;
    ~AuthorityProcess();
    AuthorityProcess(const AuthorityProcess&) = delete;
    AuthorityProcess& operator=(const AuthorityProcess&) = delete;

    // Starts it and waits until it says where it listens; false with why.
    bool start(const QStringList& arguments, QString* why);
    int port() const { return m_port; }
    bool running() const;
    QByteArray log();
    int terminate(int timeoutMs = 15000); // its exit code, -1 when it did not exit normally

    static QString binary();

private:
    std::unique_ptr<QProcess> m_process;
    // Its output goes to a file: a pipe nobody reads while a test waits on a
    // blocking call fills up and stops the authority in the middle of a batch.
    QTemporaryDir m_logDir;
    QString m_logFile;
    int m_port = 0;
};

class NfeWorld {
public:
    static constexpr const char* kPassword = "zav-teste-1234";
    // Terms that admit the test invoices, authorised years ago.
    static constexpr int kGenerousHours = 87600;

    NfeWorld();

    // Certificates for every certificate serial the database's registrations
    // name, each with its establishment's CNPJ (and for `extraSerials`,
    // "SERIAL[:CNPJ][:START:END]"), in a folder shared by the whole test
    // program. Empty, or why.
    QString certificates(QSqlDatabase& db, const QStringList& extraSerials = {});
    // The local authority on the database, with generous terms unless the
    // arguments give others; then the authorities' table for the server.
    QString startAuthority(const QString& connectionText, const QStringList& arguments = {},
                           int answerMs = 10000);
    AuthorityProcess& authority() { return m_authority; }
    // Both for a database whose invoices the server is to cancel: the
    // certificates of its registrations, then its authority. Empty, or why.
    QString prepare(QSqlDatabase& db, const QString& connectionText);

    // --certificates, --certificate-password-file and --authorities.
    QStringList serverArguments() const;
    QString certificateFolder() const;
    QString caFile() const;
    // Empty when the xmlsec1 command verifies the document's first signature
    // against the test CA's root through its intermediate (the Id attributes
    // of infEvento), else why not.
    QString verifySignature(const QByteArray& xml) const;
    // Writes the authorities' table with the given content; its path.
    QString writeTable(const QString& content) const;
    // The authorities' table as written last.
    QString table() const;
    // Writes the table again with these lines for its generous terms; its path.
    QString writeTerms(const QString& terms) const;

private:
    static QTemporaryDir& shared();
    QTemporaryDir m_own;
    AuthorityProcess m_authority;
    QString m_table;
};

// A SoftHSM token of the test's own (SoftHSM's real PKCS#11 module, its
// tokens in a temporary folder that SOFTHSM2_CONF points at for the whole
// test program), with one registration's certificate put on it by
// scripts/make-token.sh, issued by the intermediate of certificateFolder.
class SoftToken {
public:
    static constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";

    SoftToken();
    // Makes the token (when new) and puts "SERIAL:CNPJ" on it; empty, or why.
    QString make(const QString& certificateFolder, const QString& label, const QString& request);
    QString pinFile() const;
    QString tokensFolder() const; // SoftHSM's token folder
    // The configuration of the tokens made so far (TokenSet::load).
    QString configFile() const;
    // The token's folder under tokensFolder (SoftHSM keeps one per token).
    QString folderOf(const QString& label) const;

private:
    QTemporaryDir m_dir;
    QStringList m_labels;
};
