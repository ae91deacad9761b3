#pragma once
// The data grid: a table view over a dataset, its columns bound to fields.
#include "vcl/wincontrol.h"
#include "zavhost_export.h"
#include <QTableView>

class ZAVHOST_EXPORT TDBGrid : public QTableView, public TWinControl {
    Q_OBJECT
public:
    explicit TDBGrid(QWidget* parent = nullptr);
    void SetColor(const QColor& color);
};
