#pragma once
// The product's schema as an ordered list of migrations, the version each
// database is at (kept in its table ZAVVERSAO), and the ERP's tables the
// product reads but never creates in a real installation.
//
// The schema folder (schema.h: the embedded copy, or ZAV_SCHEMA_DIR) holds
//   migrations.txt   the migrations in order, one a line: VERSION FOLDER TEXT
//   NNN-name/        one folder a migration: its .sql files, in name order
//   erp/             the ERP's tables, which only the demo creates
//   erp/columns.txt  the ERP's tables and columns the product reads
//
// A migration runs in one transaction, recorded in ZAVVERSAO by the same
// transaction: one that fails leaves the database at the version before.
// On PostgreSQL one installer at a time holds an advisory lock on the
// database (InstallerLock); on SQLite each migration holds the file's write
// lock and looks at the version again under it.
#include "database.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace zavdb {

struct Migration {
    int version = 0;
    QString folder; // the folder's path
    QString description;
};

// What an installer tells as it goes ("migração 2 aplicada...").
using Note = std::function<void(const QString&)>;

// The migrations of the schema folder, in order. Throws DatabaseError when
// the list is wrong: versions that are not 1, 2, 3..., a folder that is not
// there or holds no .sql file, a folder or a .sql file no migration names.
QList<Migration> migrations();
// The version this program's schema brings a database to: the last migration's.
int latestVersion();
// The files a migration runs on the dialect, in order (paths).
QStringList migrationFiles(const Migration& migration, Dialect dialect);
// The files of the ERP's tables on the dialect, in order (paths).
QStringList erpFiles(Dialect dialect);

// Where the product's tables of a database stand.
struct SchemaState {
    enum class Kind {
        None,       // no table of the product: a database of the ERP alone, or an empty one
        Recorded,   // its version recorded in ZAVVERSAO
        Unrecorded, // the first migration's tables, whole, made before versions were recorded
        Incomplete, // some of the first migration's tables or columns: an older release's
    };
    Kind kind = Kind::None;
    int version = 0;     // Recorded: the version; Unrecorded: 1
    QStringList missing; // Incomplete: the tables and columns (TABLE.COLUMN) it lacks
};
SchemaState schemaState(QSqlDatabase& db);
// The state as a sentence ("versão 1, registrada").
QString describeState(const SchemaState& state);

// The tables (TABLE) and columns (TABLE.COLUMN) of erp/columns.txt that the
// database lacks, in the file's order.
QStringList missingErpColumns(QSqlDatabase& db);

// Empty when the database's schema is at the version this program needs;
// else why not, and the command that brings it there, when there is one.
QString schemaVersionProblem(QSqlDatabase& db);
// The same on a connection of its own to the database of the text (a failure
// to open it included): what a server checks before it serves. On
// PostgreSQL it waits for an installer at work to finish first.
QString schemaVersionProblem(const QString& connectionText);
// Throws DatabaseError with the problem, when there is one.
void requireSchemaVersion(QSqlDatabase& db);

// One installer at a time on a PostgreSQL database: its advisory lock, held
// by the connection until destroyed (waiting, and saying so, while another
// installer holds it). Nothing on SQLite.
class InstallerLock {
public:
    InstallerLock(QSqlDatabase& db, const Note& note);
    ~InstallerLock();
    InstallerLock(const InstallerLock&) = delete;
    InstallerLock& operator=(const InstallerLock&) = delete;

private:
    QSqlDatabase& m_db;
    bool m_held = false;
};

// Brings the product's tables up to version `target` (0: the latest), under
// an InstallerLock the caller holds: a database made before versions were
// recorded is first recorded as version 1; then each migration it lacks runs
// in a transaction of its own, recorded there. Refuses (DatabaseError) a
// database whose product tables are incomplete, at a version this program
// does not know, or beyond the target. A migration that fails is undone whole
// and throws, naming its file and statement. The migrations applied, in order.
QList<Migration> migrate(QSqlDatabase& db, int target, const Note& note);

} // namespace zavdb
