// The confirm action: the whole invoice list goes to the application server,
// which cancels the ticked invoices; the ones it did not cancel are listed,
// each with its reason, in the failure panel.
#include "Cli_Zav50000.h"
#include "data/adoibquery.h"
#include "data/clientdataset.h"
#include "data/datapacket.h"
#include "data/field.h"
#include "services/checks.h"
#include "services/guard.h"
#include "services/hostservices.h"
#include "services/session.h"
#include <QHash>

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
    const ConfirmOutcome outcome = confirmOutcome();
    Host().showStatus(ScreenText::confirmed(outcome.cancelled, outcome.notCancelled, outcome.pending,
                                            outcome.rows, outcome.ticked));
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

TfrmCancelaNFE::ConfirmOutcome TfrmCancelaNFE::confirmOutcome() {
    // The failure rows by invoice: what became of it ("C" cancelled with a
    // note, "P" pending, anything else not cancelled; a server that does not
    // say is taken to have cancelled none of them).
    // The situation is read from the packet: the list binds only the three
    // fields it shows.
    QHash<QString, QChar> failed;
    if (cdsErrosNF->HasData()) {
        const DataPacket packet = cdsErrosNF->Data();
        const int entry = packet.indexOf(QStringLiteral("NRLANCTONF"));
        const int situation = packet.indexOf(QStringLiteral("IDSITUACAO"));
        for (int r = 0; r < packet.rowCount(); ++r) {
            const QString s = situation < 0 ? QString() : packet.value(r, situation).toString();
            failed.insert(packet.value(r, entry).toString(), s.isEmpty() ? QLatin1Char('N') : s.at(0));
        }
    }
    // The ticked rows (the list is narrowed to them): each cancelled one is
    // delivered, no longer work that closing the screen would lose.
    ConfirmOutcome o;
    o.ticked = cdsNotaFiscal->RecordCount();
    const TField* entry = cdsNotaFiscal->FieldByName(QStringLiteral("NRLANCTONF"));
    for (int row = 0; row < o.ticked; ++row) {
        const QChar s = failed.value(QString::fromUtf8(cdsNotaFiscal->StoredText(row, *entry)), u'C');
        if (s == u'C') {
            ++o.cancelled;
            cdsNotaFiscal->Delivered(row);
        } else if (s == u'P') {
            ++o.pending;
        } else {
            ++o.notCancelled;
        }
    }
    cdsNotaFiscal->SetFiltered(false);
    o.rows = cdsNotaFiscal->RecordCount();
    return o;
}

void TfrmCancelaNFE::BtnSairClick(QObject*) {
    lsbMensagem->Clear();
    PanMensagem->hide();
}
