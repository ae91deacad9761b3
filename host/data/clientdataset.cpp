#include "clientdataset.h"

#include "edatabaseerror.h"
#include "services/guard.h"

#include <QRegularExpression>
#include <algorithm>
#include <numeric>
#include <string_view>

namespace {

bool compatible(TFieldType declared, TFieldType delivered) {
    if (declared == delivered)
        return true;
    return declared == ftFloat && delivered == ftInteger;
}

std::string_view bytesOf(QUtf8StringView text) {
    return {text.data(), size_t(text.size())};
}

} // namespace

TClientDataSet::TClientDataSet(QObject* parent) : TDataSet(parent) {}

TClientDataSet::~TClientDataSet() = default;

TField* TClientDataSet::AddField(const TFieldDef& def) {
    if (Active())
        throw EDatabaseError(
            QStringLiteral("%1: campos só podem ser declarados com o conjunto de dados fechado.")
                .arg(describeName()));
    if (m_dynamicFields) {
        clearFields();
        m_dynamicFields = false;
    }
    return addField(def);
}

// --- data -------------------------------------------------------------------

void TClientDataSet::SetData(const QVariant& data) {
    if (data.isNull() || !data.isValid()) {
        Close();
        return;
    }
    if (data.metaType() != QMetaType::fromType<DataPacket>()) {
        Close();
        DataPacket::refuse(QStringLiteral("esperado um pacote de dados, recebido um valor do tipo %1")
                               .arg(QLatin1StringView(data.metaType().name())));
    }
    SetData(data.value<DataPacket>());
}

void TClientDataSet::SetData(const DataPacket& packet) {
    // The new list replaces the old one whole, pending edits included; when it
    // is refused the dataset stays closed rather than showing the old list as
    // if it were the answer.
    Close();

    const bool dynamic = Fields().isEmpty() || m_dynamicFields;
    std::vector<int> columns;
    if (!dynamic) {
        for (TField* f : Fields()) {
            const int c = packet.indexOf(f->FieldName());
            if (c < 0)
                DataPacket::refuse(QStringLiteral("campo %1 ausente").arg(f->FieldName()));
            const TFieldType delivered = packet.fields().at(c).type;
            if (!compatible(f->DataType(), delivered))
                DataPacket::refuse(QStringLiteral("campo %1: esperado %2, recebido %3")
                                       .arg(f->FieldName(), DataPacket::describeType(f->DataType()),
                                            DataPacket::describeType(delivered)));
            columns.push_back(c);
        }
    }
    if (!m_indexField.isEmpty() && packet.indexOf(m_indexField) < 0)
        DataPacket::refuse(QStringLiteral("campo %1 ausente").arg(m_indexField));

    m_packet = packet;
    m_hasData = true;
    try {
        if (dynamic) {
            clearFields();
            m_dynamicFields = true;
            columns.clear();
            for (int c = 0; c < packet.fieldCount(); ++c) {
                const DataPacketField& pf = packet.fields().at(c);
                TFieldDef def;
                def.name = pf.name;
                def.type = pf.type;
                def.size = pf.size;
                addField(def);
                columns.push_back(c);
            }
        }
        m_fieldColumn = std::move(columns);
        sortRows();
        rebuildView();
        Open();
    } catch (...) {
        doClose();
        throw;
    }
}

DataPacket TClientDataSet::Data() const {
    if (!m_hasData)
        throw EDatabaseError(
            QStringLiteral("%1: não há dados (o conjunto de dados está fechado).").arg(describeName()));
    return m_packet.select(m_order);
}

QVariant TClientDataSet::DataVariant() const {
    return m_hasData ? QVariant::fromValue(Data()) : QVariant();
}

void TClientDataSet::doOpen() {
    if (!m_hasData)
        throw EDatabaseError(
            QStringLiteral("%1: não há dados para abrir; os dados chegam com SetData.").arg(describeName()));
}

void TClientDataSet::doClose() {
    m_packet = DataPacket();
    m_hasData = false;
    m_order = {};
    m_view = {};
    m_pending = {};
    m_arrivals = {};
    m_changed = {};
    m_delivered = {};
    m_changedCount = 0;
    m_fieldColumn.clear();
    if (m_dynamicFields) {
        clearFields();
        m_dynamicFields = false;
    }
}

// --- index and filter ---------------------------------------------------------

void TClientDataSet::sortRows() {
    m_order.resize(size_t(m_packet.rowCount()));
    std::iota(m_order.begin(), m_order.end(), 0);
    if (m_indexField.isEmpty())
        return;
    const int c = m_packet.indexOf(m_indexField);
    const TFieldType type = m_packet.fields().at(c).type;
    if (type == ftString) {
        // UTF-8 bytes sort in the order of their characters. A NULL reads as ''.
        std::stable_sort(m_order.begin(), m_order.end(), [this, c](int a, int b) {
            return bytesOf(m_packet.text(a, c)) < bytesOf(m_packet.text(b, c));
        });
        return;
    }
    // Other types: a key per row, NULLs first.
    std::vector<std::pair<bool, double>> keys(m_order.size());
    for (size_t r = 0; r < keys.size(); ++r) {
        const QVariant v = m_packet.value(int(r), c);
        if (v.isNull())
            keys[r] = {false, 0.0};
        else if (type == ftDateTime)
            keys[r] = {true, double(v.toDateTime().toMSecsSinceEpoch())};
        else
            keys[r] = {true, v.toDouble()};
    }
    std::stable_sort(m_order.begin(), m_order.end(),
                     [&keys](int a, int b) { return keys[size_t(a)] < keys[size_t(b)]; });
}

void TClientDataSet::rebuildView() {
    if (!m_filtered || m_filterField.isEmpty()) {
        m_view = m_order;
        return;
    }
    const int c = m_packet.indexOf(m_filterField);
    if (c < 0)
        throw EDatabaseError(QStringLiteral("%1: o filtro \"%2\" usa o campo %3, que os dados não têm.")
                                 .arg(describeName(), m_filterText, m_filterField));
    if (m_packet.fields().at(c).type != ftString)
        throw EDatabaseError(QStringLiteral("%1: o filtro \"%2\" compara o campo %3, que não é de texto.")
                                 .arg(describeName(), m_filterText, m_filterField));
    std::vector<int> view;
    const std::string_view wanted(m_filterValue);
    for (int r : m_order)
        if (bytesOf(m_packet.text(r, c)) == wanted)
            view.push_back(r);
    m_view = std::move(view);
}

void TClientDataSet::applyFilter() {
    rebuildView();
    First();
    notifyRecordChanged();
    notifyDataChanged();
}

void TClientDataSet::SetIndexFieldNames(const QString& names) {
    const QString name = names.trimmed();
    if (name.contains(u';'))
        throw EDatabaseError(QStringLiteral("%1: o índice \"%2\" tem mais de um campo; só um campo é aceito.")
                                 .arg(describeName(), names));
    if (name.compare(m_indexField, Qt::CaseInsensitive) == 0 && name.size() == m_indexField.size())
        return;
    if (m_hasData && !name.isEmpty() && m_packet.indexOf(name) < 0)
        throw EDatabaseError(
            QStringLiteral("%1: campo do índice %2 não encontrado.").arg(describeName(), name));
    checkBrowse("mudar o índice");
    m_indexField = name;
    if (m_hasData) {
        sortRows();
        applyFilter();
    }
}

void TClientDataSet::SetFilter(const QString& expression) {
    // FIELD = 'text', '' standing for a quote inside the text.
    static const QRegularExpression form(
        QStringLiteral("^\\s*([A-Za-z_][A-Za-z0-9_]*)\\s*=\\s*'((?:[^']|'')*)'\\s*$"));
    QString field;
    QByteArray value;
    if (!expression.trimmed().isEmpty()) {
        const QRegularExpressionMatch m = form.match(expression);
        if (!m.hasMatch())
            throw EDatabaseError(
                QStringLiteral("%1: filtro \"%2\" não suportado; use a forma CAMPO = 'texto'.")
                    .arg(describeName(), expression));
        field = m.captured(1);
        value = m.captured(2).replace(QStringLiteral("''"), QStringLiteral("'")).toUtf8();
    }
    if (m_filtered && Active())
        checkBrowse("mudar o filtro");
    const QString oldText = m_filterText, oldField = m_filterField;
    const QByteArray oldValue = m_filterValue;
    m_filterText = expression;
    m_filterField = field;
    m_filterValue = value;
    if (m_filtered && Active()) {
        try {
            applyFilter();
        } catch (...) {
            m_filterText = oldText;
            m_filterField = oldField;
            m_filterValue = oldValue;
            throw;
        }
    }
}

void TClientDataSet::SetFiltered(bool filtered) {
    if (filtered == m_filtered)
        return;
    if (Active())
        checkBrowse(filtered ? "ligar o filtro" : "desligar o filtro");
    m_filtered = filtered;
    if (Active()) {
        try {
            applyFilter();
        } catch (...) {
            m_filtered = !filtered;
            rebuildView();
            throw;
        }
    }
}

// --- editing -------------------------------------------------------------------

void TClientDataSet::checkBrowse(const char*) {
    if (State() == dsEdit)
        Post();
}

void TClientDataSet::Edit() {
    checkActive("editar");
    if (State() == dsEdit)
        return;
    if (currentRow() < 0)
        throw EDatabaseError(QStringLiteral("%1: não há registro para editar.").arg(describeName()));
    // The buffer is emptied when a row is posted or cancelled; only its size
    // may have to follow the fields.
    if (m_pending.set.size() != size_t(Fields().size())) {
        m_pending.values.assign(size_t(Fields().size()), QVariant());
        m_pending.set.assign(size_t(Fields().size()), false);
    }
    setState(dsEdit);
}

void TClientDataSet::Insert() {
    checkActive("incluir");
    if (BeforeInsert)
        BeforeInsert(this);
    throw EDatabaseError(
        QStringLiteral("%1: não é possível incluir registros; a lista contém só o que o servidor "
                       "enviou.")
            .arg(describeName()));
}

void TClientDataSet::Append() {
    Insert();
}

void TClientDataSet::Post() {
    checkActive("gravar");
    if (State() != dsEdit)
        return;
    // A refusing handler leaves the row in edit with what was typed.
    if (BeforePost)
        BeforePost(this);
    const int row = currentRow();
    const int packetRow = m_view[size_t(row)];
    bool changed = false;
    for (size_t i = 0; i < m_pending.set.size(); ++i) {
        if (m_pending.set[i]) {
            if (m_packet.value(packetRow, m_fieldColumn[i]) != m_pending.values[i]) {
                rememberArrival(m_fieldColumn[i]);
                changed = true;
            }
            m_packet.setValue(packetRow, m_fieldColumn[i], m_pending.values[i]);
            m_pending.values[i] = QVariant();
            m_pending.set[i] = false;
        }
    }
    if (changed)
        noteChange(packetRow);
    setState(dsBrowse);
    emitRowChanged(row);
}

void TClientDataSet::Cancel() {
    if (State() != dsEdit)
        return;
    for (size_t i = 0; i < m_pending.set.size(); ++i)
        if (m_pending.set[i]) {
            m_pending.values[i] = QVariant();
            m_pending.set[i] = false;
        }
    setState(dsBrowse);
    emitRowChanged(currentRow());
}

bool TClientDataSet::Arrival::same(const DataPacket& packet, int row) const {
    if (!text)
        return packet.value(row, column) == values[size_t(row)];
    const qsizetype begin = row == 0 ? 0 : ends[size_t(row) - 1];
    const std::string_view arrived(bytes.constData() + begin, size_t(ends[size_t(row)] - begin));
    return bytesOf(packet.text(row, column)) == arrived;
}

void TClientDataSet::rememberArrival(int column) {
    for (const Arrival& a : m_arrivals)
        if (a.column == column)
            return;
    Arrival a;
    a.column = column;
    a.text = m_packet.fields().at(column).type == ftString;
    const int rows = m_packet.rowCount();
    if (a.text) {
        a.ends.reserve(size_t(rows));
        for (int r = 0; r < rows; ++r) {
            const QUtf8StringView t = m_packet.text(r, column);
            a.bytes.append(t.data(), t.size());
            a.ends.push_back(a.bytes.size());
        }
    } else {
        a.values.reserve(size_t(rows));
        for (int r = 0; r < rows; ++r)
            a.values.push_back(m_packet.value(r, column));
    }
    m_arrivals.push_back(std::move(a));
}

bool TClientDataSet::asArrived(int packetRow) const {
    return std::all_of(m_arrivals.begin(), m_arrivals.end(),
                       [&](const Arrival& a) { return a.same(m_packet, packetRow); });
}

void TClientDataSet::setChanged(int packetRow, bool changed) {
    if (m_changed.size() != size_t(m_packet.rowCount()))
        m_changed.resize(size_t(m_packet.rowCount()), false);
    if (m_changed[size_t(packetRow)] == changed)
        return;
    m_changed[size_t(packetRow)] = changed;
    m_changedCount += changed ? 1 : -1;
}

void TClientDataSet::noteChange(int packetRow) {
    // A delivered row that changes is work again, whatever it went back to.
    const bool delivered = size_t(packetRow) < m_delivered.size() && m_delivered[size_t(packetRow)];
    if (delivered)
        m_delivered[size_t(packetRow)] = false;
    setChanged(packetRow, delivered || !asArrived(packetRow));
}

bool TClientDataSet::EditDiffers() const {
    if (State() != dsEdit)
        return State() == dsInsert;
    const int row = currentRow();
    if (row < 0)
        return false;
    const int packetRow = m_view[size_t(row)];
    for (size_t i = 0; i < m_pending.set.size(); ++i)
        if (m_pending.set[i] && m_packet.value(packetRow, m_fieldColumn[i]) != m_pending.values[i])
            return true;
    return false;
}

void TClientDataSet::Delivered(int viewRow) {
    if (!Active() || viewRow < 0 || viewRow >= int(m_view.size()))
        return;
    const int packetRow = m_view[size_t(viewRow)];
    if (m_delivered.size() != size_t(m_packet.rowCount()))
        m_delivered.resize(size_t(m_packet.rowCount()), false);
    m_delivered[size_t(packetRow)] = true;
    setChanged(packetRow, false);
}

// --- passes over many rows ---------------------------------------------------------

// The bytes a string field's pass writes, checked as a post would check them
// (TField::convert, the field's size); throws EDatabaseError before anything
// is written.
QByteArray TClientDataSet::passText(const TField& field, const QString& text) const {
    checkActive("gravar");
    if (State() != dsBrowse)
        throw EDatabaseError(
            QStringLiteral("%1: há um registro em edição; grave-o antes de alterar várias linhas.")
                .arg(describeName()));
    const int index = field.Index();
    if (index < 0 || index >= Fields().size() || Fields().at(index) != &field)
        throw EDatabaseError(QStringLiteral("%1: o campo %2 não é deste conjunto de dados.")
                                 .arg(describeName(), field.FieldName()));
    if (field.DataType() != ftString)
        throw EDatabaseError(
            QStringLiteral("%1: o campo %2 não é de texto.").arg(describeName(), field.FieldName()));
    const QString value = TField::convert(text, ftString, field.FieldName()).toString();
    if (field.Size() > 0 && value.size() > field.Size())
        throw EDatabaseError(QStringLiteral("%1: o campo %2 aceita no máximo %3 caracteres; o texto tem %4.")
                                 .arg(describeName(), field.FieldName())
                                 .arg(field.Size())
                                 .arg(value.size()));
    QByteArray utf8 = value.toUtf8();
    if (utf8.size() > DataPacket::kMaxTextBytes)
        throw EDatabaseError(
            QStringLiteral("%1: o texto do campo %2 é longo demais.").arg(describeName(), field.FieldName()));
    return utf8;
}

// Writes the text on one view row of the pass: straight into the storage, as
// a post would leave it.
void TClientDataSet::passWrite(int row, int column, QUtf8StringView bytes) {
    const int packetRow = m_view[size_t(row)];
    // A NULL cell reads as '' for the comparison, as a post compares it.
    const bool differs = bytesOf(m_packet.text(packetRow, column)) != bytesOf(bytes);
    if (differs || m_packet.isNull(packetRow, column))
        m_packet.setText(packetRow, column, bytes);
    if (differs)
        noteChange(packetRow);
}

int TClientDataSet::SetTextOnRows(const TField& field, const QString& text, int from,
                                  const RowFilter& accept) {
    const QByteArray utf8 = passText(field, text);
    const QUtf8StringView bytes(utf8);
    const int column = m_fieldColumn[size_t(field.Index())];
    rememberArrival(column);
    const int rows = int(m_view.size());
    const int first = std::max(from, 0);
    int row = first;
    // The rows written are told, also when accept throws on a later one.
    const zav::Finally tell([&] {
        if (row > first)
            notifyDataChanged();
    });
    for (; row < rows; ++row) {
        if (accept && !accept(row))
            break;
        passWrite(row, column, bytes);
    }
    return row;
}

int TClientDataSet::SetTextWhere(const TField& field, const QString& text, const RowFilter& where) {
    const QByteArray utf8 = passText(field, text);
    const QUtf8StringView bytes(utf8);
    const int column = m_fieldColumn[size_t(field.Index())];
    rememberArrival(column);
    const int rows = int(m_view.size());
    int written = 0;
    const zav::Finally tell([&] {
        if (written > 0)
            notifyDataChanged();
    });
    for (int row = 0; row < rows; ++row)
        if (!where || where(row)) {
            passWrite(row, column, bytes);
            ++written;
        }
    return written;
}

QUtf8StringView TClientDataSet::StoredText(int row, const TField& field) const {
    const int index = field.Index();
    if (!Active() || row < 0 || row >= int(m_view.size()) || index < 0 ||
        index >= int(m_fieldColumn.size()) || field.DataType() != ftString)
        return {};
    return m_packet.text(m_view[size_t(row)], m_fieldColumn[size_t(index)]);
}

void TClientDataSet::emitRowChanged(int row) {
    if (row < 0)
        return;
    if (ControlsDisabled())
        notifyDataChanged(); // held back: one dataChanged at EnableControls
    else
        Q_EMIT rowChanged(row);
}

// --- values --------------------------------------------------------------------------

QVariant TClientDataSet::value(int row, int fieldIndex) const {
    if (!Active() || row < 0 || row >= int(m_view.size()) || fieldIndex < 0 ||
        fieldIndex >= int(m_fieldColumn.size()))
        return {};
    if (row == currentRow() && State() == dsEdit && m_pending.set[size_t(fieldIndex)])
        return m_pending.values[size_t(fieldIndex)];
    return m_packet.value(m_view[size_t(row)], m_fieldColumn[size_t(fieldIndex)]);
}

QVariant TClientDataSet::fieldValue(const TField& field) const {
    checkActive("ler o campo");
    const int row = currentRow();
    if (row < 0)
        return QVariant(field.DataType() == ftString    ? QMetaType::fromType<QString>()
                        : field.DataType() == ftFloat   ? QMetaType::fromType<double>()
                        : field.DataType() == ftInteger ? QMetaType::fromType<qlonglong>()
                                                        : QMetaType::fromType<QDateTime>());
    return value(row, field.Index());
}

void TClientDataSet::setFieldValue(TField& field, const QVariant& value) {
    checkActive("alterar o campo");
    if (State() != dsEdit)
        throw EDatabaseError(QStringLiteral("%1: o campo %2 só pode ser alterado em edição (Edit).")
                                 .arg(describeName(), field.FieldName()));
    QVariant v = TField::convert(value, field.DataType(), field.FieldName());
    if (field.DataType() == ftString && !v.isNull()) {
        const QString text = v.toString();
        if (field.Size() > 0 && text.size() > field.Size())
            throw EDatabaseError(
                QStringLiteral("%1: o campo %2 aceita no máximo %3 caracteres; o texto tem %4.")
                    .arg(describeName(), field.FieldName())
                    .arg(field.Size())
                    .arg(text.size()));
        if (text.toUtf8().size() > DataPacket::kMaxTextBytes)
            throw EDatabaseError(QStringLiteral("%1: o texto do campo %2 é longo demais.")
                                     .arg(describeName(), field.FieldName()));
    }
    if (field.DataType() == ftDateTime && !v.isNull() && !v.toDateTime().isValid())
        throw EDatabaseError(
            QStringLiteral("%1: data inválida no campo %2.").arg(describeName(), field.FieldName()));
    const size_t i = size_t(field.Index());
    m_pending.values[i] = std::move(v);
    m_pending.set[i] = true;
    emitRowChanged(currentRow());
}
