#pragma once
// The host database as the screens name it (dtmDBGeral.dtbGeral): which
// connection it is and whether it is connected.
#include "zavhost_export.h"
#include <QObject>
#include <QString>

class ZAVHOST_EXPORT TADOIBDatabase : public QObject {
    Q_OBJECT
public:
    explicit TADOIBDatabase(QObject* parent = nullptr);

    QString ConnectionName() const { return m_connectionName; }
    void SetConnectionName(const QString& name) { m_connectionName = name; }
    // The database opened, without its password ("SQLite /var/zav.db").
    bool Connected() const;

private:
    QString m_connectionName;
};
