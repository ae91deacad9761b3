#include "adoibtransaction.h"

#include "adoibdatabase.h"

TADOIBTransaction::TADOIBTransaction(QObject* parent) : QObject(parent) {}

bool TADOIBTransaction::Active() const {
    return m_database && m_database->Connected();
}
