#pragma once
// The schema files and the tables they create.
//
// The files of db/schema are embedded in the library under :/zavdb/schema, so a
// binary works without the source tree; setting ZAV_SCHEMA_DIR to a folder makes
// every process read that folder instead (to try a schema change without
// rebuilding). A file NAME.sql serves both databases; when the dialects differ
// the file exists as NAME.sqlite.sql and NAME.pg.sql instead, and a dialect's
// own file wins over a portable one of the same name. Files run in name order.
#include "database.h"
#include <QSqlDatabase>
#include <QStringList>

namespace zavdb {

// The folder read: ZAV_SCHEMA_DIR when set, else the embedded copy.
QString schemaDirectory();

// The files that make the schema of a dialect, in the order they run (paths).
QStringList schemaFiles(Dialect dialect);

// The tables the schema creates, in creation order.
QStringList schemaTables(Dialect dialect);

// Whether the database holds any table at all.
bool hasTables(const QSqlDatabase& db);

// Drops the schema's tables (those that exist), dependants first, in one
// transaction.
void dropSchema(QSqlDatabase& db);

} // namespace zavdb
