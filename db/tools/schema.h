#pragma once
// The schema files and the tables they create.
//
// The files of db/schema are embedded in the library under :/zavdb/schema, so a
// binary works without the source tree; setting ZAV_SCHEMA_DIR to a folder makes
// every process read that folder instead (to try a schema change without
// rebuilding, or a test's own migration after the shipped ones). Its layout
// (the migrations, the ERP's tables) is migrations.h's. In each of its folders
// a file NAME.sql serves both databases; when the dialects differ the file
// exists as NAME.sqlite.sql and NAME.pg.sql instead, and a dialect's own file
// wins over a portable one of the same name. Files run in name order.
#include "database.h"
#include <QSqlDatabase>
#include <QStringList>

namespace zavdb {

// The table that records the migrations a database has had (migrations.h).
inline constexpr char kVersionTable[] = "ZAVVERSAO";

// The folder read: ZAV_SCHEMA_DIR when set, else the embedded copy.
QString schemaDirectory();

// The files of one folder that make the dialect's part of it, in the order
// they run (paths); throws DatabaseError when the folder has none, or lacks
// a dialect's file.
QStringList sqlFiles(const QString& folder, Dialect dialect);

// Every file of the demo's schema on a dialect, in the order they run: the
// ERP's tables, then every migration.
QStringList schemaFiles(Dialect dialect);

// The tables the files create (CREATE TABLE), in creation order.
QStringList tablesCreatedBy(const QStringList& files);

// The tables the demo's schema creates, in creation order, the version table
// last.
QStringList schemaTables(Dialect dialect);

// A schema file's text; throws DatabaseError when it cannot be read.
QString readFile(const QString& path);

// Runs every statement of the files, in order, in the caller's transaction;
// throws DatabaseError naming the file, the statement and the database's
// answer at the first that fails.
void runScripts(QSqlDatabase& db, const QStringList& files);

// Whether the database holds any table at all.
bool hasTables(const QSqlDatabase& db);

// Drops the schema's tables (those that exist), dependants first, in one
// transaction.
void dropSchema(QSqlDatabase& db);

} // namespace zavdb
