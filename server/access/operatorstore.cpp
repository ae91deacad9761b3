#include "access/operatorstore.h"
#include "access/accessquery.h"
#include "access/credentials.h"
#include "access/sessionstore.h"

#include "transaction.h"

namespace zavserver {

namespace {

OperatorRecord recordOf(const QSqlQuery& q) {
    return {q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
            q.value(3).toString() == u"S"};
}

const QString kSelect = QStringLiteral("SELECT CDOPERADOR, NMOPERADOR, DSHASHSENHA, IDATIVO FROM OPERADOR");

} // namespace

void OperatorStore::create(const QString& code, const QString& name, const QString& password) {
    const QString c = credentials::operatorCode(code);
    const QString n = name.trimmed().isEmpty() ? c : name.trimmed();
    if (n.size() > 60)
        throw AccessError(QStringLiteral("O nome do operador deve ter no máximo 60 caracteres."));
    credentials::checkNewPassword(password);
    const QString hash = credentials::hashPassword(password);
    zavdb::Transaction t(m_db);
    if (find(c))
        throw AccessError(QStringLiteral("O operador %1 já existe.").arg(c));
    accessdb::run(m_db,
                  QStringLiteral("INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR, DSHASHSENHA, IDATIVO) "
                                 "VALUES (?, ?, ?, 'S')"),
                  {c, n, hash});
    t.commit();
}

void OperatorStore::setPassword(const QString& code, const QString& password, qint64 now) {
    const QString c = existing(code).code;
    credentials::checkNewPassword(password);
    const QString hash = credentials::hashPassword(password);
    zavdb::Transaction t(m_db);
    accessdb::run(m_db, QStringLiteral("UPDATE OPERADOR SET DSHASHSENHA = ? WHERE CDOPERADOR = ?"),
                  {hash, c});
    SessionStore(m_db, {}).revokeOperator(c, now);
    t.commit();
}

void OperatorStore::setActive(const QString& code, bool active, qint64 now) {
    const QString c = existing(code).code;
    zavdb::Transaction t(m_db);
    accessdb::run(m_db, QStringLiteral("UPDATE OPERADOR SET IDATIVO = ? WHERE CDOPERADOR = ?"),
                  {active ? QStringLiteral("S") : QStringLiteral("N"), c});
    if (!active)
        SessionStore(m_db, {}).revokeOperator(c, now);
    t.commit();
}

std::optional<OperatorRecord> OperatorStore::find(const QString& code) const {
    QSqlQuery q = accessdb::run(m_db, kSelect + QStringLiteral(" WHERE CDOPERADOR = ?"), {code});
    if (!q.next())
        return std::nullopt;
    return recordOf(q);
}

QList<OperatorRecord> OperatorStore::all() const {
    QSqlQuery q = accessdb::run(m_db, kSelect + QStringLiteral(" ORDER BY CDOPERADOR"));
    QList<OperatorRecord> out;
    while (q.next())
        out.append(recordOf(q));
    return out;
}

OperatorRecord OperatorStore::existing(const QString& code) const {
    const QString c = credentials::operatorCode(code);
    std::optional<OperatorRecord> r = find(c);
    if (!r)
        throw AccessError(QStringLiteral("O operador %1 não existe.").arg(c));
    return *r;
}

void OperatorStore::grant(const Grant& g) {
    const QString c = existing(g.operatorCode).code;
    if (g.program.isEmpty() || g.program.size() > 10)
        throw AccessError(QStringLiteral("Programa inválido: %1.").arg(g.program));
    // The foreign keys say the same, but SQLite checks them only when asked.
    if (!accessdb::run(m_db, QStringLiteral("SELECT 1 FROM FILIAL WHERE CDFILIAL = ?"), {g.branch}).next())
        throw AccessError(QStringLiteral("A filial %1 não existe.").arg(g.branch));
    if (!accessdb::run(m_db, QStringLiteral("SELECT 1 FROM EMPRESA WHERE CDEMPRESA = ?"), {g.company}).next())
        throw AccessError(QStringLiteral("A empresa %1 não existe.").arg(g.company));
    zavdb::Transaction t(m_db);
    if (!mayUse(c, g.program, g.branch, g.company))
        accessdb::run(
            m_db,
            QStringLiteral("INSERT INTO PERMISSAOOPER (CDOPERADOR, CDPROGRAMA, CDFILIAL, CDEMPRESA) "
                           "VALUES (?, ?, ?, ?)"),
            {c, g.program, g.branch, g.company});
    t.commit();
}

int OperatorStore::grantEverywhere(const QString& code, const QString& program) {
    const QString c = existing(code).code;
    QSqlQuery q =
        accessdb::run(m_db, QStringLiteral("SELECT CDFILIAL, CDEMPRESA FROM FILIAL UNION "
                                           "SELECT CDFILIAL, CDEMPRESA FROM EMPRCNTRFIL ORDER BY 1, 2"));
    QList<Grant> all;
    while (q.next())
        all.append({c, program, q.value(0).toString(), q.value(1).toString()});
    q.finish();
    int added = 0;
    zavdb::Transaction t(m_db);
    for (const Grant& g : all) {
        if (mayUse(c, program, g.branch, g.company))
            continue;
        accessdb::run(
            m_db,
            QStringLiteral("INSERT INTO PERMISSAOOPER (CDOPERADOR, CDPROGRAMA, CDFILIAL, CDEMPRESA) "
                           "VALUES (?, ?, ?, ?)"),
            {c, program, g.branch, g.company});
        ++added;
    }
    t.commit();
    return added;
}

bool OperatorStore::revoke(const Grant& g) {
    const QString c = credentials::operatorCode(g.operatorCode);
    QSqlQuery q =
        accessdb::run(m_db,
                      QStringLiteral("DELETE FROM PERMISSAOOPER WHERE CDOPERADOR = ? AND CDPROGRAMA = ? "
                                     "AND CDFILIAL = ? AND CDEMPRESA = ?"),
                      {c, g.program, g.branch, g.company});
    return q.numRowsAffected() > 0;
}

QList<Grant> OperatorStore::grants(const QString& code) const {
    const QString base =
        QStringLiteral("SELECT CDOPERADOR, CDPROGRAMA, CDFILIAL, CDEMPRESA FROM PERMISSAOOPER");
    const QString order = QStringLiteral(" ORDER BY CDOPERADOR, CDPROGRAMA, CDFILIAL, CDEMPRESA");
    QSqlQuery q = code.isEmpty() ? accessdb::run(m_db, base + order)
                                 : accessdb::run(m_db, base + QStringLiteral(" WHERE CDOPERADOR = ?") + order,
                                                 {credentials::operatorCode(code)});
    QList<Grant> out;
    while (q.next())
        out.append(
            {q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString()});
    return out;
}

QString OperatorStore::screenRefusal(const QString& code, const QString& branch,
                                     const QString& company) const {
    if (!code.isEmpty() && mayUse(code, QLatin1String(kProgram), branch, company))
        return {};
    return QStringLiteral("O operador %1 não tem permissão para usar o ZAV50000 na filial %2, empresa %3.")
        .arg(code, branch, company);
}

bool OperatorStore::mayUse(const QString& code, const QString& program, const QString& branch,
                           const QString& company) const {
    return accessdb::run(m_db,
                         QStringLiteral("SELECT 1 FROM PERMISSAOOPER WHERE CDOPERADOR = ? AND CDPROGRAMA = ? "
                                        "AND CDFILIAL = ? AND CDEMPRESA = ?"),
                         {code, program, branch, company})
        .next();
}

} // namespace zavserver
