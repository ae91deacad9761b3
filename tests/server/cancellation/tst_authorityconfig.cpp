// The table of the states' authorities as the server reads it at start: which
// section serves a state and environment, and every bad value named.
#include "cancellation/authorityconfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using zavserver::AuthorityConfig;

class TstAuthorityConfig : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    int m_files = 0;

    // A new file each time: QSettings keeps what it read of a path.
    QString write(const QByteArray& content) {
        QString path = m_dir.filePath(QStringLiteral("autoridades-%1.ini").arg(++m_files));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        return path;
    }

private Q_SLOTS:
    void mostSpecificSectionWins() {
        QFile ca(m_dir.filePath(QStringLiteral("ca.pem")));
        QVERIFY(ca.open(QIODevice::WriteOnly));
        ca.write("-");
        ca.close();
        QString error;
        const auto config = AuthorityConfig::load(
            write("[geral]\nca = ca.pem\nrespostaMs = 1500\n"
                  "[SP.2]\nevento = https://sp/ev\nconsulta = https://sp/co\nprazoHoras = 48\n"
                  "[*.2]\nevento = https://any2/ev\nconsulta = https://any2/co\n"
                  "[*.*]\nevento = https://any/ev\nconsulta = https://any/co\nprazoExtemporaneoDias = 7\n"),
            &error);
        QVERIFY2(config, qPrintable(error));
        QCOMPARE(config->find(QStringLiteral("SP"), QStringLiteral("2"))->eventUrl.host(),
                 QStringLiteral("sp"));
        QCOMPARE(config->find(QStringLiteral("sp"), QStringLiteral("2"))->ordinaryHours, 48);
        QCOMPARE(config->find(QStringLiteral("RJ"), QStringLiteral("2"))->statusUrl.host(),
                 QStringLiteral("any2"));
        QCOMPARE(config->find(QStringLiteral("SP"), QStringLiteral("1"))->eventUrl.host(),
                 QStringLiteral("any"));
        QCOMPARE(config->find(QStringLiteral("SP"), QStringLiteral("1"))->lateDays, 7);
        QCOMPARE(config->find(QStringLiteral("SP"), QStringLiteral("1"))->ordinaryHours,
                 24); // the real default
        QCOMPARE(config->answerMs(), 1500);
        QCOMPARE(config->connectMs(), AuthorityConfig::kDefaultConnectMs);
        QCOMPARE(config->caFile(), m_dir.filePath(QStringLiteral("ca.pem"))); // next to the table
    }

    void noSectionForTheState() {
        QString error;
        const auto config = AuthorityConfig::load(
            write("[MG.1]\nevento = https://mg/ev\nconsulta = https://mg/co\n"), &error);
        QVERIFY2(config, qPrintable(error));
        QVERIFY(!config->find(QStringLiteral("MG"), QStringLiteral("2")));
        QVERIFY(!config->find(QStringLiteral("SP"), QStringLiteral("1")));
    }

    void badTables_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no section") << QByteArray("[geral]\nrespostaMs = 100\n")
                                    << QStringLiteral("sem nenhuma seção");
        QTest::newRow("unknown state") << QByteArray("[XX.2]\nevento = https://a/b\nconsulta = https://a/c\n")
                                       << QStringLiteral("Seção [XX.2] inválida");
        QTest::newRow("environment 3") << QByteArray("[SP.3]\nevento = https://a/b\nconsulta = https://a/c\n")
                                       << QStringLiteral("Seção [SP.3] inválida");
        QTest::newRow("plain http") << QByteArray("[SP.2]\nevento = http://a/b\nconsulta = https://a/c\n")
                                    << QStringLiteral("[SP.2] evento inválido");
        QTest::newRow("missing service")
            << QByteArray("[SP.2]\nevento = https://a/b\n") << QStringLiteral("[SP.2] falta consulta");
        QTest::newRow("zero hours")
            << QByteArray("[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nprazoHoras = 0\n")
            << QStringLiteral("[SP.2] prazoHoras inválido: \"0\"");
        QTest::newRow("words for days")
            << QByteArray(
                   "[SP.2]\nevento = https://a/b\nconsulta = https://a/c\nprazoExtemporaneoDias = sete\n")
            << QStringLiteral("prazoExtemporaneoDias inválido");
        QTest::newRow("missing CA") << QByteArray(
                                           "[geral]\nca = nao-existe.pem\n[SP.2]\nevento = https://a/b\n"
                                           "consulta = https://a/c\n")
                                    << QStringLiteral("[geral] ca: arquivo");
        QTest::newRow("timeout too short")
            << QByteArray("[geral]\nrespostaMs = 5\n") << QStringLiteral("respostaMs inválido");
    }
    void badTables() {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QString error;
        QVERIFY(!AuthorityConfig::load(write(content), &error));
        QVERIFY2(error.contains(expected), qPrintable(error));
    }

    void missingFile() {
        QString error;
        QVERIFY(!AuthorityConfig::load(m_dir.filePath(QStringLiteral("nada.ini")), &error));
        QVERIFY2(error.contains(u"não encontrada"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TstAuthorityConfig)
#include "tst_authorityconfig.moc"
