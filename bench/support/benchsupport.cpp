#include "benchsupport.h"

#include "connectiontext.h"
#include "database.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <curl/curl.h>
#include <httplib.h>

#include <cstdio>
#include <exception>
#include <tuple>

namespace zavbench {

void die(const QString& text) {
    throw Failed{text};
}

int runReportingFailure(const char* program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const Failed& failure) {
        std::fprintf(stderr, "%s: %s\n", program, qPrintable(failure.text));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s: %s\n", program, failure.what());
    }
    return 1;
}

QString execOnServer(const QString& server, const QString& statement) {
    const QString name = QStringLiteral("bench-admin");
    QString failure;
    {
        QSqlDatabase admin = zavdb::open(server, name);
        QSqlQuery q(admin);
        if (!q.exec(statement))
            failure = q.lastError().text();
    }
    QSqlDatabase::removeDatabase(name);
    return failure;
}

QString benchServer() {
    const QString named = qEnvironmentVariable("ZAV_BENCH_PG");
    return named.isEmpty() ? qEnvironmentVariable("ZAV_TEST_PG") : named;
}

namespace {

QString dropStatement(const QString& name) {
    return QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(name);
}

} // namespace

void onScratchDatabase(const QString& server, const QString& name,
                       const std::function<void(const QString&)>& use) {
    for (const QString& statement : {dropStatement(name), QStringLiteral("CREATE DATABASE %1").arg(name)})
        if (const QString failure = execOnServer(server, statement); !failure.isEmpty())
            die(QStringLiteral("%1: %2").arg(statement, failure));
    // Opening the server may throw as well: nothing leaves a destructor.
    struct Drop {
        const QString& server;
        const QString& name;
        ~Drop() {
            QString failure;
            try {
                failure = execOnServer(server, dropStatement(name));
            } catch (const std::exception& e) {
                failure = QString::fromUtf8(e.what());
            }
            if (!failure.isEmpty())
                std::fprintf(stderr, "database %s left on the server: %s\n", qPrintable(name),
                             qPrintable(failure));
        }
    } drop{server, name};
    use(zavdb::withDatabase(server, name));
}

std::vector<double> psqlTimings(const QStringList& arguments, const QByteArray& script, int runs,
                                int timeoutMs, QString* failure) {
    QProcess psql;
    psql.start(QStringLiteral("psql"), arguments);
    psql.write(script);
    psql.closeWriteChannel();
    if (!psql.waitForFinished(timeoutMs) || psql.exitCode() != 0) {
        *failure = QStringLiteral("psql failed: %1").arg(QString::fromLocal8Bit(psql.readAllStandardError()));
        return {};
    }
    static const QRegularExpression timing(QStringLiteral("Time: ([0-9.]+) ms"));
    std::vector<double> times;
    for (auto it = timing.globalMatch(QString::fromLocal8Bit(psql.readAllStandardOutput())); it.hasNext();)
        times.push_back(it.next().captured(1).toDouble());
    if (int(times.size()) != runs) {
        *failure = QStringLiteral("psql printed %1 timings for %2 runs").arg(times.size()).arg(runs);
        return {};
    }
    return times;
}

int listeningPort(QProcess& process, QProcess::ProcessChannel channel, const QRegularExpression& pattern,
                  int timeoutMs, QByteArray* said) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        *said += channel == QProcess::StandardOutput ? process.readAllStandardOutput()
                                                     : process.readAllStandardError();
        const auto match = pattern.match(QString::fromUtf8(*said));
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
    return 0;
}

namespace {

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<QByteArray*>(out)->append(data, qsizetype(size) * qsizetype(count));
    return size * count;
}

} // namespace

QByteArray signIn(const QString& binDir, const QString& connectionText, const QString& operatorCode,
                  const QByteArray& url, const QByteArray& caFile, QString* why) {
    QTemporaryDir dir;
    const QString passwordFile = dir.filePath(QStringLiteral("password"));
    const QByteArray password = "senha-do-benchmark";
    {
        QFile f(passwordFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(password + "\n") < 0) {
            *why = QStringLiteral("cannot write %1").arg(passwordFile);
            return {};
        }
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    const auto admin = [&](const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(binDir + QStringLiteral("/zav-admin"),
                QStringList{QStringLiteral("--db"), connectionText} + args);
        p.waitForFinished(60000);
        return std::pair{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                         QString::fromUtf8(p.readAll())};
    };
    // A new password each run: the operator may be left from an earlier one.
    auto [code, said] = admin(
        {QStringLiteral("add-operator"), operatorCode, QStringLiteral("--password-file"), passwordFile});
    if (code != 0)
        std::tie(code, said) = admin(
            {QStringLiteral("set-password"), operatorCode, QStringLiteral("--password-file"), passwordFile});
    if (code == 0)
        std::tie(code, said) = admin({QStringLiteral("grant-all"), operatorCode});
    if (code != 0) {
        *why = QStringLiteral("zav-admin: %1").arg(said);
        return {};
    }
    const QByteArray body = R"({"jsonrpc":"2.0","id":1,"method":"Login","params":[")" +
                            operatorCode.toUtf8() + R"(",")" + password + R"("]})";
    QByteArray answer;
    CURL* e = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    const QByteArray endpoint = url + "/ZAV50000.rdmCancelaNFE";
    curl_easy_setopt(e, CURLOPT_URL, endpoint.constData());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(body.size()));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_TIMEOUT, 30L);
    if (!caFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, caFile.constData());
    const CURLcode result = curl_easy_perform(e);
    curl_slist_free_all(headers);
    curl_easy_cleanup(e);
    static const QRegularExpression token(QStringLiteral("\"([A-Za-z0-9_-]{43})\""));
    const auto match = token.match(QString::fromUtf8(answer));
    if (result != CURLE_OK || !match.hasMatch()) {
        *why = QStringLiteral("Login: %1 %2")
                   .arg(QString::fromUtf8(curl_easy_strerror(result)), QString::fromUtf8(answer));
        return {};
    }
    return match.captured(1).toLatin1();
}

QString signInClient(httplib::Client& client, int port, const QString& binDir, const QString& connectionText,
                     const QString& operatorCode) {
    QString why;
    const QByteArray token = signIn(binDir, connectionText, operatorCode,
                                    QStringLiteral("http://127.0.0.1:%1").arg(port).toLatin1(), {}, &why);
    if (token.isEmpty())
        return why;
    client.set_default_headers({{"Authorization", "Bearer " + token.toStdString()}});
    return {};
}

} // namespace zavbench
