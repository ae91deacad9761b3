// Creation, first showing, keyboard shortcuts and closing of the screen.
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "services/hostservices.h"
#include "services/session.h"
#include <algorithm>
#include <array>

namespace {
// The host's modules that work on the billing branch (FiliProcFat).
constexpr std::array kBillingModules{14, 15, 16};
bool isBillingModule(int module) {
    return std::find(kBillingModules.begin(), kBillingModules.end(), module) != kBillingModules.end();
}
} // namespace

TfrmCancelaNFE::~TfrmCancelaNFE() = default;

void TfrmCancelaNFE::FormCreate(QObject* sender) {
    TfrmDadosRel::FormCreate(sender);
    netCancelaEmis->SetConnected(true);
    // A fresh list for each instance; the one of the instance before goes with it.
    static std::unique_ptr<TStringList> held;
    held = std::make_unique<TStringList>();
    stlControle = held.get();
    cbbDestRem->SetItemIndex(3);
    nbkCliente->SetPageIndex(3);
}

void TfrmCancelaNFE::FormShow(QObject*) {
    lblFilial->setEnabled(!ModuFili());
    btpFilial->setEnabled(!ModuFili());
    medCdFilial->SetEnabled(!ModuFili());
    // A branch fixed by the session is the session's; otherwise the billing
    // modules work on the billing branch (the module is asked only then).
    medCdFilial->SetText(!ModuFili() && isBillingModule(ModuloAtiv()) ? FiliProcFat() : FiliProc());
    depDtInicial->SetDate(DataProc(medCdFilial->Text()));
    depDtFinal->SetDate(DataProc(medCdFilial->Text()));
    medCdFilialExit(medCdFilial);
}

void TfrmCancelaNFE::FormClose(QObject* sender, TCloseAction& action) {
    netCancelaEmis->SetConnected(false);
    boIdCriado = false;
    TfrmDadosRel::FormClose(sender, action);
}

void TfrmCancelaNFE::FormKeyDown(QObject* sender, TKey& key, TShiftState shift) {
    if (sbtPrint->Enabled())
        TfrmDadosRel::FormKeyDown(sender, key, shift);
}

void TfrmCancelaNFE::F121Click(QObject*) {
    if (medCdFilial->Enabled())
        medCdFilial->SetFocus();
    else
        medCdEmpresa->SetFocus();
}

void TfrmCancelaNFE::sbtProcurarClick(QObject*) {
    if (sbtProcurar->Enabled())
        Procura(this, cdsNotaFiscal);
}
