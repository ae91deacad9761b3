#include "transaction.h"

#include <QSqlError>
#include <QSqlQuery>

namespace zavdb {

namespace {

const char* const kBeginSqlite = "BEGIN IMMEDIATE";
const char* const kBeginPostgres = "BEGIN";
const char* const kCommit = "COMMIT";
const char* const kRollback = "ROLLBACK";

// SQLITE_BUSY and SQLITE_LOCKED, with or without their extended codes.
bool sqliteBusy(const QSqlError& error) {
    const int code = error.nativeErrorCode().toInt();
    return (code & 0xff) == 5 || (code & 0xff) == 6;
}

} // namespace

Transaction::Transaction(QSqlDatabase& db, Start start) : m_db(db), m_dialect(dialectOf(db)) {
    if (start == Start::Now && begin() == Begin::Busy)
        throw DatabaseError(
            QStringLiteral("Não foi possível iniciar a transação: o banco de dados está ocupado "
                           "por outra conexão."));
}

Transaction::~Transaction() {
    rollback();
}

Transaction::Begin Transaction::begin() {
    QSqlQuery q(m_db);
    const bool sqlite = m_dialect == Dialect::SQLite;
    if (!q.exec(QLatin1StringView(sqlite ? kBeginSqlite : kBeginPostgres))) {
        if (sqlite && sqliteBusy(q.lastError()))
            return Begin::Busy;
        throw DatabaseError(
            QStringLiteral("Não foi possível iniciar a transação: %1").arg(q.lastError().text()));
    }
    m_open = true;
    return Begin::Started;
}

void Transaction::commit() {
    QSqlQuery q(m_db);
    if (!q.exec(QLatin1StringView(kCommit)))
        throw DatabaseError(
            QStringLiteral("Não foi possível gravar a transação: %1").arg(q.lastError().text()));
    m_open = false;
}

void Transaction::rollback() {
    if (!m_open)
        return;
    m_open = false;
    QSqlQuery q(m_db);
    q.exec(QLatin1StringView(kRollback)); // a failed rollback leaves nothing committed either
}

} // namespace zavdb
