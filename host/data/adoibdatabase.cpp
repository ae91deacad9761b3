#include "adoibdatabase.h"

#include <QSqlDatabase>

TADOIBDatabase::TADOIBDatabase(QObject* parent) : QObject(parent) {}

bool TADOIBDatabase::Connected() const {
    return !m_connectionName.isEmpty() && QSqlDatabase::contains(m_connectionName) &&
           QSqlDatabase::database(m_connectionName, false).isOpen();
}
