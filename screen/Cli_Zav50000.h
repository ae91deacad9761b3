#pragma once
// Unit Cli_Zav50000 of the package Pkg_Zav50000: the screen "Cancelamento de
// Notas Fiscais Eletrônicas" (ZAV50000). One class holds the screen's logic;
// its handlers are defined in the folder of the subsystem they belong to:
// screen/ (lifecycle), criteria/ (filter panel), invoices/ (list and grid),
// cancellation/ (confirm and failure panel).
#include "components/btnpesquisa.h"
#include "components/dateeditplus.h"
#include "components/dbgrid.h"
#include "components/frmdadosrel.h"
#include "net/netconnection.h"
#include "pkg_export.h"
#include "vcl/menus.h"
#include <QStringList>

class TADOIBQuery;
class TDataSource;
class TDataSet;
class TField;
class TClientDataSet;
class TColumn;
struct TGridDrawState;

using TStringList = QStringList;

class PKG_EXPORT TfrmCancelaNFE : public TfrmDadosRel {
    Q_OBJECT
public:
    explicit TfrmCancelaNFE(QWidget* parent = nullptr);
    ~TfrmCancelaNFE() override;

    // Filter panel
    TPanel* panFiltro;
    TLabel* lblFilial;
    TMaskEdit* medCdFilial;
    TBtnPesquisa* btpFilial;
    TEdit* edtNmFilial;
    TLabel* Label2;
    TMaskEdit* medCdEmpresa;
    TBtnPesquisa* btpEmpresa;
    TEdit* edtNmEmpresa;
    TLabel* Label3;
    TEdit* edtCdInscEsta;
    TLabel* lblInscMuni;
    TEdit* edtInscMuni;
    TLabel* Label4;
    TEdit* edtCdSerie;
    TBtnPesquisa* btpSerie;
    TLabel* Label1;
    TMaskEdit* medNrNotaFiscal;
    TLabel* Label5;
    TDateEditPlus* depDtInicial;
    TLabel* Label6;
    TDateEditPlus* depDtFinal;
    // Counterparty selector
    TGroupBox* GroupBox1;
    TComboBox* cbbDestRem;
    TNotebook* nbkCliente;
    TLabel* Label7;
    TMaskEdit* medCliente;
    TBtnPesquisa* btpCliente;
    TEdit* edtNmCliente;
    TLabel* Label8;
    TMaskEdit* medFornecedor;
    TBtnPesquisa* btpFornecedor;
    TEdit* edtNmFornecedor;
    TMaskEdit* medFilial;
    TBtnPesquisa* BtnPesquisa1;
    TEdit* Edit1;
    TBtnPesquisa* BtnPesquisa2;
    TMaskEdit* MaskEdit1;
    TEdit* Edit2;
    // List
    TBevel* Bevel1;
    TDBGrid* dbgPadrao;
    // Failure panel
    TPanel* PanMensagem;
    TPanel* Panel3;
    TButtonFlat* BtnSair;
    TLabel* Label9;
    TLabel* Label10;
    TBevel* Bevel3;
    TListBox* lsbMensagem;
    // Tool column
    TPanel* Panel1;
    TButtonFlat* sbtProcurar;
    // One reason for every row of the list that has none (F8).
    TPanel* Panel2;
    TButtonFlat* sbtMotivo;
    TImage* imgChecked;
    TImage* imgUnChecked;
    TPopupMenu* pmnProcura;
    TMenuItem* F71;
    TMenuItem* F121;
    // Lookup queries and their data sources
    TADOIBQuery* qryFilial;
    TADOIBQuery* qryEmpresa;
    TADOIBQuery* qryInscrEstad;
    TADOIBQuery* qrySerieNF;
    TADOIBQuery* qryValidEmpr;
    TADOIBQuery* qryCliente;
    TADOIBQuery* qryFornecedor;
    TDataSource* dtsFilial;
    TDataSource* dtsEmpresa;
    TDataSource* dtsInscrEstad;
    TDataSource* dtsSerieNF;
    TDataSource* dtsCliente;
    TDataSource* dtsFornecedor;
    // Non-visual
    TNetConnection* netCancelaEmis;
    TClientDataSet* cdsNotaFiscal;
    TDataSource* dtsNotaFiscal;
    TClientDataSet* cdsErrosNF;

    // Lifecycle
    void FormCreate(QObject* sender);
    void FormShow(QObject* sender);
    void FormClose(QObject* sender, TCloseAction& action);
    void FormKeyDown(QObject* sender, TKey& key, TShiftState shift);
    void F121Click(QObject* sender);
    void sbtProcurarClick(QObject* sender);

    // Establishment and series
    void Vd_Filial(bool Mandatory, bool CounterpartyBranch);
    void Vd_Empresa(bool Mandatory);
    void Vd_Inscricao(bool Mandatory);
    void Vd_Serie(bool Mandatory);
    void medCdFilialExit(QObject* sender);
    void medCdEmpresaExit(QObject* sender);
    void edtCdInscEstaExit(QObject* sender);
    void edtCdSerieExit(QObject* sender);
    void medCdFilialChange(QObject* sender);
    void medCdEmpresaChange(QObject* sender);
    void edtCdInscEstaChange(QObject* sender);
    void edtCdSerieKeyPress(QObject* sender, QChar& key);
    void btpFilialBeforePesq(QObject* sender, bool& cancel);
    void btpEmpresaBeforePesq(QObject* sender, bool& cancel);
    void btpSerieBeforePesq(QObject* sender, bool& cancel);
    void btpFilialAfterPesq(QObject* sender);
    void btpEmpresaAfterPesq(QObject* sender);
    void btpSerieAfterPesq(QObject* sender);

    // Period
    void depDtInicialExit(QObject* sender);
    void depDtFinalExit(QObject* sender);

    // Counterparty
    void Vd_Cliente();
    void Vd_Fornecedor();
    void cbbDestRemChange(QObject* sender);
    void medClienteEnter(QObject* sender);
    void medFornecedorEnter(QObject* sender);
    void medClienteChange(QObject* sender);
    void medFornecedorChange(QObject* sender);
    void medFilialChange(QObject* sender);
    void medClienteExit(QObject* sender);
    void medFornecedorExit(QObject* sender);
    void medFilialExit(QObject* sender);
    void nbkClienteExit(QObject* sender);
    void btpClienteBeforePesq(QObject* sender, bool& cancel);
    void btpFornecedorBeforePesq(QObject* sender, bool& cancel);
    void BtnPesquisa1BeforePesq(QObject* sender, bool& cancel);
    void btpClienteAfterPesq(QObject* sender);
    void btpFornecedorAfterPesq(QObject* sender);
    void BtnPesquisa1AfterPesq(QObject* sender);
    void qryClienteCDCLIENTEGetText(TField& sender, QString& text, bool displayText);
    void qryFornecedorNRINSJURFORNGetText(TField& sender, QString& text, bool displayText);
    const QString& RememberedCustomer() const { return CdClientePesq; }

    // Connection and retrieval
    void netCancelaEmisBeforeConnect(QObject* sender);
    void panFiltroEnter(QObject* sender);
    void panFiltroExit(QObject* sender);
    void dtsNotaFiscalStateChange(QObject* sender);

    // Selection grid
    void dbgPadraoCellClick(TColumn* column);
    void dbgPadraoKeyDown(QObject* sender, TKey& key, TShiftState shift);
    void dbgPadraoTitleClick(TColumn* column);
    void dbgPadraoColEnter(QObject* sender);
    void dbgPadraoDrawColumnCell(QObject* sender, const QRect& rect, int dataCol, TColumn* column,
                                 const TGridDrawState& state);
    void cdsNotaFiscalBeforePost(TDataSet* dataSet);
    void cdsNotaFiscalBeforeInsert(TDataSet* dataSet);
    // The single-row toggle of the tick cell and the Space key.
    void ToggleCurrentRow();
    // The reason rule's refusal of the row being committed: the message of
    // the key, the cursor on the row's reason cell, open for typing once the
    // message is answered; throws the silent abort.
    [[noreturn]] void refuseRowReason(const QString& key);

    // One reason, asked once, written into every row of the list that has
    // none (F8 or sbtMotivo), each as its post would store it.
    void sbtMotivoClick(QObject* sender);

    // Cancellation
    void sbtPrintClick(QObject* sender);
    void BtnSairClick(QObject* sender);

private:
    void buildLayout();
    // The parts of the form that buildLayout places (screen/layout.cpp).
    void buildFilterPanel();
    void buildCounterpartySelector(QWidget* f);
    void buildFailurePanel();
    void buildToolColumn();
    void buildQueries();
    void buildInvoiceList();
    // The grid's columns, options and events (invoices/grid.cpp).
    void setupGrid();
    void bindEvents();
    // Runs a validator's steps under its failure path: whatever leaves them,
    // the focus goes back to the box (when it can take it) and the failure
    // goes on to the caller.
    template <class F> void underFailurePath(TWinControl* box, F&& steps);
    // The branch query opened on every branch, for the two branch searches
    // (criteria/establishment.cpp).
    void listEveryBranch();
    // Before the list is fetched (invoices/retrieval.cpp): the filter's
    // checks, then GetNotaFiscal's arguments (an empty customer forgets the
    // remembered one).
    void checkRetrievalFilter();
    QVariantList retrievalArguments();
    // After a confirm's answer, the list narrowed to the ticked rows: what
    // became of them (the cancelled ones delivered), and the list's size.
    struct ConfirmOutcome {
        int cancelled = 0, notCancelled = 0, pending = 0;
        int rows = 0, ticked = 0;
    };
    ConfirmOutcome confirmOutcome();

    QString CdClientePesq;
};

// The screen's texts that are neither captions nor catalogue messages, in the
// form definition (screen/layout.cpp): the status line's and the dialog of the
// reason for many rows.
namespace ScreenText {
// The outcome of a confirm and the list after it.
PKG_EXPORT QString confirmed(int cancelled, int notCancelled, int pending, int rows, int ticked);
// The list as it arrived.
PKG_EXPORT QString listed(int rows);
// One reason for many rows: the dialog's title and label, and what was done.
PKG_EXPORT QString reasonForManyTitle();
PKG_EXPORT QString reasonForManyLabel();
PKG_EXPORT QString reasonWritten(int rows);
} // namespace ScreenText

// What the package tells its host about itself.
struct PackageInfo {
    const char* name;            // "Pkg_Zav50000"
    const char* unit;            // "Cli_Zav50000"
    const char* const* required; // host libraries the package needs, null-terminated
    int unitCount;
};

// The message catalogue of the screen, in its stored order.
PKG_EXPORT const QStringList& CatalogueEntries();

// Unit globals, exported under their plain names.
extern "C" {
PKG_EXPORT extern TfrmCancelaNFE* frmCancelaNFE;
PKG_EXPORT extern bool boIdCriado;
PKG_EXPORT extern bool boToCheck;
PKG_EXPORT extern TStringList* stlControle;

PKG_EXPORT void IniProc();
PKG_EXPORT void CriaCancelaNFE();
PKG_EXPORT void Initialize();
PKG_EXPORT void Finalize();
PKG_EXPORT const PackageInfo* GetPackageInfoTable();
}

template <class F> void TfrmCancelaNFE::underFailurePath(TWinControl* box, F&& steps) {
    try {
        steps();
    } catch (...) {
        if (box->CanFocus())
            box->SetFocus();
        throw;
    }
}
