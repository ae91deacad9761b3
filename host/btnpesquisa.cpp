#include "btnpesquisa.h"
#include "checks.h"
#include "guard.h"
#include "hostservices.h"

TBtnPesquisa::TBtnPesquisa(QWidget* parent) : TButtonFlat(parent) {
    setText(QStringLiteral("..."));
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    OnClick = [this](QObject*) { Pesquisar(); };
}

void TBtnPesquisa::Pesquisar() {
    bool cancel = false;
    if (OnBeforePesq)
        OnBeforePesq(this, cancel);
}
