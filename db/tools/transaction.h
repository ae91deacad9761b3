#pragma once
// One database transaction that rolls back unless committed, also when an
// exception leaves the scope. It writes: on SQLite it begins IMMEDIATE, taking
// the database's write lock at once (waiting at most the connection's busy
// timeout), so that what the transaction reads stays true until it commits; on
// PostgreSQL it is a plain BEGIN and the rows are locked as they are read.
#include "database.h"

#include <QSqlDatabase>

namespace zavdb {

class Transaction {
public:
    enum class Start { Now, Later };
    enum class Begin { Started, Busy };

    // Start::Now begins at once and throws DatabaseError when it cannot (the
    // write lock held elsewhere past the busy timeout included); Start::Later
    // leaves it to begin(), which tells a busy database apart.
    explicit Transaction(QSqlDatabase& db, Start start = Start::Now);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Busy when another connection held the write lock for longer than the
    // busy timeout (SQLite); throws DatabaseError on any other failure.
    Begin begin();
    void commit(); // throws DatabaseError when the database refuses
    void rollback();

private:
    QSqlDatabase& m_db;
    Dialect m_dialect;
    bool m_open = false;
};

} // namespace zavdb
