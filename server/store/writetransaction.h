#pragma once
// One write transaction that rolls back unless committed, also when an
// exception leaves the scope. On SQLite it begins IMMEDIATE, taking the
// database's write lock at once (waiting at most the connection's busy
// timeout), so that what the transaction reads stays true until it commits;
// on PostgreSQL it is a plain BEGIN and the rows are locked as they are read.
#include "database.h"

#include <QSqlDatabase>
#include <QSqlError>

namespace zavserver {

class WriteTransaction {
public:
    enum class Begin { Started, Busy };

    explicit WriteTransaction(QSqlDatabase& db);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // Busy when another connection held the write lock for longer than the
    // busy timeout (SQLite); throws zavdb::DatabaseError on any other failure.
    Begin begin();
    void commit(); // throws zavdb::DatabaseError
    void rollback();

private:
    QSqlDatabase& m_db;
    zavdb::Dialect m_dialect;
    bool m_open = false;
};

} // namespace zavserver
