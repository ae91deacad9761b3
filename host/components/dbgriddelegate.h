#pragma once
// The grid's delegate: it draws the text of every cell, then lets the screen
// paint over it (OnDrawColumnCell), and makes the in-place editor of an
// editable cell, whose first edit opens the row for edit.
#include <QStyledItemDelegate>

class TDBGrid;

class GridDelegate : public QStyledItemDelegate {
public:
    explicit GridDelegate(TDBGrid* grid);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;

private:
    TDBGrid* m_grid;
};
