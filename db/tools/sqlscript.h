#pragma once
// A schema file holds several statements; the Qt SQL drivers run one at a time.
#include <QStringList>

namespace zavdb {

// Splits a script at the semicolons that end statements: not those inside
// quotes, comments, PostgreSQL dollar-quoted bodies or the BEGIN ... END body
// of a trigger. Statements that hold only comments and blanks are left out.
QStringList splitStatements(const QString& script);

} // namespace zavdb
