#pragma once
// The host's data module: the one connection to the ERP database that every
// screen's lookups use (adcGeral), with the database and read transaction
// objects the screens name (dtbGeral, ibtGeral).
#include "adoibdatabase.h"
#include "adoibtransaction.h"
#include "edatabaseerror.h"
#include "zavhost_export.h"
#include <QObject>
#include <QSqlDatabase>

// The workstation's database could not be opened: text() says, in
// Portuguese, what is wrong and what to do; detail() keeps the words of the
// connection text's reader, the driver or the database server as they came
// (often in English), for whoever fixes it.
class ZAVHOST_EXPORT EDatabaseOpenError : public EDatabaseError {
public:
    EDatabaseOpenError(const QString& text, const QString& detail);
    QString detail() const { return m_detail; }

private:
    QString m_detail;
};

class ZAVHOST_EXPORT dtmDBGeral : public QObject {
    Q_OBJECT
public:
    static dtmDBGeral& instance();

    // Opens the host connection from a connection text (a SQLite path,
    // "sqlite:PATH", a postgresql:// URI or a libpq key=value string), closing
    // the one open before. The connection is open only once the ERP's
    // reference tables can be read through it: a SQLite file that is not
    // there (it is never created here), that is no database or not the ERP's,
    // a server that is down or refuses the user, all throw
    // EDatabaseOpenError and leave the module closed.
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
