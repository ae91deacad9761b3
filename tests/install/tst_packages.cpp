// The Debian packages as cpack makes them from this build: what each holds
// and says of itself (dpkg-deb -c and -I), their maintainer scripts and the
// systemd unit (systemd-analyze verify, where the machine has it), and the
// packaged programs run from an unpacked tree: zav-dbinit makes a database,
// zav-admin reads it, the server serves it, on SQLite and PostgreSQL; the
// workstation's host finds its libraries beside itself.
#include "serverprocess.h"
#include "testdb.h"
#include "testtools.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int code = -1;
    QString out;
};

Run run(const QString& program, const QStringList& args, const QString& dir = {}) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (!dir.isEmpty())
        p.setWorkingDirectory(dir);
    p.start(program, args);
    Run r;
    r.code = exitCodeWithin(p, 600000);
    r.out = QString::fromUtf8(p.readAll());
    return r;
}

// Whether GET /health answers 200 on the loopback port.
bool healthy(int port) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(5000))
        return false;
    socket.write(QByteArrayLiteral("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    QByteArray answer;
    while (socket.waitForReadyRead(5000))
        answer += socket.readAll();
    return answer.startsWith("HTTP/1.1 200");
}

} // namespace

class tst_packages : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_server, m_workstation; // the .deb files
    QString m_serverTree, m_workstationTree;
    zavtest::TestDatabases m_dbs;

    QString contents(const QString& deb) {
        return run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), deb}).out;
    }
    QString info(const QString& deb) {
        return run(QStringLiteral("dpkg-deb"), {QStringLiteral("-I"), deb}).out;
    }

private Q_SLOTS:
    // The packages of this build, made once, and each unpacked.
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        const QString out = m_dir.filePath(QStringLiteral("debs"));
        const Run cpack =
            run(QStringLiteral("cpack"),
                {QStringLiteral("--config"), QStringLiteral(ZAV_BIN_DIR "/../CPackConfig.cmake"),
                 QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out});
        QVERIFY2(cpack.code == 0, qPrintable(cpack.out));
        for (const QString& deb : QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files)) {
            if (deb.startsWith(QLatin1String("zav50000-server_")))
                m_server = QDir(out).filePath(deb);
            else if (deb.startsWith(QLatin1String("zav_")))
                m_workstation = QDir(out).filePath(deb);
            else
                QFAIL(qPrintable(QStringLiteral("an unexpected package: ") + deb));
        }
        QVERIFY2(!m_server.isEmpty() && !m_workstation.isEmpty(), qPrintable(cpack.out));
        m_serverTree = m_dir.filePath(QStringLiteral("server"));
        m_workstationTree = m_dir.filePath(QStringLiteral("workstation"));
        QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_server, m_serverTree}).code, 0);
        QCOMPARE(
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_workstation, m_workstationTree}).code,
            0);
    }

    void contents_data() {
        QTest::addColumn<bool>("server");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("present");
        const QList<std::pair<const char*, bool>> server{
            {"./usr/bin/zav50000-server", true},
            {"./usr/bin/zav-admin", true},
            {"./usr/bin/zav-doctor", true},
            {"./usr/bin/zav-dbinit", true},
            {"./usr/share/zav50000-server/schema/migrations.txt", true},
            {"./usr/share/zav50000-server/schema/erp/columns.txt", true},
            {"./usr/share/zav50000-server/schema/001-first-release/040-events.sql", true},
            {"./usr/share/zav50000-server/autoridades.ini", true},
            {"./usr/share/doc/zav50000-server/deploy.md", true},
            {"./usr/lib/systemd/system/zav50000-server.service", true},
            {"./etc/zav/zav50000-server.env", true},
            // The tests' programs stay out.
            {"zav50000-server-teste", false},
            {"zav-authority", false},
            {"./usr/lib/zav/", false},
        };
        for (const auto& [entry, present] : server)
            QTest::addRow("server: %s%s", present ? "" : "no ", entry)
                << true << QString::fromLatin1(entry) << present;
        const QList<std::pair<const char*, bool>> workstation{
            {"./usr/lib/zav/zav", true},
            {"./usr/lib/zav/libzavhost.so", true},
            {"./usr/lib/zav/libPkg_Zav50000.so", true},
            {"./usr/bin/zav -> ../lib/zav/zav", true},
            {"./usr/share/doc/zav/help/", true},
            {"zav50000-server", false},
            {"zav-dbinit", false},
        };
        for (const auto& [entry, present] : workstation)
            QTest::addRow("workstation: %s%s", present ? "" : "no ", entry)
                << false << QString::fromLatin1(entry) << present;
    }
    void contents() {
        QFETCH(bool, server);
        QFETCH(QString, entry);
        QFETCH(bool, present);
        const QString list = contents(server ? m_server : m_workstation);
        QVERIFY2(list.contains(entry) == present, qPrintable(list));
    }

    // What each package says of itself, and what its maintainer scripts do.
    void control() {
        const QString server = info(m_server);
        QVERIFY2(server.contains(QStringLiteral("Package: zav50000-server")), qPrintable(server));
        QVERIFY2(server.contains(QStringLiteral("libqt6sql6-psql")), qPrintable(server));
        QVERIFY2(QRegularExpression(QStringLiteral("Depends:.*libc6")).match(server).hasMatch(),
                 qPrintable(server)); // the libraries' dependencies, found by dpkg-shlibdeps
        for (const char* script : {"postinst", "prerm", "postrm", "conffiles"})
            QVERIFY2(server.contains(QLatin1String(script)), script);
        const QString control = m_dir.filePath(QStringLiteral("control"));
        QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), m_server, control}).code, 0);
        for (const char* script : {"postinst", "prerm", "postrm"}) {
            const QString path = QDir(control).filePath(QLatin1String(script));
            QVERIFY(QFileInfo(path).isExecutable());
            const Run syntax = run(QStringLiteral("sh"), {QStringLiteral("-n"), path});
            QVERIFY2(syntax.code == 0, qPrintable(syntax.out));
        }
        QFile postinst(QDir(control).filePath(QStringLiteral("postinst")));
        QVERIFY(postinst.open(QIODevice::ReadOnly));
        const QByteArray text = postinst.readAll();
        QVERIFY(text.contains("useradd --system") && text.contains("/var/lib/zav"));
        QFile conffiles(QDir(control).filePath(QStringLiteral("conffiles")));
        QVERIFY(conffiles.open(QIODevice::ReadOnly));
        QCOMPARE(conffiles.readAll().trimmed(), QByteArray("/etc/zav/zav50000-server.env"));

        const QString workstation = info(m_workstation);
        QVERIFY2(workstation.contains(QStringLiteral("Package: zav\n")), qPrintable(workstation));
        QVERIFY2(workstation.contains(QStringLiteral("libqt6widgets6")), qPrintable(workstation));
    }

    // The unit as the service needs it; systemd-analyze verify where the
    // machine has it, on the unpacked tree.
    void unit() {
        QFile file(m_serverTree + QStringLiteral("/usr/lib/systemd/system/zav50000-server.service"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString unit = QString::fromUtf8(file.readAll());
        for (const char* line :
             {"Type=notify", "Restart=on-failure", "User=zav", "ProtectSystem=strict", "NoNewPrivileges=yes",
              "PrivateTmp=yes", "ReadWritePaths=/var/lib/zav /var/log/zav",
              "EnvironmentFile=/etc/zav/zav50000-server.env",
              "ExecStart=/usr/bin/zav50000-server $ZAV_SERVER_OPTIONS"})
            QVERIFY2(unit.contains(QLatin1String(line) + u'\n'), line);
        const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not on this machine: the unit was not verified");
        // The unit as installed, its program the unpacked one (verify checks
        // that ExecStart names an executable). A line it ignores is a warning
        // only, so any word about the unit fails the test.
        QTemporaryDir units;
        QFile copy(units.filePath(QStringLiteral("zav50000-server.service")));
        QVERIFY(copy.open(QIODevice::WriteOnly));
        copy.write(QString(unit)
                       .replace(QStringLiteral("ExecStart=/usr/bin/"),
                                QStringLiteral("ExecStart=") + m_serverTree + QStringLiteral("/usr/bin/"))
                       .toUtf8());
        copy.close();
        const Run verify =
            run(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), copy.fileName()});
        QVERIFY2(verify.code == 0 && !verify.out.contains(QStringLiteral("zav50000-server.service")),
                 qPrintable(verify.out));
    }

    // The packaged programs, from the unpacked tree: zav-dbinit makes the
    // database, zav-admin adds an operator, the server serves /health.
    void packagedServerRuns_data() { zavtest::addDialectRows("packaged programs"); }
    void packagedServerRuns() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        Q_UNUSED(db);
        QTemporaryDir work;
        const QString bin = m_serverTree + QStringLiteral("/usr/bin/");
        QString text = m_dbs.connectionText(dialect);
        if (dialect == zavtest::kSQLite) {
            text = work.filePath(QStringLiteral("packaged.db"));
            const Run made = run(bin + QStringLiteral("zav-dbinit"), {QStringLiteral("--db"), text});
            QVERIFY2(made.code == 0, qPrintable(made.out));
        }
        const Run status = run(bin + QStringLiteral("zav-dbinit"),
                               {QStringLiteral("--db"), text, QStringLiteral("--status")});
        QVERIFY2(status.code == 0, qPrintable(status.out));
        QFile password(work.filePath(QStringLiteral("senha")));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write(kTestPassword);
        password.close();
        password.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        const Run added =
            run(bin + QStringLiteral("zav-admin"),
                {QStringLiteral("--db"), text, QStringLiteral("add-operator"), QStringLiteral("PACOTE"),
                 QStringLiteral("--password-file"), password.fileName()});
        QVERIFY2(added.code == 0, qPrintable(added.out));

        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        const QString log = work.filePath(QStringLiteral("server.log"));
        server.start(bin + QStringLiteral("zav50000-server"),
                     {QStringLiteral("--db"), text, QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                      QStringLiteral("--plain-http"), QStringLiteral("--log-file"), log});
        QVERIFY(server.waitForStarted());
        const auto readLog = [&] {
            QFile f(log);
            return f.open(QIODevice::ReadOnly) ? f.readAll() + server.readAll() : server.readAll();
        };
        QString why;
        const int port = waitForListening(
            server, readLog, QRegularExpression(QStringLiteral("ouvindo em http://127\\.0\\.0\\.1:(\\d+)")),
            QDeadlineTimer(20000), QStringLiteral("the packaged server"), &why);
        QVERIFY2(port > 0, qPrintable(why));
        QTRY_VERIFY_WITH_TIMEOUT(healthy(port), 10000);
        server.terminate();
        QCOMPARE(exitCodeWithin(server, 15000), 0);
    }

    // The workstation's host, from the unpacked tree through its link, finds
    // its library and the screen's package beside itself.
    void packagedHostFindsItsLibraries() {
        const QString lib = m_workstationTree + QStringLiteral("/usr/lib/zav/");
        for (const char* file : {"zav", "libPkg_Zav50000.so"}) {
            const Run ldd = run(QStringLiteral("ldd"), {lib + QLatin1String(file)});
            QVERIFY2(ldd.code == 0 && !ldd.out.contains(QStringLiteral("not found")), qPrintable(ldd.out));
            QVERIFY2(ldd.out.contains(lib + QStringLiteral("libzavhost.so")), qPrintable(ldd.out));
        }
        const Run help = run(m_workstationTree + QStringLiteral("/usr/bin/zav"), {QStringLiteral("--help")});
        QVERIFY2(help.code == 0, qPrintable(help.out));
    }
};

QTEST_GUILESS_MAIN(tst_packages)
#include "tst_packages.moc"
