// Operators, passwords, sessions, failed sign-ins and permissions, on SQLite
// and PostgreSQL; and the administration command through its real process.
#include "access/credentials.h"
#include "access/loginthrottle.h"
#include "access/operatorstore.h"
#include "access/sessionstore.h"

#include "database.h"
#include "testdb.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace zavserver;

namespace {

const QString kPassword = QStringLiteral("senha-boa-1");
constexpr qint64 kNow = 1'800'000'000;

// Runs zav-admin; its exit code, and what it wrote to stdout and stderr.
struct AdminRun {
    int code = -1;
    QString out;
    QString err;
};

AdminRun admin(const QString& db, const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    p.start(QStringLiteral(ZAV_BIN_DIR "/zav-admin"), QStringList{QStringLiteral("--db"), db} + args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text,
                  QFileDevice::Permissions mode) {
    QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    f.close();
    f.setPermissions(mode);
    return path;
}

} // namespace

class TstAccess : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

private Q_SLOTS:
    void passwordsAreSlowSaltedHashes() {
        const QString a = credentials::hashPassword(kPassword);
        const QString b = credentials::hashPassword(kPassword);
        QVERIFY2(a.startsWith(QStringLiteral("$argon2id$")), qPrintable(a));
        QVERIFY2(a != b, "the same password hashed twice gave the same string: no salt");
        QVERIFY(!a.contains(kPassword));
        QVERIFY(credentials::verifyPassword(a, kPassword));
        QVERIFY(credentials::verifyPassword(b, kPassword));
        QVERIFY(!credentials::verifyPassword(a, kPassword + QLatin1Char(' ')));
        QVERIFY(!credentials::verifyPassword(a, QString()));
        // What is not one of our hashes matches nothing, not even itself.
        QVERIFY(!credentials::verifyPassword(kPassword, kPassword));
        QVERIFY(!credentials::verifyPassword(QString(), QString()));
        // A password past the longest allowed is refused without hashing it.
        const QString huge(credentials::kMaxPasswordBytes + 1, QLatin1Char('x'));
        QVERIFY(!credentials::verifyPassword(
            credentials::hashPassword(huge.left(credentials::kMaxPasswordBytes)), huge));
    }

    void newPasswordsAndCodesChecked_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("refusal"); // empty: accepted
        QTest::newRow("fine") << "maria" << kPassword << "";
        QTest::newRow("code trimmed") << "  maria " << kPassword << "";
        QTest::newRow("empty code") << "  " << kPassword << "Informe o operador.";
        QTest::newRow("code of 31") << QString(31, QLatin1Char('A')) << kPassword << "Operador inválido";
        QTest::newRow("NUL in the code")
            << QStringLiteral("MA") + QChar(0) + QStringLiteral("RIA") << kPassword << "Operador inválido";
        QTest::newRow("accent in the code") << "JOÃO" << kPassword << "Operador inválido";
        QTest::newRow("blank inside the code") << "MARIA SILVA" << kPassword << "Operador inválido";
        QTest::newRow("password of 7") << "maria"
                                       << "1234567"
                                       << "ao menos 8";
        QTest::newRow("password over 128 bytes") << "maria" << QString(65, QChar(0x00E9)) << "no máximo 128";
        QTest::newRow("control in the password") << "maria" << QStringLiteral("senha\tboa1") << "controle";
    }
    void newPasswordsAndCodesChecked() {
        QFETCH(QString, code);
        QFETCH(QString, password);
        QFETCH(QString, refusal);
        QString refused;
        try {
            QCOMPARE(credentials::operatorCode(code), code.trimmed().toUpper());
            credentials::checkNewPassword(password);
        } catch (const AccessError& e) {
            refused = e.text();
        }
        if (refusal.isEmpty())
            QVERIFY2(refused.isEmpty(), qPrintable(refused));
        else
            QVERIFY2(refused.contains(refusal), qPrintable(refused));
    }

    void tokensAreRandomAndKeptAsDigests() {
        QSet<QByteArray> seen;
        for (int i = 0; i < 1000; ++i) {
            const QByteArray t = credentials::newToken();
            QCOMPARE(t.size(), credentials::kTokenLength);
            QVERIFY(credentials::looksLikeToken(t));
            QVERIFY(!seen.contains(t));
            seen.insert(t);
        }
        const QByteArray t = *seen.begin();
        QCOMPARE(credentials::tokenDigest(t).size(), 64);
        QVERIFY(credentials::tokenDigest(t) != credentials::tokenDigest(credentials::newToken()));
        QVERIFY(!credentials::looksLikeToken(t.left(42)));
        QVERIFY(!credentials::looksLikeToken(t + 'A'));
        QVERIFY(!credentials::looksLikeToken(QByteArray(43, '=')));
        QVERIFY(!credentials::looksLikeToken(QByteArray(43, '\0')));
        QCOMPARE(credentials::newHandle().size(), 16);
    }

    void operatorsAndTheirSessions_data() { zavtest::addDialectRows("fresh database"); }
    void operatorsAndTheirSessions() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        OperatorStore operators(db);
        operators.create(QStringLiteral("maria"), QStringLiteral("Maria"), kPassword);
        const std::optional<OperatorRecord> maria = operators.find(QStringLiteral("MARIA"));
        QVERIFY(maria && maria->active && maria->name == u"Maria");
        QVERIFY(credentials::verifyPassword(maria->passwordHash, kPassword));
        QVERIFY_THROWS_EXCEPTION(AccessError, operators.create(QStringLiteral("MARIA"), {}, kPassword));
        QVERIFY_THROWS_EXCEPTION(AccessError,
                                 operators.setPassword(QStringLiteral("NINGUEM"), kPassword, kNow));

        SessionStore sessions(db, {});
        const SessionStore::Opened first =
            sessions.open(QStringLiteral("MARIA"), QStringLiteral("10.0.0.7"), kNow);
        const SessionStore::Opened second =
            sessions.open(QStringLiteral("MARIA"), QStringLiteral("10.0.0.8"), kNow);
        QVERIFY(sessions.check(first.token, kNow + 1));
        QCOMPARE(sessions.check(first.token, kNow + 1)->address, QStringLiteral("10.0.0.7"));
        // The database holds the token's digest, never the token.
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("SELECT NRHASHTOKEN, IDSESSAO FROM SESSAOOPER")));
        while (q.next()) {
            QVERIFY(q.value(0).toByteArray() != first.token && q.value(0).toByteArray() != second.token);
            QVERIFY(!first.token.contains(q.value(1).toByteArray()));
        }
        q.finish();

        // A new password ends every open session; so does disabling.
        operators.setPassword(QStringLiteral("maria"), QStringLiteral("outra-senha-2"), kNow + 2);
        QVERIFY(!sessions.check(first.token, kNow + 3));
        QVERIFY(!sessions.check(second.token, kNow + 3));
        QVERIFY(credentials::verifyPassword(operators.find(QStringLiteral("MARIA"))->passwordHash,
                                            QStringLiteral("outra-senha-2")));
        const SessionStore::Opened third =
            sessions.open(QStringLiteral("MARIA"), QStringLiteral("::1"), kNow + 4);
        QVERIFY(sessions.check(third.token, kNow + 5));
        operators.setActive(QStringLiteral("maria"), false, kNow + 6);
        QVERIFY(!sessions.check(third.token, kNow + 7));
        operators.setActive(QStringLiteral("maria"), true, kNow + 8);
        QVERIFY2(!sessions.check(third.token, kNow + 9), "enabling again reopened an ended session");
    }

    void sessionsExpireRenewAndEnd_data() { operatorsAndTheirSessions_data(); }
    void sessionsExpireRenewAndEnd() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        OperatorStore(db).create(QStringLiteral("JOSE"), {}, kPassword);
        SessionStore sessions(db, {100, 250}); // 100 s idle, 250 s at most

        const SessionStore::Opened o =
            sessions.open(QStringLiteral("JOSE"), QStringLiteral("10.0.0.1"), kNow);
        QCOMPARE(o.session.expires, kNow + 100);
        QCOMPARE(sessions.check(o.token, kNow + 59)->expires, kNow + 100); // too soon to renew
        QVERIFY(!sessions.check(o.token, kNow + 100));                     // idle too long
        QVERIFY(!sessions.check(o.token, kNow + 160));

        // Used every 90 s it lives on, renewed, until its limit.
        const SessionStore::Opened r =
            sessions.open(QStringLiteral("JOSE"), QStringLiteral("10.0.0.1"), kNow);
        QCOMPARE(sessions.check(r.token, kNow + 90)->expires, kNow + 190);
        QCOMPARE(sessions.check(r.token, kNow + 180)->expires, kNow + 250);
        // Within a minute of the last renewal, no write: the expiry stays.
        QCOMPARE(sessions.check(r.token, kNow + 200)->expires, kNow + 250);
        QVERIFY(sessions.check(r.token, kNow + 249));
        QVERIFY(!sessions.check(r.token, kNow + 250));

        // Sign-out, revocation by handle and by operator; a token of another
        // form or of no session opens nothing.
        const qint64 later = kNow + 300; // the sessions above are over by then
        const SessionStore::Opened a = sessions.open(QStringLiteral("JOSE"), QStringLiteral("a"), later);
        const SessionStore::Opened b = sessions.open(QStringLiteral("JOSE"), QStringLiteral("b"), later);
        const SessionStore::Opened c = sessions.open(QStringLiteral("JOSE"), QStringLiteral("c"), later);
        QCOMPARE(sessions.open(QStringLiteral("JOSE"), later + 1).size(), 3);
        QVERIFY(sessions.close(a.token, later + 1));
        QVERIFY(!sessions.close(a.token, later + 2));
        QVERIFY(!sessions.check(a.token, later + 2));
        QCOMPARE(sessions.revoke(b.session.id, later + 2), 1);
        QCOMPARE(sessions.revoke(b.session.id, later + 2), 0);
        QVERIFY(!sessions.check(b.token, later + 3));
        QVERIFY(sessions.check(c.token, later + 3));
        QCOMPARE(sessions.revokeOperator(QStringLiteral("JOSE"), later + 4), 1);
        QVERIFY(!sessions.check(c.token, later + 5));
        QVERIFY(sessions.open(QStringLiteral("JOSE"), later + 5).isEmpty());
        QVERIFY(!sessions.check(credentials::newToken(), kNow));
        QVERIFY(!sessions.check(QByteArray("' OR 1=1 --"), kNow));
    }

    void serversShareSessionsAndFailures_data() { operatorsAndTheirSessions_data(); }
    void serversShareSessionsAndFailures() {
        ZAV_FRESH_DATABASE(m_dbs, one);
        OperatorStore(one).create(QStringLiteral("ANA"), {}, kPassword);
        const QString name = QStringLiteral("second-server-") + dialect;
        {
            // A second connection, as a second server on the same database has.
            QSqlDatabase two = zavdb::open(m_dbs.connectionText(dialect), name);
            SessionStore a(one, {});
            SessionStore b(two, {});
            const SessionStore::Opened o = a.open(QStringLiteral("ANA"), QStringLiteral("10.1.1.1"), kNow);
            QCOMPARE(b.check(o.token, kNow + 61)->operatorCode, QStringLiteral("ANA"));
            QVERIFY(b.close(o.token, kNow + 62));
            QVERIFY(!a.check(o.token, kNow + 63));

            LoginThrottle ta(one);
            LoginThrottle tb(two);
            const QStringList keys{LoginThrottle::operatorKey(QStringLiteral("ANA"))};
            for (int i = 0; i < 5; ++i)
                (i % 2 ? ta : tb).failed(keys, kNow);
            QCOMPARE(ta.wait(keys, kNow), qint64{2});
            QCOMPARE(tb.wait(keys, kNow), qint64{2});
            two.close();
        }
        QSqlDatabase::removeDatabase(name);
    }

    void failedSignInsSlowTheNext_data() { operatorsAndTheirSessions_data(); }
    void failedSignInsSlowTheNext() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        LoginThrottle throttle(db);
        const QString op = LoginThrottle::operatorKey(QStringLiteral("MARIA"));
        const QString here = LoginThrottle::addressKey(QStringLiteral("10.0.0.9"));
        const QString there = LoginThrottle::addressKey(QStringLiteral("10.0.0.10"));
        QCOMPARE(throttle.wait({op, here}, kNow), qint64{0});
        for (int i = 0; i < 4; ++i)
            throttle.failed({op, here}, kNow);
        QCOMPARE(throttle.wait({op, here}, kNow), qint64{0}); // four are free
        throttle.failed({op, here}, kNow);
        QCOMPARE(throttle.wait({op}, kNow), qint64{2});
        QCOMPARE(throttle.wait({op}, kNow + 1), qint64{1});
        QCOMPARE(throttle.wait({op}, kNow + 2), qint64{0});
        // Another address trying the same operator waits as well.
        QCOMPARE(throttle.wait({op, there}, kNow), qint64{2});
        QCOMPARE(throttle.wait({there}, kNow), qint64{0});
        // Each failure doubles the wait, up to fifteen minutes.
        qint64 last = 2;
        for (int failures = 6; failures <= 20; ++failures) {
            throttle.failed({op}, kNow);
            const qint64 w = throttle.wait({op}, kNow);
            QCOMPARE(w, std::min(last * 2, LoginThrottle::kLongestWait));
            last = w;
        }
        QCOMPARE(last, LoginThrottle::kLongestWait);
        // An hour without failures forgets them; a later failure counts from one.
        QCOMPARE(throttle.wait({op}, kNow + LoginThrottle::kForgetAfter), qint64{0});
        throttle.failed({op}, kNow + LoginThrottle::kForgetAfter);
        QCOMPARE(throttle.wait({op}, kNow + LoginThrottle::kForgetAfter), qint64{0});
        for (int i = 0; i < 4; ++i)
            throttle.failed({op}, kNow + LoginThrottle::kForgetAfter);
        QCOMPARE(throttle.wait({op}, kNow + LoginThrottle::kForgetAfter), qint64{2});
        throttle.clear(op);
        QCOMPARE(throttle.wait({op}, kNow + LoginThrottle::kForgetAfter), qint64{0});
        QCOMPARE(throttle.wait({here}, kNow + 1), qint64{1}); // the address still counts its own
    }

    void permissionsPerEstablishment_data() { operatorsAndTheirSessions_data(); }
    void permissionsPerEstablishment() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        OperatorStore operators(db);
        operators.create(QStringLiteral("MARIA"), {}, kPassword);
        const QString p = QLatin1String(OperatorStore::kProgram);
        const Grant mine{QStringLiteral("MARIA"), p, QStringLiteral("0001"), QStringLiteral("01")};
        QVERIFY(!operators.mayUse(QStringLiteral("MARIA"), p, QStringLiteral("0001"), QStringLiteral("01")));
        operators.grant(mine);
        operators.grant(mine); // kept once
        QCOMPARE(operators.grants(QStringLiteral("maria")), QList<Grant>{mine});
        QVERIFY(operators.mayUse(QStringLiteral("MARIA"), p, QStringLiteral("0001"), QStringLiteral("01")));
        QVERIFY(!operators.mayUse(QStringLiteral("MARIA"), p, QStringLiteral("0001"), QStringLiteral("02")));
        QVERIFY(!operators.mayUse(QStringLiteral("MARIA"), p, QStringLiteral("0002"), QStringLiteral("01")));
        QVERIFY(!operators.mayUse(QStringLiteral("MARIA"), QStringLiteral("ZAV99999"), QStringLiteral("0001"),
                                  QStringLiteral("01")));
        QVERIFY(!operators.mayUse(QStringLiteral("OUTRO"), p, QStringLiteral("0001"), QStringLiteral("01")));
        for (const Grant& bad :
             {Grant{QStringLiteral("NINGUEM"), p, QStringLiteral("0001"), QStringLiteral("01")},
              Grant{QStringLiteral("MARIA"), p, QStringLiteral("9999"), QStringLiteral("01")},
              Grant{QStringLiteral("MARIA"), p, QStringLiteral("0001"), QStringLiteral("99")}})
            QVERIFY_THROWS_EXCEPTION(AccessError, operators.grant(bad));
        QVERIFY(operators.revoke(mine));
        QVERIFY(!operators.revoke(mine));
        QVERIFY(!operators.mayUse(QStringLiteral("MARIA"), p, QStringLiteral("0001"), QStringLiteral("01")));
    }

    void administrationCommand() {
        ZAV_READY(zavtest::useFreshDatabase(m_dbs, zavtest::kSQLite));
        const QString db = m_dbs.connectionText(zavtest::kSQLite);
        QTemporaryDir dir;
        const QString ownOnly = writeFile(dir, QStringLiteral("own"), kPassword.toUtf8() + "\n",
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const QString shared =
            writeFile(dir, QStringLiteral("shared"), kPassword.toUtf8() + "\n",
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
        QVERIFY(!ownOnly.isEmpty() && !shared.isEmpty());

        // Passwords from a file only its owner reads, or a terminal; never the
        // command line, nor a pipe.
        AdminRun r = admin(db, {QStringLiteral("add-operator"), QStringLiteral("maria"),
                                QStringLiteral("--password-file"), shared});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("chmod 600")), qPrintable(r.err));
        r = admin(db, {QStringLiteral("add-operator"), QStringLiteral("maria")}, kPassword.toUtf8() + "\n");
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("--password-file")), qPrintable(r.err));
        r = admin(db, {QStringLiteral("add-operator"), QStringLiteral("maria"), QStringLiteral("--password"),
                       kPassword});
        QVERIFY2(r.code != 0, qPrintable(r.out));
        r = admin(db, {QStringLiteral("add-operator"), QStringLiteral("maria"), QStringLiteral("--name"),
                       QStringLiteral("Maria Souza"), QStringLiteral("--password-file"), ownOnly});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        r = admin(db, {QStringLiteral("operators")});
        QCOMPARE(r.out, QStringLiteral("MARIA\tativo\tMaria Souza\n"));
        QVERIFY(credentials::verifyPassword(
            OperatorStore(m_dbs.database(zavtest::kSQLite)).find(QStringLiteral("MARIA"))->passwordHash,
            kPassword));

        r = admin(db, {QStringLiteral("grant"), QStringLiteral("maria"), QStringLiteral("0001"),
                       QStringLiteral("01")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        r = admin(db, {QStringLiteral("grant"), QStringLiteral("maria"), QStringLiteral("0009"),
                       QStringLiteral("01")});
        QCOMPARE(r.code, 1);
        QCOMPARE(r.err, QStringLiteral("zav-admin: A filial 0009 não existe.\n"));
        r = admin(db, {QStringLiteral("grants")});
        QCOMPARE(r.out, QStringLiteral("MARIA\tZAV50000\t0001\t01\n"));

        SessionStore sessions(m_dbs.database(zavtest::kSQLite), {});
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const SessionStore::Opened o =
            sessions.open(QStringLiteral("MARIA"), QStringLiteral("10.0.0.5"), now);
        r = admin(db, {QStringLiteral("sessions")});
        QVERIFY2(r.out.startsWith(o.session.id + QStringLiteral("\tMARIA\t10.0.0.5\t")), qPrintable(r.out));
        {
            // The times carry their offset: each names one instant.
            const QStringList columns = r.out.trimmed().split(u'\t');
            QCOMPARE(columns.size(), qsizetype(5));
            const QDateTime started = QDateTime::fromString(columns.at(3), Qt::ISODate);
            QVERIFY2(started.timeSpec() == Qt::OffsetFromUTC || started.timeSpec() == Qt::UTC,
                     qPrintable(columns.at(3)));
            QCOMPARE(started.toSecsSinceEpoch(), now);
            QVERIFY(QDateTime::fromString(columns.at(4), Qt::ISODate).toSecsSinceEpoch() > now);
        }
        QVERIFY(!r.out.contains(QString::fromLatin1(o.token)));
        r = admin(db, {QStringLiteral("end-session"), o.session.id});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY(!sessions.check(o.token, now + 1));
        r = admin(db, {QStringLiteral("end-session"), o.session.id});
        QCOMPARE(r.code, 1);
        r = admin(db, {QStringLiteral("revoke"), QStringLiteral("maria"), QStringLiteral("0001"),
                       QStringLiteral("01")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QCOMPARE(admin(db, {QStringLiteral("grants")}).out, QString());
        r = admin(db, {QStringLiteral("unheard-of")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("Comando desconhecido")), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(TstAccess)
#include "tst_access.moc"
