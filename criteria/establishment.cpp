// Branch, company, registrations and series of the filter panel.
#include "Cli_Zav50000.h"
#include "checks.h"
#include "session.h"

void TfrmCancelaNFE::medCdFilialExit(QObject*) {
    // The period defaults: an empty date takes the branch's processing date.
    if (EmptyString(depDtInicial->Text()))
        depDtInicial->SetDate(DataProc(medCdFilial->Text()));
    if (EmptyString(depDtFinal->Text()))
        depDtFinal->SetDate(DataProc(medCdFilial->Text()));
}
