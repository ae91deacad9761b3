#pragma once
// The dialog of the lookup buttons and of the list search: the rows of a
// dataset under the labels of its visible fields. The operator finds a row by
// typing (the first row whose first column starts with what was typed, else
// the first that holds it in any column), picks it with Enter or a double click,
// or gives up with Esc. Each column is as wide as its texts (a name is not
// cut), amounts are aligned right, and the dialog fits on the screen.
#include "zavhost_export.h"
#include <QAbstractTableModel>
#include <QDialog>

class QLineEdit;
class QTableView;
class TDataSet;
class TField;

class ZAVHOST_EXPORT DataSetTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DataSetTableModel(TDataSet* dataSet, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // The text of a cell, as the field displays it on that row.
    QString text(int row, int column) const;
    // The most characters a column's field shows.
    int widthInCharacters(int column) const;

private:
    TDataSet* m_dataSet;
    QList<TField*> m_columns;
};

class ZAVHOST_EXPORT LookupDialog : public QDialog {
    Q_OBJECT
public:
    LookupDialog(const QString& title, TDataSet* dataSet, QWidget* parent = nullptr);
    // The 0-based row picked, -1 when nothing was.
    int chosenRow() const;
    // Moves to the row matching what was typed; false when none does.
    bool locate(const QString& typed);

    QLineEdit* finder() const { return m_find; }
    QTableView* table() const { return m_table; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitColumns();

    DataSetTableModel* m_model;
    QLineEdit* m_find;
    QTableView* m_table;
};
