#pragma once
// The connection of a screen to its application server. The host and port are
// set by the BeforeConnect handler before every connection attempt.
#include "vcl/wincontrol.h"
#include "zavhost_export.h"
#include <QObject>

class ZAVHOST_EXPORT TNetConnection : public QObject {
    Q_OBJECT
public:
    explicit TNetConnection(QObject* parent = nullptr);

    QString ServerName;
    QString Host;
    int Port = 0;
    // False: a failed connection attempt raises nothing; the connection stays
    // closed and the next call tries again.
    bool ThrowException = false;
    TNotifyEvent BeforeConnect;

    bool Connected() const { return m_connected; }
    void SetConnected(bool connected);

private:
    bool m_connected = false;
};
