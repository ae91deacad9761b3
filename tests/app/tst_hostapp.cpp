// The host application as the operator starts it: a real process that opens
// the screen, writes a picture unattended, and explains what it cannot do.
#include "serverprocess.h"
#include "services/hosttexts.h"
#include "testdb.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString zav() {
    return QDir(qEnvironmentVariable("ZAV_BIN_DIR", QStringLiteral(ZAV_BIN_DIR)))
        .filePath(QStringLiteral("zav"));
}

struct Run {
    int code = -1;
    QString err;
};

Run run(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(zav(), args);
    Run r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("timed out");
        return r;
    }
    r.code = p.exitCode();
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QProcessEnvironment offscreen() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

} // namespace

class TestHostApp : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    ServerProcess m_server;
    QTemporaryDir m_dir;
    QString m_passwordFile;

    // What every run needs to sign in: the workstation's database, the
    // server, the operator and its password's file.
    QStringList signedIn(const QStringList& args) const {
        return QStringList{QStringLiteral("--db"),
                           m_dbs.connectionText(zavtest::kSQLite),
                           QStringLiteral("--WebURL"),
                           QStringLiteral("127.0.0.1"),
                           QStringLiteral("--WebPort"),
                           QString::number(m_server.port()),
                           QStringLiteral("--WebProtocolo"),
                           QStringLiteral("http"),
                           QStringLiteral("--Operador"),
                           QStringLiteral("OPER1"),
                           QStringLiteral("--password-file"),
                           m_passwordFile} +
               args;
    }

private Q_SLOTS:
    void initTestCase();
    void signInComesFirst();
    void screenshotOfTheScreen();
    void badConfigurationIsReportedAndTheHostGoesOn();
    void missingPackageNamesTheCause();
    void deadDatabaseEndsTheHostWithTheReason_data();
    void deadDatabaseEndsTheHostWithTheReason();
    void serverSettingsFaultStopsBeforeTheSignIn_data();
    void serverSettingsFaultStopsBeforeTheSignIn();
    void screenWindowCarriesTheProductIcon();
    void noDisplaySaysSoAndDoesNotHang();
    void helpPageIsShipped();
};

void TestHostApp::initTestCase() {
    ZAV_SQLITE(m_dbs);
    QString why;
    QVERIFY2(m_server.start(m_dbs.connectionText(zavtest::kSQLite), {}, &why), qPrintable(why));
    QVERIFY2(
        !m_server.signIn(m_dbs.connectionText(zavtest::kSQLite), QStringLiteral("OPER1"), &why).isEmpty(),
        qPrintable(why));
    m_passwordFile = m_dir.filePath(QStringLiteral("senha"));
    QFile f(m_passwordFile);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(kTestPassword) + "\n");
    f.close();
    QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
}

// No screen opens before the operator signs in: unattended, a wrong password
// or a file others may read ends the host with the reason.
void TestHostApp::signInComesFirst() {
    const QString png = m_dir.filePath(QStringLiteral("nunca.png"));
    const QStringList screen{QStringLiteral("--open"), QStringLiteral("ZAV50000"),
                             QStringLiteral("--screenshot"), png};
    Run r = run(QStringList{QStringLiteral("--db"), m_dbs.connectionText(zavtest::kSQLite)} + screen,
                offscreen());
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.contains(QStringLiteral("--password-file")), qPrintable(r.err));
    QStringList wrong = signedIn(screen);
    const QString wrongFile = m_dir.filePath(QStringLiteral("errada"));
    QFile f(wrongFile);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("outra-senha\n");
    f.close();
    QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    wrong[wrong.indexOf(m_passwordFile)] = wrongFile;
    r = run(wrong, offscreen());
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.contains(QStringLiteral("Operador ou senha inválidos.")), qPrintable(r.err));
    QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    r = run(wrong, offscreen());
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.contains(QStringLiteral("chmod 600")), qPrintable(r.err));
    QVERIFY(!QFile::exists(png));
}

void TestHostApp::screenshotOfTheScreen() {
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("tela.png"));
    const Run r = run(
        signedIn({QStringLiteral("--open"), QStringLiteral("ZAV50000"), QStringLiteral("--screenshot"), png}),
        offscreen());
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QImage img(png);
    QVERIFY(!img.isNull());
    // The whole window: its client area and its frame.
    QVERIFY(img.width() >= 769 && img.height() >= 400);
}

void TestHostApp::badConfigurationIsReportedAndTheHostGoesOn() {
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("zav.ini"));
    QFile f(ini);
    QVERIFY(f.open(QIODevice::WriteOnly));
    // "Não", as the option's help spells it, is a good value (in any case).
    f.write("[sessao]\nWebPort=porta\nFiliProc=0002\nModuFili=Não\n");
    f.close();
    const QString png = dir.filePath(QStringLiteral("tela.png"));
    const Run r = run(
        signedIn({QStringLiteral("--config"), ini, QStringLiteral("--ModuloAtiv"), QStringLiteral("x"),
                  QStringLiteral("--open"), QStringLiteral("ZAV50000"), QStringLiteral("--screenshot"), png}),
        offscreen());
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("WebPort")) && r.err.contains(QStringLiteral("porta")),
             qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("ModuloAtiv")), qPrintable(r.err));
    QVERIFY2(!r.err.contains(QStringLiteral("ModuFili")), qPrintable(r.err));
    QVERIFY(QFile::exists(png));
}

void TestHostApp::missingPackageNamesTheCause() {
    QTemporaryDir dir;
    const Run r = run(signedIn({QStringLiteral("--package-dir"), dir.path(), QStringLiteral("--open"),
                                QStringLiteral("ZAV50000"), QStringLiteral("--screenshot"),
                                dir.filePath(QStringLiteral("x.png"))}),
                      offscreen());
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("libPkg_Zav50000.so")), qPrintable(r.err));
    const Run unknown = run(signedIn({QStringLiteral("--open"), QStringLiteral("ZAV99999"),
                                      QStringLiteral("--screenshot"), dir.filePath(QStringLiteral("y.png"))}),
                            offscreen());
    QCOMPARE(unknown.code, 1);
    QVERIFY2(unknown.err.contains(QStringLiteral("ZAV99999")), qPrintable(unknown.err));
}

// No screen opens on a workstation database that cannot be opened: the host
// says why in Portuguese, with the driver's words after it, and ends.
void TestHostApp::deadDatabaseEndsTheHostWithTheReason_data() {
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("told");
    QTest::newRow("no file") << m_dir.filePath(QStringLiteral("nao-existe.db"))
                             << HostText::text(HostText::DbFileMissing).section(u'%', 0, 0);
    QTest::newRow("not a database") << m_passwordFile
                                    << HostText::text(HostText::DbFileNotDatabase).section(u'%', 0, 0);
    QTest::newRow("none configured") << QString() << HostText::text(HostText::DbNotConfigured);
}

void TestHostApp::deadDatabaseEndsTheHostWithTheReason() {
    QFETCH(QString, database);
    QFETCH(QString, told);
    const QString png = m_dir.filePath(QStringLiteral("sem-banco.png"));
    QStringList args =
        signedIn({QStringLiteral("--open"), QStringLiteral("ZAV50000"), QStringLiteral("--screenshot"), png});
    args[1] = database;
    const Run r = run(args, offscreen());
    QCOMPARE(r.code, 4);
    QVERIFY2(r.err.contains(told), qPrintable(r.err));
    QVERIFY2(r.err.contains(HostText::text(HostText::DbWhatToDo)), qPrintable(r.err));
    QVERIFY2(!r.err.contains(QLatin1String("adcGeral")), qPrintable(r.err));
    QVERIFY(!QFile::exists(png));
}

// Where the application server is, or how it is trusted, never falls back to a
// default: the fault is told and the password sent nowhere.
void TestHostApp::serverSettingsFaultStopsBeforeTheSignIn_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("told");
    QTest::newRow("a WebCA file that is not there")
        << QByteArray("[sessao]\nWebCA=certs/nao-existe.pem\n") << QStringLiteral("nao-existe.pem");
    QTest::newRow("a port that is no number")
        << QByteArray("[sessao]\nWebPort=porta\n") << QStringLiteral("WebPort");
}

void TestHostApp::serverSettingsFaultStopsBeforeTheSignIn() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, told);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("zav.ini"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ini);
    f.close();
    const QString png = dir.filePath(QStringLiteral("tela.png"));
    // The file's values over the command line's: the file is the only
    // source of the faulty one.
    QStringList args =
        signedIn({QStringLiteral("--open"), QStringLiteral("ZAV50000"), QStringLiteral("--screenshot"), png});
    args.removeAt(args.indexOf(QStringLiteral("--WebPort")) + 1);
    args.removeAt(args.indexOf(QStringLiteral("--WebPort")));
    args << QStringLiteral("--config") << file;
    if (!ini.contains("WebPort"))
        args << QStringLiteral("--WebPort") << QString::number(m_server.port());
    const Run r = run(args, offscreen());
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.contains(told), qPrintable(r.err));
    QVERIFY2(r.err.contains(HostText::text(HostText::ConfigServerFaulty)), qPrintable(r.err));
    // Told as a fault of the configuration, not as a failed sign-in.
    QVERIFY2(!r.err.contains(HostText::text(HostText::SignInNoServer).section(u'%', 0, 0)),
             qPrintable(r.err));
    QVERIFY(!QFile::exists(png));
}

// The screen's window, as the host shows it, carries the product's icon at
// the left of its title bar (the icon's red mark is found there).
void TestHostApp::screenWindowCarriesTheProductIcon() {
    QTemporaryDir dir;
    const QString png = dir.filePath(QStringLiteral("tela.png"));
    const Run r = run(
        signedIn({QStringLiteral("--open"), QStringLiteral("ZAV50000"), QStringLiteral("--screenshot"), png}),
        offscreen());
    QVERIFY2(r.code == 0, qPrintable(r.err));
    const QImage shot = QImage(png).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!shot.isNull());
    const QImage icon = QImage(QStringLiteral(ZAV_SOURCE_DIR "/host/resources/icons/zav-16.png"));
    QVERIFY(!icon.isNull());
    auto reddish = [](QRgb c) { return qRed(c) > 150 && qGreen(c) < 90 && qBlue(c) < 90; };
    int inIcon = 0;
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x)
            inIcon += reddish(icon.pixel(x, y)) && qAlpha(icon.pixel(x, y)) > 200;
    QVERIFY(inIcon > 5);
    int inTitle = 0;
    for (int y = 0; y < std::min(28, shot.height()); ++y)
        for (int x = 0; x < std::min(40, shot.width()); ++x)
            inTitle += reddish(shot.pixel(x, y));
    QVERIFY2(
        inTitle >= inIcon / 2,
        qPrintable(
            QStringLiteral("%1 red pixels in the title's corner, the icon has %2").arg(inTitle).arg(inIcon)));
}

void TestHostApp::noDisplaySaysSoAndDoesNotHang() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const Run r = run({QStringLiteral("--open"), QStringLiteral("ZAV50000")}, env);
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(QStringLiteral("--screenshot")), qPrintable(r.err));
}

void TestHostApp::helpPageIsShipped() {
    QFile page(QStringLiteral(ZAV_SOURCE_DIR "/docs/help/zavhelp/10914000.html"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    for (const char* must :
         {"Cancelamento de Notas Fiscais Eletrônicas", "Filial", "Empresa", "Série", "Período", "Motivo",
          "15 caracteres", "Confirmar", "F7", "F8", "F12", "Entrar de novo"})
        QVERIFY2(html.contains(QString::fromUtf8(must)), must);
}

QTEST_MAIN(TestHostApp)
#include "tst_hostapp.moc"
