#pragma once
// The host's data module: the one connection to the ERP database that every
// screen's lookups use (adcGeral), with the database and read transaction
// objects the screens name (dtbGeral, ibtGeral).
#include "adoibdatabase.h"
#include "adoibtransaction.h"
#include "zavhost_export.h"
#include <QObject>
#include <QSqlDatabase>

class ZAVHOST_EXPORT dtmDBGeral : public QObject {
    Q_OBJECT
public:
    static dtmDBGeral& instance();

    // Opens the host connection from a connection text (a SQLite path,
    // "sqlite:PATH", a postgresql:// URI or a libpq key=value string), closing
    // the one open before. Throws EDatabaseError.
    static void open(const QString& connectionText);
    static void close();
    static bool isOpen();

    // The name of the host connection: "adcGeral".
    static const char* const ConnectionName;

    QSqlDatabase adcGeral() const; // an invalid handle while closed
    TADOIBDatabase* dtbGeral() { return &m_dtbGeral; }
    TADOIBTransaction* ibtGeral() { return &m_ibtGeral; }

private:
    dtmDBGeral();

    TADOIBDatabase m_dtbGeral;
    TADOIBTransaction m_ibtGeral;
};
