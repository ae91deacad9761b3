#include "transaction.h"

#include "database.h"

#include <QSqlError>

namespace zavdb {

Transaction::Transaction(QSqlDatabase& db) : m_db(db) {
    if (!m_db.transaction())
        throw DatabaseError(
            QStringLiteral("Não foi possível iniciar a transação: %1").arg(m_db.lastError().text()));
}

Transaction::~Transaction() {
    if (m_open)
        m_db.rollback();
}

void Transaction::commit() {
    if (!m_db.commit())
        throw DatabaseError(
            QStringLiteral("Não foi possível gravar a transação: %1").arg(m_db.lastError().text()));
    m_open = false;
}

} // namespace zavdb
