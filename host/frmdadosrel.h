#pragma once
// The host's standard data screen: the content group box on the left, the tool
// column on the right (help, cancel, print and printer-setup buttons), the
// screen-code label, the message catalogue and the printer-setup dialog.
// Enter moves to the next control as Tab does, Esc closes the screen and F1
// opens its help.
#include "messages.h"
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
    void FormClose(QObject* sender, TCloseAction& action);
    void FormKeyDown(QObject* sender, TKey& key, TShiftState shift);

    // Opens the screen's help page.
    void ShowHelp();
};
