#pragma once
// The parts of a connection text (see database.h for the accepted forms).
#include "database.h"
#include <QString>

namespace zavdb {

struct ConnectionParts {
    Dialect dialect = Dialect::SQLite;
    QString path;     // SQLite: the database file
    QString host;     // PostgreSQL: host name or address (empty: the driver's default)
    int port = -1;    // PostgreSQL: -1 for the default port
    QString database; // PostgreSQL: database name
    QString user;
    QString password;
    QString options; // PostgreSQL: further libpq keywords, "key=value;key=value"
};

// Splits a connection text; throws DatabaseError naming what is wrong.
ConnectionParts parseConnectionText(const QString& text);

// The same server and credentials with another database: a new text in the form
// of the given one (URI or key=value). PostgreSQL texts only.
QString withDatabase(const QString& text, const QString& database);

// The text without its password, for messages and logs.
QString describe(const ConnectionParts& parts);

} // namespace zavdb
