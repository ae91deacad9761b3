// The invoice list: fetched from the application server when the focus
// leaves the filter panel, closed when it enters the panel again.
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "data/datasource.h"
#include "services/checks.h"
#include "services/hostservices.h"

void TfrmCancelaNFE::panFiltroExit(QObject*) {
    sbtPrint->SetEnabled(true);
    checkRetrievalFilter();
    const QVariantList args = retrievalArguments();
    // The animation goes away however the call ends.
    BusyAnimation busy;
    busy.show(frmCancelaNFE, kAviServerCall);
    const QVariant answer = netCancelaEmis->AppServer(QStringLiteral("GetNotaFiscal"), args);
    cdsNotaFiscal->SetData(answer);
    Host().showStatus(ScreenText::listed(cdsNotaFiscal->RecordCount()));
}

void TfrmCancelaNFE::checkRetrievalFilter() {
    Vd_Filial(true, false);
    Vd_Empresa(true);
    Vd_Inscricao(true);
    Vd_Serie(true);
    switch (cbbDestRem->ItemIndex()) {
    case 0:
        Vd_Cliente();
        break;
    case 1:
        Vd_Fornecedor();
        break;
    case 2:
        Vd_Filial(true, true);
        break;
    default:
        break;
    }
    if (EmptyString(depDtInicial->Text())) {
        depDtInicial->SetFocus();
        MensErro(msgPadrao->Msg(QStringLiteral("DtIni_Inf")), true);
    }
    if (EmptyString(depDtFinal->Text())) {
        depDtFinal->SetFocus();
        MensErro(msgPadrao->Msg(QStringLiteral("DtFin_Inf")), true);
    }
}

QVariantList TfrmCancelaNFE::retrievalArguments() {
    // Arguments 7 to 9: the counterparty, the receiving branch, the kind.
    QString counterparty, receivingBranch, kind;
    switch (cbbDestRem->ItemIndex()) {
    case 0:
        kind = QStringLiteral("C");
        if (EmptyString(medCliente->Text()))
            CdClientePesq.clear();
        else
            counterparty = medCliente->Text();
        break;
    case 1:
        kind = QStringLiteral("F");
        if (!EmptyString(medFornecedor->Text()))
            counterparty = medFornecedor->Text();
        break;
    case 2:
        kind = QStringLiteral("L");
        counterparty = medFilial->Text();
        if (!EmptyString(medFilial->Text()))
            receivingBranch = medFilial->Text();
        break;
    default:
        break;
    }
    return {medCdFilial->Text(),
            medCdEmpresa->Text(),
            edtCdInscEsta->Text(),
            edtInscMuni->Text(),
            edtCdSerie->Text(),
            medNrNotaFiscal->Text(),
            counterparty,
            receivingBranch,
            kind,
            depDtInicial->GetDate().date(),
            depDtFinal->GetDate().date(),
            QString()};
}

void TfrmCancelaNFE::panFiltroEnter(QObject*) {
    cdsNotaFiscal->Close();
    sbtProcurar->SetEnabled(false);
    sbtPrint->SetEnabled(false);
}

void TfrmCancelaNFE::dtsNotaFiscalStateChange(QObject*) {
    const bool rows = cdsNotaFiscal->Active() && !cdsNotaFiscal->IsEmpty();
    sbtProcurar->SetEnabled(rows);
    sbtMotivo->SetEnabled(rows);
}
