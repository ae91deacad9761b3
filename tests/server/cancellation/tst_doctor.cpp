// zav-doctor against the local authority (a real zav-authority process with
// the script's certificates): an authority in operation (107), a paused one
// (108), one that does not trust the company's chain (unknown_ca), one nobody
// listens for; the A1 certificates listed with their validity, an expired one
// told; targets checked.
#include "cancelfixture.h"
#include "nfeworld.h"
#include "serverprocess.h"
#include "testdb.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class TstDoctor : public QObject {
    Q_OBJECT
    zavtest::TestDatabases m_dbs;
    QSqlDatabase m_db;
    QString m_connection;
    std::unique_ptr<NfeWorld> m_nfe;

    struct Run {
        int code = -1;
        QString out;
    };
    Run doctor(const QStringList& targets) {
        QStringList arguments = m_nfe->serverArguments(); // --certificates, its password, --authorities
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QFileInfo(ServerProcess::binary()).dir().filePath(QStringLiteral("zav-doctor")),
                arguments + targets);
        Run r;
        r.code = exitCodeWithin(p, 120000);
        r.out = QString::fromUtf8(p.readAll());
        return r;
    }
    // The authority again, with the arguments.
    QString restart(const QStringList& arguments) {
        m_nfe->authority().terminate();
        return m_nfe->startAuthority(m_connection, arguments);
    }

private Q_SLOTS:
    void initTestCase() {
        ZAV_SQLITE(m_dbs);
        m_db = m_dbs.database(zavtest::kSQLite);
        m_connection = m_dbs.connectionText(zavtest::kSQLite);
        m_nfe = std::make_unique<NfeWorld>();
        const canceltest::Establishment e = canceltest::mainEstablishment(m_db);
        QCOMPARE(m_nfe->certificates(m_db, {QStringLiteral("DEADBEEF01:%1:-400:-10").arg(e.cnpj)}),
                 QString());
        QCOMPARE(m_nfe->startAuthority(m_connection), QString());
    }

    void inOperation() {
        const Run r = doctor({QStringLiteral("SP.2"), QStringLiteral("rj.2"), QStringLiteral("MG.2")});
        QVERIFY2(r.code == 0, qPrintable(r.out));
        QCOMPARE(r.out.count(QStringLiteral("resposta 107 - Serviço em Operação")), 3);
        QVERIFY2(r.out.contains(QStringLiteral("cadeia confiável")), qPrintable(r.out));
        QVERIFY2(r.out.contains(QStringLiteral("/CN=AC ZAV LOCAL DE TESTE")), qPrintable(r.out));
        QVERIFY2(r.out.contains(QStringLiteral(": como acima")), qPrintable(r.out)); // one host, shown once
        // The certificates, the expired one told.
        QVERIFY2(r.out.contains(QRegularExpression(QStringLiteral("DEADBEEF01 .* FORA DA VALIDADE"))),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains(QStringLiteral("apresentado às autoridades: ")), qPrintable(r.out));
        QVERIFY2(!r.out.contains(QStringLiteral("apresentado às autoridades: DEADBEEF01")),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains(QStringLiteral("Todas as autoridades em operação.")), qPrintable(r.out));
    }

    void pausedAndUntrustedAndUnreachable() {
        QCOMPARE(restart({QStringLiteral("--paused"), QStringLiteral("108")}), QString());
        Run r = doctor({QStringLiteral("MG.2")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains(QStringLiteral("resposta 108 - Serviço Paralisado Momentaneamente")),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains(QStringLiteral("1 de 1 sem resposta 107")), qPrintable(r.out));

        // An authority that trusts another chain for its clients.
        const QString other = QDir(m_nfe->certificateFolder()).filePath(QStringLiteral("authority.pem"));
        QCOMPARE(restart({QStringLiteral("--tls-client-ca"), other}), QString());
        r = doctor({QStringLiteral("SP.2")});
        QCOMPARE(r.code, 1);
        // Said by the probe of the handshake, which waits for the alert, and
        // by the call itself when the alert reaches it before the authority's
        // reset does (a loaded machine can lose it there).
        QVERIFY2(
            r.out.contains(QStringLiteral("a autoridade recusou a cadeia do certificado A1 (unknown_ca)")),
            qPrintable(r.out));

        QCOMPARE(m_nfe->authority().terminate(), 0);
        r = doctor({QStringLiteral("SP.2")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains(QStringLiteral("não foi possível conectar")), qPrintable(r.out));
        QCOMPARE(m_nfe->startAuthority(m_connection), QString());
    }

    void targetsAreChecked() {
        for (const char* bad : {"XX.2", "SP.3", "SP.2.1"}) {
            const Run r = doctor({QLatin1String(bad)});
            QCOMPARE(r.code, 2);
            QVERIFY2(r.out.contains(QStringLiteral("não é estado.ambiente")), qPrintable(r.out));
        }
    }

    void cleanupTestCase() {
        m_nfe.reset();
        m_db = QSqlDatabase();
    }
};

QTEST_GUILESS_MAIN(TstDoctor)
#include "tst_doctor.moc"
