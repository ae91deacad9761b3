#pragma once
// Fresh ERP databases for tests, on each dialect: SQLite (a temporary file) and
// PostgreSQL (a database created on the server named by ZAV_TEST_PG and dropped
// afterwards), each with the schema and the demo data.
//
// Without ZAV_TEST_PG the PostgreSQL rows are skipped, except under CI=true,
// where they fail: a CI run must never pass without the server. A server that
// is named but cannot be used always fails.
//
// A data-driven test:
//
//   zavtest::TestDatabases m_dbs;              // a member of the test class
//
//   void tst::lookup_data() {
//       zavtest::addDatabaseColumn();
//       QTest::addColumn<QString>("code");
//       for (const QString& d : zavtest::dialects())
//           zavtest::newRow(d, "known branch") << QStringLiteral("0001");
//   }
//   void tst::lookup() {
//       ZAV_DATABASE(m_dbs, db);               // QSqlDatabase db on the row's dialect
//       QFETCH(QString, code);
//       ...
//   }
#include "seed.h"

#include <QDate>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <utility>

namespace zavtest {

inline const QString kSQLite = QStringLiteral("sqlite");
inline const QString kPostgreSQL = QStringLiteral("postgresql");

QStringList dialects();   // every dialect, available or not: rows skip or fail at run time
void addDatabaseColumn(); // the "dialect" column; add it first
QTestData& newRow(const QString& dialect, const char* tag);
// The column and one row a dialect, all with the tag: the database alone.
void addDialectRows(const char* tag);
// The column, one of texts named `column`, and for every dialect one row a
// (tag, text) pair: one text tried on every database.
void addTextRows(const char* column, const QList<std::pair<const char*, QString>>& rows);

// One row of a data-driven test on the dialect, its values in the columns'
// order (a text literal is a QString, as QTest::newRow takes it).
template <class... Values>
void addDialectRow(const QString& dialect, const char* tag, const Values&... values) {
    (newRow(dialect, tag) << ... << values);
}

bool postgresRequired();  // CI=true
QString postgresServer(); // ZAV_TEST_PG

class TestDatabases {
public:
    enum class Availability { Ready, Skip, Fail };

    explicit TestDatabases(const zavdb::SeedOptions& options = {});
    ~TestDatabases();
    TestDatabases(const TestDatabases&) = delete;
    TestDatabases& operator=(const TestDatabases&) = delete;

    // Creates the dialect's database on first use. On Skip or Fail, *why says why.
    Availability ensure(const QString& dialect, QString* why);
    // Drops the dialect's database and makes a new one, for tests that write.
    Availability recreate(const QString& dialect, QString* why);

    // The text to hand to zavdb::open or dtmDBGeral::open; the Qt SQL
    // connection the fixture keeps open on it, and that connection.
    QString connectionText(const QString& dialect) const;
    QString connectionName(const QString& dialect) const;
    QSqlDatabase database(const QString& dialect) const;

    void dropAll();

private:
    struct Entry {
        QString connectionText;
        QString connectionName;
        QString pgDatabase; // PostgreSQL: the database created on the server
    };
    void createSQLite(Entry& entry);
    void createPostgres(Entry& entry);
    void fill(const Entry& entry);
    void drop(Entry& entry);

    zavdb::SeedOptions m_options;
    std::unique_ptr<QTemporaryDir> m_dir;
    QMap<QString, Entry> m_entries;
    QMap<QString, QString> m_failures; // a dialect that failed once fails again without retrying
};

// A new SQLite file with the demo's reference data and `invoices` invoices,
// for the tests of a long list: the establishment with the most authorised
// invoices, the first and last day they were issued on, and how many. Empty
// establishment and *why when the file cannot be made.
struct LongList {
    QString branch, company, stateRegistration, cityRegistration, series;
    QDate from, to;
    int authorised = 0;
};
LongList makeLongList(const QString& file, int invoices, QString* why);

// A copy of the shipped schema folder (the one the programs embed) in `dir`,
// with one more migration after the shipped ones: the test's own files
// (name -> text) under the next version. Set ZAV_SCHEMA_DIR to `folder` and
// every program takes it for its schema. Empty folder and *why on a failure.
struct ExtendedSchema {
    QString folder;
    int shippedVersion = 0; // the last shipped migration's
    int version = 0;        // the test's migration's: shippedVersion + 1
};
ExtendedSchema extendSchema(const QString& dir, const QMap<QString, QByteArray>& files,
                            const QString& description, QString* why);

// ZAV_SCHEMA_DIR set to a folder (unset when empty) for this process and the
// programs it starts, until destroyed.
class SchemaDirectory {
public:
    explicit SchemaDirectory(const QString& folder);
    ~SchemaDirectory();
    SchemaDirectory(const SchemaDirectory&) = delete;
    SchemaDirectory& operator=(const SchemaDirectory&) = delete;

private:
    QByteArray m_before;
    bool m_wasSet = false;
};

} // namespace zavtest

namespace zavtest {

// Whether a test can go on with what it needs: ready; skipped, when what it
// needs is not on this machine and the run does not require it; or failed,
// with why.
struct Readiness {
    enum class State { Ready, Skip, Fail };
    State state = State::Ready;
    QString why;

    static Readiness ready() { return {}; }
    static Readiness skip(const QString& why) { return {State::Skip, why}; }
    static Readiness fail(const QString& why) { return {State::Fail, why}; }
    // A step that says what went wrong, or nothing when it went right.
    static Readiness unless(const QString& failure) { return failure.isEmpty() ? ready() : fail(failure); }
    static Readiness of(TestDatabases::Availability availability, const QString& why);

    bool isReady() const { return state == State::Ready; }
};

// The dialect's database for a test, in *db when given: ready, or why the test
// is skipped or failed. The fresh one is made anew first, for tests that write.
Readiness useDatabase(TestDatabases& dbs, const QString& dialect, QSqlDatabase* db = nullptr);
Readiness useFreshDatabase(TestDatabases& dbs, const QString& dialect, QSqlDatabase* db = nullptr);

} // namespace zavtest

// Skips or fails the test function as the readiness says; goes on when ready.
#define ZAV_READY(expression)                                                                                \
    do {                                                                                                     \
        const zavtest::Readiness zavReady_ = (expression);                                                   \
        if (zavReady_.state == zavtest::Readiness::State::Skip)                                              \
            QSKIP(qPrintable(zavReady_.why));                                                                \
        if (zavReady_.state == zavtest::Readiness::State::Fail)                                              \
            QFAIL(qPrintable(zavReady_.why));                                                                \
    } while (false)

// Fails the test function unless the SQLite database is ready (SQLite needs
// nothing from the machine, so it is never skipped).
#define ZAV_SQLITE(fixture)                                                                                  \
    do {                                                                                                     \
        QString zavWhy_;                                                                                     \
        QVERIFY2((fixture).ensure(zavtest::kSQLite, &zavWhy_) ==                                             \
                     zavtest::TestDatabases::Availability::Ready,                                            \
                 qPrintable(zavWhy_));                                                                       \
    } while (false)

// Fetches the row's dialect and gives the test a connection to its database,
// skipping or failing the row when the dialect is not available.
#define ZAV_DATABASE(fixture, db)                                                                            \
    QFETCH(QString, dialect);                                                                                \
    QSqlDatabase db;                                                                                         \
    ZAV_READY(zavtest::useDatabase((fixture), dialect, &db))

// The same, on a database made anew for the row: for tests that write.
#define ZAV_FRESH_DATABASE(fixture, db)                                                                      \
    QFETCH(QString, dialect);                                                                                \
    QSqlDatabase db;                                                                                         \
    ZAV_READY(zavtest::useFreshDatabase((fixture), dialect, &db))
