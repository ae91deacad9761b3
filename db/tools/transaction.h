#pragma once
// One database transaction that rolls back unless committed, also when an
// exception leaves the scope.
#include <QSqlDatabase>

namespace zavdb {

class Transaction {
public:
    explicit Transaction(QSqlDatabase& db); // throws DatabaseError when it cannot begin
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit(); // throws DatabaseError when the database refuses

private:
    QSqlDatabase& m_db;
    bool m_open = true;
};

} // namespace zavdb
