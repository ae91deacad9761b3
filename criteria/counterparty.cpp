// The counterparty selector: the kind of counterparty (customer, supplier,
// receiving branch or all) and, for the first three, one counterparty.
#include "Cli_Zav50000.h"
#include "data/adoibquery.h"
#include "services/checks.h"

namespace {
QString field(TADOIBQuery* q, const char* name) {
    return q->FieldByName(QLatin1String(name))->AsString();
}
} // namespace

void TfrmCancelaNFE::cbbDestRemChange(QObject*) {
    medCliente->SetText(QString());
    medFornecedor->SetText(QString());
    medFilial->SetText(QString());
    medCliente->SetEditMask(PictPess(QStringLiteral("I")));
    medFornecedor->SetEditMask(PictPess(QStringLiteral("I")));
    nbkCliente->SetPageIndex(cbbDestRem->ItemIndex());
}

void TfrmCancelaNFE::medClienteEnter(QObject*) {
    // The mask for typing replaces the person's mask without emptying the name.
    TNotifyEvent change = std::move(medCliente->OnChange);
    medCliente->OnChange = nullptr;
    medCliente->SetEditMask(PictPess(QStringLiteral("I")));
    medCliente->OnChange = std::move(change);
}

void TfrmCancelaNFE::medFornecedorEnter(QObject*) {
    TNotifyEvent change = std::move(medFornecedor->OnChange);
    medFornecedor->OnChange = nullptr;
    medFornecedor->SetEditMask(PictPess(QStringLiteral("I")));
    medFornecedor->OnChange = std::move(change);
}

void TfrmCancelaNFE::medClienteChange(QObject*) {
    edtNmCliente->SetText(QString());
}
void TfrmCancelaNFE::medFornecedorChange(QObject*) {
    edtNmFornecedor->SetText(QString());
}
void TfrmCancelaNFE::medFilialChange(QObject*) {
    Edit1->SetText(QString());
}

void TfrmCancelaNFE::medClienteExit(QObject*) {
    Vd_Cliente();
}
void TfrmCancelaNFE::medFornecedorExit(QObject*) {
    Vd_Fornecedor();
}
void TfrmCancelaNFE::medFilialExit(QObject*) {
    Vd_Filial(false, true);
}
void TfrmCancelaNFE::nbkClienteExit(QObject*) {
    Vd_Filial(true, true);
}

void TfrmCancelaNFE::Vd_Cliente() {
    if (EmptyString(medCliente->Text())) {
        edtNmCliente->SetText(QString());
        return;
    }
    underFailurePath(medCliente, [&] {
        QString registration = medCliente->Text();
        Ajusta_Inscricao(registration);
        medCliente->SetText(registration);
        auto run = [&](bool anyCustomer) {
            qryCliente->Close();
            qryCliente->ParamByName(QStringLiteral("P_NRINSJURCLIE"))->SetAsString(medCliente->Text());
            qryCliente->ParamByName(QStringLiteral("P_TODOS"))->SetAsString(QStringLiteral("N"));
            qryCliente->ParamByName(QStringLiteral("P_CDCLIENTE"))->SetAsString(CdClientePesq);
            qryCliente->ParamByName(QStringLiteral("P_TODOSCLIE"))
                ->SetAsString(anyCustomer ? QStringLiteral("T") : QStringLiteral("N"));
            qryCliente->Open();
        };
        // The customer remembered from the last pick is preferred when it has
        // this registration number; otherwise any customer that has it is
        // accepted, the first in the query's order. A number typed by hand is
        // never refused for an existing customer.
        run(false);
        if (qryCliente->IsEmpty())
            run(true);
        if (qryCliente->IsEmpty())
            MensErro(msgPadrao->Msg(QStringLiteral("Clie_Cad")), true);
        medCliente->SetEditMask(PictPess(field(qryCliente, "IDTPIJURCLIE")));
        edtNmCliente->SetText(field(qryCliente, "NMRAZSOCCLIE"));
    });
}

void TfrmCancelaNFE::Vd_Fornecedor() {
    if (EmptyString(medFornecedor->Text())) {
        edtNmFornecedor->SetText(QString());
        return;
    }
    underFailurePath(medFornecedor, [&] {
        QString registration = medFornecedor->Text();
        Ajusta_Inscricao(registration);
        medFornecedor->SetText(registration);
        qryFornecedor->Close();
        qryFornecedor->ParamByName(QStringLiteral("P_NRINSJURFORN"))->SetAsString(medFornecedor->Text());
        qryFornecedor->ParamByName(QStringLiteral("P_TODOS"))->SetAsString(QString());
        qryFornecedor->Open();
        if (qryFornecedor->IsEmpty())
            MensErro(msgPadrao->Msg(QStringLiteral("Forn_Cad")), true);
        medFornecedor->SetEditMask(PictPess(field(qryFornecedor, "IDTPIJURFORN")));
        edtNmFornecedor->SetText(field(qryFornecedor, "NMRAZSOCFORN"));
    });
}

void TfrmCancelaNFE::btpClienteBeforePesq(QObject*, bool&) {
    qryCliente->Close();
    qryCliente->ParamByName(QStringLiteral("P_NRINSJURCLIE"))->SetAsString(QString());
    qryCliente->ParamByName(QStringLiteral("P_TODOS"))->SetAsString(QStringLiteral("T"));
    qryCliente->ParamByName(QStringLiteral("P_CDCLIENTE"))->SetAsString(QString());
    qryCliente->ParamByName(QStringLiteral("P_TODOSCLIE"))->SetAsString(QStringLiteral("T"));
    qryCliente->Open();
}

void TfrmCancelaNFE::btpFornecedorBeforePesq(QObject*, bool&) {
    qryFornecedor->Close();
    qryFornecedor->ParamByName(QStringLiteral("P_NRINSJURFORN"))->SetAsString(QString());
    qryFornecedor->ParamByName(QStringLiteral("P_TODOS"))->SetAsString(QStringLiteral("T"));
    qryFornecedor->Open();
}

void TfrmCancelaNFE::BtnPesquisa1BeforePesq(QObject*, bool&) {
    listEveryBranch();
}

void TfrmCancelaNFE::btpClienteAfterPesq(QObject*) {
    medCliente->SetText(field(qryCliente, "NRINSJURCLIE"));
    edtNmCliente->SetText(field(qryCliente, "NMRAZSOCCLIE"));
    CdClientePesq = field(qryCliente, "CDCLIENTE");
}

void TfrmCancelaNFE::btpFornecedorAfterPesq(QObject*) {
    medFornecedor->SetText(field(qryFornecedor, "NRINSJURFORN"));
    edtNmFornecedor->SetText(field(qryFornecedor, "NMRAZSOCFORN"));
}

void TfrmCancelaNFE::BtnPesquisa1AfterPesq(QObject*) {
    medFilial->SetText(field(qryFilial, "CDFILIAL"));
    Edit1->SetText(field(qryFilial, "NMFILIAL"));
}

void TfrmCancelaNFE::qryClienteCDCLIENTEGetText(TField&, QString& text, bool) {
    const QString registration = field(qryCliente, "NRINSJURCLIE");
    text = EmptyString(registration)
               ? QString()
               : FormatMaskText(PictPess(field(qryCliente, "IDTPIJURCLIE")), registration);
}

void TfrmCancelaNFE::qryFornecedorNRINSJURFORNGetText(TField&, QString& text, bool) {
    const QString registration = field(qryFornecedor, "NRINSJURFORN");
    text = EmptyString(registration)
               ? QString()
               : FormatMaskText(PictPess(field(qryFornecedor, "IDTPIJURFORN")), registration);
}
