#include "frmdadosrel.h"
#include "data/clientdataset.h"
#include "services/hostservices.h"
#include "services/hosttexts.h"
#include "vcl/graphics.h"
#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace {
QIcon helpGlyph() {
    return drawnGlyph([](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1e, 0x5a, 0xb4));
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        p.setPen(Qt::white);
        p.setFont(screenFont(12, true));
        p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
    });
}

} // namespace

TfrmDadosRel::TfrmDadosRel(QWidget* parent) : TForm(parent) {
    setObjectName(QStringLiteral("frmDadosRel"));
    setFont(screenFont());
    SetClientSize(769, 400);
    QStyle* style = QApplication::style();

    grbDadosRel = new TGroupBox(this);
    grbDadosRel->setObjectName(QStringLiteral("grbDadosRel"));
    grbDadosRel->setGeometry(0, 0, 714, 400);

    panMenu = makeControl<TPanel>(this, "panMenu", 714, 0, 55, 400);
    panBotoes = makeControl<TPanel>(panMenu, "panBotoes", 0, 0, 55, 52);
    panBotoes->SetBevelNone();
    sbtPrint = makeControl<TButtonFlat>(panBotoes, "sbtPrint", 7, 2, 40, 22);
    sbtPrint->SetHint(HostText::text(HostText::PrintHint));
    sbtPrint->SetGlyph(style->standardIcon(QStyle::SP_DialogApplyButton));
    sbtConfigImpr = makeControl<TButtonFlat>(panBotoes, "sbtConfigImpr", 7, 21, 40, 22);
    sbtConfigImpr->SetHint(HostText::text(HostText::PrinterSetupHint));
    sbtCancel = makeControl<TButtonFlat>(panBotoes, "sbtCancel", 7, 25, 40, 22);
    sbtCancel->SetHint(HostText::text(HostText::CloseHint));
    sbtCancel->SetGlyph(style->standardIcon(QStyle::SP_DialogCloseButton));
    panHelp = makeControl<TPanel>(panMenu, "panHelp", 0, 88, 55, 28);
    panHelp->SetBevelNone();
    sbtHelp = makeControl<TButtonFlat>(panHelp, "sbtHelp", 7, 3, 40, 22);
    sbtHelp->SetHint(HostText::text(HostText::HelpHint));
    sbtHelp->SetGlyph(helpGlyph());
    lblCodTela = makeControl<TLabel>(panMenu, "lblCodTela", 2, 382, 51, 13);
    lblCodTela->setAlignment(Qt::AlignCenter);

    msgPadrao = new TMessages(this);
    msgPadrao->setObjectName(QStringLiteral("msgPadrao"));
    psdConfigurar = new TPrinterSetupDialog(this);
    psdConfigurar->setObjectName(QStringLiteral("psdConfigurar"));

    sbtCancel->OnClick = [this](QObject*) { Close(); };
    sbtHelp->OnClick = [this](QObject*) { ShowHelp(); };
    // A shortcut, not a key of the screen's key handling: the help opens
    // wherever the focus is, also where a screen keeps its keys to itself.
    sbtHelp->SetShortcut(QKeySequence(Qt::Key_F1));

    OnCreate = [this](QObject* s) { FormCreate(s); };
    OnCloseQuery = [this](QObject* s, bool& c) { FormCloseQuery(s, c); };
    OnClose = [this](QObject* s, TCloseAction& a) { FormClose(s, a); };
    OnKeyDown = [this](QObject* s, TKey& k, TShiftState sh) { FormKeyDown(s, k, sh); };
}

void TfrmDadosRel::FormCreate(QObject*) {
    KeyPreview = true;
}

void TfrmDadosRel::FormCloseQuery(QObject*, bool& canClose) {
    if (HasPendingWork())
        canClose = Host().confirm(HostText::text(HostText::DiscardWork));
}

void TfrmDadosRel::FormClose(QObject*, TCloseAction& action) {
    action = TCloseAction::caFree;
}

bool TfrmDadosRel::HasPendingWork() const {
    for (const TClientDataSet* ds : findChildren<TClientDataSet*>())
        if (ds->Active() && (ds->ChangeCount() > 0 || ds->EditDiffers()))
            return true;
    return false;
}

void TfrmDadosRel::SetEscapePanel(QWidget* panel, TButtonFlat* closeButton) {
    m_escapePanel = panel;
    m_escapeClose = closeButton;
}

void TfrmDadosRel::FormKeyDown(QObject*, TKey& key, TShiftState shift) {
    if (TWinControl* c = ActiveControl(); c && c->WantsKey(key))
        return;
    switch (key) {
    case VK_RETURN:
        if (!shift.ctrl && !shift.alt) {
            SelectNext(!shift.shift);
            key = 0;
        }
        break;
    case VK_ESCAPE:
        key = 0;
        if (m_escapePanel && m_escapePanel->isVisible() && m_escapeClose)
            m_escapeClose->Click();
        else
            Close();
        break;
    default:
        break;
    }
}

void TfrmDadosRel::ShowHelp() {
    Host().showHelp(HelpFile, HelpContext);
}
