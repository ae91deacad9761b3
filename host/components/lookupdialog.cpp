#include "lookupdialog.h"
#include "data/clientdataset.h"
#include "data/dataset.h"
#include "data/field.h"
#include "services/hosttexts.h"
#include "vcl/graphics.h"
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

DataSetTableModel::DataSetTableModel(TDataSet* dataSet, QObject* parent)
    : QAbstractTableModel(parent), m_dataSet(dataSet) {
    for (TField* f : dataSet->Fields())
        if (f->Visible())
            m_columns.append(f);
}

int DataSetTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_dataSet->RecordCount();
}

int DataSetTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_columns.size());
}

QString DataSetTableModel::text(int row, int column) const {
    TField* field = m_columns[column];
    // A client dataset is read by row, without moving it: its current row may
    // be open for edit, and moving would commit (or refuse) it under a paint.
    auto* cds = qobject_cast<TClientDataSet*>(m_dataSet);
    if (cds && !field->OnGetText)
        return field->DisplayTextOf(cds->value(row, field->Index()));
    // Other datasets are read on their current row: stand on the row asked,
    // then back where the dataset was.
    const int keep = m_dataSet->RecNo();
    if (keep != row + 1)
        m_dataSet->SetRecNo(row + 1);
    QString t = field->OnGetText ? field->DisplayText() : field->DisplayTextOf(field->Value());
    if (keep != row + 1 && keep > 0)
        m_dataSet->SetRecNo(keep);
    return t;
}

QVariant DataSetTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    if (role == Qt::TextAlignmentRole) {
        // Amounts and counts line up on their last digit, as in the grid.
        const TFieldType type = m_columns[index.column()]->DataType();
        return type == ftFloat || type == ftInteger ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                                    : QVariant();
    }
    if (role != Qt::DisplayRole)
        return {};
    return text(index.row(), index.column());
}

int DataSetTableModel::widthInCharacters(int column) const {
    const TField* field = m_columns[column];
    switch (field->DataType()) {
    case ftString:
        return field->Size();
    case ftDateTime:
        return 10;
    case ftFloat:
        return 16;
    case ftInteger:
        return 10;
    }
    return field->Size();
}

QVariant DataSetTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section >= m_columns.size())
        return {};
    return m_columns[section]->DisplayLabel();
}

LookupDialog::LookupDialog(const QString& title, TDataSet* dataSet, QWidget* parent)
    : QDialog(parent), m_model(new DataSetTableModel(dataSet, this)), m_find(new QLineEdit(this)),
      m_table(new QTableView(this)) {
    setObjectName(QStringLiteral("LookupDialog"));
    setWindowTitle(title);
    setFont(screenFont());
    m_find->setObjectName(QStringLiteral("edtLocalizar"));
    m_table->setObjectName(QStringLiteral("grdPesquisa"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(18);
    m_table->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(HostText::text(HostText::Find), this);
    label->setBuddy(m_find);
    layout->addWidget(label);
    layout->addWidget(m_find);
    layout->addWidget(m_table, 1);
    fitColumns();
    const int current = dataSet->RecNo() - 1;
    if (m_model->rowCount() > 0)
        m_table->selectRow(current >= 0 ? current : 0);
    connect(m_find, &QLineEdit::textEdited, this, [this](const QString& t) { locate(t); });
    connect(m_table, &QTableView::doubleClicked, this, [this] { accept(); });
    m_find->installEventFilter(this);
    m_table->installEventFilter(this);
    m_find->setFocus();
}

void LookupDialog::fitColumns() {
    // Each column as wide as its longest text among the first rows (a
    // formatted CNPJ, a company's name), within what its field can hold,
    // and never narrower than its label; the dialog as wide as its columns,
    // within the screen.
    constexpr int kRowsMeasured = 1000;
    const QFontMetrics fm(m_table->font());
    const QFontMetrics headerFm(m_table->horizontalHeader()->font());
    const int padding =
        2 * fm.averageCharWidth() + 2 * m_table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin);
    const int rows = std::min(m_model->rowCount(), kRowsMeasured);
    int total = 0;
    for (int c = 0; c < m_model->columnCount(); ++c) {
        const int most = fm.averageCharWidth() * m_model->widthInCharacters(c);
        int widest = 0;
        for (int r = 0; r < rows; ++r)
            widest = std::max(widest, fm.horizontalAdvance(m_model->text(r, c)));
        const int label =
            headerFm.horizontalAdvance(m_model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
        const int width = std::max(label + padding + headerFm.averageCharWidth() * 2,
                                   std::min(widest, std::max(most, fm.averageCharWidth() * 4)) + padding);
        m_table->setColumnWidth(c, width);
        total += width;
    }
    const int chrome = 2 * m_table->frameWidth() + m_table->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                       layout()->contentsMargins().left() + layout()->contentsMargins().right() + 4;
    int width = std::max(560, total + chrome);
    int height = 380;
    if (const QScreen* screen =
            parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen()) {
        const QRect room = screen->availableGeometry();
        width = std::min(width, room.width() * 9 / 10);
        height = std::min(height, room.height() * 9 / 10);
    }
    resize(width, height);
}

int LookupDialog::chosenRow() const {
    if (result() != QDialog::Accepted)
        return -1;
    const QModelIndex i = m_table->currentIndex();
    return i.isValid() ? i.row() : -1;
}

bool LookupDialog::locate(const QString& typed) {
    const QString t = typed.trimmed();
    if (t.isEmpty())
        return false;
    const int rows = m_model->rowCount();
    const int cols = m_model->columnCount();
    for (int r = 0; r < rows; ++r)
        if (cols > 0 && m_model->text(r, 0).startsWith(t, Qt::CaseInsensitive)) {
            m_table->selectRow(r);
            return true;
        }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            if (m_model->text(r, c).contains(t, Qt::CaseInsensitive)) {
                m_table->selectRow(r);
                return true;
            }
    return false;
}

bool LookupDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(event);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            if (m_table->currentIndex().isValid())
                accept();
            return true;
        }
        // Arrows in the finder move through the rows.
        if (watched == m_find && (k->key() == Qt::Key_Up || k->key() == Qt::Key_Down ||
                                  k->key() == Qt::Key_PageUp || k->key() == Qt::Key_PageDown)) {
            QCoreApplication::sendEvent(m_table, event);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
