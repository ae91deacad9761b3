#pragma once
// Failed sign-ins slow the next attempts, per operator and per address, the
// count kept in the database so that every server on it sees the same one.
// Up to four failures in a row cost nothing; from the fifth, the next attempt
// must wait 2, 4, 8 ... seconds after the last failure, at most 15 minutes. A
// success clears the operator's count; an hour without failures clears any.
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace zavserver {

class LoginThrottle {
public:
    static constexpr int kFreeFailures = 4;
    static constexpr qint64 kLongestWait = qint64{15} * 60;
    static constexpr qint64 kForgetAfter = 3600;

    explicit LoginThrottle(const QSqlDatabase& db) : m_db(db) {}

    static QString operatorKey(const QString& operatorCode) { return QStringLiteral("O:") + operatorCode; }
    static QString addressKey(const QString& address) { return QStringLiteral("E:") + address; }
    // The wait after a number of failures in a row.
    static qint64 waitAfter(int failures);

    // Seconds before any of these keys may try again; 0 when they may now.
    qint64 wait(const QStringList& keys, qint64 now) const;
    void failed(const QStringList& keys, qint64 now);
    void clear(const QString& key);

private:
    QSqlDatabase m_db;
};

} // namespace zavserver
