// The password file on its own: read only when no one but its owner may read
// or write it, and then only its first line, without the line's end.
#include "secretfile.h"

#include <QFile>
#include <QTemporaryDir>

#include <QTest>

class TestSecretFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void ownersFileGivesItsFirstLine_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("line feed") << QByteArray("s3cr3t\nsecond") << QByteArray("s3cr3t");
        QTest::newRow("carriage return and line feed") << QByteArray("s3cr3t\r\n") << QByteArray("s3cr3t");
        QTest::newRow("no line end") << QByteArray("s3cr3t") << QByteArray("s3cr3t");
        QTest::newRow("blanks kept") << QByteArray(" a b \n") << QByteArray(" a b ");
        QTest::newRow("empty file") << QByteArray() << QByteArray();
        QTest::newRow("a line longer than is read") << QByteArray(5000, 'x') << QByteArray(4095, 'x');
    }
    void ownersFileGivesItsFirstLine() {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, line);
        const QString path = write(content, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        zavcommon::SecretFault fault{};
        QString why;
        const std::optional<QByteArray> read = zavcommon::readSecretLine(path, &fault, &why);
        QVERIFY2(read, qPrintable(why));
        QCOMPARE(*read, line);
    }

    void fileOpenToOthersIsRefused_data() {
        QTest::addColumn<int>("others");
        QTest::newRow("group reads") << int(QFileDevice::ReadGroup);
        QTest::newRow("group writes") << int(QFileDevice::WriteGroup);
        QTest::newRow("others read") << int(QFileDevice::ReadOther);
        QTest::newRow("others write") << int(QFileDevice::WriteOther);
    }
    void fileOpenToOthersIsRefused() {
        QFETCH(int, others);
        const QString path = write("s3cr3t\n", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::Permission(others));
        zavcommon::SecretFault fault = zavcommon::SecretFault::Unreadable;
        QVERIFY(!zavcommon::readSecretLine(path, &fault));
        QCOMPARE(fault, zavcommon::SecretFault::OpenToOthers);
    }

    void missingFileIsUnreadableWithTheReason() {
        zavcommon::SecretFault fault = zavcommon::SecretFault::OpenToOthers;
        QString why;
        QVERIFY(!zavcommon::readSecretLine(m_dir.filePath(QStringLiteral("none")), &fault, &why));
        QCOMPARE(fault, zavcommon::SecretFault::Unreadable);
        QVERIFY(!why.isEmpty());
    }

    // What the operator is told of a password file, and the password as text.
    void operatorsPasswordFile() {
        QString message;
        const QString own = write("senhá\n", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(zavcommon::readPasswordFile(own, &message), std::optional(QStringLiteral("senhá")));
        const QString shared = write("senha\n", QFileDevice::ReadOwner | QFileDevice::ReadGroup);
        QVERIFY(!zavcommon::readPasswordFile(shared, &message));
        QCOMPARE(message,
                 QStringLiteral("O arquivo de senha %1 pode ser lido por outros usuários; use chmod 600.")
                     .arg(shared));
        for (const QString& missing : {m_dir.filePath(QStringLiteral("none")), m_dir.path()}) {
            QVERIFY(!zavcommon::readPasswordFile(missing, &message));
            QCOMPARE(message, QStringLiteral("Arquivo de senha não encontrado: %1.").arg(missing));
        }
    }

private:
    QString write(const QByteArray& content, QFileDevice::Permissions permissions) {
        QString path = m_dir.filePath(QStringLiteral("senha-%1").arg(++m_files));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        // Exactly these bits, whatever the umask gave it.
        if (!file.setPermissions(permissions))
            qFatal("cannot set the permissions of %s", qPrintable(path));
        return path;
    }

    QTemporaryDir m_dir;
    int m_files = 0;
};

QTEST_GUILESS_MAIN(TestSecretFile)
#include "tst_secretfile.moc"
