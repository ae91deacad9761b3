#include "netconnection.h"
#include "guard.h"

TNetConnection::TNetConnection(QObject* parent) : QObject(parent) {}

void TNetConnection::SetConnected(bool connected) {
    if (connected == m_connected)
        return;
    if (connected && BeforeConnect)
        BeforeConnect(this);
    m_connected = connected;
}
