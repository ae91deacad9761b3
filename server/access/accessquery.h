#pragma once
// Prepared statements of the access tables, failing loudly: a statement the
// database refuses throws zavdb::DatabaseError with the database's text.
#include "database.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

namespace zavserver::accessdb {

// Prepares, binds the values in order and runs the statement.
inline QSqlQuery run(const QSqlDatabase& db, const QString& sql, const QVariantList& values = {}) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        throw zavdb::DatabaseError(q.lastError().text());
    for (qsizetype i = 0; i < values.size(); ++i)
        q.bindValue(int(i), values.at(i));
    if (!q.exec())
        throw zavdb::DatabaseError(q.lastError().text());
    return q;
}

} // namespace zavserver::accessdb
