#include "lookupdialog.h"
#include "data/clientdataset.h"
#include "data/dataset.h"
#include "data/field.h"
#include "hosttexts.h"
#include "vcl/graphics.h"
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QVBoxLayout>

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
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    return text(index.row(), index.column());
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
    resize(560, 380);
    const int current = dataSet->RecNo() - 1;
    if (m_model->rowCount() > 0)
        m_table->selectRow(current >= 0 ? current : 0);
    connect(m_find, &QLineEdit::textEdited, this, [this](const QString& t) { locate(t); });
    connect(m_table, &QTableView::doubleClicked, this, [this] { accept(); });
    m_find->installEventFilter(this);
    m_table->installEventFilter(this);
    m_find->setFocus();
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
