#include "dbgrid.h"
#include "vcl/graphics.h"
#include <QHeaderView>

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), TWinControl(this) {
    setFont(screenFont());
    verticalHeader()->hide();
    setContextMenuPolicy(Qt::NoContextMenu);
}

void TDBGrid::SetColor(const QColor& color) { setControlColor(viewport(), color); }
