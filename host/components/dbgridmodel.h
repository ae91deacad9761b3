#pragma once
// The grid's model: the rows of the grid's client dataset (its view: index
// order, filter applied) as the grid's columns show them, read without moving
// the dataset; typing into an editable cell writes the field of that row.
#include "zavhost_export.h"
#include <QAbstractTableModel>

class TDBGrid;

class ZAVHOST_EXPORT TDBGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TDBGridModel(TDBGrid* grid);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // The text the grid shows for a cell.
    QString cellText(int row, int column) const;
    void reset();
    void rowChanged(int row);

    // The rows as the view knows them, until the next reset.
    int knownRows() const { return m_rows; }

private:
    int liveRows() const;
    TDBGrid* m_grid;
    int m_rows = 0;
};
