#include "testdb.h"

#include "connectiontext.h"
#include "database.h"
#include "migrations.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace zavtest {
namespace {

// Unique across the processes ctest runs side by side and across fixtures of
// one process; only letters, digits and underscores, so it can be written into
// CREATE DATABASE (which takes no parameters).
QString uniqueSuffix() {
    static int counter = 0;
    return QStringLiteral("%1_%2_%3")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter)
        .arg(QUuid::createUuid().toString(QUuid::Id128).left(8));
}

QString adminConnectionName() {
    return QStringLiteral("zavtest-admin-") + uniqueSuffix();
}

// Runs one statement on the server's own database through a short-lived connection.
void onServer(const QString& statement) {
    const QString name = adminConnectionName();
    QString failure;
    {
        QSqlDatabase admin = zavdb::open(postgresServer(), name);
        QSqlQuery q(admin);
        if (!q.exec(statement))
            failure = q.lastError().text();
    }
    QSqlDatabase::removeDatabase(name);
    if (!failure.isEmpty())
        throw zavdb::DatabaseError(QStringLiteral("%1: %2").arg(statement, failure));
}

} // namespace

QStringList dialects() {
    return {kSQLite, kPostgreSQL};
}

void addDatabaseColumn() {
    QTest::addColumn<QString>("dialect");
}

QTestData& newRow(const QString& dialect, const char* tag) {
    return QTest::addRow("%s: %s", qPrintable(dialect), tag) << dialect;
}

void addDialectRows(const char* tag) {
    addDatabaseColumn();
    for (const QString& d : dialects())
        newRow(d, tag);
}

void addTextRows(const char* column, const QList<std::pair<const char*, QString>>& rows) {
    addDatabaseColumn();
    QTest::addColumn<QString>(column);
    for (const QString& d : dialects()) {
        for (const auto& [tag, text] : rows)
            newRow(d, tag) << text;
    }
}

bool postgresRequired() {
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

QString postgresServer() {
    return qEnvironmentVariable("ZAV_TEST_PG");
}

TestDatabases::TestDatabases(const zavdb::SeedOptions& options) : m_options(options) {}

TestDatabases::~TestDatabases() {
    dropAll();
}

TestDatabases::Availability TestDatabases::ensure(const QString& dialect, QString* why) {
    if (m_entries.contains(dialect))
        return Availability::Ready;
    if (m_failures.contains(dialect)) {
        *why = m_failures.value(dialect);
        return Availability::Fail;
    }
    if (dialect == kPostgreSQL && postgresServer().isEmpty()) {
        *why = QStringLiteral("ZAV_TEST_PG is not set: no PostgreSQL server for this row");
        return postgresRequired() ? Availability::Fail : Availability::Skip;
    }
    if (dialect != kSQLite && dialect != kPostgreSQL) {
        *why = QStringLiteral("unknown dialect \"%1\"").arg(dialect);
        return Availability::Fail;
    }
    Entry entry;
    try {
        if (dialect == kSQLite)
            createSQLite(entry);
        else
            createPostgres(entry);
        fill(entry);
    } catch (const zavdb::DatabaseError& e) {
        drop(entry);
        *why = QStringLiteral("%1 test database: %2").arg(dialect, e.text());
        m_failures.insert(dialect, *why);
        return Availability::Fail;
    }
    m_entries.insert(dialect, entry);
    return Availability::Ready;
}

TestDatabases::Availability TestDatabases::recreate(const QString& dialect, QString* why) {
    auto it = m_entries.find(dialect);
    if (it != m_entries.end()) {
        drop(*it);
        m_entries.erase(it);
    }
    return ensure(dialect, why);
}

QString TestDatabases::connectionText(const QString& dialect) const {
    return m_entries.value(dialect).connectionText;
}

QString TestDatabases::connectionName(const QString& dialect) const {
    return m_entries.value(dialect).connectionName;
}

QSqlDatabase TestDatabases::database(const QString& dialect) const {
    return QSqlDatabase::database(connectionName(dialect), false);
}

void TestDatabases::dropAll() {
    for (Entry& entry : m_entries)
        drop(entry);
    m_entries.clear();
    m_dir.reset();
}

void TestDatabases::createSQLite(Entry& entry) {
    if (!m_dir) {
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid())
            throw zavdb::DatabaseError(QStringLiteral("no temporary folder: %1").arg(m_dir->errorString()));
    }
    const QString suffix = uniqueSuffix();
    entry.connectionText =
        QStringLiteral("sqlite:") + m_dir->filePath(QStringLiteral("zav_%1.db").arg(suffix));
    entry.connectionName = QStringLiteral("zavtest-sqlite-") + suffix;
}

void TestDatabases::createPostgres(Entry& entry) {
    const QString suffix = uniqueSuffix();
    const QString database = QStringLiteral("zavtest_") + suffix.toLower();
    onServer(QStringLiteral("CREATE DATABASE %1").arg(database));
    entry.pgDatabase = database;
    entry.connectionText = zavdb::withDatabase(postgresServer(), database);
    entry.connectionName = QStringLiteral("zavtest-pg-") + suffix;
}

void TestDatabases::fill(const Entry& entry) {
    QSqlDatabase db = zavdb::open(entry.connectionText, entry.connectionName);
    zavdb::createSchema(db);
    zavdb::seedReference(db, m_options);
    zavdb::seedInvoices(db, m_options);
}

void TestDatabases::drop(Entry& entry) {
    if (!entry.connectionName.isEmpty() && QSqlDatabase::contains(entry.connectionName)) {
        QSqlDatabase::database(entry.connectionName, false).close();
        QSqlDatabase::removeDatabase(entry.connectionName);
    }
    if (!entry.pgDatabase.isEmpty()) {
        try {
            // FORCE: a connection a test left open must not keep the database alive.
            onServer(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(entry.pgDatabase));
        } catch (const zavdb::DatabaseError& e) {
            qWarning("could not drop the test database %s: %s", qPrintable(entry.pgDatabase),
                     qPrintable(e.text()));
        }
        entry.pgDatabase.clear();
    }
}

Readiness Readiness::of(TestDatabases::Availability availability, const QString& why) {
    switch (availability) {
    case TestDatabases::Availability::Ready:
        return ready();
    case TestDatabases::Availability::Skip:
        return skip(why);
    case TestDatabases::Availability::Fail:
        break;
    }
    return fail(why);
}

namespace {

Readiness use(const TestDatabases& dbs, const QString& dialect, TestDatabases::Availability availability,
              const QString& why, QSqlDatabase* db) {
    if (availability == TestDatabases::Availability::Ready && db)
        *db = dbs.database(dialect);
    return Readiness::of(availability, why);
}

} // namespace

Readiness useDatabase(TestDatabases& dbs, const QString& dialect, QSqlDatabase* db) {
    QString why;
    const auto availability = dbs.ensure(dialect, &why);
    return use(dbs, dialect, availability, why, db);
}

Readiness useFreshDatabase(TestDatabases& dbs, const QString& dialect, QSqlDatabase* db) {
    QString why;
    const auto availability = dbs.recreate(dialect, &why);
    return use(dbs, dialect, availability, why, db);
}

LongList makeLongList(const QString& file, int invoices, QString* why) {
    const QString name = QStringLiteral("zavtest-long-list");
    LongList list;
    {
        QSqlDatabase db = zavdb::open(file, name);
        zavdb::createSchema(db);
        zavdb::seedReference(db, {});
        zavdb::SeedOptions options;
        options.invoices = invoices;
        zavdb::seedInvoices(db, options);
        QSqlQuery q(db);
        const QString day = zavdb::dayOf(zavdb::Dialect::SQLite, u"DTEMISSAO");
        if (q.exec(
                QStringLiteral(
                    "SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE, COUNT(*), MIN(%1), MAX(%1) "
                    "FROM NOTAFISCAL WHERE IDSITUACAONFE = 'A' GROUP BY CDFILIAL, CDEMPRESA, CDINSCESTA, "
                    "CDINSCMUNI, CDSERIE ORDER BY COUNT(*) DESC")
                    .arg(day)) &&
            q.next()) {
            list = {q.value(0).toString(),
                    q.value(1).toString(),
                    q.value(2).toString(),
                    q.value(3).toString(),
                    q.value(4).toString(),
                    QDate::fromString(q.value(6).toString(), Qt::ISODate),
                    QDate::fromString(q.value(7).toString(), Qt::ISODate),
                    q.value(5).toInt()};
        } else {
            *why = QStringLiteral("no authorised invoice in %1: %2").arg(file, q.lastError().text());
        }
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return list;
}

namespace {

const char* const kEmbeddedSchema = ":/zavdb/schema";

// Copies the embedded schema folder, file by file; empty or why not.
QString copyEmbeddedSchema(const QString& to) {
    QDirIterator it(QLatin1String(kEmbeddedSchema), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        const QString target = to + from.mid(int(qstrlen(kEmbeddedSchema)));
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(from, target))
            return QStringLiteral("could not copy %1 to %2").arg(from, target);
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
    }
    return {};
}

} // namespace

ExtendedSchema extendSchema(const QString& dir, const QMap<QString, QByteArray>& files,
                            const QString& description, QString* why) {
    ExtendedSchema schema;
    const QString folder = QDir(dir).filePath(QStringLiteral("schema"));
    if (const QString failure = copyEmbeddedSchema(folder); !failure.isEmpty()) {
        *why = failure;
        return {};
    }
    try {
        const SchemaDirectory shipped(folder);
        schema.shippedVersion = zavdb::latestVersion();
    } catch (const zavdb::DatabaseError& e) {
        *why = e.text();
        return {};
    }
    schema.version = schema.shippedVersion + 1;
    const QString own = QStringLiteral("999-test-migration");
    QDir(folder).mkdir(own);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(QDir(folder).filePath(own + u'/' + it.key()));
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size()) {
            *why = QStringLiteral("could not write %1").arg(file.fileName());
            return {};
        }
    }
    QFile manifest(QDir(folder).filePath(QStringLiteral("migrations.txt")));
    if (!manifest.open(QIODevice::Append) ||
        manifest.write(QStringLiteral("%1 %2 %3\n").arg(schema.version).arg(own, description).toUtf8()) < 0) {
        *why = QStringLiteral("could not append to %1").arg(manifest.fileName());
        return {};
    }
    schema.folder = folder;
    return schema;
}

SchemaDirectory::SchemaDirectory(const QString& folder)
    : m_before(qgetenv("ZAV_SCHEMA_DIR")), m_wasSet(qEnvironmentVariableIsSet("ZAV_SCHEMA_DIR")) {
    if (folder.isEmpty())
        qunsetenv("ZAV_SCHEMA_DIR");
    else
        qputenv("ZAV_SCHEMA_DIR", folder.toLocal8Bit());
}

SchemaDirectory::~SchemaDirectory() {
    if (m_wasSet)
        qputenv("ZAV_SCHEMA_DIR", m_before);
    else
        qunsetenv("ZAV_SCHEMA_DIR");
}

} // namespace zavtest
