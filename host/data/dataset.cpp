#include "dataset.h"
#include "services/guard.h"

#include "datasource.h"
#include "edatabaseerror.h"

TDataSet::TDataSet(QObject* parent) : QObject(parent) {}

TDataSet::~TDataSet() = default;

void TDataSet::Open() {
    if (Active())
        return;
    doOpen();
    m_row = rowCount() > 0 ? 0 : -1;
    m_bof = true;
    m_eof = rowCount() == 0;
    setState(dsBrowse);
    notifyDataChanged();
    notifyRecordChanged();
}

void TDataSet::Close() {
    if (!Active())
        return;
    doClose();
    m_row = -1;
    m_bof = m_eof = true;
    setState(dsInactive);
    notifyDataChanged();
}

int TDataSet::RecordCount() const {
    return Active() ? rowCount() : 0;
}

int TDataSet::RecNo() const {
    return Active() && m_row >= 0 ? m_row + 1 : -1;
}

void TDataSet::beginMove() {
    checkActive("posicionar");
    // Moving commits a pending row first; a refused commit stops the move.
    if (m_state == dsEdit || m_state == dsInsert)
        Post();
}

void TDataSet::SetRecNo(int recNo) {
    beginMove();
    if (recNo < 1 || recNo > rowCount())
        throw EDatabaseError(QStringLiteral("%1: registro %2 fora do intervalo 1 a %3.")
                                 .arg(describeName(), QString::number(recNo), QString::number(rowCount())));
    m_bof = m_eof = false;
    moveTo(recNo - 1);
}

void TDataSet::First() {
    beginMove();
    m_bof = true;
    m_eof = rowCount() == 0;
    moveTo(rowCount() > 0 ? 0 : -1);
}

void TDataSet::Last() {
    beginMove();
    m_eof = true;
    m_bof = rowCount() == 0;
    moveTo(rowCount() - 1);
}

void TDataSet::Next() {
    beginMove();
    if (m_row + 1 >= rowCount()) {
        m_eof = true;
        return;
    }
    m_bof = m_eof = false;
    moveTo(m_row + 1);
}

void TDataSet::Prior() {
    beginMove();
    if (m_row <= 0) {
        m_bof = true;
        return;
    }
    m_bof = m_eof = false;
    moveTo(m_row - 1);
}

bool TDataSet::Eof() const {
    return !Active() || m_eof;
}

bool TDataSet::Bof() const {
    return !Active() || m_bof;
}

TField* TDataSet::FindField(const QString& name) const {
    for (TField* f : m_fieldList) {
        if (f->FieldName().compare(name, Qt::CaseInsensitive) == 0)
            return f;
    }
    return nullptr;
}

TField* TDataSet::FieldByName(const QString& name) const {
    TField* f = FindField(name);
    if (!f)
        throw EDatabaseError(QStringLiteral("%1: campo \"%2\" não encontrado.").arg(describeName(), name));
    return f;
}

void TDataSet::DisableControls() {
    ++m_disableCount;
}

void TDataSet::EnableControls() {
    if (m_disableCount == 0)
        return;
    if (--m_disableCount > 0)
        return;
    const bool data = m_pendingData;
    const bool record = m_pendingRecord;
    m_pendingData = m_pendingRecord = false;
    if (data)
        Q_EMIT dataChanged();
    if (record)
        Q_EMIT recordChanged();
}

void TDataSet::Edit() {
    readOnly("editar");
}
void TDataSet::Insert() {
    readOnly("incluir");
}
void TDataSet::Post() {
    readOnly("gravar");
}
void TDataSet::Cancel() {
    // Nothing is ever pending in a dataset that cannot be edited.
}

void TDataSet::setFieldValue(TField& field, const QVariant&) {
    throw EDatabaseError(QStringLiteral("%1: o campo %2 não pode ser alterado (somente leitura).")
                             .arg(describeName(), field.FieldName()));
}

void TDataSet::setState(TDataSetState state) {
    if (state == m_state)
        return;
    m_state = state;
    // A copy: a handler may attach or detach sources.
    const QList<QPointer<TDataSource>> sources = m_sources;
    for (const QPointer<TDataSource>& source : sources) {
        if (source)
            source->stateChangedBy(this);
    }
    Q_EMIT stateChanged();
}

void TDataSet::notifyRecordChanged() {
    if (ControlsDisabled())
        m_pendingRecord = true;
    else
        Q_EMIT recordChanged();
}

void TDataSet::notifyDataChanged() {
    if (ControlsDisabled())
        m_pendingData = true;
    else
        Q_EMIT dataChanged();
}

void TDataSet::checkActive(const char* operation) const {
    if (!Active())
        throw EDatabaseError(QStringLiteral("%1: não é possível %2 com o conjunto de dados fechado.")
                                 .arg(describeName(), QLatin1String(operation)));
}

void TDataSet::readOnly(const char* operation) const {
    throw EDatabaseError(QStringLiteral("%1: não é possível %2, o conjunto de dados é somente leitura.")
                             .arg(describeName(), QLatin1String(operation)));
}

TField* TDataSet::addField(const TFieldDef& def) {
    if (def.name.isEmpty())
        throw EDatabaseError(QStringLiteral("%1: campo sem nome.").arg(describeName()));
    if (FindField(def.name))
        throw EDatabaseError(
            QStringLiteral("%1: campo \"%2\" declarado duas vezes.").arg(describeName(), def.name));
    m_fields.push_back(std::make_unique<TField>(this, def, int(m_fields.size())));
    m_fieldList.append(m_fields.back().get());
    return m_fields.back().get();
}

void TDataSet::clearFields() {
    m_fieldList.clear();
    m_fields.clear();
}

QString TDataSet::describeName() const {
    return objectName().isEmpty() ? QString::fromLatin1(metaObject()->className()) : objectName();
}

void TDataSet::attach(TDataSource* source) {
    if (!m_sources.contains(source))
        m_sources.append(source);
}

void TDataSet::detach(TDataSource* source) {
    m_sources.removeAll(source);
}

void TDataSet::moveTo(int row) {
    if (row == m_row)
        return;
    m_row = row;
    notifyRecordChanged();
}

TControlsDisabled::~TControlsDisabled() {
    // The signals it sends reach the grid's slots, which may not throw here.
    if (m_dataSet)
        zav::guarded([this] { m_dataSet->EnableControls(); });
}
