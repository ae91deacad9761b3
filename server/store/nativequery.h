#pragma once
// Runs one SELECT on the native connection under a Qt SQL connection
// (QSqlDriver::handle: sqlite3* for QSQLITE, PGconn* for QPSQL) and hands each
// row over as UTF-8 text, straight from the database's own buffers.
//
// Why not QSqlQuery: for a list of 100,000 invoices it builds a QVariant and a
// UTF-16 QString for every cell, which costs several times the query itself;
// the rows go out as UTF-8 anyway. The connection is still the thread's Qt SQL
// connection, opened by zavdb::open with its settings.
#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QUtf8StringView>
#include <functional>
#include <vector>

namespace zavserver {

// A value for a named placeholder of the statement (":P_CDFILIAL").
struct Binding {
    QByteArray name;  // with its colon
    QByteArray value; // UTF-8 text; the database converts it to the column's type
};

class ResultRow {
public:
    virtual ~ResultRow() = default;
    virtual bool isNull(int column) const = 0;
    virtual QUtf8StringView text(int column) const = 0;
    // The column's text in value, or false when it is NULL: one look at the
    // cell where isNull() and text() take two.
    virtual bool textOrNull(int column, QUtf8StringView& value) const = 0;
    // The column as a number; false when its text is no number.
    virtual bool number(int column, double& value) const = 0;
};

class NativeQuery {
public:
    using RowHandler = std::function<void(const ResultRow& row)>;

    // Runs sql with every placeholder bound and calls onRow for each row;
    // throws zavdb::DatabaseError with the database's message on failure.
    // The statement's placeholders must be exactly the names bound.
    static void select(QSqlDatabase& db, const QString& sql, const std::vector<Binding>& bindings,
                       const RowHandler& onRow);
};

} // namespace zavserver
