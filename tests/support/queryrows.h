#pragma once
// A query's rows beside the rows its stored statement gives with every value
// bound: what the tests of the flag parameters compare.
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <map>

class TADOIBQuery;

namespace zavtest {

// Parameter values by name; a null QString clears the parameter (NULL).
using Params = std::map<QString, QString>;
using Rows = QList<QStringList>;

// Closes the query and sets every parameter by name, as the screen does.
void assign(TADOIBQuery& q, const Params& params);

// Every field of every row, in order.
Rows rowsOf(TADOIBQuery& q);

// Prepares the statement, binds every value by name (a null QString as NULL)
// and runs it; empty, or what went wrong.
QString execBound(QSqlQuery& q, const QString& sql, const Params& params);

} // namespace zavtest
