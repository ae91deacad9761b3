#include "cancellation/eventexport.h"

#include "accesskey.h"
#include "database.h"
#include "statement.h"
#include "vocabulary.h"

#include <QDir>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace zavserver {

namespace {

const char* const kByEntrySql = "SELECT NRLANCTONF, NRACESSONFE, XMLPROCEVENTO FROM NFEEVENTO "
                                "WHERE NRLANCTONF = ? AND TPEVENTO = ? AND IDSITUACAO = 'R'";
// DHCANCELAMENTO is the state's legal time as text ("2026-12-09T10:00:00-03:00"),
// which sorts as its legal day and time: the period is from its first day to
// before the day after its last.
const char* const kByPeriodSql = "SELECT E.NRLANCTONF, E.NRACESSONFE, E.XMLPROCEVENTO FROM NFEEVENTO E "
                                 "JOIN CANCELAMENTONFE C ON C.NRLANCTONF = E.NRLANCTONF "
                                 "WHERE E.TPEVENTO = ? AND E.IDSITUACAO = 'R' "
                                 "AND C.DHCANCELAMENTO >= ? AND C.DHCANCELAMENTO < ? "
                                 "ORDER BY E.NRLANCTONF";

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
    QSqlQuery q = zavdb::prepareOrThrow(db, kByEntrySql, "Erro ao preparar a leitura dos eventos");
    for (const QString& entry : entries) {
        q.bindValue(0, entry);
        q.bindValue(1, QString::fromLatin1(zavnfe::kCancellationEventType));
        zavdb::execOrThrow(q, "Erro ao ler os eventos");
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
    QSqlQuery q = zavdb::prepareOrThrow(db, kByPeriodSql, "Erro ao preparar a leitura dos eventos");
    q.bindValue(0, QString::fromLatin1(zavnfe::kCancellationEventType));
    q.bindValue(1, from.toString(Qt::ISODate));
    q.bindValue(2, to.addDays(1).toString(Qt::ISODate));
    zavdb::execOrThrow(q, "Erro ao ler os eventos");
    while (q.next())
        write(q, folder, result);
    return result;
}

} // namespace zavserver
