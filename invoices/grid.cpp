// The selection grid of the invoice list: its columns, options and events,
// the tick cell and the reason typed beside it.
#include "Cli_Zav50000.h"

void TfrmCancelaNFE::setupGrid() {}

void TfrmCancelaNFE::ToggleCurrentRow() {}

void TfrmCancelaNFE::dbgPadraoCellClick(TColumn*) {}

void TfrmCancelaNFE::dbgPadraoKeyDown(QObject*, TKey&, TShiftState) {}

void TfrmCancelaNFE::dbgPadraoTitleClick(TColumn*) {}

void TfrmCancelaNFE::dbgPadraoColEnter(QObject*) {}

void TfrmCancelaNFE::dbgPadraoDrawColumnCell(QObject*, const QRect&, int, TColumn*, const TGridDrawState&) {}

void TfrmCancelaNFE::cdsNotaFiscalBeforePost(TDataSet*) {}

void TfrmCancelaNFE::cdsNotaFiscalBeforeInsert(TDataSet*) {}
