// The A1 certificates as the server keeps them: each file opened with its own
// password when one is kept beside it (owner-only), the folder's otherwise;
// and what the people running the server are told of them (in the log at
// start and in /health): one about to expire, one expired, one that does not
// open. Certificates are made by scripts/make-certificates.sh.
#include "authority/certificatewatch.h"
#include "certificatestore.h"
#include "serverprocess.h"
#include "testdb.h"

#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using zavnfe::CertificateFailure;
using zavnfe::CertificateStore;
using zavserver::CertificateWatch;

namespace {

const QByteArray kFolderPassword = "senha-da-pasta";
const QByteArray kOwnPassword = "senha-propria-da-empresa-b";

// Runs make-certificates.sh; empty, or why not.
QString makeCertificates(const QString& folder, const QByteArray& password, const QStringList& requests) {
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"),
                 QStringList{QStringLiteral(ZAV_SOURCE_DIR "/scripts/make-certificates.sh"), folder,
                             QString::fromLatin1(password)} +
                     requests);
    if (!script.waitForFinished(180000) || script.exitStatus() != QProcess::NormalExit ||
        script.exitCode() != 0)
        return QString::fromUtf8(script.readAll());
    return {};
}

bool writeSecret(const QString& path, const QByteArray& line, QFileDevice::Permissions permissions) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(line + "\n") < 0)
        return false;
    f.close();
    return f.setPermissions(permissions);
}

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

class TstCertificates : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_folder; // company A's (the folder's password), B's (its own), an expired one
    zavtest::TestDatabases m_dbs;

private Q_SLOTS:
    void initTestCase() {
        m_folder = m_dir.filePath(QStringLiteral("a1"));
        const QString other = m_dir.filePath(QStringLiteral("outra"));
        QCOMPARE(makeCertificates(m_folder, kFolderPassword,
                                  {QStringLiteral("A1A1:11222333000181"), QStringLiteral("CC03:-400:-10")}),
                 QString());
        // Company B's file comes with a password of its own, and expires in
        // 20 days.
        QCOMPARE(makeCertificates(other, kOwnPassword, {QStringLiteral("B2B2:44555666000172:-30:20")}),
                 QString());
        QVERIFY(QFile::copy(QDir(other).filePath(QStringLiteral("a1-B2B2.pfx")),
                            QDir(m_folder).filePath(QStringLiteral("a1-B2B2.pfx"))));
    }

    void eachFileWithItsPassword() {
        const CertificateStore store(m_folder);
        const QString own = QDir(m_folder).filePath(QStringLiteral("a1-B2B2.pfx.senha"));
        QFile::remove(own);
        // Without its own password, B's file does not open with the folder's.
        auto b = store.find(QStringLiteral("B2B2"), kFolderPassword);
        QCOMPARE(b.failure, CertificateFailure::WrongPassword);
        QVERIFY2(b.error.contains(QStringLiteral("a1-B2B2.pfx")), qPrintable(b.error));

        QVERIFY(writeSecret(own, kOwnPassword, kOwnerOnly));
        b = store.find(QStringLiteral("b2:b2"), kFolderPassword);
        QVERIFY2(b.found(), qPrintable(b.error));
        QCOMPARE(b.certificate->serialHex(), QStringLiteral("B2B2"));
        const auto a = store.find(QStringLiteral("A1A1"), kFolderPassword);
        QVERIFY2(a.found(), qPrintable(a.error));

        // A password others may read is no password kept by the server: the
        // file is not opened, and the failure says why; the others still are.
        QVERIFY(QFile::setPermissions(own, kOwnerOnly | QFileDevice::ReadOther));
        b = store.find(QStringLiteral("B2B2"), kFolderPassword);
        QVERIFY(!b.found());
        QVERIFY2(b.error.contains(QStringLiteral("pode ser lida por outros usuários")), qPrintable(b.error));
        QVERIFY(store.find(QStringLiteral("A1A1"), kFolderPassword).found());

        // A wrong password of its own.
        QVERIFY(writeSecret(own, "outra-senha", kOwnerOnly));
        b = store.find(QStringLiteral("B2B2"), kFolderPassword);
        QCOMPARE(b.failure, CertificateFailure::WrongPassword);
        QVERIFY(writeSecret(own, kOwnPassword, kOwnerOnly));
    }

    void expiriesAndUnopenedFilesAreTold() {
        QVERIFY(writeSecret(QDir(m_folder).filePath(QStringLiteral("a1-B2B2.pfx.senha")), kOwnPassword,
                            kOwnerOnly));
        QString error;
        const QList<zavnfe::CertificateEntry> entries =
            CertificateStore(m_folder).entries(kFolderPassword, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(entries.size(), 3);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QStringList warnings = CertificateWatch::warningsOf(entries, now);
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(warnings.filter(QStringLiteral("Certificado A1 B2B2 (a1-B2B2.pfx) vence em")).size() == 1,
                 qPrintable(warnings.join(u'\n')));
        QVERIFY2(warnings.filter(QStringLiteral("(em 19 dias)")).size() == 1 ||
                     warnings.filter(QStringLiteral("(em 20 dias)")).size() == 1,
                 qPrintable(warnings.join(u'\n')));
        QVERIFY2(warnings.filter(QStringLiteral("Certificado A1 CC03 (a1-CC03.pfx) venceu em")).size() == 1,
                 qPrintable(warnings.join(u'\n')));
        // At the edge: 30 days ahead is told, 31 is not.
        const auto b =
            std::find_if(entries.cbegin(), entries.cend(), [](const auto& e) { return e.serial == u"B2B2"; });
        QVERIFY(b != entries.cend());
        QCOMPARE(CertificateWatch::warningsOf({*b}, b->notAfter.addDays(-30)).size(), 1);
        QCOMPARE(CertificateWatch::warningsOf({*b}, b->notAfter.addDays(-31)).size(), 0);
        // With the folder's password wrong, nothing opens, and each file says so.
        warnings = CertificateWatch::warningsOf(CertificateStore(m_folder).entries("errada", &error), now);
        QCOMPARE(warnings.filter(QStringLiteral("não abre: senha incorreta")).size(), 2);
        QVERIFY(!CertificateStore(m_dir.filePath(QStringLiteral("nada")))
                     .entries(kFolderPassword, &error)
                     .size());
        QVERIFY2(error.contains(QStringLiteral("inexistente")), qPrintable(error));
    }

    // The real server: the warnings in its log at start and in /health; a
    // folder password others may read stops it.
    void serverTellsAndRefuses() {
        ZAV_SQLITE(m_dbs);
        const QString password = m_dir.filePath(QStringLiteral("senha-da-pasta"));
        QVERIFY(writeSecret(password, kFolderPassword, kOwnerOnly | QFileDevice::ReadGroup));
        const QStringList nfe{QStringLiteral("--certificates"), m_folder,
                              QStringLiteral("--certificate-password-file"), password};
        ServerProcess refused;
        QCOMPARE(refused.runToExit(QStringList{QStringLiteral("--db"), m_dbs.connectionText(zavtest::kSQLite),
                                               QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                               QStringLiteral("--plain-http")} +
                                   nfe),
                 4);
        QVERIFY2(refused.log().contains("pode ser lida por outros"), refused.log().constData());

        QVERIFY(QFile::setPermissions(password, kOwnerOnly));
        ServerProcess server;
        QString why;
        QVERIFY2(server.start(m_dbs.connectionText(zavtest::kSQLite), nfe, &why), qPrintable(why));
        QVERIFY(server.waitForLog("aviso: Certificado A1 B2B2"));
        QVERIFY(server.log().contains("aviso: Certificado A1 CC03"));
        httplib::Client client("127.0.0.1", server.port());
        const auto health = client.Get("/health");
        QVERIFY(health);
        QCOMPARE(health->status, 200);
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(health->body)).object();
        QCOMPARE(body.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        const QJsonArray notes = body.value(QStringLiteral("avisos")).toArray();
        QCOMPARE(notes.size(), 2);
        QVERIFY(notes.at(0).toString().startsWith(QStringLiteral("Certificado A1 B2B2")));
    }
};

QTEST_GUILESS_MAIN(TstCertificates)
#include "tst_certificates.moc"
