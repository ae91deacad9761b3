#include "statement.h"

namespace zavdb {

void throwStatementError(QAnyStringView what, const QSqlError& error) {
    const QString driver = error.text().trimmed();
    throw DatabaseError(driver.isEmpty() ? what.toString()
                                         : QStringLiteral("%1: %2").arg(what.toString(), driver));
}

QSqlQuery prepareOrThrow(QSqlDatabase& db, QAnyStringView sql, QAnyStringView what) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql.toString()))
        throwStatementError(what, q.lastError());
    return q;
}

void execOrThrow(QSqlQuery& query, QAnyStringView what) {
    if (!query.exec())
        throwStatementError(what, query.lastError());
}

QSqlQuery runOrThrow(QSqlDatabase& db, QAnyStringView sql, const QVariantList& values, QAnyStringView what) {
    QSqlQuery q = prepareOrThrow(db, sql, what);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    execOrThrow(q, what);
    return q;
}

} // namespace zavdb
