#pragma once
// Failed sign-ins slow the next attempts, the counts kept in the database so
// that every server on it sees the same ones. Three counts, each by a key:
//
// - the address ("E:" and the address) and the operator at that address
//   ("P:" operator "@" address): up to four failures in a row cost nothing;
//   from the fifth, the next attempt from there must wait 2, 4, 8 ... seconds
//   after the last failure, at most 15 minutes. A success clears both, so
//   that on a shared address (a terminal server, NAT) one user's typos do not
//   keep colleagues out once someone signs in;
// - the operator from anywhere ("O:" and the code): never a refusal, since
//   operator codes are no secret and a refusal by operator alone would let
//   anyone lock the operator out; past kOperatorFailuresPerHour failures in
//   the hour the answer to each failed attempt for that operator is held
//   back kOperatorDelayMs (without a worker), which slows a guesser spread
//   over many addresses and never the real operator's right password.
//
// An attempt is counted before its password is checked (begin), in one
// transaction that locks the keys' rows, so that simultaneous guesses are
// counted one after another and refused as soon as the count says so. An hour
// without failures forgets a count.
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

    static constexpr int kOperatorFailuresPerHour = 30;
    static constexpr int kOperatorDelayMs = 1000;

    static QString operatorKey(const QString& operatorCode) { return QStringLiteral("O:") + operatorCode; }
    static QString addressKey(const QString& address) { return QStringLiteral("E:") + address; }
    static QString pairKey(const QString& operatorCode, const QString& address) {
        return QStringLiteral("P:") + operatorCode + u'@' + address;
    }

    // What begin() decided of one attempt.
    struct Admission {
        qint64 wait = 0;     // > 0: refused, try again in this many seconds (nothing counted)
        bool slowed = false; // the operator is past its failures of the hour: delay the check
    };
    // Counts an attempt of the operator from the address as a failure until
    // it succeeds (succeeded() clears it), unless the address or the pair
    // must still wait. Throws zavdb::DatabaseError.
    Admission begin(const QString& operatorCode, const QString& address, qint64 now);
    // The attempt succeeded: the address's and the pair's counts are cleared
    // (the operator's hour stays).
    void succeeded(const QString& operatorCode, const QString& address);
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
