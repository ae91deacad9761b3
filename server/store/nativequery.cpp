#include "store/nativequery.h"

#include "database.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QVariant>

#include <charconv>
#include <libpq-fe.h>
#include <memory>
#include <sqlite3.h>

namespace zavserver {

namespace {

bool parseNumber(const char* text, qsizetype size, double& value) {
    const char* end = text + size;
    const auto [ptr, error] = std::from_chars(text, end, value); // locale-independent
    return error == std::errc() && ptr == end;
}

const QByteArray* valueOf(const std::vector<Binding>& bindings, const QByteArray& name) {
    for (const Binding& b : bindings)
        if (b.name == name)
            return &b.value;
    return nullptr;
}

// The names of the placeholders of sql, in order of appearance.
QList<QByteArray> placeholders(const QString& sql) {
    static const QRegularExpression name(QStringLiteral("(?<!:):[A-Za-z_][A-Za-z0-9_]*")); // not a :: cast
    QList<QByteArray> names;
    for (auto it = name.globalMatch(sql); it.hasNext();)
        names.append(it.next().captured(0).toLatin1());
    return names;
}

// ----- SQLite

[[noreturn]] void sqliteFailure(sqlite3* db) {
    throw zavdb::DatabaseError(QString::fromUtf8(sqlite3_errmsg(db)));
}

class SqliteRow final : public ResultRow {
public:
    explicit SqliteRow(sqlite3_stmt* statement) : m_statement(statement) {}
    bool isNull(int column) const override { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
    QUtf8StringView text(int column) const override {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        return data ? QUtf8StringView(data, sqlite3_column_bytes(m_statement, column)) : QUtf8StringView();
    }
    bool textOrNull(int column, QUtf8StringView& value) const override {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        if (data == nullptr) {
            // No text is a NULL, or a conversion the database had no memory
            // for: the latter is a failure, never an empty cell.
            if (sqlite3_column_type(m_statement, column) != SQLITE_NULL)
                sqliteFailure(sqlite3_db_handle(m_statement));
            return false;
        }
        value = QUtf8StringView(data, sqlite3_column_bytes(m_statement, column));
        return true;
    }
    bool number(int column, double& value) const override {
        switch (sqlite3_column_type(m_statement, column)) {
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            value = sqlite3_column_double(m_statement, column);
            return true;
        default: {
            const QUtf8StringView t = text(column);
            return parseNumber(t.data(), t.size(), value);
        }
        }
    }

private:
    sqlite3_stmt* m_statement;
};

struct SqliteFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

void selectSqlite(sqlite3* db, const QString& sql, const std::vector<Binding>& bindings,
                  const NativeQuery::RowHandler& onRow) {
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, text.constData(), int(text.size()), &raw, nullptr) != SQLITE_OK)
        sqliteFailure(db);
    const std::unique_ptr<sqlite3_stmt, SqliteFinalizer> statement(raw);

    const int count = sqlite3_bind_parameter_count(raw);
    for (int i = 1; i <= count; ++i) {
        const char* name = sqlite3_bind_parameter_name(raw, i);
        const QByteArray* value = name ? valueOf(bindings, QByteArray(name)) : nullptr;
        if (!value)
            throw zavdb::DatabaseError(QStringLiteral("Parâmetro sem valor na consulta: %1")
                                           .arg(QString::fromLatin1(name ? name : "?")));
        if (sqlite3_bind_text(raw, i, value->constData(), int(value->size()), SQLITE_TRANSIENT) != SQLITE_OK)
            sqliteFailure(db);
    }

    const SqliteRow row(raw);
    for (;;) {
        const int step = sqlite3_step(raw);
        if (step == SQLITE_DONE)
            return;
        if (step != SQLITE_ROW)
            sqliteFailure(db);
        onRow(row);
    }
}

// ----- PostgreSQL

// A row of single-row mode: each result holds one row.
class PgRow final : public ResultRow {
public:
    explicit PgRow(const PGresult* result) : m_result(result) {}
    bool isNull(int column) const override { return PQgetisnull(m_result, m_row, column) != 0; }
    QUtf8StringView text(int column) const override {
        return QUtf8StringView(PQgetvalue(m_result, m_row, column), PQgetlength(m_result, m_row, column));
    }
    bool textOrNull(int column, QUtf8StringView& value) const override {
        if (isNull(column))
            return false;
        value = text(column);
        return true;
    }
    bool number(int column, double& value) const override {
        return parseNumber(PQgetvalue(m_result, m_row, column), PQgetlength(m_result, m_row, column), value);
    }

private:
    const PGresult* m_result;
    static constexpr int m_row = 0;
};

struct PgClear {
    void operator()(PGresult* result) const { PQclear(result); }
};

void selectPostgres(PGconn* connection, const QString& sql, const std::vector<Binding>& bindings,
                    const NativeQuery::RowHandler& onRow) {
    // libpq numbers its parameters: each distinct name becomes $1, $2...
    QList<QByteArray> names;
    QString numbered = sql;
    for (const QByteArray& name : placeholders(sql))
        if (!names.contains(name))
            names.append(name);
    // Longest names first, so that :P_A never replaces the start of :P_AB.
    QList<QByteArray> byLength = names;
    std::sort(byLength.begin(), byLength.end(),
              [](const QByteArray& a, const QByteArray& b) { return a.size() > b.size(); });
    for (const QByteArray& name : byLength)
        numbered.replace(QString::fromLatin1(name), QStringLiteral("$%1").arg(names.indexOf(name) + 1));

    std::vector<const char*> values;
    std::vector<int> lengths;
    for (const QByteArray& name : names) {
        const QByteArray* value = valueOf(bindings, name);
        if (!value)
            throw zavdb::DatabaseError(
                QStringLiteral("Parâmetro sem valor na consulta: %1").arg(QString::fromLatin1(name)));
        values.push_back(value->constData());
        lengths.push_back(int(value->size()));
    }

    // Row by row: the rows are written out while the server still produces
    // the next ones, and the whole result never sits in memory at once.
    const QByteArray text = numbered.toUtf8();
    if (!PQsendQueryParams(connection, text.constData(), int(values.size()), nullptr, values.data(),
                           lengths.data(), nullptr, 0) ||
        !PQsetSingleRowMode(connection))
        throw zavdb::DatabaseError(QString::fromUtf8(PQerrorMessage(connection)).trimmed());

    // Every result is read, also after a failure, so that the connection is
    // free for the next statement.
    const auto drain = [connection] {
        while (PGresult* rest = PQgetResult(connection))
            PQclear(rest);
    };
    QString failure;
    try {
        while (PGresult* raw = PQgetResult(connection)) {
            const std::unique_ptr<PGresult, PgClear> result(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE) {
                const PgRow row(raw);
                onRow(row);
            } else if (status != PGRES_TUPLES_OK && failure.isEmpty()) {
                failure = QString::fromUtf8(PQresultErrorMessage(raw)).trimmed();
            }
        }
    } catch (...) {
        drain();
        throw;
    }
    if (!failure.isEmpty())
        throw zavdb::DatabaseError(failure);
}

} // namespace

void NativeQuery::select(QSqlDatabase& db, const QString& sql, const std::vector<Binding>& bindings,
                         const RowHandler& onRow) {
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    const char* type = handle.typeName();
    if (type && qstrcmp(type, "sqlite3*") == 0) {
        sqlite3* native = *static_cast<sqlite3* const*>(handle.data());
        if (native) {
            selectSqlite(native, sql, bindings, onRow);
            return;
        }
    } else if (type && (qstrcmp(type, "PGconn*") == 0 || qstrcmp(type, "pg_conn*") == 0)) {
        // QPSQL names the type by libpq's struct tag, pg_conn*.
        PGconn* native = *static_cast<PGconn* const*>(handle.data());
        if (native) {
            selectPostgres(native, sql, bindings, onRow);
            return;
        }
    }
    throw zavdb::DatabaseError(
        QStringLiteral("A conexão com o banco de dados não está aberta (driver %1).").arg(db.driverName()));
}

} // namespace zavserver
