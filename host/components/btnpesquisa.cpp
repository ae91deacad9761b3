#include "btnpesquisa.h"
#include "data/dataset.h"
#include "data/datasource.h"
#include "services/checks.h"
#include "services/hostservices.h"
#include "vcl/form.h"
#include <QShortcut>

TBtnPesquisa::TBtnPesquisa(QWidget* parent) : TButtonFlat(parent) {
    setText(QStringLiteral("..."));
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    OnClick = [this](QObject*) { Pesquisar(); };
}

void TBtnPesquisa::SetAssociate(QWidget* edit) {
    m_associate = edit;
    if (!edit)
        return;
    TWinControl* control = TWinControl::of(edit);
    QWidget* target = control ? control->focusTarget() : edit;
    auto* shortcut = new QShortcut(QKeySequence(Qt::Key_F4), target);
    shortcut->setObjectName(objectName() + QStringLiteral("Shortcut"));
    shortcut->setContext(Qt::WidgetShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] { Click(); });
}

void TBtnPesquisa::Pesquisar() {
    bool cancel = false;
    if (OnBeforePesq)
        OnBeforePesq(this, cancel);
    if (cancel)
        return;
    TDataSet* ds = DataSource ? DataSource->DataSet() : nullptr;
    if (!ds || !ds->Active() || ds->IsEmpty()) {
        MensErro(EmptyError, true);
    }
    LookupRequest request;
    request.owner = TForm::formOf(this);
    request.title = Title;
    request.dataSet = ds;
    const int row = Host().chooseRow(request);
    if (row < 0 || row >= ds->RecordCount())
        return;
    ds->SetRecNo(row + 1);
    if (OnAfterPesq)
        OnAfterPesq(this);
}
