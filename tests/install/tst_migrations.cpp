// The schema as migrations, on SQLite and PostgreSQL: the list read from its
// folder, the ERP's tables checked before the product's go into a company's
// database (zav-dbinit --product-only), a database of the landed release
// (no version recorded) taken for version 1, an upgrade that fails leaving
// the version before, two installers at once, and the server and zav-admin
// refusing a database of another version.
#include "migrations.h"
#include "schema.h"
#include "serverprocess.h"
#include "testdb.h"
#include "testtools.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>

namespace {

struct Run {
    int code = -1;
    QString out, err;
};

Run runTool(const QString& name, const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(ZAV_BIN_DIR "/") + name, args);
    Run r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

Run dbinit(const QString& db, const QStringList& args) {
    return runTool(QStringLiteral("zav-dbinit"), QStringList{QStringLiteral("--db"), db} + args);
}

QString scalar(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql))
        return QStringLiteral("ERROR: ") + q.lastError().text();
    return q.next() ? q.value(0).toString() : QString();
}

QString exec(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    return q.exec(sql) ? QString() : q.lastError().text();
}

// The product's tables, as the shipped migrations make them, dependants first.
QStringList productTables() {
    QStringList tables;
    for (const zavdb::Migration& m : zavdb::migrations())
        tables += zavdb::tablesCreatedBy(zavdb::migrationFiles(m, zavdb::Dialect::SQLite));
    tables.append(QLatin1String(zavdb::kVersionTable));
    std::reverse(tables.begin(), tables.end());
    return tables;
}

// A demo database left as the company's ERP database would be before the
// product: the ERP's tables with their rows, none of the product's.
QString dropProductTables(QSqlDatabase& db) {
    const bool pg = zavdb::dialectOf(db) == zavdb::Dialect::PostgreSQL;
    for (const QString& table : productTables()) {
        QString why = exec(db, QStringLiteral("DROP TABLE %1%2").arg(table, pg ? " CASCADE" : ""));
        if (!why.isEmpty())
            return why;
    }
    return {};
}

QStringList upperTables(const QSqlDatabase& db) {
    QStringList tables;
    for (const QString& t : db.tables())
        tables.append(t.toUpper());
    return tables;
}

// The ERP's tables and their columns as the demo makes them.
QMap<QString, QStringList> demoErpColumns() {
    const QString name = QStringLiteral("tst_migrations-erp");
    QMap<QString, QStringList> columns;
    {
        QSqlDatabase db = zavdb::open(QStringLiteral(":memory:"), name);
        const QStringList files = zavdb::erpFiles(zavdb::Dialect::SQLite);
        zavdb::runScripts(db, files);
        for (const QString& table : zavdb::tablesCreatedBy(files)) {
            const QSqlRecord r = db.record(table);
            for (int i = 0; i < r.count(); ++i)
                columns[table].append(r.fieldName(i).toUpper());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return columns;
}

// The upper-case words of the product's own code (the server, the screen and
// the host), where its SQL lives.
QSet<QString> productWords() {
    static const QRegularExpression word(QStringLiteral("\\b[A-Z][A-Z0-9_]+\\b"));
    QSet<QString> words;
    for (const char* folder : {"server", "screen", "criteria", "invoices", "cancellation", "host", "app"}) {
        QDirIterator it(QStringLiteral(ZAV_SOURCE_DIR "/") + QLatin1String(folder),
                        {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QString text = QString::fromUtf8(f.readAll());
            for (auto m = word.globalMatch(text); m.hasNext();)
                words.insert(m.next().captured());
        }
    }
    return words;
}

// The server's command line on the database, on loopback.
QStringList serverArguments(const QString& text) {
    return {QStringLiteral("--db"), text, QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
            QStringLiteral("--plain-http")};
}

} // namespace

class tst_migrations : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

private Q_SLOTS:
    // A schema folder whose list is wrong is refused, saying what is wrong,
    // before anything runs: a file or folder beside the migrations would
    // otherwise silently never run.
    void badListsAreRefused_data() {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("why");
        const QStringList good{QStringLiteral("erp/010-erp.sql"), QStringLiteral("001-a/010-a.sql")};
        zavtest::addRow("no migration", "# nothing\n", good, "não lista nenhuma migração");
        zavtest::addRow("starts at 2", "2 001-a primeira\n", good, "a versão 2 devia ser a 1");
        zavtest::addRow("a gap", "1 001-a primeira\n3 002-b terceira\n",
                        good + QStringList{QStringLiteral("002-b/010-b.sql")}, "a versão 3 devia ser a 2");
        zavtest::addRow("no folder", "1 001-a primeira\n2 002-b segunda\n", good, "a pasta 002-b não existe");
        zavtest::addRow("no description", "1 001-a\n", good, "esperado \"VERSÃO PASTA DESCRIÇÃO\"");
        zavtest::addRow("a file aside", "1 001-a primeira\n",
                        good + QStringList{QStringLiteral("070-audit.sql")}, "fora de uma migração em");
        zavtest::addRow("a folder unlisted", "1 001-a primeira\n",
                        good + QStringList{QStringLiteral("002-b/010-b.sql")}, "002-b não está em");
        zavtest::addRow("the ERP's folder as a migration", "1 erp primeira\n", good,
                        "a pasta erp não existe");
        zavtest::addRow("an empty migration", "1 001-a primeira\n2 002-b segunda\n",
                        good + QStringList{QStringLiteral("002-b/notes.txt")}, "não tem arquivos .sql");
    }
    void badListsAreRefused() {
        QFETCH(QString, manifest);
        QFETCH(QStringList, files);
        QFETCH(QString, why);
        QTemporaryDir dir;
        QFile m(dir.filePath(QStringLiteral("migrations.txt")));
        QVERIFY(m.open(QIODevice::WriteOnly));
        m.write(manifest.toUtf8());
        m.close();
        for (const QString& name : files) {
            QVERIFY(QDir(dir.path()).mkpath(QFileInfo(dir.filePath(name)).path()));
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("CREATE TABLE T_" + QFileInfo(name).baseName().toLatin1().replace('-', '_') +
                    " (X INTEGER);\n");
        }
        const zavtest::SchemaDirectory schema(dir.path());
        const QString text = zavtest::failureText<zavdb::DatabaseError>(
            [] {
                for (const zavdb::Migration& mig : zavdb::migrations())
                    zavdb::migrationFiles(mig, zavdb::Dialect::SQLite);
            },
            QStringLiteral("(accepted)"));
        QVERIFY2(text.contains(why), qPrintable(text));
    }

    // erp/columns.txt names what the product reads of the ERP's tables: each
    // entry is a table and column of the demo's ERP schema, and every column
    // of those tables that the product's code names is listed (a column read
    // by a new query and left out would pass the check of a company's
    // database that lacks it).
    void erpColumnsCoverWhatTheProductReads() {
        const QMap<QString, QStringList> demo = demoErpColumns();
        QVERIFY(demo.contains(QStringLiteral("NOTAFISCAL")));
        QFile file(QStringLiteral(":/zavdb/schema/erp/columns.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QMap<QString, QStringList> listed;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
            const QStringList words =
                line.section(u'#', 0, 0)
                    .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
            if (words.isEmpty())
                continue;
            QVERIFY2(demo.contains(words.first()), qPrintable(words.first()));
            QVERIFY2(!listed.contains(words.first()), qPrintable(words.first() + QStringLiteral(" twice")));
            for (const QString& c : words.mid(1))
                QVERIFY2(demo.value(words.first()).contains(c), qPrintable(words.first() + u'.' + c));
            listed.insert(words.first(), words.mid(1));
        }
        const QSet<QString> words = productWords();
        QVERIFY(words.contains(QStringLiteral("GetNotaFiscal").toUpper()) ||
                words.contains(QStringLiteral("NRLANCTONF")));
        for (auto it = demo.cbegin(); it != demo.cend(); ++it) {
            if (!words.contains(it.key()))
                continue;
            QVERIFY2(listed.contains(it.key()),
                     qPrintable(it.key() + QStringLiteral(" is read but not listed")));
            for (const QString& c : it.value())
                QVERIFY2(!words.contains(c) || listed.value(it.key()).contains(c),
                         qPrintable(it.key() + u'.' + c +
                                    QStringLiteral(" is named by the product but not listed")));
        }
    }

    // The product's tables go into an ERP database only when every ERP table
    // and column it reads is there (those missing are named and nothing is
    // made); then with their roles and grants, the ERP's rows untouched, once.
    void productOnlyIntoAnErpDatabase_data() { zavtest::addDialectRows("demo ERP database"); }
    void productOnlyIntoAnErpDatabase() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        QCOMPARE(dropProductTables(db), QString());
        const QString customers = scalar(db, QStringLiteral("SELECT COUNT(*) FROM CLIENTE"));
        const QString invoices = scalar(db, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL"));
        QVERIFY(customers.toInt() > 0 && invoices.toInt() > 0);
        // Without the product's tables, zav-admin names the command that
        // makes them, as it is typed.
        const Run admin =
            runTool(QStringLiteral("zav-admin"), {QStringLiteral("--db"), text, QStringLiteral("operators")});
        QCOMPARE(admin.code, 1);
        QVERIFY2(admin.err.contains(
                     QStringLiteral("O banco não tem as tabelas do produto: crie-as num banco do ERP "
                                    "com zav-dbinit --db <conexão do dono do banco> --product-only.")),
                 qPrintable(admin.err));

        QCOMPARE(exec(db, QStringLiteral("ALTER TABLE FILIAL DROP COLUMN NMFILIAL")), QString());
        QCOMPARE(exec(db, QStringLiteral("DROP TABLE MAPAAPURACAO")), QString());
        Run r = dbinit(text, {QStringLiteral("--product-only")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("FILIAL.NMFILIAL")) &&
                     r.err.contains(QStringLiteral("MAPAAPURACAO")),
                 qPrintable(r.err));
        QVERIFY2(!r.err.contains(QStringLiteral("NOTAFISCAL")), qPrintable(r.err)); // only what is missing
        QVERIFY(!upperTables(db).contains(QStringLiteral("OPERADOR")));
        QVERIFY(!upperTables(db).contains(QLatin1String(zavdb::kVersionTable)));

        QCOMPARE(exec(db, QStringLiteral("ALTER TABLE FILIAL ADD COLUMN NMFILIAL VARCHAR(30)")), QString());
        QCOMPARE(exec(db, QStringLiteral(
                              "CREATE TABLE MAPAAPURACAO (CDEMPRESA VARCHAR(2), CDINSCESTA VARCHAR(16), "
                              "DTINICIO DATE, DTFIM DATE)")),
                 QString());
        r = dbinit(text, {QStringLiteral("--product-only")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(QStringLiteral("Migração 1 aplicada")), qPrintable(r.out));
        QCOMPARE(zavdb::schemaState(db).kind, zavdb::SchemaState::Kind::Recorded);
        QCOMPARE(zavdb::schemaState(db).version, zavdb::latestVersion());
        QCOMPARE(zavdb::schemaVersionProblem(db), QString());
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM CLIENTE")), customers);
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL")), invoices);
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM OPERADOR")), QStringLiteral("0"));
        if (dialect == zavtest::kPostgreSQL) {
            const auto may = [&](const char* role, const char* table, const char* what) {
                return scalar(db, QStringLiteral("SELECT has_table_privilege('%1', '%2', '%3')")
                                      .arg(QLatin1String(role), QLatin1String(table), QLatin1String(what)));
            };
            QCOMPARE(may("zav_servidor", "operador", "INSERT"), QStringLiteral("true"));
            QCOMPARE(may("zav_servidor", "zavversao", "SELECT"), QStringLiteral("true"));
            QCOMPARE(may("zav_servidor", "zavversao", "INSERT"), QStringLiteral("false"));
            QCOMPARE(may("zav_estacao", "operador", "SELECT"), QStringLiteral("false"));
            QCOMPARE(may("zav_estacao", "filial", "SELECT"), QStringLiteral("true"));
        }

        r = dbinit(text, {QStringLiteral("--product-only")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("--upgrade")), qPrintable(r.err));
        r = dbinit(text, {QStringLiteral("--upgrade")});
        QVERIFY2(r.code == 0 && r.out.contains(QStringLiteral("nada a fazer")), qPrintable(r.out + r.err));
        r = dbinit(text, {QStringLiteral("--status")});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    }

    // The modes for an existing database never make one, and refuse what they
    // cannot do, changing nothing.
    void existingDatabaseModesRefuse_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("why");
        zavtest::addRow("upgrade of no file", QStringList{QStringLiteral("--upgrade")}, "não existe");
        zavtest::addRow("product-only of no file", QStringList{QStringLiteral("--product-only")},
                        "não existe");
        zavtest::addRow("two modes",
                        QStringList{QStringLiteral("--upgrade"), QStringLiteral("--product-only")},
                        "não se combinam");
        zavtest::addRow("upgrade and force",
                        QStringList{QStringLiteral("--upgrade"), QStringLiteral("--force")},
                        "não combina com --force");
        zavtest::addRow(
            "status to a version",
            QStringList{QStringLiteral("--status"), QStringLiteral("--to-version"), QStringLiteral("1")},
            "--to-version não combina");
        zavtest::addRow("version 0", QStringList{QStringLiteral("--to-version"), QStringLiteral("0")},
                        "começa em 1");
        zavtest::addRow("an unknown version",
                        QStringList{QStringLiteral("--to-version"), QStringLiteral("99")},
                        "Não há versão 99");
    }
    void existingDatabaseModesRefuse() {
        QFETCH(QStringList, args);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("x.db"));
        const Run r = dbinit(path, args);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(why), qPrintable(r.err));
        QVERIFY2(!QFile::exists(path), "a refused run makes no file");
    }

    // A database of the landed release has the first migration's tables and
    // no version: it is version 1, served when that is the latest, recorded
    // as recognised ('R') by the upgrade. One with tables of an older release
    // (a column missing) is refused, naming what it lacks.
    void unrecordedDatabaseIsVersionOne_data() { zavtest::addDialectRows("landed release"); }
    void unrecordedDatabaseIsVersionOne() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        // The first migration alone, then its record removed.
        zavdb::dropSchema(db);
        QVERIFY(upperTables(db).isEmpty());
        zavdb::createSchema(db, 1);
        QCOMPARE(exec(db, QStringLiteral("DROP TABLE ZAVVERSAO")), QString());
        const zavdb::SchemaState state = zavdb::schemaState(db);
        QCOMPARE(state.kind, zavdb::SchemaState::Kind::Unrecorded);
        QCOMPARE(state.version, 1);

        ServerProcess server;
        QString why;
        if (zavdb::latestVersion() == 1) {
            QVERIFY2(server.start(text, {}, &why), qPrintable(why));
            server.terminate();
        } else {
            QCOMPARE(server.runToExit(serverArguments(text)), 2);
            QVERIFY2(server.log().contains("na versão 1 do esquema"), server.log().constData());
        }

        Run r = dbinit(text, {QStringLiteral("--upgrade")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(QStringLiteral("registrada a versão 1")), qPrintable(r.out));
        QCOMPARE(scalar(db, QStringLiteral("SELECT IDORIGEM FROM ZAVVERSAO WHERE NRVERSAO = 1")),
                 QStringLiteral("R"));
        QCOMPARE(zavdb::schemaState(db).version, zavdb::latestVersion());

        // An older release's tables: a column of the first migration missing.
        QCOMPARE(exec(db, QStringLiteral("DROP TABLE ZAVVERSAO")), QString());
        QCOMPARE(exec(db, QStringLiteral("ALTER TABLE NFEEVENTO DROP COLUMN NRLOTE")), QString());
        r = dbinit(text, {QStringLiteral("--upgrade")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("NFEEVENTO.NRLOTE")), qPrintable(r.err));
        QVERIFY(!upperTables(db).contains(QLatin1String(zavdb::kVersionTable)));
        QCOMPARE(server.runToExit(serverArguments(text)), 2);
        QVERIFY2(server.log().contains("NFEEVENTO.NRLOTE"), server.log().constData());
    }

    // A migration that fails is undone whole: the database stays at the
    // version before, without the migration's first statements, and says
    // which file and statement failed.
    void failedMigrationLeavesTheVersionBefore_data() { zavtest::addDialectRows("demo"); }
    void failedMigrationLeavesTheVersionBefore() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        QTemporaryDir dir;
        QString why;
        const zavtest::ExtendedSchema schema = zavtest::extendSchema(
            dir.path(),
            {{QStringLiteral("010-first.sql"), "CREATE TABLE ZAVTESTE_A (X INTEGER);\n"
                                               "INSERT INTO ZAVTESTE_A (X) VALUES (1);\n"
                                               "UPDATE CLIENTE SET NMFANTCLIE = 'mudado';\n"},
             {QStringLiteral("020-second.sql"), "ALTER TABLE OPERADOR ADD COLUMN DSEMAIL VARCHAR(80);\n"
                                                "CREATE TABLE BROKEN (;\n"}},
            QStringLiteral("uma migração que falha"), &why);
        QVERIFY2(!schema.folder.isEmpty(), qPrintable(why));
        const QString before =
            scalar(db, QStringLiteral("SELECT COUNT(*) FROM CLIENTE WHERE NMFANTCLIE = 'mudado'"));
        const zavtest::SchemaDirectory use(schema.folder);
        const Run r = dbinit(text, {QStringLiteral("--upgrade")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("999-test-migration/020-second.sql")) &&
                     r.err.contains(u"BROKEN"),
                 qPrintable(r.err));
        QCOMPARE(scalar(db, QStringLiteral("SELECT MAX(NRVERSAO) FROM ZAVVERSAO")),
                 QString::number(schema.shippedVersion));
        QVERIFY(!upperTables(db).contains(QStringLiteral("ZAVTESTE_A")));
        QVERIFY(!db.record(QStringLiteral("OPERADOR")).contains(QStringLiteral("DSEMAIL")) &&
                !db.record(QStringLiteral("OPERADOR")).contains(QStringLiteral("dsemail")));
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM CLIENTE WHERE NMFANTCLIE = 'mudado'")),
                 before);
    }

    // Two installers at once: the migration runs once, the other installer
    // waits for it and finds nothing left to do; both succeed.
    void twoInstallersAtOnce_data() { zavtest::addDialectRows("demo"); }
    void twoInstallersAtOnce() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        QTemporaryDir dir;
        QString why;
        // On PostgreSQL the migration lasts long enough for the second
        // installer to arrive while it runs.
        const zavtest::ExtendedSchema schema = zavtest::extendSchema(
            dir.path(),
            {{QStringLiteral("010-table.sql"), "CREATE TABLE ZAVTESTE_B (X INTEGER);\n"},
             {QStringLiteral("020-wait.pg.sql"), "SELECT pg_sleep(2);\n"},
             {QStringLiteral("020-wait.sqlite.sql"), "INSERT INTO ZAVTESTE_B (X) VALUES (2);\n"}},
            QStringLiteral("uma migração demorada"), &why);
        QVERIFY2(!schema.folder.isEmpty(), qPrintable(why));
        const zavtest::SchemaDirectory use(schema.folder);
        QProcess first, second;
        const QStringList args{QStringLiteral("--db"), text, QStringLiteral("--upgrade")};
        first.start(QStringLiteral(ZAV_BIN_DIR "/zav-dbinit"), args);
        QVERIFY(first.waitForStarted());
        QThread::msleep(300); // no event loop: the first one's end is seen by its wait below
        second.start(QStringLiteral(ZAV_BIN_DIR "/zav-dbinit"), args);
        QCOMPARE(exitCodeWithin(first, 60000), 0);
        QCOMPARE(exitCodeWithin(second, 60000), 0);
        const QString out = QString::fromUtf8(first.readAllStandardOutput() + second.readAllStandardOutput());
        QCOMPARE(out.count(QStringLiteral("Migração %1 aplicada").arg(schema.version)), 1);
        QCOMPARE(out.count(QStringLiteral("nada a fazer")), 1);
        QCOMPARE(
            scalar(db,
                   QStringLiteral("SELECT COUNT(*) FROM ZAVVERSAO WHERE NRVERSAO = %1").arg(schema.version)),
            QStringLiteral("1"));
        if (dialect == zavtest::kPostgreSQL)
            QVERIFY2(QString::fromUtf8(second.readAllStandardError()).contains(QStringLiteral("aguardando")),
                     "the second installer says it waits");
    }

    // The server and zav-admin refuse a database of another version, saying
    // which it is, which they need and, for an older one, the command that
    // upgrades it; after the upgrade both work on it.
    void serverAndAdminRefuseAnotherVersion_data() { zavtest::addDialectRows("demo"); }
    void serverAndAdminRefuseAnotherVersion() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        QTemporaryDir dir;
        QString why;
        const zavtest::ExtendedSchema schema = zavtest::extendSchema(
            dir.path(),
            {{QStringLiteral("010-index.sql"), "CREATE INDEX ZAVTESTE_IX ON OPERADOR (NMOPERADOR);\n"}},
            QStringLiteral("um índice"), &why);
        QVERIFY2(!schema.folder.isEmpty(), qPrintable(why));
        const QString older =
            QStringLiteral("na versão %1 do esquema e este programa precisa da versão %2: "
                           "atualize-o com zav-dbinit --db <conexão do dono do banco> --upgrade.")
                .arg(schema.shippedVersion)
                .arg(schema.version);
        {
            const zavtest::SchemaDirectory use(schema.folder);
            ServerProcess server;
            QCOMPARE(server.runToExit(serverArguments(text)), 2);
            QVERIFY2(server.log().contains(older.toUtf8()) && server.log().contains("--upgrade"),
                     server.log().constData());
            Run r = runTool(QStringLiteral("zav-admin"),
                            {QStringLiteral("--db"), text, QStringLiteral("operators")});
            QCOMPARE(r.code, 1);
            QVERIFY2(r.err.contains(older) && r.err.contains(QStringLiteral("--upgrade")), qPrintable(r.err));
            r = dbinit(text, {QStringLiteral("--status")});
            QCOMPARE(r.code, 1);
            r = dbinit(text, {QStringLiteral("--upgrade")});
            QVERIFY2(r.code == 0, qPrintable(r.err));
            r = runTool(QStringLiteral("zav-admin"),
                        {QStringLiteral("--db"), text, QStringLiteral("operators")});
            QVERIFY2(r.code == 0, qPrintable(r.err));
            QVERIFY2(server.start(text, {}, &why), qPrintable(why));
            server.terminate();
        }
        // Now newer than the shipped schema.
        const QString newer = QStringLiteral("na versão %1 do esquema, mais nova que a versão %2")
                                  .arg(schema.version)
                                  .arg(schema.shippedVersion);
        ServerProcess server;
        QCOMPARE(server.runToExit(serverArguments(text)), 2);
        QVERIFY2(server.log().contains(newer.toUtf8()), server.log().constData());
        const Run r = dbinit(text, {QStringLiteral("--upgrade")});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(newer), qPrintable(r.err));
    }

    // zav-admin says what it could not do: a grant of no establishment and a
    // grant-all on a database without establishments fail, naming why; an
    // empty listing says so on standard error, its standard output empty.
    void adminSaysWhatItCouldNotDo_data() { zavtest::addDialectRows("demo, then emptied"); }
    void adminSaysWhatItCouldNotDo() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        const auto admin = [&](const QStringList& args) {
            return runTool(QStringLiteral("zav-admin"), QStringList{QStringLiteral("--db"), text} + args);
        };
        QTemporaryDir dir;
        QFile password(dir.filePath(QStringLiteral("senha")));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write(kTestPassword);
        password.close();
        password.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        const QStringList add{QStringLiteral("add-operator"), QStringLiteral("MARIA"),
                              QStringLiteral("--password-file"), password.fileName()};

        // A company of the demo that does not operate at branch 0001.
        const QString stranger = scalar(
            db, QStringLiteral(
                    "SELECT E.CDEMPRESA FROM EMPRESA E WHERE NOT EXISTS (SELECT 1 FROM FILIAL F WHERE "
                    "F.CDFILIAL = '0001' AND F.CDEMPRESA = E.CDEMPRESA) AND NOT EXISTS (SELECT 1 FROM "
                    "EMPRCNTRFIL C WHERE C.CDFILIAL = '0001' AND C.CDEMPRESA = E.CDEMPRESA) ORDER BY 1"));
        QVERIFY2(!stranger.isEmpty() && !stranger.startsWith(u'E'), qPrintable(stranger));
        QCOMPARE(admin(add).code, 0);
        Run r = admin({QStringLiteral("grants"), QStringLiteral("MARIA")});
        QVERIFY2(r.code == 0 && r.out.isEmpty() && r.err.contains(QStringLiteral("nenhuma permissão")),
                 qPrintable(r.out + r.err));
        r = admin({QStringLiteral("grant"), QStringLiteral("MARIA"), QStringLiteral("0001"), stranger});
        QVERIFY2(r.code == 1 && r.err.contains(QStringLiteral("não opera na filial 0001")),
                 qPrintable(r.err));
        r = admin({QStringLiteral("grant"), QStringLiteral("MARIA"), QStringLiteral("9999"), stranger});
        QVERIFY2(r.code == 1 && r.err.contains(QStringLiteral("A filial 9999 não existe.")),
                 qPrintable(r.err));
        r = admin(
            {QStringLiteral("grant"), QStringLiteral("MARIA"), QStringLiteral("0001"), QStringLiteral("99")});
        QVERIFY2(r.code == 1 && r.err.contains(QStringLiteral("A empresa 99 não existe.")),
                 qPrintable(r.err));
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM PERMISSAOOPER")), QStringLiteral("0"));
        r = admin({QStringLiteral("grant-all"), QStringLiteral("MARIA")});
        QVERIFY2(r.code == 0 && r.out.contains(QStringLiteral(" novos)")), qPrintable(r.out + r.err));
        const QString granted = scalar(db, QStringLiteral("SELECT COUNT(*) FROM PERMISSAOOPER"));
        QVERIFY(granted.toInt() > 1);
        r = admin({QStringLiteral("grant-all"), QStringLiteral("MARIA")});
        QVERIFY2(r.code == 0 && r.out.contains(QStringLiteral("nada de novo")), qPrintable(r.out + r.err));
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM PERMISSAOOPER")), granted);
        r = admin({QStringLiteral("sessions")});
        QVERIFY2(r.code == 0 && r.out.isEmpty() && r.err.contains(QStringLiteral("nenhuma sessão aberta")),
                 qPrintable(r.out + r.err));

        // The same database made again without data: no establishment at all.
        r = dbinit(text, {QStringLiteral("--force"), QStringLiteral("--schema-only")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        r = admin({QStringLiteral("operators")});
        QVERIFY2(r.code == 0 && r.out.isEmpty() && r.err.contains(QStringLiteral("nenhum operador")),
                 qPrintable(r.out + r.err));
        QCOMPARE(admin(add).code, 0);
        r = admin(
            {QStringLiteral("grant"), QStringLiteral("MARIA"), QStringLiteral("0001"), QStringLiteral("01")});
        QVERIFY2(r.code == 1 && r.err.contains(QStringLiteral("A filial 0001 não existe.")),
                 qPrintable(r.err));
        r = admin({QStringLiteral("grant-all"), QStringLiteral("MARIA")});
        QVERIFY2(r.code == 1 && r.err.contains(QStringLiteral("nada foi concedido")),
                 qPrintable(r.out + r.err));
        QVERIFY2(!r.out.contains(QStringLiteral("pode usar")), qPrintable(r.out));
    }
};

QTEST_GUILESS_MAIN(tst_migrations)
#include "tst_migrations.moc"
