#include "benchsupport.h"

#include "database.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace zavbench {

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

} // namespace zavbench
