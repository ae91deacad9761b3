// The screen's form definition: every component with its name, place, size,
// tab order, colours, captions, hints and fonts, and the binding of the
// handlers to their events. Every caption and hint of the screen is here.
#include "Cli_Zav50000.h"
#include "criteria/queries.h"
#include "data/adoibquery.h"
#include "data/clientdataset.h"
#include "data/datasource.h"
#include "records.h"
#include "services/hosttexts.h"
#include "vcl/graphics.h"
#include <QApplication>
#include <QLocale>
#include <QPainter>
#include <QStyle>
#include <span>

namespace {

// The tick pictures, 16 x 16: '-' olive (transparent when painted), 'K' black,
// 'W' white, 'S' silver.
const char* const kUnChecked[16] = {
    "----------------", "-------------S--", "--KKKKKKKKKK-S--", "--KWWWWWWWWW-S--",
    "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--",
    "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--", "--KWWWWWWWWW-S--",
    "-------------S--", "-SSSSSSSSSSSSS--", "----------------", "----------------"};
const char* const kChecked[16] = {
    "----------------", "-------------S--", "--KKKKKKKKKK-S--", "--KWWWWWWWWW-S--",
    "--KWWWWWWWKW-S--", "--KWWWWWWKKW-S--", "--KWKWWWKKKW-S--", "--KWKKWKKKWW-S--",
    "--KWKKKKKWWW-S--", "--KWWKKKWWWW-S--", "--KWWWKWWWWW-S--", "--KWWWWWWWWW-S--",
    "-------------S--", "-SSSSSSSSSSSSS--", "----------------", "----------------"};

QImage pixelMap(const char* const rows[16]) {
    QImage img(16, 16, QImage::Format_RGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            QRgb c = qRgb(128, 128, 0);
            switch (rows[y][x]) {
            case 'K':
                c = qRgb(0, 0, 0);
                break;
            case 'W':
                c = qRgb(255, 255, 255);
                break;
            case 'S':
                c = qRgb(192, 192, 192);
                break;
            default:
                break;
            }
            img.setPixel(x, y, c);
        }
    return img;
}

QIcon confirmGlyph() {
    return drawnGlyph([](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0, 128, 0), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)}));
    });
}

QIcon crossGlyph() {
    QPixmap pm(14, 11);
    pm.fill(QColor(0xd4, 0xd0, 0xc8));
    QPainter p(&pm);
    p.setPen(QPen(Qt::black, 1.6));
    p.drawLine(4, 2, 10, 8);
    p.drawLine(10, 2, 4, 8);
    return QIcon(pm);
}

TLabel* boldLabel(QWidget* parent, const char* name, const char* caption, int left, int top, QWidget* focus) {
    auto* l = makeControl<TLabel>(parent, name, left, top, 90, 13);
    l->setFont(screenFont(11, true));
    l->SetCaption(QString::fromUtf8(caption));
    l->adjustSize();
    l->SetFocusControl(focus);
    return l;
}

template <class T>
T* field(QWidget* parent, const char* name, int left, int top, int width, int height, int tabOrder,
         const QColor& color, bool enabled = true, bool tabStop = true) {
    auto* c = makeControl<T>(parent, name, left, top, width, height);
    c->SetTabOrder(tabOrder);
    c->SetColor(color);
    c->SetEnabled(enabled);
    c->SetTabStop(tabStop);
    return c;
}

TBtnPesquisa* lookupButton(QWidget* parent, const char* name, int left, int top, int height,
                           QWidget* associate, const char* title, const char* emptyError) {
    auto* b = makeControl<TBtnPesquisa>(parent, name, left, top, 21, height);
    b->SetHint(HostText::text(HostText::LookupHint));
    b->SetAssociate(associate);
    b->Title = QString::fromUtf8(title);
    b->EmptyError = QString::fromUtf8(emptyError);
    return b;
}

} // namespace

TfrmCancelaNFE::TfrmCancelaNFE(QWidget* parent) : TfrmDadosRel(parent) {
    buildLayout();
    buildQueries();
    buildInvoiceList();
    setupGrid();
    bindEvents();
}

void TfrmCancelaNFE::buildInvoiceList() {
    // The records as the server delivers them (records.h); the screen adds
    // the labels and shows the fields named here.
    struct Shown {
        const char* name;
        const char* label; // nullptr: the field's name
        bool visible;
    };
    static const Shown invoice[] = {
        {"NRLANCTONF", "Nº Lançamento", true}, {"DTEMISSAO", "Data Emissão", true},
        {"NMRAZAO", "Razão Social", true},     {"VRNOTAFISC", "Valor da NF", true},
        {"CDFILIAL", "Código", false},         {"DSMOTIVOCANCNFE", "Motivo", true},
    };
    // The failures' fields the screen reads; the others stay in the packet.
    static const Shown failure[] = {
        {"NRLANCTONF", nullptr, true},
        {"CDERRO", nullptr, true},
        {"DSERRO", nullptr, true},
    };
    const auto shown = [](std::span<const Shown> list, const char* name) -> const Shown* {
        for (const Shown& s : list)
            if (qstrcmp(s.name, name) == 0)
                return &s;
        return nullptr;
    };
    const auto add = [](TClientDataSet* ds, const zavwire::RecordField& f, const Shown* s) {
        TFieldDef def = FieldDefOf(f);
        if (s && s->label)
            def.displayLabel = QString::fromUtf8(s->label);
        def.visible = s && s->visible;
        ds->AddField(def);
    };
    cdsNotaFiscal = new TClientDataSet(this);
    cdsNotaFiscal->setObjectName(QStringLiteral("cdsNotaFiscal"));
    for (const zavwire::RecordField& f : zavwire::kInvoiceRecord)
        add(cdsNotaFiscal, f, shown(invoice, f.name));
    cdsNotaFiscal->SetIndexFieldNames(QStringLiteral("LANCAMENTO"));
    cdsNotaFiscal->SetFilter(QStringLiteral("IDCHECK = 'C'"));
    cdsNotaFiscal->SetFiltered(false);
    dtsNotaFiscal = new TDataSource(this);
    dtsNotaFiscal->setObjectName(QStringLiteral("dtsNotaFiscal"));
    dtsNotaFiscal->SetDataSet(cdsNotaFiscal);
    cdsErrosNF = new TClientDataSet(this);
    cdsErrosNF->setObjectName(QStringLiteral("cdsErrosNF"));
    for (const zavwire::RecordField& f : zavwire::kFailureRecord)
        if (const Shown* s = shown(failure, f.name))
            add(cdsErrosNF, f, s);
}

void TfrmCancelaNFE::buildQueries() {
    auto query = [this](void (*setup)(TADOIBQuery&)) {
        auto* q = new TADOIBQuery(this);
        setup(*q);
        return q;
    };
    qryFilial = query(SetupQryFilial);
    qryEmpresa = query(SetupQryEmpresa);
    qryInscrEstad = query(SetupQryInscrEstad);
    qrySerieNF = query(SetupQrySerieNF);
    qryValidEmpr = query(SetupQryValidEmpr);
    qryCliente = query(SetupQryCliente);
    qryFornecedor = query(SetupQryFornecedor);
    auto source = [this](const char* name, TADOIBQuery* q) {
        auto* d = new TDataSource(this);
        d->setObjectName(QLatin1String(name));
        d->SetDataSet(q);
        return d;
    };
    dtsFilial = source("dtsFilial", qryFilial);
    dtsEmpresa = source("dtsEmpresa", qryEmpresa);
    dtsInscrEstad = source("dtsInscrEstad", qryInscrEstad);
    dtsSerieNF = source("dtsSerieNF", qrySerieNF);
    dtsCliente = source("dtsCliente", qryCliente);
    dtsFornecedor = source("dtsFornecedor", qryFornecedor);
    btpFilial->DataSource = dtsFilial;
    BtnPesquisa1->DataSource = dtsFilial;
    btpEmpresa->DataSource = dtsEmpresa;
    btpSerie->DataSource = dtsSerieNF;
    btpCliente->DataSource = dtsCliente;
    btpFornecedor->DataSource = dtsFornecedor;
}

// The filter panel: the establishment, series, invoice number and period,
// and the counterparty selector.
void TfrmCancelaNFE::buildFilterPanel() {
    panFiltro = makeControl<TPanel>(grbDadosRel, "panFiltro", 2, 15, 710, 170);
    panFiltro->SetBevelNone();
    panFiltro->SetTabOrder(0);
    QWidget* f = panFiltro;

    medCdFilial = field<TMaskEdit>(f, "medCdFilial", 99, 0, 50, 21, 0, clInfoBk());
    medCdFilial->SetEditMask(QStringLiteral(">aaaa;0; "));
    medCdFilial->SetMaxLength(4);
    lblFilial = boldLabel(f, "lblFilial", "Filial", 8, 4, medCdFilial);
    btpFilial = lookupButton(f, "btpFilial", 154, 0, 21, medCdFilial, "Filial", "Não há filial cadastrada.");
    edtNmFilial = field<TEdit>(f, "edtNmFilial", 179, 0, 526, 21, 2, clBtnFace(), false, false);

    medCdEmpresa = field<TMaskEdit>(f, "medCdEmpresa", 99, 25, 25, 21, 3, clInfoBk());
    medCdEmpresa->SetMaxLength(2);
    Label2 = boldLabel(f, "Label2", "Empresa", 8, 29, medCdEmpresa);
    btpEmpresa = lookupButton(f, "btpEmpresa", 129, 25, 21, medCdEmpresa, "Empresa",
                              "Não há empresa cadastrada para a filial informada.");
    edtNmEmpresa = field<TEdit>(f, "edtNmEmpresa", 154, 25, 551, 21, 5, clBtnFace(), false, false);

    edtCdInscEsta = field<TEdit>(f, "edtCdInscEsta", 100, 50, 129, 21, 6, clBtnFace(), false);
    edtCdInscEsta->SetMaxLength(16);
    Label3 = boldLabel(f, "Label3", "Inscr. Estadual", 8, 54, edtCdInscEsta);
    edtInscMuni = field<TEdit>(f, "edtInscMuni", 424, 50, 281, 21, 7, clBtnFace(), false);
    edtInscMuni->SetMaxLength(16);
    lblInscMuni = boldLabel(f, "lblInscMuni", "Inscr. Municipal", 318, 54, edtInscMuni);

    edtCdSerie = field<TEdit>(f, "edtCdSerie", 100, 75, 55, 21, 8, clInfoBk());
    edtCdSerie->SetMaxLength(5);
    Label4 = boldLabel(f, "Label4", "Série", 8, 79, edtCdSerie);
    btpSerie = lookupButton(f, "btpSerie", 160, 76, 21, edtCdSerie, "Série de Documentos de Saída",
                            "Não há série cadastrada para a inscrição estadual informada.");
    medNrNotaFiscal = field<TMaskEdit>(f, "medNrNotaFiscal", 239, 75, 100, 21, 10, clWindow());
    medNrNotaFiscal->SetEditMask(QStringLiteral("999999999;0; "));
    medNrNotaFiscal->SetMaxLength(9);
    Label1 = boldLabel(f, "Label1", "Nº NF", 199, 79, medNrNotaFiscal);

    depDtInicial = field<TDateEditPlus>(f, "depDtInicial", 100, 100, 100, 21, 11, clInfoBk());
    Label5 = boldLabel(f, "Label5", "Período", 8, 104, depDtInicial);
    depDtFinal = field<TDateEditPlus>(f, "depDtFinal", 239, 100, 100, 21, 12, clInfoBk());
    Label6 = boldLabel(f, "Label6", "a", 222, 104, depDtFinal);
    for (TDateEditPlus* d : {depDtInicial, depDtFinal}) {
        d->SaveTime = false;
        d->ValidDateColor = clBlue();
    }

    buildCounterpartySelector(f);
}

// The counterparty selector on the filter panel f: a notebook of one page a
// kind of counterparty (customer, supplier, branch, all), chosen by the combo
// box beside it.
void TfrmCancelaNFE::buildCounterpartySelector(QWidget* f) {
    GroupBox1 = makeControl<TGroupBox>(f, "GroupBox1", 5, 122, 702, 43);
    GroupBox1->setTitle(QStringLiteral(" Destinatário/Remetente "));
    GroupBox1->setFont(screenFont(11, true));
    GroupBox1->SetTabOrder(13);
    cbbDestRem = makeControl<TComboBox>(GroupBox1, "cbbDestRem", 6, 15, 80, 21);
    cbbDestRem->addItems({QStringLiteral("Cliente"), QStringLiteral("Fornecedor"), QStringLiteral("Filial"),
                          QStringLiteral("Todos")});
    cbbDestRem->SetTabOrder(0);
    nbkCliente = makeControl<TNotebook>(GroupBox1, "nbkCliente", 87, 12, 609, 27);
    nbkCliente->SetTabOrder(1);
    nbkCliente->setFont(screenFont());

    QWidget* pCliente = nbkCliente->AddPage(QStringLiteral("Cliente"));
    medCliente = field<TMaskEdit>(pCliente, "medCliente", 65, 4, 128, 19, 0, clInfoBk());
    medCliente->SetMaxLength(4);
    Label7 = boldLabel(pCliente, "Label7", "Inscrição", 4, 7, medCliente);
    btpCliente =
        lookupButton(pCliente, "btpCliente", 196, 4, 19, medCliente, "Cliente", "Não há cliente cadastrado.");
    edtNmCliente = field<TEdit>(pCliente, "edtNmCliente", 220, 4, 385, 19, 2, clBtnFace(), false, false);

    QWidget* pFornecedor = nbkCliente->AddPage(QStringLiteral("Fornecedor"));
    medFornecedor = field<TMaskEdit>(pFornecedor, "medFornecedor", 65, 4, 128, 19, 0, clInfoBk());
    medFornecedor->SetMaxLength(4);
    Label8 = boldLabel(pFornecedor, "Label8", "Inscrição", 4, 7, medFornecedor);
    btpFornecedor = lookupButton(pFornecedor, "btpFornecedor", 196, 4, 19, medFornecedor, "Fornecedor",
                                 "Não há fornecedor cadastrado.");
    edtNmFornecedor =
        field<TEdit>(pFornecedor, "edtNmFornecedor", 220, 4, 224, 19, 2, clBtnFace(), false, false);

    QWidget* pFilial = nbkCliente->AddPage(QStringLiteral("Filial"));
    medFilial = field<TMaskEdit>(pFilial, "medFilial", 3, 4, 50, 19, 0, clInfoBk());
    medFilial->SetEditMask(QStringLiteral(">aaaa;0; "));
    medFilial->SetMaxLength(4);
    BtnPesquisa1 =
        lookupButton(pFilial, "BtnPesquisa1", 57, 4, 19, medFilial, "Filial", "Não há filial cadastrada.");
    Edit1 = field<TEdit>(pFilial, "Edit1", 81, 4, 525, 19, 2, clBtnFace(), false, false);

    QWidget* pTodos = nbkCliente->AddPage(QStringLiteral("Todos"));
    pTodos->setEnabled(false);
    MaskEdit1 = field<TMaskEdit>(pTodos, "MaskEdit1", 4, 4, 120, 19, 0, clBtnFace(), false);
    MaskEdit1->SetText(QStringLiteral("Todos"));
    BtnPesquisa2 = lookupButton(pTodos, "BtnPesquisa2", 127, 4, 19, nullptr, "Cliente", "");
    BtnPesquisa2->setEnabled(false);
    Edit2 = field<TEdit>(pTodos, "Edit2", 151, 4, 293, 19, 2, clBtnFace(), false);
}

// The failure panel: the invoices not cancelled and why, hidden until a
// confirmation leaves some.
void TfrmCancelaNFE::buildFailurePanel() {
    PanMensagem = makeControl<TPanel>(grbDadosRel, "PanMensagem", 152, 165, 473, 183);
    PanMensagem->SetTabOrder(2);
    PanMensagem->hide();
    Panel3 = makeControl<TPanel>(PanMensagem, "Panel3", 0, 0, 473, 17);
    Panel3->SetBevelNone();
    Panel3->SetColor(clHighlight());
    Panel3->SetCaption(QStringLiteral(" Motivo do não cancelamento"));
    if (auto* caption = Panel3->findChild<QLabel*>()) {
        caption->setFont(screenFont(11, true));
        QPalette p = caption->palette();
        p.setColor(QPalette::WindowText, clWhite());
        caption->setPalette(p);
    }
    BtnSair = makeControl<TButtonFlat>(Panel3, "BtnSair", 453, 1, 18, 15);
    BtnSair->SetGlyph(crossGlyph());
    BtnSair->setIconSize(QSize(14, 11));
    BtnSair->SetHint(QStringLiteral("Fechar (Esc)"));
    SetEscapePanel(PanMensagem, BtnSair);
    Label9 = makeControl<TLabel>(PanMensagem, "Label9", 6, 19, 64, 12);
    Label9->setFont(screenFont(7));
    Label9->SetCaption(QStringLiteral("Nº Lançam."));
    Label10 = makeControl<TLabel>(PanMensagem, "Label10", 77, 19, 64, 12);
    Label10->setFont(screenFont(7));
    Label10->SetCaption(QStringLiteral("Motivo"));
    Bevel3 = makeControl<TBevel>(PanMensagem, "Bevel3", 72, 19, 2, 15);
    Bevel3->SetShapeLeftLine();
    lsbMensagem = makeControl<TListBox>(PanMensagem, "lsbMensagem", 1, 34, 471, 148);
    lsbMensagem->SetItemHeight(13);
}

// The tool column: confirm (F10) and search (F7).
void TfrmCancelaNFE::buildToolColumn() {
    sbtPrint->SetHint(QStringLiteral("Confirmar (F10)"));
    sbtPrint->SetShortcut(QKeySequence(Qt::Key_F10));
    sbtPrint->SetGlyph(confirmGlyph());
    sbtPrint->SetEnabled(false);
    sbtConfigImpr->setGeometry(7, 21, 40, 0);
    Panel1 = makeControl<TPanel>(panMenu, "Panel1", 6, 55, 48, 28);
    Panel1->SetBevelNone();
    Panel1->SetTabOrder(2);
    sbtProcurar = makeControl<TButtonFlat>(Panel1, "sbtProcurar", 4, 3, 40, 22);
    sbtProcurar->SetHint(QStringLiteral("Procurar (F7)"));
    sbtProcurar->SetGlyph(QApplication::style()->standardIcon(QStyle::SP_FileDialogContentsView));
    sbtProcurar->SetEnabled(false);
    Panel2 = makeControl<TPanel>(panMenu, "Panel2", 6, 121, 48, 28);
    Panel2->SetBevelNone();
    Panel2->SetTabOrder(3);
    sbtMotivo = makeControl<TButtonFlat>(Panel2, "sbtMotivo", 4, 3, 40, 22);
    sbtMotivo->SetHint(QStringLiteral("Um motivo para as notas sem motivo (F8)"));
    sbtMotivo->SetShortcut(QKeySequence(Qt::Key_F8));
    sbtMotivo->SetGlyph(QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    sbtMotivo->SetEnabled(false);
}

namespace ScreenText {

namespace {
const QLocale kBrazil(QLocale::Portuguese, QLocale::Brazil);
// "1 nota", "2 notas": the count and the word that agrees with it.
QString counted(int n, const char* one, const char* many) {
    return kBrazil.toString(n) + u' ' + QString::fromUtf8(n == 1 ? one : many);
}
} // namespace

QString confirmed(int cancelled, int notCancelled, int pending, int rows, int ticked) {
    // Only the counts that happened, so that the line fits the status bar
    // beside the session; every ticked invoice is in one of the three.
    QStringList outcomes;
    if (cancelled > 0 || (notCancelled == 0 && pending == 0))
        outcomes << counted(cancelled, "nota cancelada", "notas canceladas");
    if (notCancelled > 0)
        outcomes << counted(notCancelled, "não cancelada", "não canceladas");
    if (pending > 0)
        outcomes << counted(pending, "pendente (confirme de novo)", "pendentes (confirme de novo)");
    return QStringLiteral("Confirmação concluída: %1. A lista tem %2, %3.")
        .arg(outcomes.join(QStringLiteral(", ")), counted(rows, "nota", "notas"),
             counted(ticked, "marcada", "marcadas"));
}

QString listed(int rows) {
    return QStringLiteral("A lista tem %1.").arg(counted(rows, "nota", "notas"));
}

QString reasonForManyTitle() {
    return QStringLiteral("Motivo do cancelamento");
}

QString reasonForManyLabel() {
    return QStringLiteral("Motivo para todas as notas da lista que ainda não têm motivo (no mínimo 15 "
                          "caracteres):");
}

QString reasonWritten(int rows) {
    return QStringLiteral("Motivo escrito em %1.").arg(counted(rows, "nota", "notas"));
}

} // namespace ScreenText

void TfrmCancelaNFE::buildLayout() {
    setObjectName(QStringLiteral("frmCancelaNFE"));
    SetCaption(QStringLiteral("Cancelamento de Notas Fiscais Eletrônicas"));
    SetClientSize(769, 400);
    setProperty("designPosition", QPoint(117, 125));
    HelpFile = QStringLiteral("Zavhelp.hlp");
    HelpContext = 10914000;
    lblCodTela->SetCaption(QStringLiteral("ZAV50000"));
    msgPadrao->SetMessages(CatalogueEntries());

    buildFilterPanel();

    // The list
    Bevel1 = makeControl<TBevel>(grbDadosRel, "Bevel1", 2, 185, 710, 2);
    Bevel1->SetShapeTopLine();
    dbgPadrao = makeControl<TDBGrid>(grbDadosRel, "dbgPadrao", 2, 187, 710, 211);
    dbgPadrao->SetTabOrder(1);
    dbgPadrao->SetColor(clInfoBk());

    buildFailurePanel();
    buildToolColumn();

    imgChecked = makeControl<TImage>(this, "imgChecked", 378, 7, 16, 16);
    imgChecked->SetPicture(pixelMap(kChecked));
    imgChecked->hide();
    imgUnChecked = makeControl<TImage>(this, "imgUnChecked", 378, 12, 16, 16);
    imgUnChecked->SetPicture(pixelMap(kUnChecked));
    imgUnChecked->hide();

    pmnProcura = new TPopupMenu(this);
    pmnProcura->setObjectName(QStringLiteral("pmnProcura"));
    F71 = pmnProcura->AddItem("F71", QStringLiteral("F7"), QKeySequence(Qt::Key_F7));
    F121 = pmnProcura->AddItem("F121", QStringLiteral("F12"), QKeySequence(Qt::Key_F12));

    netCancelaEmis = new TNetConnection(this);
    netCancelaEmis->setObjectName(QStringLiteral("netCancelaEmis"));
    netCancelaEmis->ServerName = QStringLiteral("ZAV50000.rdmCancelaNFE");
    netCancelaEmis->ThrowException = false;
    // A failed call reports the catalogue's text for connection errors.
    netCancelaEmis->ConnectionErrorText = msgPadrao->Msg(QStringLiteral("Err_Conex"));
    // The calls' progress counts invoices.
    netCancelaEmis->ProgressUnit = QStringLiteral("notas");

    SetActiveControl(medCdFilial);
}

void TfrmCancelaNFE::bindEvents() {
    OnCreate = [this](QObject* s) { FormCreate(s); };
    OnShow = [this](QObject* s) { FormShow(s); };
    OnClose = [this](QObject* s, TCloseAction& a) { FormClose(s, a); };
    OnKeyDown = [this](QObject* s, TKey& k, TShiftState sh) { FormKeyDown(s, k, sh); };
    F71->OnClick = [this](QObject* s) { sbtProcurarClick(s); };
    sbtProcurar->OnClick = [this](QObject* s) { sbtProcurarClick(s); };
    F121->OnClick = [this](QObject* s) { F121Click(s); };
    netCancelaEmis->BeforeConnect = [this](QObject* s) { netCancelaEmisBeforeConnect(s); };
    // Cancellation
    sbtPrint->OnClick = [this](QObject* s) { sbtPrintClick(s); };
    sbtMotivo->OnClick = [this](QObject* s) { sbtMotivoClick(s); };
    BtnSair->OnClick = [this](QObject* s) { BtnSairClick(s); };
    // Retrieval
    panFiltro->OnEnter = [this](QObject* s) { panFiltroEnter(s); };
    panFiltro->OnExit = [this](QObject* s) { panFiltroExit(s); };
    dtsNotaFiscal->OnStateChange = [this](QObject* s) { dtsNotaFiscalStateChange(s); };
    // Establishment and series
    medCdFilial->OnExit = [this](QObject* s) { medCdFilialExit(s); };
    medCdEmpresa->OnExit = [this](QObject* s) { medCdEmpresaExit(s); };
    edtCdInscEsta->OnExit = [this](QObject* s) { edtCdInscEstaExit(s); };
    edtCdSerie->OnExit = [this](QObject* s) { edtCdSerieExit(s); };
    medCdFilial->OnChange = [this](QObject* s) { medCdFilialChange(s); };
    medCdEmpresa->OnChange = [this](QObject* s) { medCdEmpresaChange(s); };
    edtCdInscEsta->OnChange = [this](QObject* s) { edtCdInscEstaChange(s); };
    edtCdSerie->OnKeyPress = [this](QObject* s, QChar& k) { edtCdSerieKeyPress(s, k); };
    btpFilial->OnBeforePesq = [this](QObject* s, bool& c) { btpFilialBeforePesq(s, c); };
    btpEmpresa->OnBeforePesq = [this](QObject* s, bool& c) { btpEmpresaBeforePesq(s, c); };
    btpSerie->OnBeforePesq = [this](QObject* s, bool& c) { btpSerieBeforePesq(s, c); };
    btpFilial->OnAfterPesq = [this](QObject* s) { btpFilialAfterPesq(s); };
    btpEmpresa->OnAfterPesq = [this](QObject* s) { btpEmpresaAfterPesq(s); };
    btpSerie->OnAfterPesq = [this](QObject* s) { btpSerieAfterPesq(s); };
    // Period
    depDtInicial->OnExit = [this](QObject* s) { depDtInicialExit(s); };
    depDtFinal->OnExit = [this](QObject* s) { depDtFinalExit(s); };
    // Counterparty
    cbbDestRem->OnChange = [this](QObject* s) { cbbDestRemChange(s); };
    nbkCliente->OnExit = [this](QObject* s) { nbkClienteExit(s); };
    medCliente->OnEnter = [this](QObject* s) { medClienteEnter(s); };
    medFornecedor->OnEnter = [this](QObject* s) { medFornecedorEnter(s); };
    medCliente->OnChange = [this](QObject* s) { medClienteChange(s); };
    medFornecedor->OnChange = [this](QObject* s) { medFornecedorChange(s); };
    medFilial->OnChange = [this](QObject* s) { medFilialChange(s); };
    medCliente->OnExit = [this](QObject* s) { medClienteExit(s); };
    medFornecedor->OnExit = [this](QObject* s) { medFornecedorExit(s); };
    medFilial->OnExit = [this](QObject* s) { medFilialExit(s); };
    btpCliente->OnBeforePesq = [this](QObject* s, bool& c) { btpClienteBeforePesq(s, c); };
    btpFornecedor->OnBeforePesq = [this](QObject* s, bool& c) { btpFornecedorBeforePesq(s, c); };
    BtnPesquisa1->OnBeforePesq = [this](QObject* s, bool& c) { BtnPesquisa1BeforePesq(s, c); };
    btpCliente->OnAfterPesq = [this](QObject* s) { btpClienteAfterPesq(s); };
    btpFornecedor->OnAfterPesq = [this](QObject* s) { btpFornecedorAfterPesq(s); };
    BtnPesquisa1->OnAfterPesq = [this](QObject* s) { BtnPesquisa1AfterPesq(s); };
    qryCliente->FieldByName(QStringLiteral("CDCLIENTE"))->OnGetText = [this](TField& f, QString& t, bool d) {
        qryClienteCDCLIENTEGetText(f, t, d);
    };
    qryFornecedor->FieldByName(QStringLiteral("NRINSJURFORN"))->OnGetText =
        [this](TField& f, QString& t, bool d) { qryFornecedorNRINSJURFORNGetText(f, t, d); };
}
