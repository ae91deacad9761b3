#pragma once
// What several benchmarks do the same way around what they time: a failure
// reported from main, a statement run on a database server's administration
// connection, psql's own timings of a script, a server process's port read
// from what it says on start, and an operator signed in at the server.
#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace httplib {
class Client;
}

namespace zavbench {

// A benchmark that cannot go on says why with die: the failure unwinds to
// main, so that the server and the authority the run started are stopped by
// their destructors instead of being left running.
struct Failed {
    QString text;
};
[[noreturn]] void die(const QString& text);
// Runs a benchmark's body: its exit code, or 1 when it failed (die, or any
// other exception), with why on the standard error stream under the program's
// name.
int runReportingFailure(const char* program, const std::function<int()>& body);

// Runs the statement (CREATE or DROP DATABASE, say) on a connection of its
// own to the server: empty, or the database's error.
QString execOnServer(const QString& server, const QString& statement);

// The PostgreSQL server a benchmark measures on unless its command line names
// one: ZAV_BENCH_PG, else ZAV_TEST_PG; empty when neither is set.
QString benchServer();

// Runs use on a database of the benchmark's own on a PostgreSQL server, given
// its connection text: made anew (one an earlier run left is dropped first; a
// refusal dies) and dropped when use ends, however it ends.
void onScratchDatabase(const QString& server, const QString& name,
                       const std::function<void(const QString&)>& use);

// Runs psql with the arguments and the script (which turns \timing on and
// runs something `runs` times) and reads the time of each run, in
// milliseconds; nothing, with *failure, when psql fails or prints another
// number of timings.
std::vector<double> psqlTimings(const QStringList& arguments, const QByteArray& script, int runs,
                                int timeoutMs, QString* failure);

// Waits until the started process says where it listens on the channel, the
// port the pattern's first group captures; 0 when it does not say so in time
// or ends first. *said holds what it wrote on the channel meanwhile.
int listeningPort(QProcess& process, QProcess::ProcessChannel channel, const QRegularExpression& pattern,
                  int timeoutMs, QByteArray* said);

// Makes a benchmark operator on the database unless it exists (zav-admin from
// binDir: a password of its own, every establishment) and signs it in at the
// server (url: its base, "http://127.0.0.1:PORT" or https with caFile): the
// session's token, empty with *why. The server asks for a session on every
// call but Login.
QByteArray signIn(const QString& binDir, const QString& connectionText, const QString& operatorCode,
                  const QByteArray& url, const QByteArray& caFile, QString* why);
// The same at a plain-HTTP server on 127.0.0.1:port, and the session's token
// made the client's default for every later call: empty, or why not.
QString signInClient(httplib::Client& client, int port, const QString& binDir, const QString& connectionText,
                     const QString& operatorCode);

} // namespace zavbench
