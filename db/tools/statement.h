#pragma once
// A statement run, or the reason it could not be, thrown as a DatabaseError
// that says what the statement was for and then the driver's own words:
// "Erro ao ler a nota fiscal: <driver>". What is UTF-8 (a literal of ours).
#include "database.h"

#include <QAnyStringView>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

namespace zavdb {

[[noreturn]] void throwStatementError(QAnyStringView what, const QSqlError& error);

// A forward-only statement prepared from sql.
QSqlQuery prepareOrThrow(QSqlDatabase& db, QAnyStringView sql, QAnyStringView what);
// Runs a prepared statement with what is bound to it.
void execOrThrow(QSqlQuery& query, QAnyStringView what);
// Prepares sql, binds values in their order, runs it.
QSqlQuery runOrThrow(QSqlDatabase& db, QAnyStringView sql, const QVariantList& values, QAnyStringView what);

} // namespace zavdb
