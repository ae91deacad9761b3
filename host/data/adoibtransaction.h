#pragma once
// The read transaction the host's lookups run under (dtmDBGeral.ibtGeral). The
// screens only read, and every statement sees the data committed when it
// starts, so this object only stands for it and names its database.
#include "zavhost_export.h"
#include <QObject>

class TADOIBDatabase;

class ZAVHOST_EXPORT TADOIBTransaction : public QObject {
    Q_OBJECT
public:
    explicit TADOIBTransaction(QObject* parent = nullptr);

    void SetDefaultDatabase(TADOIBDatabase* database) { m_database = database; }
    bool Active() const; // while its database is connected

private:
    TADOIBDatabase* m_database = nullptr;
};
