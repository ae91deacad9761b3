#pragma once
// The data grid: a table view over a client dataset, its columns bound to
// fields. The grid follows the dataset's current row and moves it when the
// operator moves. Every way of leaving a row commits it (the in-place editor's
// text into its field, then the post, which runs the dataset's rules): another
// row clicked, Up, Down, Page Up, Page Down, Ctrl+Home, Ctrl+End (also where
// they cannot move, on the first or last row), Enter (which then goes to the
// next row) and the focus leaving the grid; a refused post keeps the operator
// on that row. Only columns of editable fields can be typed into, and only
// while the grid's editing option is on; the first key typed into such a cell
// opens it for edit and is its first character (there is no keyboard search
// that could take keys meant for a cell).
#include "data/dataset.h"
#include "data/datasource.h"
#include "dbgridmodel.h"
#include "vcl/graphics.h"
#include "vcl/keys.h"
#include "vcl/wincontrol.h"
#include "zavhost_export.h"
#include <QFont>
#include <QPointer>
#include <QTableView>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLineEdit;
class TClientDataSet;
class TField;

// Options of the grid.
enum TGridOption : unsigned {
    dgEditing = 1u << 0,
    dgAlwaysShowEditor = 1u << 1,
    dgTitles = 1u << 2,
    dgIndicator = 1u << 3,
    dgColumnResize = 1u << 4,
    dgColLines = 1u << 5,
    dgRowLines = 1u << 6,
    dgTabs = 1u << 7,
    dgRowSelect = 1u << 8,
    dgAlwaysShowSelection = 1u << 9,
    dgConfirmDelete = 1u << 10,
    dgCancelOnExit = 1u << 11,
    dgMultiSelect = 1u << 12,
};

// A column of the grid, bound to a field by name.
class ZAVHOST_EXPORT TColumn {
public:
    QString FieldName;
    int Width = 64;
    QString Title; // empty: the field's display label
    QFont TitleFont;
    Qt::Alignment TitleAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool ReadOnly = false;
    int Index = -1; // position in the grid
    TField* Field() const { return m_field; }

private:
    friend class TDBGrid;
    TField* m_field = nullptr;
};

// What the cell being drawn is.
struct TGridDrawState {
    int row = -1;          // 0-based row of the dataset's view
    bool selected = false; // the grid's current cell
    bool focused = false;  // ...and the grid has the focus
};

using TColumnEvent = std::function<void(TColumn* column)>;
using TDrawColumnCellEvent = std::function<void(QObject* sender, const QRect& rect, int dataCol,
                                                TColumn* column, const TGridDrawState& state)>;
using TGridKeyEvent = std::function<void(QObject* sender, TKey& key, TShiftState shift)>;

class ZAVHOST_EXPORT TDBGrid : public QTableView, public TWinControl {
    Q_OBJECT
public:
    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;
    void SetColor(const QColor& color);

    void SetDataSource(TDataSource* source);
    TDataSource* DataSource() const { return m_source; }
    TClientDataSet* DataSet() const;

    TColumn* AddColumn(const QString& fieldName);
    int ColumnCount() const { return int(m_columns.size()); }
    TColumn* Column(int index) const;
    // Applies the columns' widths and titles after they were changed.
    void LayoutColumns();

    unsigned Options() const { return m_options; }
    void SetOptions(unsigned options);
    bool HasOption(TGridOption o) const { return (m_options & o) != 0; }

    // The selected column (0-based).
    int SelectedIndex() const;
    void SetSelectedIndex(int index);
    TColumn* SelectedField() const { return Column(SelectedIndex()); }
    bool EditorMode() const;
    void SetEditorMode(bool on);
    // Opens the in-place editor of the current cell once the event being
    // handled is over (a refused commit unwound, its message answered), when
    // the row is still pending and the cell can be typed into: what the
    // operator types next goes into that cell.
    void EditWhenIdle();
    // The text in the in-place editor of a column on the current row, when it
    // is open there; otherwise the field's value of the current row.
    QString EditText(int column) const;

    // The surface during OnDrawColumnCell; null outside it.
    TCanvas* Canvas() const { return m_canvas; }

    TColumnEvent OnCellClick;
    TColumnEvent OnTitleClick;
    TGridKeyEvent OnKeyDown;
    TNotifyEvent OnColEnter;
    TDrawColumnCellEvent OnDrawColumnCell;

    using QTableView::edit;
    bool WantsKey(int vk) const override;
    bool HasExit() const override { return true; }
    void DoExit() override;
    // Commits the current row: the open editor's text into its field, then
    // the post. Throws what the post throws (EAbort after the rule's message).
    void PostRow();
    // The operator typed into a cell: its row is open for edit from the first
    // key on, as a pending row the screen and a confirm can see.
    void startRowEdit();
    // The delegate made a new in-place editor.
    void editorOpened(QLineEdit* editor);
    // Moves the grid to the dataset's current row (after the dataset moved).
    void followDataSet();
    void setCanvas(TCanvas* canvas) { m_canvas = canvas; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyboardSearch(const QString& search) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    void bindFields();
    void applyOptions();
    void commitEditor();
    void enterKey();
    QLineEdit* openEditor() const;
    static std::optional<CursorAction> rowMoveOf(const QKeyEvent* event);

    QPointer<TDataSource> m_source;
    std::vector<std::unique_ptr<TColumn>> m_columns;
    TDBGridModel* m_model;
    unsigned m_options = dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs;
    int m_selected = 0;
    bool m_syncing = false;
    TCanvas* m_canvas = nullptr;
    QPointer<QLineEdit> m_editor; // the in-place editor last opened
};

// The text typed in a field's column on the grid's current row, without the
// blanks around it: a reason of blanks is no reason.
ZAVHOST_EXPORT QString GridText(TDBGrid* grid, const QString& fieldName, bool asTyped);
// The grid column showing a field, -1 when none does.
ZAVHOST_EXPORT int IndiceCol(TDBGrid* grid, const QString& fieldName);
