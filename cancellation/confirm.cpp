// The confirm action: the whole invoice list goes to the application server,
// which cancels the ticked invoices; the ones it did not cancel are listed,
// each with its reason, in the failure panel.
#include "Cli_Zav50000.h"
#include "checks.h"
#include "data/adoibquery.h"
#include "data/clientdataset.h"
#include "guard.h"
#include "hostservices.h"
#include "session.h"

namespace {
// The list is fetched when the focus leaves the filter panel; before that
// there is nothing to send.
const char* const kNoList = "Não há lista de notas fiscais para cancelar: preencha a seleção e saia dela "
                            "para buscar as notas.";
} // namespace

void TfrmCancelaNFE::sbtPrintClick(QObject*) {
    lsbMensagem->Clear();
    // However the action ends (a check refused, the call failed): the list
    // shows every row again and the busy animation is gone.
    BusyAnimation busy;
    const zav::Finally unfilter([this] { cdsNotaFiscal->SetFiltered(false); });
    if (!cdsNotaFiscal->Active())
        MensErro(QString::fromUtf8(kNoList), true);
    if (cdsNotaFiscal->State() == dsEdit || cdsNotaFiscal->State() == dsInsert)
        cdsNotaFiscal->Post();
    if (!qryInscrEstad->Active() ||
        EmptyString(qryInscrEstad->FieldByName(QStringLiteral("NRSERIECERTIFIC"))->AsString()))
        MensErro(msgPadrao->Msg(QStringLiteral("Certi_Deve")), true);
    cdsNotaFiscal->SetFiltered(false);
    cdsNotaFiscal->SetFiltered(true);
    if (cdsNotaFiscal->RecordCount() < 1)
        MensErro(msgPadrao->Msg(QStringLiteral("NFE_Deve")), true);
    busy.show(frmCancelaNFE, kAviServerCall);
    const QVariantList args = {cdsNotaFiscal->DataVariant(),
                               Operador(),
                               DataProc(medCdFilial->Text()).date(),
                               qryInscrEstad->FieldByName(QStringLiteral("IDTPAMBIENTENFE"))->AsString(),
                               qryInscrEstad->FieldByName(QStringLiteral("NRSERIECERTIFIC"))->AsString(),
                               qryInscrEstad->FieldByName(QStringLiteral("SGESTADO"))->AsString()};
    const QVariant answer = netCancelaEmis->AppServer(QStringLiteral("Cancela_NotaFiscal"), args);
    cdsErrosNF->SetData(answer);
    if (!cdsErrosNF->HasData())
        return;
    for (cdsErrosNF->First(); !cdsErrosNF->Eof(); cdsErrosNF->Next()) {
        const QString number = cdsErrosNF->FieldByName(QStringLiteral("NRLANCTONF"))->AsString();
        const QString text = cdsErrosNF->FieldByName(QStringLiteral("DSERRO"))->AsString();
        const QString reason =
            !EmptyString(text)
                ? text
                : msgPadrao->Msg(cdsErrosNF->FieldByName(QStringLiteral("CDERRO"))->AsString());
        lsbMensagem->AddLine(number + QStringLiteral(" - ") + reason);
    }
    if (lsbMensagem->Count() > 0)
        PanMensagem->show();
}

void TfrmCancelaNFE::BtnSairClick(QObject*) {
    lsbMensagem->Clear();
    PanMensagem->hide();
}
