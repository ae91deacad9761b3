#pragma once
// The registered cancellations as files to hand to the recipient of the
// NF-e: each procEventoNFe the journal keeps (NFEEVENTO, registered) written
// as "<chNFe>-procEventoNFe.xml", byte for byte as the authority registered
// it (an XML declaration put before it when it has none). Chosen by invoice
// entry, or by the day of the cancellation (the state's legal day, as
// CANCELAMENTONFE keeps it). Throws zavdb::DatabaseError.
#include <QDate>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace zavserver {

struct EventExport {
    struct File {
        QString entry;     // NRLANCTONF
        QString accessKey; // chNFe
        QString path;
    };
    QList<File> written;
    QStringList missing; // entries asked for without a registered cancellation
    QStringList failed;  // files that could not be written, with why

    static QString fileName(const QString& accessKey) {
        return accessKey + QStringLiteral("-procEventoNFe.xml");
    }

    static EventExport ofEntries(QSqlDatabase& db, const QStringList& entries, const QString& folder);
    static EventExport ofPeriod(QSqlDatabase& db, QDate from, QDate to, const QString& folder);
};

} // namespace zavserver
