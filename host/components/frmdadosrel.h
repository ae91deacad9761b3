#pragma once
// The host's standard data screen: the content group box on the left, the tool
// column on the right (help, cancel, print and printer-setup buttons), the
// screen-code label, the message catalogue and the printer-setup dialog.
// Keys: Enter moves to the next control as Tab does (a control that handles
// Enter itself, the grid, keeps it); Esc closes the panel registered with
// SetEscapePanel while it is shown, and otherwise closes the screen; F1 opens
// the help page from any control. Closing a screen whose client datasets hold
// changes (values other than those that arrived, and not delivered since) or a
// pending row that differs from what it stores asks first
// (HostText::DiscardWork), however the close comes: Esc, the close button, the
// window's frame or the host quitting.
#include "services/messages.h"
#include "vcl/buttons.h"
#include "vcl/form.h"
#include "vcl/stdctrls.h"
#include "zavhost_export.h"

// The base screen's printer-setup dialog; screens that print use it.
class ZAVHOST_EXPORT TPrinterSetupDialog : public QObject {
    Q_OBJECT
public:
    explicit TPrinterSetupDialog(QObject* parent = nullptr) : QObject(parent) {}
};

class ZAVHOST_EXPORT TfrmDadosRel : public TForm {
    Q_OBJECT
public:
    explicit TfrmDadosRel(QWidget* parent = nullptr);

    TLabel* lblCodTela;
    TGroupBox* grbDadosRel;
    TPanel* panMenu;
    TPanel* panHelp;
    TButtonFlat* sbtHelp;
    TPanel* panBotoes;
    TButtonFlat* sbtCancel;
    TButtonFlat* sbtPrint;
    TButtonFlat* sbtConfigImpr;
    TMessages* msgPadrao;
    TPrinterSetupDialog* psdConfigurar;

    void FormCreate(QObject* sender);
    void FormCloseQuery(QObject* sender, bool& canClose);
    void FormClose(QObject* sender, TCloseAction& action);
    void FormKeyDown(QObject* sender, TKey& key, TShiftState shift);

    // Opens the screen's help page.
    void ShowHelp();
    // A panel over the screen that Esc closes, with the click of its close
    // button, while it is shown.
    void SetEscapePanel(QWidget* panel, TButtonFlat* closeButton);
    // The screen holds work the operator would lose by closing it: a client
    // dataset with changed rows or a row open for edit.
    bool HasPendingWork() const;

private:
    QPointer<QWidget> m_escapePanel;
    QPointer<TButtonFlat> m_escapeClose;
};
