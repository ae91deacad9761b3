// Branch, company, registrations and series of the filter panel: the four
// validators, the exit, change and key handlers of their boxes and the
// handlers of their lookup buttons.
#include "Cli_Zav50000.h"
#include "data/adoibquery.h"
#include "services/checks.h"
#include "services/session.h"

void TfrmCancelaNFE::Vd_Filial(bool Mandatory, bool CounterpartyBranch) {
    TMaskEdit* box = CounterpartyBranch ? medFilial : medCdFilial;
    const bool empty = EmptyString(medCdFilial->Text());
    underFailurePath(box, [&] {
        if (empty) {
            if (Mandatory && !CounterpartyBranch)
                MensErro(msgPadrao->Msg(QStringLiteral("Filial_Inf")), true);
            return;
        }
        if (Mandatory && ActiveControl() != static_cast<TWinControl*>(medCdFilial))
            return;
        box->SetText(Ajusta(box->Text(), 4));
        qryFilial->Close();
        qryFilial->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(box->Text());
        qryFilial->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QString());
        qryFilial->Open();
        if (qryFilial->IsEmpty()) {
            if (!CounterpartyBranch || !EmptyString(medFilial->Text()))
                MensErro(msgPadrao->Msg(QStringLiteral("Filial_Cad")), true);
            return;
        }
        (CounterpartyBranch ? Edit1 : edtNmFilial)
            ->SetText(qryFilial->FieldByName(QStringLiteral("NMFILIAL"))->AsString());
    });
}

void TfrmCancelaNFE::Vd_Empresa(bool Mandatory) {
    const bool empty = EmptyString(medCdEmpresa->Text());
    underFailurePath(medCdEmpresa, [&] {
        if (empty) {
            if (Mandatory)
                MensErro(msgPadrao->Msg(QStringLiteral("Empresa_Inf")), true);
            return;
        }
        if (Mandatory && ActiveControl() != static_cast<TWinControl*>(medCdEmpresa))
            return;
        medCdEmpresa->SetText(Ajusta(medCdEmpresa->Text(), 2));
        qryEmpresa->Close();
        qryEmpresa->ParamByName(QStringLiteral("P_CDEMPRESA"))->SetAsString(medCdEmpresa->Text());
        qryEmpresa->ParamByName(QStringLiteral("P_TCDEMPRESA"))->SetAsString(QString());
        qryEmpresa->Open();
        if (qryEmpresa->IsEmpty())
            MensErro(msgPadrao->Msg(QStringLiteral("Empresa_Cad")), true);
        edtNmEmpresa->SetText(qryEmpresa->FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString());

        qryValidEmpr->Close();
        qryValidEmpr->ParamByName(QStringLiteral("P_CDEMPRESA"))->SetAsString(medCdEmpresa->Text());
        qryValidEmpr->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(medCdFilial->Text());
        qryValidEmpr->Open();
        if (qryValidEmpr->IsEmpty())
            MensErro(msgPadrao->Msg(QStringLiteral("Empresa_Relac")), true);
        qryValidEmpr->First();
        // The state registration first: when it changes, its change handler
        // empties the series and the municipal registration, which is then
        // filled again.
        edtCdInscEsta->SetText(qryValidEmpr->FieldByName(QStringLiteral("CDINSCESTA"))->AsString());
        edtInscMuni->SetText(qryValidEmpr->FieldByName(QStringLiteral("CDINSCMUNI"))->AsString());
    });
}

void TfrmCancelaNFE::Vd_Inscricao(bool Mandatory) {
    const bool empty = EmptyString(edtCdInscEsta->Text());
    underFailurePath(edtCdInscEsta, [&] {
        if (empty) {
            if (Mandatory)
                MensErro(msgPadrao->Msg(QStringLiteral("InscEsta_Inf")), true);
            return;
        }
        qryInscrEstad->Close();
        qryInscrEstad->ParamByName(QStringLiteral("P_EMPRESA"))->SetAsString(medCdEmpresa->Text());
        qryInscrEstad->ParamByName(QStringLiteral("P_INSCESTA"))->SetAsString(edtCdInscEsta->Text());
        qryInscrEstad->ParamByName(QStringLiteral("P_TINSCESTA"))->SetAsString(QString());
        qryInscrEstad->Open();
        // The query stays on the registration in force: the cancellation
        // reads its certificate, environment and state from this row.
        if (qryInscrEstad->IsEmpty())
            MensErro(msgPadrao->Msg(QStringLiteral("InscEsta_Cad")), true);
    });
}

void TfrmCancelaNFE::Vd_Serie(bool Mandatory) {
    const bool empty = EmptyString(edtCdSerie->Text());
    underFailurePath(edtCdSerie, [&] {
        if (empty) {
            if (Mandatory)
                MensErro(msgPadrao->Msg(QStringLiteral("Serie_Inf")), true);
            return;
        }
        if (Mandatory && ActiveControl() != static_cast<TWinControl*>(edtCdSerie))
            return;
        qrySerieNF->Close();
        qrySerieNF->ParamByName(QStringLiteral("P_CDSERIE"))->SetAsString(edtCdSerie->Text());
        qrySerieNF->ParamByName(QStringLiteral("P_EMPRESA"))->SetAsString(medCdEmpresa->Text());
        qrySerieNF->ParamByName(QStringLiteral("P_INSCESTA"))->SetAsString(edtCdInscEsta->Text());
        qrySerieNF->ParamByName(QStringLiteral("P_CDINSCMUNI"))->SetAsString(edtInscMuni->Text());
        qrySerieNF->ParamByName(QStringLiteral("P_TCDSERIE"))->SetAsString(QString());
        qrySerieNF->Open();
        if (qrySerieNF->IsEmpty())
            MensErro(msgPadrao->Msg(QStringLiteral("Serie_Cad")), true);
    });
}

void TfrmCancelaNFE::medCdFilialExit(QObject*) {
    Vd_Filial(false, false);
    // The period defaults: an empty date takes the branch's processing date.
    if (EmptyString(depDtInicial->Text()))
        depDtInicial->SetDate(DataProc(medCdFilial->Text()));
    if (EmptyString(depDtFinal->Text()))
        depDtFinal->SetDate(DataProc(medCdFilial->Text()));
}

void TfrmCancelaNFE::medCdEmpresaExit(QObject*) {
    Vd_Empresa(false);
}

void TfrmCancelaNFE::edtCdInscEstaExit(QObject* sender) {
    Vd_Inscricao(false);
    depDtFinalExit(sender);
}

void TfrmCancelaNFE::edtCdSerieExit(QObject*) {
    Vd_Serie(false);
}

void TfrmCancelaNFE::medCdFilialChange(QObject*) {
    edtNmFilial->SetText(QString());
    medCdEmpresa->SetText(QString());
    edtNmEmpresa->SetText(QString());
}

void TfrmCancelaNFE::medCdEmpresaChange(QObject*) {
    edtNmEmpresa->SetText(QString());
    edtCdInscEsta->SetText(QString());
}

void TfrmCancelaNFE::edtCdInscEstaChange(QObject*) {
    edtCdSerie->SetText(QString());
    edtInscMuni->SetText(QString());
}

void TfrmCancelaNFE::edtCdSerieKeyPress(QObject*, QChar& key) {
    if (key >= QLatin1Char('a') && key <= QLatin1Char('z'))
        key = QChar(key.unicode() - 'a' + 'A');
}

void TfrmCancelaNFE::listEveryBranch() {
    qryFilial->Close();
    qryFilial->ParamByName(QStringLiteral("P_CDFILIAL"))->SetAsString(QString());
    qryFilial->ParamByName(QStringLiteral("P_TCDFILIAL"))->SetAsString(QStringLiteral("T"));
    qryFilial->Open();
}

void TfrmCancelaNFE::btpFilialBeforePesq(QObject*, bool&) {
    listEveryBranch();
}

void TfrmCancelaNFE::btpEmpresaBeforePesq(QObject*, bool&) {
    qryEmpresa->Close();
    qryEmpresa->ParamByName(QStringLiteral("P_CDEMPRESA"))->Clear();
    qryEmpresa->ParamByName(QStringLiteral("P_TCDEMPRESA"))->SetAsString(QStringLiteral("T"));
    qryEmpresa->Open();
}

void TfrmCancelaNFE::btpSerieBeforePesq(QObject*, bool&) {
    qrySerieNF->Close();
    qrySerieNF->ParamByName(QStringLiteral("P_CDSERIE"))->Clear();
    qrySerieNF->ParamByName(QStringLiteral("P_EMPRESA"))->SetAsString(medCdEmpresa->Text());
    qrySerieNF->ParamByName(QStringLiteral("P_INSCESTA"))->SetAsString(edtCdInscEsta->Text());
    qrySerieNF->ParamByName(QStringLiteral("P_CDINSCMUNI"))->SetAsString(edtInscMuni->Text());
    qrySerieNF->ParamByName(QStringLiteral("P_TCDSERIE"))->SetAsString(QStringLiteral("T"));
    qrySerieNF->Open();
}

void TfrmCancelaNFE::btpFilialAfterPesq(QObject*) {
    medCdFilial->SetText(qryFilial->FieldByName(QStringLiteral("CDFILIAL"))->AsString());
    edtNmFilial->SetText(qryFilial->FieldByName(QStringLiteral("NMFILIAL"))->AsString());
}

void TfrmCancelaNFE::btpEmpresaAfterPesq(QObject*) {
    medCdEmpresa->SetText(qryEmpresa->FieldByName(QStringLiteral("CDEMPRESA"))->AsString());
    edtNmEmpresa->SetText(qryEmpresa->FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString());
}

void TfrmCancelaNFE::btpSerieAfterPesq(QObject*) {
    edtCdSerie->SetText(qrySerieNF->FieldByName(QStringLiteral("CDSERIE"))->AsString());
}
