// The period of the invoices to list: the checks made on leaving its boxes.
// The defaults (the branch's processing date) are filled when the screen is
// shown and when the branch box is left.
#include "Cli_Zav50000.h"
#include "services/checks.h"

void TfrmCancelaNFE::depDtInicialExit(QObject*) {
    depDtInicial->CheckValidDate();
}

void TfrmCancelaNFE::depDtFinalExit(QObject*) {
    depDtFinal->CheckValidDate();
    if (EmptyString(depDtInicial->Text()) || EmptyString(depDtFinal->Text()))
        return;
    const QDateTime end = depDtFinal->GetDate();
    const QDateTime start = depDtInicial->GetDate();
    if (start > end) {
        depDtInicial->SetFocus();
        MensErro(msgPadrao->Msg(QStringLiteral("Dt_ini_inv")), true);
    }
}
