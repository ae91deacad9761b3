#include "datapacket.h"

#include "packetstorage.h"

#include "services/exceptions.h"
#include "services/hosttexts.h"
#include "wireformat.h"

#include <QDateTime>

DataPacket::DataPacket() : d(new DataPacketData) {}

DataPacket::DataPacket(const QList<DataPacketField>& fields) : d(new DataPacketData) {
    for (const DataPacketField& f : fields) {
        if (f.name.isEmpty())
            refuse(QStringLiteral("campo sem nome"));
        if (indexOf(f.name) >= 0)
            refuse(QStringLiteral("campo %1 repetido").arg(f.name));
        d->fields.append(f);
        d->columns.emplace_back(f.type);
    }
}

DataPacket::DataPacket(const DataPacket&) = default;
DataPacket::DataPacket(DataPacket&&) noexcept = default;
DataPacket& DataPacket::operator=(const DataPacket&) = default;
DataPacket& DataPacket::operator=(DataPacket&&) noexcept = default;
DataPacket::~DataPacket() = default;

const QList<DataPacketField>& DataPacket::fields() const {
    return d->fields;
}

int DataPacket::fieldCount() const {
    return int(d->fields.size());
}

int DataPacket::indexOf(const QString& name) const {
    for (int i = 0; i < d->fields.size(); ++i)
        if (d->fields.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int DataPacket::rowCount() const {
    return d->rows;
}

bool DataPacket::isNull(int row, int column) const {
    return d->columns[size_t(column)].isNull(row);
}

QUtf8StringView DataPacket::text(int row, int column) const {
    const PacketColumn& c = d->columns[size_t(column)];
    return c.type == ftString ? c.text(row) : QUtf8StringView();
}

QVariant DataPacket::value(int row, int column) const {
    const PacketColumn& c = d->columns[size_t(column)];
    const size_t r = size_t(row);
    switch (c.type) {
    case ftString: {
        if (c.isNull(row))
            return QVariant(QMetaType::fromType<QString>());
        const QUtf8StringView t = c.text(row);
        return QString::fromUtf8(t.data(), t.size());
    }
    case ftDateTime:
        if (c.nulls[r])
            return QVariant(QMetaType::fromType<QDateTime>());
        return PacketColumn::dateTimeOf(c.integers[r]);
    case ftFloat:
        if (c.nulls[r])
            return QVariant(QMetaType::fromType<double>());
        return c.reals[r];
    case ftInteger:
        if (c.nulls[r])
            return QVariant(QMetaType::fromType<qlonglong>());
        return qlonglong(c.integers[r]);
    }
    return {};
}

int DataPacket::appendRow() {
    if (d->rows == std::numeric_limits<int>::max())
        refuse(QStringLiteral("linhas demais no pacote"));
    for (PacketColumn& c : d->columns)
        c.appendNull();
    return d->rows++;
}

void DataPacket::setNull(int row, int column) {
    d->columns[size_t(column)].setNull(row);
}

void DataPacket::setText(int row, int column, QUtf8StringView utf8) {
    PacketColumn& c = d->columns[size_t(column)];
    if (c.type != ftString)
        refuse(QStringLiteral("campo %1 não é de texto").arg(d->fields.at(column).name));
    c.setText(row, utf8);
}

void DataPacket::setValue(int row, int column, const QVariant& value) {
    if (value.isNull()) {
        setNull(row, column);
        return;
    }
    const DataPacketField& f = d->fields.at(column);
    const QVariant v = TField::convert(value, f.type, f.name);
    PacketColumn& c = d->columns[size_t(column)];
    const size_t r = size_t(row);
    switch (f.type) {
    case ftString:
        c.setText(row, QUtf8StringView(v.toString().toUtf8()));
        return;
    case ftDateTime: {
        const QDateTime dt = v.toDateTime();
        if (!dt.isValid())
            refuse(QStringLiteral("campo %1: data inválida").arg(f.name));
        c.integers[r] = PacketColumn::dateTimeMs(dt);
        break;
    }
    case ftFloat:
        c.reals[r] = v.toDouble();
        break;
    case ftInteger:
        c.integers[r] = v.toLongLong();
        break;
    }
    c.nulls[r] = false;
}

DataPacket DataPacket::select(std::span<const int> rows) const {
    DataPacket out(d->fields);
    DataPacketData& o = *out.d;
    for (size_t ci = 0; ci < d->columns.size(); ++ci) {
        const PacketColumn& from = d->columns[ci];
        PacketColumn& to = o.columns[ci];
        if (from.type == ftString) {
            qsizetype total = 0;
            for (int r : rows)
                total += from.text(r).size();
            to.reserveText(total);
            int row = 0;
            for (int r : rows) {
                to.appendNull();
                if (!from.isNull(r))
                    to.setText(row, from.text(r));
                ++row;
            }
            continue;
        }
        to.nulls.reserve(rows.size());
        for (int r : rows)
            to.nulls.push_back(from.nulls[size_t(r)]);
        if (from.type == ftFloat) {
            to.reals.reserve(rows.size());
            for (int r : rows)
                to.reals.push_back(from.reals[size_t(r)]);
        } else {
            to.integers.reserve(rows.size());
            for (int r : rows)
                to.integers.push_back(from.integers[size_t(r)]);
        }
    }
    o.rows = int(rows.size());
    return out;
}

QString DataPacket::typeName(TFieldType type) {
    return zavwire::fieldTypeName(zavwire::FieldType(type));
}

bool DataPacket::typeFromName(const QString& name, TFieldType* type) {
    const std::optional<zavwire::FieldType> t = zavwire::fieldTypeNamed(name);
    if (!t)
        return false;
    *type = TFieldType(*t);
    return true;
}

QString DataPacket::describeType(TFieldType type) {
    return zavwire::kindName(zavwire::kindOf(zavwire::FieldType(type)));
}

void DataPacket::refuse(const QString& detail) {
    throw EZavError(HostText::text(HostText::InvalidAnswer).arg(detail));
}

qsizetype DataPacket::storageBytes() const {
    qsizetype total = qsizetype(sizeof(DataPacketData));
    for (const PacketColumn& c : d->columns)
        total += qsizetype(sizeof(PacketColumn)) + c.storageBytes();
    return total;
}
