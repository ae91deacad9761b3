#include "cancellation/eventexport.h"

#include "accesskey.h"
#include "database.h"

#include <QDir>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace zavserver {

namespace {

const char* const kByEntrySql = "SELECT NRLANCTONF, NRACESSONFE, XMLPROCEVENTO FROM NFEEVENTO "
                                "WHERE NRLANCTONF = ? AND TPEVENTO = '110111' AND IDSITUACAO = 'R'";
// DHCANCELAMENTO is the state's legal time as text ("2026-12-09T10:00:00-03:00"):
// its first ten characters are the legal day.
const char* const kByPeriodSql =
    "SELECT E.NRLANCTONF, E.NRACESSONFE, E.XMLPROCEVENTO FROM NFEEVENTO E "
    "JOIN CANCELAMENTONFE C ON C.NRLANCTONF = E.NRLANCTONF "
    "WHERE E.TPEVENTO = '110111' AND E.IDSITUACAO = 'R' "
    "AND SUBSTR(C.DHCANCELAMENTO, 1, 10) >= ? AND SUBSTR(C.DHCANCELAMENTO, 1, 10) <= ? "
    "ORDER BY E.NRLANCTONF";

QSqlQuery prepared(QSqlDatabase& db, const char* sql) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromLatin1(sql)))
        throw zavdb::DatabaseError(
            QStringLiteral("Erro ao preparar a leitura dos eventos: %1").arg(q.lastError().text().trimmed()));
    return q;
}

void run(QSqlQuery& q) {
    if (!q.exec())
        throw zavdb::DatabaseError(
            QStringLiteral("Erro ao ler os eventos: %1").arg(q.lastError().text().trimmed()));
}

// Writes the current row's event.
void write(const QSqlQuery& q, const QString& folder, EventExport& result) {
    const QString entry = q.value(0).toString();
    const QString key = q.value(1).toString();
    QByteArray xml = q.value(2).toString().toUtf8();
    // The key names the file: 44 digits, nothing that could lead elsewhere.
    if (!zavfiscal::isValidAccessKey(key) || xml.isEmpty()) {
        result.failed.append(QStringLiteral("%1: evento sem chave de acesso válida ou sem XML").arg(entry));
        return;
    }
    if (!xml.startsWith("<?xml"))
        xml.prepend("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    const QString path = QDir(folder).filePath(EventExport::fileName(key));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size() || !file.commit()) {
        result.failed.append(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return;
    }
    result.written.append({entry, key, path});
}

} // namespace

EventExport EventExport::ofEntries(QSqlDatabase& db, const QStringList& entries, const QString& folder) {
    EventExport result;
    QSqlQuery q = prepared(db, kByEntrySql);
    for (const QString& entry : entries) {
        q.bindValue(0, entry);
        run(q);
        if (q.next())
            write(q, folder, result);
        else
            result.missing.append(entry);
        q.finish();
    }
    return result;
}

EventExport EventExport::ofPeriod(QSqlDatabase& db, QDate from, QDate to, const QString& folder) {
    EventExport result;
    QSqlQuery q = prepared(db, kByPeriodSql);
    q.bindValue(0, from.toString(Qt::ISODate));
    q.bindValue(1, to.toString(Qt::ISODate));
    run(q);
    while (q.next())
        write(q, folder, result);
    return result;
}

} // namespace zavserver
