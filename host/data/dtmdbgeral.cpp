#include "dtmdbgeral.h"

#include "connectiontext.h"
#include "database.h"
#include "edatabaseerror.h"

const char* const dtmDBGeral::ConnectionName = "adcGeral";

dtmDBGeral::dtmDBGeral() {
    setObjectName(QStringLiteral("dtmDBGeral"));
    m_dtbGeral.setObjectName(QStringLiteral("dtbGeral"));
    m_ibtGeral.setObjectName(QStringLiteral("ibtGeral"));
    m_dtbGeral.SetConnectionName(QLatin1String(ConnectionName));
    m_ibtGeral.SetDefaultDatabase(&m_dtbGeral);
}

dtmDBGeral& dtmDBGeral::instance() {
    static dtmDBGeral module;
    return module;
}

void dtmDBGeral::open(const QString& connectionText) {
    close();
    try {
        zavdb::open(connectionText, QLatin1String(ConnectionName));
    } catch (const zavdb::DatabaseError& e) {
        throw EDatabaseError(e.text());
    }
}

void dtmDBGeral::close() {
    if (!QSqlDatabase::contains(QLatin1String(ConnectionName)))
        return;
    QSqlDatabase::database(QLatin1String(ConnectionName), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(ConnectionName));
}

bool dtmDBGeral::isOpen() {
    return instance().m_dtbGeral.Connected();
}

QSqlDatabase dtmDBGeral::adcGeral() const {
    if (!QSqlDatabase::contains(QLatin1String(ConnectionName)))
        return {};
    return QSqlDatabase::database(QLatin1String(ConnectionName), false);
}
