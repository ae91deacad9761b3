#pragma once
// Inserts many rows into one table quickly: several rows per statement, each
// statement prepared once, every value bound. Run it inside a transaction.
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>
#include <memory>

namespace zavdb {

class BatchInsert {
public:
    // table and columns are identifiers of the schema, never input.
    BatchInsert(QSqlDatabase& db, const QString& table, const QStringList& columns,
                int rowsPerStatement = 100);
    ~BatchInsert();
    BatchInsert(const BatchInsert&) = delete;
    BatchInsert& operator=(const BatchInsert&) = delete;

    // One row, its values in the order of the columns. Throws DatabaseError.
    void add(const QVariantList& row);
    // Writes the rows still waiting; call it before committing.
    void flush();

    qsizetype written() const { return m_written; }
    // Rows added and not yet written.
    qsizetype pending() const { return m_pending.size() / m_columns.size(); }

private:
    QString statementFor(int rows) const;
    void exec(QSqlQuery& q, int rows);

    QSqlDatabase& m_db;
    QString m_table;
    QStringList m_columns;
    int m_rowsPerStatement;
    std::unique_ptr<QSqlQuery> m_full;
    QVariantList m_pending;
    qsizetype m_written = 0;
};

// A NULL text value for a nullable column.
QVariant nullText();

} // namespace zavdb
