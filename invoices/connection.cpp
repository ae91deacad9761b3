// The connection to the application server.
#include "Cli_Zav50000.h"
#include "services/session.h"

void TfrmCancelaNFE::netCancelaEmisBeforeConnect(QObject*) {
    netCancelaEmis->Host = WebURL();
    netCancelaEmis->Port = WebPort();
}
