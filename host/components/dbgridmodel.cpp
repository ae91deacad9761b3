#include "dbgridmodel.h"
#include "data/clientdataset.h"
#include "data/field.h"
#include "dbgrid.h"
#include "services/guard.h"

TDBGridModel::TDBGridModel(TDBGrid* grid) : QAbstractTableModel(grid), m_grid(grid) {}

int TDBGridModel::liveRows() const {
    TClientDataSet* ds = m_grid->DataSet();
    return !ds || !ds->Active() ? 0 : ds->ViewRowCount();
}

int TDBGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int TDBGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_grid->ColumnCount();
}

QString TDBGridModel::cellText(int row, int column) const {
    TColumn* c = m_grid->Column(column);
    TClientDataSet* ds = m_grid->DataSet();
    if (!c || !c->Field() || !ds || row >= liveRows())
        return {};
    return c->Field()->DisplayTextOf(ds->value(row, c->Field()->Index()));
}

QVariant TDBGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    TColumn* c = m_grid->Column(index.column());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return cellText(index.row(), index.column());
    case Qt::TextAlignmentRole:
        return c ? QVariant(int(c->Alignment)) : QVariant();
    default:
        return {};
    }
}

bool TDBGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid())
        return false;
    TColumn* c = m_grid->Column(index.column());
    TClientDataSet* ds = m_grid->DataSet();
    if (!c || !c->Field() || !ds || !ds->Active())
        return false;
    const QString text = value.toString();
    if (text == cellText(index.row(), index.column()))
        return true; // nothing typed: the row stays as it was
    return zav::guarded([&] {
        if (ds->RecNo() != index.row() + 1)
            ds->SetRecNo(index.row() + 1);
        if (ds->State() != dsEdit)
            ds->Edit();
        c->Field()->SetAsString(text);
    });
}

Qt::ItemFlags TDBGridModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    TColumn* c = m_grid->Column(index.column());
    if (c && m_grid->HasOption(dgEditing) && !c->ReadOnly && index.column() == m_grid->SelectedIndex())
        f |= Qt::ItemIsEditable;
    return f;
}

QVariant TDBGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    TColumn* c = m_grid->Column(section);
    if (!c)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return !c->Title.isEmpty() ? c->Title : c->Field() ? c->Field()->DisplayLabel() : c->FieldName;
    case Qt::FontRole:
        return c->TitleFont;
    case Qt::TextAlignmentRole:
        return int(c->TitleAlignment);
    default:
        return {};
    }
}

void TDBGridModel::reset() {
    beginResetModel();
    m_rows = liveRows();
    endResetModel();
}

void TDBGridModel::rowChanged(int row) {
    if (row >= 0 && row < rowCount())
        Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
}
