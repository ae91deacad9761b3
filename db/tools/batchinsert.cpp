#include "batchinsert.h"

#include "database.h"

#include <QSqlError>

namespace zavdb {

QVariant nullText() {
    return QVariant(QMetaType::fromType<QString>());
}

BatchInsert::BatchInsert(QSqlDatabase& db, const QString& table, const QStringList& columns,
                         int rowsPerStatement)
    : m_db(db), m_table(table), m_columns(columns), m_rowsPerStatement(qMax(1, rowsPerStatement)) {}

BatchInsert::~BatchInsert() = default;

QString BatchInsert::statementFor(int rows) const {
    QStringList marks;
    marks.fill(QStringLiteral("?"), m_columns.size());
    const QString oneRow = QLatin1Char('(') + marks.join(QStringLiteral(", ")) + QLatin1Char(')');
    QStringList values;
    values.fill(oneRow, rows);
    return QStringLiteral("INSERT INTO %1 (%2) VALUES %3")
        .arg(m_table, m_columns.join(QStringLiteral(", ")), values.join(QStringLiteral(", ")));
}

void BatchInsert::exec(QSqlQuery& q, int rows) {
    for (qsizetype i = 0; i < qsizetype(rows) * m_columns.size(); ++i)
        q.bindValue(int(i), m_pending.at(i));
    if (!q.exec())
        throw DatabaseError(QStringLiteral("Erro ao gravar em %1: %2").arg(m_table, q.lastError().text()));
    m_written += rows;
}

void BatchInsert::add(const QVariantList& row) {
    if (row.size() != m_columns.size())
        throw DatabaseError(
            QStringLiteral("Linha de %1 com %2 valores para %3 colunas.")
                .arg(m_table, QString::number(row.size()), QString::number(m_columns.size())));
    m_pending.append(row);
    if (m_pending.size() < qsizetype(m_rowsPerStatement) * m_columns.size())
        return;
    if (!m_full) {
        m_full = std::make_unique<QSqlQuery>(m_db);
        if (!m_full->prepare(statementFor(m_rowsPerStatement)))
            throw DatabaseError(QStringLiteral("Erro ao preparar a gravação em %1: %2")
                                    .arg(m_table, m_full->lastError().text()));
    }
    exec(*m_full, m_rowsPerStatement);
    m_pending.clear();
}

void BatchInsert::flush() {
    if (m_pending.isEmpty())
        return;
    const int rows = int(m_pending.size() / m_columns.size());
    QSqlQuery q(m_db);
    if (!q.prepare(statementFor(rows)))
        throw DatabaseError(
            QStringLiteral("Erro ao preparar a gravação em %1: %2").arg(m_table, q.lastError().text()));
    exec(q, rows);
    m_pending.clear();
}

} // namespace zavdb
