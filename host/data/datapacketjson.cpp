// The data packet in JSON.
#include "datapacket.h"
#include "packetstorage.h"

#include "services/exceptions.h"
#include "wireformat.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringEncoder>

namespace wire = zavwire;

QJsonObject DataPacket::toJson() const {
    QJsonArray fields;
    for (const DataPacketField& f : d->fields)
        fields.append(
            QJsonObject{{wire::kName, f.name}, {wire::kType, typeName(f.type)}, {wire::kSize, f.size}});
    QJsonArray rows;
    for (int r = 0; r < d->rows; ++r) {
        QJsonArray row;
        for (const PacketColumn& c : d->columns) {
            if (c.isNull(r)) {
                row.append(QJsonValue(QJsonValue::Null));
                continue;
            }
            switch (c.type) {
            case ftString: {
                const QUtf8StringView t = c.text(r);
                row.append(QString::fromUtf8(t.data(), t.size()));
                break;
            }
            case ftDateTime:
                row.append(QString::fromLatin1(PacketColumn::formatDateTime(c.integers[size_t(r)])));
                break;
            case ftFloat:
                row.append(c.reals[size_t(r)]);
                break;
            case ftInteger:
                row.append(qint64(c.integers[size_t(r)]));
                break;
            }
        }
        rows.append(row);
    }
    return QJsonObject{{wire::kFields, fields}, {wire::kRows, rows}};
}

namespace {

QString describeJson(const QJsonValue& v) {
    using K = zavwire::ValueKind;
    switch (v.type()) {
    case QJsonValue::Null:
        return zavwire::kindName(K::Null);
    case QJsonValue::Bool:
        return zavwire::kindName(K::Bool);
    case QJsonValue::Double:
        return zavwire::kindName(K::Number);
    case QJsonValue::String:
        return QStringLiteral("%1 %2").arg(zavwire::kindName(K::Text),
                                           quotedForMessage(QUtf8StringView(v.toString().toUtf8())));
    case QJsonValue::Array:
        return zavwire::kindName(K::List);
    case QJsonValue::Object:
        return zavwire::kindName(K::Object);
    case QJsonValue::Undefined:
        break;
    }
    return zavwire::kindName(K::Undefined);
}

DataPacketField jsonField(const QJsonValue& v, int position) {
    if (!v.isObject())
        DataPacket::refuse(QStringLiteral("a descrição do campo %1 não é um objeto").arg(position));
    const QJsonObject o = v.toObject();
    DataPacketField f;
    const QJsonValue name = o.value(wire::kName);
    const QJsonValue type = o.value(wire::kType);
    const QJsonValue size = o.value(wire::kSize);
    if (!name.isString() || name.toString().isEmpty())
        DataPacket::refuse(QStringLiteral("o campo %1 não tem nome").arg(position));
    f.name = name.toString();
    if (!type.isString() || !DataPacket::typeFromName(type.toString(), &f.type))
        DataPacket::refuse(QStringLiteral("campo %1: tipo desconhecido %2").arg(f.name, describeJson(type)));
    if (!size.isUndefined()) {
        const double s = size.toDouble(-1);
        if (!size.isDouble() || s < 0 || s > 1e9 || s != double(qint64(s)))
            DataPacket::refuse(QStringLiteral("campo %1: tamanho inválido").arg(f.name));
        f.size = int(s);
    }
    return f;
}

} // namespace

DataPacket DataPacket::fromJson(const QJsonValue& value) {
    if (!value.isObject())
        refuse(QStringLiteral("esperado um pacote de dados, recebido %1").arg(describeJson(value)));
    const QJsonObject o = value.toObject();
    const QJsonValue fieldsValue = o.value(wire::kFields);
    const QJsonValue rowsValue = o.value(wire::kRows);
    if (!fieldsValue.isArray())
        refuse(QStringLiteral("pacote sem a lista de campos"));
    if (!rowsValue.isArray())
        refuse(QStringLiteral("pacote sem a lista de linhas"));

    QList<DataPacketField> fields;
    const QJsonArray fa = fieldsValue.toArray();
    for (qsizetype i = 0; i < fa.size(); ++i)
        fields.append(jsonField(fa.at(i), int(i + 1)));
    DataPacket packet(fields);
    packet.appendJsonRows(rowsValue.toArray());
    packet.trimStorage();
    return packet;
}

namespace {

// A row of the list: a list with a value for every field.
QJsonArray checkedJsonRow(const QJsonValue& rv, int lineNo, qsizetype fieldCount) {
    if (!rv.isArray())
        DataPacket::refuse(QStringLiteral("a linha %1 não é uma lista").arg(lineNo));
    QJsonArray row = rv.toArray();
    if (row.size() != fieldCount)
        DataPacket::refuse(QStringLiteral("a linha %1 tem %2 valores, esperados %3")
                               .arg(lineNo)
                               .arg(row.size())
                               .arg(fieldCount));
    return row;
}

[[noreturn]] void refuseJsonCell(const DataPacketField& f, int lineNo, const QJsonValue& v) {
    DataPacket::refuse(QStringLiteral("campo %1, linha %2: esperado %3, recebido %4")
                           .arg(f.name)
                           .arg(lineNo)
                           .arg(DataPacket::describeType(f.type), describeJson(v)));
}

// Written as UTF-8 straight into the column, as the CBOR decoder does,
// without a QByteArray of its own per cell.
void appendJsonText(PacketColumn& col, int r, const QString& t, QStringEncoder& utf8) {
    const qsizetype start = col.bytes.size();
    col.reserveText(t.size() * 3);
    char* out = col.bytes.room(t.size() * 3);
    const qsizetype n = utf8.appendToBuffer(out, t) - out;
    if (n > DataPacket::kMaxTextBytes)
        col.setText(r, QUtf8StringView(out, n)); // refused, in its words
    col.bytes.commit(n);
    col.settleLastText(r, start, n);
}

} // namespace

void DataPacket::appendJsonRows(const QJsonArray& rows) {
    DataPacketData& pd = *d;
    const QList<DataPacketField>& fields = pd.fields;
    const int firstLine = pd.rows + 1;
    QStringEncoder utf8(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    for (qsizetype ri = 0; ri < rows.size(); ++ri) {
        const int lineNo = int(firstLine + ri);
        const QJsonArray row = checkedJsonRow(rows.at(ri), lineNo, fields.size());
        const int r = appendRow();
        for (int c = 0; c < fields.size(); ++c) {
            const QJsonValue v = row.at(c);
            if (v.isNull())
                continue;
            PacketColumn& col = pd.columns[size_t(c)];
            const DataPacketField& f = fields.at(c);
            switch (f.type) {
            case ftString:
                if (!v.isString())
                    refuseJsonCell(f, lineNo, v);
                appendJsonText(col, r, v.toString(), utf8);
                break;
            case ftDateTime: {
                qint64 ms = 0;
                if (!v.isString() ||
                    !PacketColumn::parseDateTime(QUtf8StringView(v.toString().toLatin1()), &ms))
                    refuseJsonCell(f, lineNo, v);
                col.integers[size_t(r)] = ms;
                col.nulls[size_t(r)] = false;
                break;
            }
            case ftFloat:
                if (!v.isDouble())
                    refuseJsonCell(f, lineNo, v);
                col.reals[size_t(r)] = v.toDouble();
                col.nulls[size_t(r)] = false;
                break;
            case ftInteger: {
                const double n = v.toDouble();
                if (!v.isDouble() || n != double(qint64(n)))
                    refuseJsonCell(f, lineNo, v);
                col.integers[size_t(r)] = qint64(n);
                col.nulls[size_t(r)] = false;
                break;
            }
            }
        }
    }
}

void DataPacket::trimStorage() {
    for (PacketColumn& c : d->columns)
        c.shrink();
}
