// The package's entries and the unit's globals. The host loads the package,
// calls Initialize, then IniProc whenever the operator opens the screen, and
// Finalize before it unloads the package.
#include "Cli_Zav50000.h"
#include "vcl/application.h"
#include <memory>

extern "C" {
TfrmCancelaNFE* frmCancelaNFE = nullptr;
bool boIdCriado = false;
bool boToCheck = false;
TStringList* stlControle = nullptr;
}

namespace {

// A repeated initialization without a finalization in between does nothing;
// the finalization only counts back.
int initCount = 0;

const char* const kRequires[] = {"libzavhost.so", nullptr};
const PackageInfo kInfo = {"Pkg_Zav50000", "Cli_Zav50000", kRequires, 1};

} // namespace

extern "C" {

void Initialize() {
    if (initCount++ > 0)
        return;
    boToCheck = false;
    boIdCriado = false;
}

void Finalize() {
    if (initCount > 0)
        --initCount;
}

const PackageInfo* GetPackageInfoTable() {
    return &kInfo;
}

void CriaCancelaNFE() {
    if (!boIdCriado) {
        TApplication::CreateForm(frmCancelaNFE);
        boIdCriado = true;
    }
    frmCancelaNFE->SetWindowStateNormal();
    frmCancelaNFE->ShowAndActivate();
}

void IniProc() {
    CriaCancelaNFE();
}
}
