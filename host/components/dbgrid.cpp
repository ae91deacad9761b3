#include "dbgrid.h"
#include "data/clientdataset.h"
#include "data/datasource.h"
#include "data/field.h"
#include "dbgriddelegate.h"
#include "services/guard.h"
#include "vcl/graphics.h"
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QTimer>
#include <optional>

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), TWinControl(this), m_model(new TDBGridModel(this)) {
    setFont(screenFont());
    setModel(m_model);
    setItemDelegate(new GridDelegate(this));
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(18);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setContextMenuPolicy(Qt::NoContextMenu);
    setWordWrap(false);
    applyOptions();
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& i) {
        if (OnCellClick && i.isValid() && i == currentIndex())
            zav::guarded([&] { OnCellClick(Column(i.column())); });
    });
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (OnTitleClick)
            zav::guarded([&] { OnTitleClick(Column(section)); });
    });
}

TDBGrid::~TDBGrid() = default;

void TDBGrid::SetColor(const QColor& color) {
    setControlColor(viewport(), color);
}

TClientDataSet* TDBGrid::DataSet() const {
    return m_source ? qobject_cast<TClientDataSet*>(m_source->DataSet()) : nullptr;
}

void TDBGrid::SetDataSource(TDataSource* source) {
    m_source = source;
    TClientDataSet* ds = DataSet();
    if (!ds)
        return;
    connect(ds, &TDataSet::dataChanged, this, [this] {
        m_model->reset();
        followDataSet();
    });
    connect(ds, &TClientDataSet::rowChanged, this, [this](int row) { m_model->rowChanged(row); });
    connect(ds, &TDataSet::stateChanged, this, [this] {
        TClientDataSet* d = DataSet();
        if (d && !d->ControlsDisabled() && m_model->knownRows() != (d->Active() ? d->ViewRowCount() : 0)) {
            m_model->reset();
            followDataSet();
        }
    });
    connect(ds, &TDataSet::recordChanged, this, [this] { followDataSet(); });
    bindFields();
}

TColumn* TDBGrid::AddColumn(const QString& fieldName) {
    auto c = std::make_unique<TColumn>();
    c->FieldName = fieldName;
    c->Index = int(m_columns.size());
    c->TitleFont = screenFont();
    m_columns.push_back(std::move(c));
    bindFields();
    m_model->reset();
    return m_columns.back().get();
}

TColumn* TDBGrid::Column(int index) const {
    return index >= 0 && index < int(m_columns.size()) ? m_columns[size_t(index)].get() : nullptr;
}

void TDBGrid::LayoutColumns() {
    m_model->reset();
    bindFields();
}

void TDBGrid::bindFields() {
    TClientDataSet* ds = DataSet();
    for (auto& c : m_columns) {
        c->m_field = ds ? ds->FindField(c->FieldName) : nullptr;
        horizontalHeader()->resizeSection(c->Index, c->Width);
    }
}

void TDBGrid::SetOptions(unsigned options) {
    m_options = options;
    applyOptions();
}

void TDBGrid::applyOptions() {
    horizontalHeader()->setVisible(HasOption(dgTitles));
    horizontalHeader()->setSectionResizeMode(HasOption(dgColumnResize) ? QHeaderView::Interactive
                                                                       : QHeaderView::Fixed);
    setShowGrid(HasOption(dgColLines) || HasOption(dgRowLines));
    setTabKeyNavigation(HasOption(dgTabs));
    // No SelectedClicked: it opens the editor only after the double-click
    // interval, and keys typed right after the click would miss the cell.
    setEditTriggers(HasOption(dgEditing)
                        ? QAbstractItemView::AnyKeyPressed | QAbstractItemView::DoubleClicked |
                              QAbstractItemView::EditKeyPressed
                        : QAbstractItemView::NoEditTriggers);
    if (HasOption(dgAlwaysShowSelection)) {
        QPalette p = palette();
        p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
        p.setColor(QPalette::Inactive, QPalette::HighlightedText,
                   p.color(QPalette::Active, QPalette::HighlightedText));
        setPalette(p);
    }
}

int TDBGrid::SelectedIndex() const {
    return m_selected;
}

void TDBGrid::SetSelectedIndex(int index) {
    if (index < 0 || index >= ColumnCount())
        return;
    const int old = m_selected;
    m_selected = index;
    TClientDataSet* ds = DataSet();
    const int row = ds && ds->Active() ? ds->CurrentViewRow() : -1;
    if (row >= 0 && !(ds && ds->ControlsDisabled())) {
        const bool syncing = m_syncing;
        m_syncing = true;
        setCurrentIndex(m_model->index(row, index));
        m_syncing = syncing;
    }
    if (index != old && OnColEnter)
        OnColEnter(this);
}

void TDBGrid::editorOpened(QLineEdit* editor) {
    m_editor = editor;
}

QLineEdit* TDBGrid::openEditor() const {
    // Closed editors linger until deleted: only the one in use counts.
    return m_editor && m_editor->isVisible() ? m_editor.data() : nullptr;
}

bool TDBGrid::EditorMode() const {
    return state() == QAbstractItemView::EditingState;
}

void TDBGrid::SetEditorMode(bool on) {
    if (!on && EditorMode()) {
        // The editor hands over what it holds before it closes.
        if (auto* e = openEditor(); e && e->isVisible()) {
            commitData(e);
            closeEditor(e, QAbstractItemDelegate::NoHint);
        }
    } else if (on && !EditorMode() && currentIndex().isValid()) {
        edit(currentIndex());
    }
}

void TDBGrid::EditWhenIdle() {
    QTimer::singleShot(0, this, [this] {
        TClientDataSet* ds = DataSet();
        if (!ds || !ds->Active() || ds->State() != dsEdit || ds->ControlsDisabled() || EditorMode() ||
            !isVisible() || !isEnabled())
            return;
        followDataSet();
        zav::guarded([this] { SetEditorMode(true); });
    });
}

QString TDBGrid::EditText(int column) const {
    TClientDataSet* ds = DataSet();
    if (!ds || !ds->Active() || ds->CurrentViewRow() < 0)
        return {};
    if (EditorMode() && currentIndex().column() == column && currentIndex().row() == ds->CurrentViewRow())
        if (auto* e = openEditor(); e && e->isVisible())
            return e->text();
    return m_model->cellText(ds->CurrentViewRow(), column);
}

void TDBGrid::followDataSet() {
    TClientDataSet* ds = DataSet();
    if (!ds || m_syncing || ds->ControlsDisabled())
        return;
    const int row = ds->Active() ? ds->CurrentViewRow() : -1;
    m_syncing = true;
    if (row >= 0)
        setCurrentIndex(m_model->index(row, qBound(0, m_selected, ColumnCount() - 1)));
    m_syncing = false;
}

void TDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (m_syncing || !current.isValid())
        return;
    TClientDataSet* ds = DataSet();
    const int oldColumn = m_selected;
    // The column clicked is the selected one from now on, also while the
    // grid follows the dataset to the new row.
    m_selected = current.column();
    if (ds && ds->Active() && current.row() != ds->CurrentViewRow()) {
        // Leaving a row commits it; a refused commit keeps the operator there.
        const bool moved = zav::guarded([&] {
            if (ds->State() == dsEdit)
                ds->Post();
            ds->SetRecNo(current.row() + 1);
        });
        if (!moved) {
            if (m_selected == current.column())
                m_selected = oldColumn;
            followDataSet();
            if (m_selected != oldColumn && OnColEnter)
                zav::guarded([&] { OnColEnter(this); });
            return;
        }
    }
    if (m_selected != oldColumn && OnColEnter)
        zav::guarded([&] { OnColEnter(this); });
}

bool TDBGrid::WantsKey(int vk) const {
    TClientDataSet* ds = DataSet();
    if (vk == VK_ESCAPE)
        return EditorMode() || (ds && ds->State() == dsEdit);
    if (vk == VK_RETURN)
        return EditorMode() || (ds && ds->Active() && !ds->IsEmpty());
    return false;
}

void TDBGrid::keyboardSearch(const QString&) {
    // Printable keys are for the cells: a search would move the current row
    // under the operator's typing.
}

bool TDBGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    const bool editing = QTableView::edit(index, trigger, event);
    // Enter in the editor commits the row here, before the delegate's own
    // handling of Enter (which would only close the editor).
    if (editing)
        if (auto* e = openEditor(); e && e->isVisible()) {
            e->removeEventFilter(this);
            e->installEventFilter(this);
        }
    return editing;
}

bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->objectName() == QLatin1String("InplaceEditor")) {
        const auto* ke = static_cast<QKeyEvent*>(event);
        if ((ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter) &&
            !(ke->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            zav::guarded([&] { enterKey(); });
            return true;
        }
    }
    return QTableView::eventFilter(watched, event);
}

void TDBGrid::commitEditor() {
    if (!EditorMode())
        return;
    if (auto* e = openEditor(); e && e->isVisible()) {
        commitData(e);
        closeEditor(e, QAbstractItemDelegate::NoHint);
    }
}

void TDBGrid::PostRow() {
    commitEditor();
    TClientDataSet* ds = DataSet();
    if (ds && ds->Active() && (ds->State() == dsEdit || ds->State() == dsInsert))
        ds->Post();
}

void TDBGrid::startRowEdit() {
    TClientDataSet* ds = DataSet();
    if (ds && ds->Active() && ds->State() == dsBrowse && ds->CurrentViewRow() >= 0)
        zav::guarded([&] { ds->Edit(); });
}

void TDBGrid::DoExit() {
    // Leaving the grid leaves its row: a refused commit keeps the focus here.
    PostRow();
    TWinControl::DoExit();
}

void TDBGrid::enterKey() {
    PostRow();
    TClientDataSet* ds = DataSet();
    if (!ds || !ds->Active())
        return;
    const int row = ds->CurrentViewRow();
    if (row >= 0 && row + 1 < ds->ViewRowCount())
        setCurrentIndex(m_model->index(row + 1, qBound(0, m_selected, ColumnCount() - 1)));
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    TKey key = vkOf(event->key());
    if (OnKeyDown && key != 0) {
        zav::guarded([&] { OnKeyDown(this, key, TShiftState::from(event->modifiers())); });
        if (key == 0)
            return;
    }
    TClientDataSet* ds = DataSet();
    // A key that leaves the row but has nowhere to go (Up on the first row,
    // Ctrl+End on the last) commits it all the same; one that moves commits it
    // on the way (currentChanged).
    if (const std::optional<CursorAction> action = rowMoveOf(event);
        action && ds && ds->Active() && currentIndex().isValid()) {
        if (moveCursor(*action, event->modifiers()).row() == currentIndex().row() &&
            !(event->key() == Qt::Key_Down && ds->CurrentViewRow() == ds->ViewRowCount() - 1)) {
            zav::guarded([&] { PostRow(); });
            return;
        }
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (ds && ds->Active() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            zav::guarded([&] { enterKey(); });
            return;
        }
        break;
    case Qt::Key_Escape:
        if (ds && ds->State() == dsEdit) {
            zav::guarded([&] { ds->Cancel(); });
            return;
        }
        break;
    case Qt::Key_Insert:
        // The list holds what the server delivered: no row is added.
        if (ds && ds->Active())
            zav::guarded([&] { ds->Insert(); });
        return;
    case Qt::Key_Down:
        if (ds && ds->Active() && ds->CurrentViewRow() == ds->ViewRowCount() - 1 &&
            !event->modifiers().testFlag(Qt::ControlModifier)) {
            // Below the last row: the row is committed, and the new row the
            // list would add is refused by the dataset.
            zav::guarded([&] {
                PostRow();
                ds->Append();
            });
            return;
        }
        break;
    case Qt::Key_Delete:
        if (!EditorMode())
            return; // rows are not deleted from the list
        break;
    default:
        break;
    }
    QTableView::keyPressEvent(event);
}

// The keys that move to another row, as the view's cursor moves.
std::optional<QAbstractItemView::CursorAction> TDBGrid::rowMoveOf(const QKeyEvent* event) {
    const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
    switch (event->key()) {
    case Qt::Key_Up:
        return QAbstractItemView::MoveUp;
    case Qt::Key_Down:
        return QAbstractItemView::MoveDown;
    case Qt::Key_PageUp:
        return QAbstractItemView::MovePageUp;
    case Qt::Key_PageDown:
        return QAbstractItemView::MovePageDown;
    case Qt::Key_Home:
        return ctrl ? std::optional(QAbstractItemView::MoveHome) : std::nullopt;
    case Qt::Key_End:
        return ctrl ? std::optional(QAbstractItemView::MoveEnd) : std::nullopt;
    default:
        return std::nullopt;
    }
}

QString GridText(TDBGrid* grid, const QString& fieldName, bool) {
    const int column = IndiceCol(grid, fieldName);
    return column < 0 ? QString() : grid->EditText(column).trimmed();
}

int IndiceCol(TDBGrid* grid, const QString& fieldName) {
    for (int i = 0; i < grid->ColumnCount(); ++i)
        if (grid->Column(i)->FieldName.compare(fieldName, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}
