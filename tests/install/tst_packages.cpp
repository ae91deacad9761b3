// The Debian packages as cpack makes them from this build: what each holds
// and says of itself (dpkg-deb -c and -I), their maintainer scripts and the
// systemd unit (systemd-analyze verify, where the machine has it), and the
// packaged programs run from an unpacked tree: zav-dbinit makes a database,
// zav-admin reads it, the server serves it as the unit runs it (--config and
// nothing else, the database's password from a file, its readiness and its
// stop told to a notify socket of the test's own, as systemd listens), and
// its /metrics is scraped, on SQLite and PostgreSQL; the workstation's host
// finds its libraries beside itself.
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
#include <QUrl>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// What a service manager hears: an AF_UNIX datagram socket of the test's
// own, named to the server by NOTIFY_SOCKET, as systemd does for a
// Type=notify unit.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path) : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (m_fd < 0 || size_t(name.size()) >= sizeof address.sun_path)
            return;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~NotifySocket() {
        if (m_fd >= 0)
            ::close(m_fd);
        QFile::remove(m_path);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool valid() const { return m_fd >= 0; }
    // Every message that came so far, in order.
    QStringList messages() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                break;
            m_messages.append(QString::fromUtf8(buffer, qsizetype(n)));
        }
        return m_messages;
    }

private:
    QString m_path;
    int m_fd = -1;
    QStringList m_messages;
};

bool writePrivate(const QString& path, const QByteArray& text) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return false;
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
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
            {"./etc/zav/zav50000-server.conf", true},
            {"./etc/zav/zav50000-server.env", false},
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
        // The server refuses an A1 folder others may read.
        QVERIFY(text.contains("install -d -o zav -g zav -m 0700 /etc/zav/a1"));
        QVERIFY(text.contains("chmod 0640 /etc/zav/zav50000-server.conf"));
        QFile conffiles(QDir(control).filePath(QStringLiteral("conffiles")));
        QVERIFY(conffiles.open(QIODevice::ReadOnly));
        QCOMPARE(conffiles.readAll().trimmed(), QByteArray("/etc/zav/zav50000-server.conf"));

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
              "PrivateTmp=yes", "ReadWritePaths=/var/lib/zav /var/log/zav", "NotifyAccess=main",
              "RestartPreventExitStatus=1 4",
              "ExecStart=/usr/bin/zav50000-server --config /etc/zav/zav50000-server.conf"})
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

        // The shipped configuration, its database and address changed as an
        // administrator would, the password in a file of its own.
        QFile shipped(m_serverTree + QStringLiteral("/etc/zav/zav50000-server.conf"));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QString config = QString::fromUtf8(shipped.readAll());
        QVERIFY(config.contains(u"\ndb = ") && config.contains(u"\nlisten = ") &&
                config.contains(u"\ndb-password-file = "));
        QString database = text;
        QString passwordLine = QStringLiteral("# db-password-file = none");
        if (dialect == zavtest::kPostgreSQL) {
            QUrl url(text);
            const QString secret = url.password();
            url.setPassword(QString());
            database = url.toString();
            const QString passwordFile = work.filePath(QStringLiteral("banco.senha"));
            QVERIFY(writePrivate(passwordFile, secret.toUtf8() + "\n"));
            passwordLine = QStringLiteral("db-password-file = ") + passwordFile;
        }
        config.replace(QRegularExpression(QStringLiteral("\ndb = [^\n]*")),
                       QStringLiteral("\ndb = ") + database);
        config.replace(QRegularExpression(QStringLiteral("\ndb-password-file = [^\n]*")),
                       QStringLiteral("\n") + passwordLine);
        config.replace(QRegularExpression(QStringLiteral("\nlisten = [^\n]*")),
                       QStringLiteral("\nlisten = 127.0.0.1:0"));
        config += QStringLiteral("plain-http = sim\n");
        const QString configFile = work.filePath(QStringLiteral("zav50000-server.conf"));
        QVERIFY(writePrivate(configFile, config.toUtf8()));

        // As the unit runs it: --config alone, its log on standard error (the
        // journal), systemd listening on its notify socket.
        NotifySocket notify(work.filePath(QStringLiteral("notify")));
        QVERIFY(notify.valid());
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), work.filePath(QStringLiteral("notify")));
        server.setProcessEnvironment(environment);
        server.start(bin + QStringLiteral("zav50000-server"), {QStringLiteral("--config"), configFile});
        QVERIFY(server.waitForStarted());
        QByteArray output;
        const auto readLog = [&] {
            // No event loop here: what came is read by waiting for it.
            server.waitForReadyRead(10);
            output += server.readAll();
            return output;
        };
        QString why;
        const int port = waitForListening(
            server, readLog, QRegularExpression(QStringLiteral("ouvindo em http://127\\.0\\.0\\.1:(\\d+)")),
            QDeadlineTimer(20000), QStringLiteral("the packaged server"), &why);
        QVERIFY2(port > 0, qPrintable(why));
        QVERIFY2(!readLog().contains("aviso"), output.constData());
        // Ready once the door is open, saying where.
        QTRY_VERIFY_WITH_TIMEOUT(notify.messages().join(u'|').contains(QStringLiteral("READY=1")), 10000);
        QVERIFY2(notify.messages().join(u'|').contains(
                     QStringLiteral("STATUS=atendendo em http://127.0.0.1:%1").arg(port)),
                 qPrintable(notify.messages().join(u'|')));
        QVERIFY(!notify.messages().join(u'|').contains(QStringLiteral("STOPPING=1")));
        QTRY_VERIFY_WITH_TIMEOUT(healthy(port), 10000);

        // Scraped as Prometheus would, from loopback.
        QTcpSocket scrape;
        scrape.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        QVERIFY(scrape.waitForConnected(5000));
        scrape.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray metrics;
        while (scrape.waitForReadyRead(5000))
            metrics += scrape.readAll();
        QVERIFY2(metrics.startsWith("HTTP/1.1 200") && metrics.contains("text/plain; version=0.0.4"),
                 metrics.left(400).constData());
        QVERIFY(metrics.contains("\nzav_database_up 1\n"));
        QVERIFY(metrics.contains("# TYPE zav_calls_total counter\n"));
        QVERIFY(metrics.contains("zav_sessions_open 0\n"));

        // SIGTERM: the stop is told before the server ends, and it ends with 0.
        server.terminate();
        QCOMPARE(exitCodeWithin(server, 15000), 0);
        const QString told = notify.messages().join(u'|');
        QVERIFY2(told.indexOf(QStringLiteral("READY=1")) < told.indexOf(QStringLiteral("STOPPING=1")),
                 qPrintable(told));
        readLog();
        QVERIFY2(output.contains("encerrado pelo sinal 15"), output.constData());
        if (dialect == zavtest::kPostgreSQL)
            QVERIFY(!output.contains(":" + QUrl(text).password().toUtf8() + "@"));
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
