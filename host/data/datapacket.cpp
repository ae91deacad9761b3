#include "datapacket.h"

#include "exceptions.h"

#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QStringDecoder>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr qint64 kMsPerDay = 86400000;

QString quoted(QUtf8StringView text) {
    QString s = QString::fromUtf8(text.data(), text.size());
    if (s.size() > 40)
        s = s.left(40) + QStringLiteral("...");
    return u'"' + s + u'"';
}

} // namespace

// ---------------------------------------------------------------------------
// The storage of one field: a column.

constexpr quint16 kNullLength = 0xFFFF; // the length of a NULL string cell

// The UTF-8 bytes of a string column: a plain growable buffer, cheaper per
// cell than QByteArray (no zero fill on growth, no sharing checks), which the
// decoder writes into directly.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer& other) { append(other.constData(), other.m_size); }
    TextBuffer& operator=(const TextBuffer& other) {
        TextBuffer copy(other);
        std::swap(m_data, copy.m_data);
        std::swap(m_size, copy.m_size);
        std::swap(m_capacity, copy.m_capacity);
        return *this;
    }
    TextBuffer(TextBuffer&&) noexcept = default;
    TextBuffer& operator=(TextBuffer&&) noexcept = default;

    qsizetype size() const { return m_size; }
    qsizetype capacity() const { return m_capacity; }
    const char* constData() const { return m_data.get(); }
    char* data() { return m_data.get(); }
    void clear() { m_size = 0; }

    void reserve(qsizetype capacity) {
        if (capacity <= m_capacity)
            return;
        auto grown = std::make_unique_for_overwrite<char[]>(size_t(capacity));
        if (m_size)
            std::memcpy(grown.get(), m_data.get(), size_t(m_size));
        m_data = std::move(grown);
        m_capacity = capacity;
    }
    // Room for n more bytes, geometrically grown; returns where they go.
    char* room(qsizetype n) {
        if (m_size + n > m_capacity)
            reserve(std::max(m_size + n, m_capacity * 2));
        return m_data.get() + m_size;
    }
    void commit(qsizetype n) { m_size += n; }
    void append(const char* p, qsizetype n) {
        if (n <= 0)
            return;
        std::memcpy(room(n), p, size_t(n));
        m_size += n;
    }
    void squeeze() {
        if (m_capacity == m_size)
            return;
        TextBuffer exact(*this);
        *this = std::move(exact);
    }

private:
    std::unique_ptr<char[]> m_data;
    qsizetype m_size = 0;
    qsizetype m_capacity = 0;
};

struct PacketColumn {
    explicit PacketColumn(TFieldType t) : type(t) {}

    TFieldType type;
    // Strings: UTF-8 bytes of every cell, and where each cell's bytes are.
    TextBuffer bytes;
    std::vector<quint32> start;
    std::vector<quint16> length;
    // Floats; date-times (milliseconds from the start of the Julian day count)
    // and integers; the NULL flags of both.
    std::vector<double> reals;
    std::vector<qint64> integers;
    std::vector<bool> nulls;

    void reserveText(qsizetype more);
    void reserveRows(qsizetype rows, qsizetype textBytes);
    void appendNull();
    void shrink();
    qsizetype storageBytes() const;
    bool isNull(int row) const;
    QUtf8StringView text(int row) const;
    void setText(int row, QUtf8StringView utf8);

    static qint64 dateTimeMs(const QDateTime& dt);
    static QDateTime dateTimeOf(qint64 ms);
    static bool parseDateTime(QUtf8StringView text, qint64* ms);
    static QByteArray formatDateTime(qint64 ms);
};

class DataPacketData : public QSharedData {
public:
    QList<DataPacketField> fields;
    std::vector<PacketColumn> columns;
    int rows = 0;
};

class DataPacketDecoder {
public:
    DataPacketDecoder(QCborStreamReader& reader, qint64 sizeHint);
    DataPacket packet();

private:
    void checkReader();
    QString describeCurrent();
    QString readString();
    qsizetype readUtf8(TextBuffer& into);
    void reserveFromSample(qint64 rowsStart, int sampleRows);
    DataPacketField readField(int position);
    void readFields();
    void readRows();
    void readValue(PacketColumn& col, int column, int row, int line);
    [[noreturn]] void wrongValue(int column, int line);

    QCborStreamReader& m_reader;
    QStringDecoder m_utf8;
    QList<QChar> m_scratch;
    qint64 m_sizeHint;
    TextBuffer m_text;
    DataPacket m_packet;
    bool m_haveFields = false;
    bool m_haveRows = false;
};

// ---------------------------------------------------------------------------
// Storage

void PacketColumn::reserveText(qsizetype more) {
    const qsizetype needed = bytes.size() + more;
    if (needed > qsizetype(std::numeric_limits<quint32>::max()))
        DataPacket::refuse(QStringLiteral("pacote grande demais (mais de 4 GB de texto num campo)"));
    bytes.room(more);
}

void PacketColumn::reserveRows(qsizetype rows, qsizetype textBytes) {
    if (type == ftString) {
        start.reserve(size_t(rows));
        length.reserve(size_t(rows));
        bytes.reserve(textBytes);
        return;
    }
    nulls.reserve(size_t(rows));
    if (type == ftFloat)
        reals.reserve(size_t(rows));
    else
        integers.reserve(size_t(rows));
}

void PacketColumn::appendNull() {
    switch (type) {
    case ftString:
        start.push_back(0);
        length.push_back(kNullLength);
        return;
    case ftFloat:
        reals.push_back(0.0);
        break;
    case ftDateTime:
    case ftInteger:
        integers.push_back(0);
        break;
    }
    nulls.push_back(true);
}

// Gives back what growth left unused, unless it is little: a copy of the
// whole column would cost more than the few per cent it frees.
void PacketColumn::shrink() {
    auto worth = [](qsizetype size, qsizetype capacity) { return capacity > size + size / 16 + 64; };
    if (worth(bytes.size(), bytes.capacity()))
        bytes.squeeze();
    if (worth(qsizetype(start.size()), qsizetype(start.capacity())))
        start.shrink_to_fit();
    if (worth(qsizetype(length.size()), qsizetype(length.capacity())))
        length.shrink_to_fit();
    if (worth(qsizetype(reals.size()), qsizetype(reals.capacity())))
        reals.shrink_to_fit();
    if (worth(qsizetype(integers.size()), qsizetype(integers.capacity())))
        integers.shrink_to_fit();
    if (worth(qsizetype(nulls.size()), qsizetype(nulls.capacity())))
        nulls.shrink_to_fit();
}

qsizetype PacketColumn::storageBytes() const {
    return bytes.capacity() + qsizetype(start.capacity() * sizeof(quint32) + length.capacity() * sizeof(quint16) +
                                        reals.capacity() * sizeof(double) + integers.capacity() * sizeof(qint64) +
                                        nulls.capacity() / 8);
}

bool PacketColumn::isNull(int row) const {
    if (type == ftString)
        return length[size_t(row)] == kNullLength;
    return nulls[size_t(row)];
}

QUtf8StringView PacketColumn::text(int row) const {
    const quint16 n = length[size_t(row)];
    if (n == kNullLength)
        return {};
    return QUtf8StringView(bytes.constData() + start[size_t(row)], n);
}

void PacketColumn::setText(int row, QUtf8StringView utf8) {
    if (utf8.size() > DataPacket::kMaxTextBytes)
        DataPacket::refuse(QStringLiteral("texto de %1 bytes, o limite é %2").arg(utf8.size()).arg(DataPacket::kMaxTextBytes));
    const size_t r = size_t(row);
    // A value no longer than the one it replaces is written over it (a tick
    // "U" -> "C" costs no memory); a longer one goes to the end of the buffer.
    if (length[r] != kNullLength && utf8.size() <= length[r]) {
        std::memcpy(bytes.data() + start[r], utf8.data(), size_t(utf8.size()));
    } else {
        reserveText(utf8.size());
        start[r] = quint32(bytes.size());
        bytes.append(utf8.data(), utf8.size());
    }
    length[r] = quint16(utf8.size());
}

qint64 PacketColumn::dateTimeMs(const QDateTime& dt) {
    return dt.date().toJulianDay() * kMsPerDay + dt.time().msecsSinceStartOfDay();
}

QDateTime PacketColumn::dateTimeOf(qint64 ms) {
    const qint64 day = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
    return QDateTime(QDate::fromJulianDay(day), QTime::fromMSecsSinceStartOfDay(int(ms - day * kMsPerDay)));
}

bool PacketColumn::parseDateTime(QUtf8StringView text, qint64* ms) {
    // "YYYY-MM-DD", optionally followed by "THH:MM:SS" and ".zzz".
    const char* p = text.data();
    const qsizetype n = text.size();
    if (n != 10 && n != 19 && n != 23)
        return false;
    auto digits = [p](int from, int count, int* out) {
        int v = 0;
        for (int i = from; i < from + count; ++i) {
            if (p[i] < '0' || p[i] > '9')
                return false;
            v = v * 10 + (p[i] - '0');
        }
        *out = v;
        return true;
    };
    int y, m, d;
    if (!digits(0, 4, &y) || p[4] != '-' || !digits(5, 2, &m) || p[7] != '-' || !digits(8, 2, &d))
        return false;
    const QDate date(y, m, d);
    if (!date.isValid())
        return false;
    int msOfDay = 0;
    if (n > 10) {
        int hh, mm, ss, zzz = 0;
        if (p[10] != 'T' || !digits(11, 2, &hh) || p[13] != ':' || !digits(14, 2, &mm) || p[16] != ':' ||
            !digits(17, 2, &ss))
            return false;
        if (n == 23 && (p[19] != '.' || !digits(20, 3, &zzz)))
            return false;
        const QTime time(hh, mm, ss, zzz);
        if (!time.isValid())
            return false;
        msOfDay = time.msecsSinceStartOfDay();
    }
    *ms = date.toJulianDay() * kMsPerDay + msOfDay;
    return true;
}

QByteArray PacketColumn::formatDateTime(qint64 ms) {
    const QDateTime dt = dateTimeOf(ms);
    if (dt.time().msecsSinceStartOfDay() == 0)
        return dt.date().toString(Qt::ISODate).toLatin1();
    return dt.toString(dt.time().msec() ? Qt::ISODateWithMs : Qt::ISODate).toLatin1();
}

// ---------------------------------------------------------------------------
// DataPacket

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

const QList<DataPacketField>& DataPacket::fields() const { return d->fields; }

int DataPacket::fieldCount() const { return int(d->fields.size()); }

int DataPacket::indexOf(const QString& name) const {
    for (int i = 0; i < d->fields.size(); ++i)
        if (d->fields.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int DataPacket::rowCount() const { return d->rows; }

bool DataPacket::isNull(int row, int column) const { return d->columns[size_t(column)].isNull(row); }

QUtf8StringView DataPacket::text(int row, int column) const {
    const PacketColumn& c = d->columns[size_t(column)];
    return c.type == ftString ? c.text(row) : QUtf8StringView();
}

QVariant DataPacket::value(int row, int column) const {
    const PacketColumn& c = d->columns[size_t(column)];
    const size_t r = size_t(row);
    switch (c.type) {
    case ftString: {
        if (c.length[r] == kNullLength)
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
    PacketColumn& c = d->columns[size_t(column)];
    if (c.type == ftString)
        c.length[size_t(row)] = kNullLength;
    else
        c.nulls[size_t(row)] = true;
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
                total += from.length[size_t(r)] == kNullLength ? 0 : from.length[size_t(r)];
            to.reserveText(total);
            to.start.reserve(rows.size());
            to.length.reserve(rows.size());
            for (int r : rows) {
                const quint16 n = from.length[size_t(r)];
                to.start.push_back(quint32(to.bytes.size()));
                to.length.push_back(n);
                if (n != kNullLength)
                    to.bytes.append(from.bytes.constData() + from.start[size_t(r)], n);
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
    switch (type) {
    case ftString:
        return QStringLiteral("string");
    case ftDateTime:
        return QStringLiteral("datetime");
    case ftFloat:
        return QStringLiteral("float");
    case ftInteger:
        return QStringLiteral("integer");
    }
    return QStringLiteral("string");
}

bool DataPacket::typeFromName(const QString& name, TFieldType* type) {
    for (TFieldType t : {ftString, ftDateTime, ftFloat, ftInteger}) {
        if (name == typeName(t)) {
            *type = t;
            return true;
        }
    }
    return false;
}

QString DataPacket::describeType(TFieldType type) {
    switch (type) {
    case ftString:
        return QStringLiteral("texto");
    case ftDateTime:
        return QStringLiteral("data");
    case ftFloat:
        return QStringLiteral("número");
    case ftInteger:
        return QStringLiteral("número inteiro");
    }
    return QStringLiteral("texto");
}

void DataPacket::refuse(const QString& detail) {
    throw EZavError(QStringLiteral("Resposta inválida do servidor: %1").arg(detail));
}

qsizetype DataPacket::storageBytes() const {
    qsizetype total = qsizetype(sizeof(DataPacketData));
    for (const PacketColumn& c : d->columns)
        total += qsizetype(sizeof(PacketColumn)) + c.storageBytes();
    return total;
}

// ---------------------------------------------------------------------------
// JSON

QJsonObject DataPacket::toJson() const {
    QJsonArray fields;
    for (const DataPacketField& f : d->fields)
        fields.append(QJsonObject{{QStringLiteral("name"), f.name},
                                  {QStringLiteral("type"), typeName(f.type)},
                                  {QStringLiteral("size"), f.size}});
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
    return QJsonObject{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
}

namespace {

QString describeJson(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("nulo");
    case QJsonValue::Bool:
        return QStringLiteral("valor lógico");
    case QJsonValue::Double:
        return QStringLiteral("número");
    case QJsonValue::String:
        return QStringLiteral("texto %1").arg(quoted(QUtf8StringView(v.toString().toUtf8())));
    case QJsonValue::Array:
        return QStringLiteral("lista");
    case QJsonValue::Object:
        return QStringLiteral("objeto");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("valor indefinido");
}

DataPacketField jsonField(const QJsonValue& v, int position) {
    if (!v.isObject())
        DataPacket::refuse(QStringLiteral("a descrição do campo %1 não é um objeto").arg(position));
    const QJsonObject o = v.toObject();
    DataPacketField f;
    const QJsonValue name = o.value(QLatin1StringView("name"));
    const QJsonValue type = o.value(QLatin1StringView("type"));
    const QJsonValue size = o.value(QLatin1StringView("size"));
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
    const QJsonValue fieldsValue = o.value(QLatin1StringView("fields"));
    const QJsonValue rowsValue = o.value(QLatin1StringView("rows"));
    if (!fieldsValue.isArray())
        refuse(QStringLiteral("pacote sem a lista de campos"));
    if (!rowsValue.isArray())
        refuse(QStringLiteral("pacote sem a lista de linhas"));

    QList<DataPacketField> fields;
    const QJsonArray fa = fieldsValue.toArray();
    for (qsizetype i = 0; i < fa.size(); ++i)
        fields.append(jsonField(fa.at(i), int(i + 1)));
    DataPacket packet(fields);
    DataPacketData& pd = *packet.d;

    const QJsonArray rows = rowsValue.toArray();
    for (qsizetype ri = 0; ri < rows.size(); ++ri) {
        const int lineNo = int(ri + 1);
        const QJsonValue rv = rows.at(ri);
        if (!rv.isArray())
            refuse(QStringLiteral("a linha %1 não é uma lista").arg(lineNo));
        const QJsonArray row = rv.toArray();
        if (row.size() != fields.size())
            refuse(QStringLiteral("a linha %1 tem %2 valores, esperados %3").arg(lineNo).arg(row.size()).arg(fields.size()));
        const int r = packet.appendRow();
        for (int c = 0; c < fields.size(); ++c) {
            const QJsonValue v = row.at(c);
            if (v.isNull())
                continue;
            PacketColumn& col = pd.columns[size_t(c)];
            const DataPacketField& f = fields.at(c);
            auto wrong = [&] {
                refuse(QStringLiteral("campo %1, linha %2: esperado %3, recebido %4")
                           .arg(f.name)
                           .arg(lineNo)
                           .arg(describeType(f.type), describeJson(v)));
            };
            switch (f.type) {
            case ftString:
                if (!v.isString())
                    wrong();
                col.setText(r, QUtf8StringView(v.toString().toUtf8()));
                break;
            case ftDateTime: {
                qint64 ms = 0;
                if (!v.isString() || !PacketColumn::parseDateTime(QUtf8StringView(v.toString().toLatin1()), &ms))
                    wrong();
                col.integers[size_t(r)] = ms;
                col.nulls[size_t(r)] = false;
                break;
            }
            case ftFloat:
                if (!v.isDouble())
                    wrong();
                col.reals[size_t(r)] = v.toDouble();
                col.nulls[size_t(r)] = false;
                break;
            case ftInteger: {
                const double n = v.toDouble();
                if (!v.isDouble() || n != double(qint64(n)))
                    wrong();
                col.integers[size_t(r)] = qint64(n);
                col.nulls[size_t(r)] = false;
                break;
            }
            }
        }
    }
    for (PacketColumn& c : pd.columns)
        c.shrink();
    return packet;
}

// ---------------------------------------------------------------------------
// CBOR

void DataPacket::writeCbor(QCborStreamWriter& w) const {
    w.startMap(2);
    w.append(QLatin1StringView("fields"));
    w.startArray(quint64(d->fields.size()));
    for (const DataPacketField& f : d->fields) {
        w.startMap(3);
        w.append(QLatin1StringView("name"));
        w.append(f.name);
        w.append(QLatin1StringView("type"));
        w.append(typeName(f.type));
        w.append(QLatin1StringView("size"));
        w.append(qint64(f.size));
        w.endMap();
    }
    w.endArray();
    w.append(QLatin1StringView("rows"));
    w.startArray(quint64(d->rows));
    for (int r = 0; r < d->rows; ++r) {
        w.startArray(quint64(d->columns.size()));
        for (const PacketColumn& c : d->columns) {
            if (c.isNull(r)) {
                w.append(nullptr);
                continue;
            }
            switch (c.type) {
            case ftString: {
                const QUtf8StringView t = c.text(r);
                w.appendTextString(t.data(), t.size());
                break;
            }
            case ftDateTime: {
                const QByteArray t = PacketColumn::formatDateTime(c.integers[size_t(r)]);
                w.appendTextString(t.constData(), t.size());
                break;
            }
            case ftFloat:
                w.append(c.reals[size_t(r)]);
                break;
            case ftInteger:
                w.append(qint64(c.integers[size_t(r)]));
                break;
            }
        }
        w.endArray();
    }
    w.endArray();
    w.endMap();
}

QByteArray DataPacket::toCbor() const {
    QByteArray out;
    QCborStreamWriter w(&out);
    writeCbor(w);
    return out;
}

DataPacket DataPacket::readCbor(QCborStreamReader& reader, qint64 sizeHint) {
    return DataPacketDecoder(reader, sizeHint).packet();
}

DataPacket DataPacket::fromCbor(const QByteArray& bytes) {
    QCborStreamReader reader(bytes);
    DataPacket p = readCbor(reader, bytes.size());
    if (reader.currentOffset() < bytes.size())
        refuse(QStringLiteral("dados a mais depois do pacote"));
    return p;
}

// ---------------------------------------------------------------------------
// The streamed CBOR decoder: values go straight from the reader into the
// column storage, without a QString or a QCborValue per cell.

DataPacketDecoder::DataPacketDecoder(QCborStreamReader& reader, qint64 sizeHint)
    : m_reader(reader), m_utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless), m_sizeHint(sizeHint) {}

void DataPacketDecoder::checkReader() {
    if (m_reader.lastError() != QCborError::NoError)
        DataPacket::refuse(QStringLiteral("CBOR malformado (%1)").arg(m_reader.lastError().toString()));
}

QString DataPacketDecoder::describeCurrent() {
    switch (m_reader.type()) {
    case QCborStreamReader::UnsignedInteger:
    case QCborStreamReader::NegativeInteger:
    case QCborStreamReader::Float16:
    case QCborStreamReader::Float:
    case QCborStreamReader::Double:
        return QStringLiteral("número");
    case QCborStreamReader::ByteArray:
        return QStringLiteral("bytes");
    case QCborStreamReader::String:
        return QStringLiteral("texto");
    case QCborStreamReader::Array:
        return QStringLiteral("lista");
    case QCborStreamReader::Map:
        return QStringLiteral("objeto");
    case QCborStreamReader::SimpleType:
        if (m_reader.isNull())
            return QStringLiteral("nulo");
        if (m_reader.isBool())
            return QStringLiteral("valor lógico");
        if (m_reader.isUndefined())
            return QStringLiteral("valor indefinido");
        break;
    case QCborStreamReader::Tag:
    case QCborStreamReader::Invalid:
        break;
    }
    return QStringLiteral("valor de outro tipo");
}

QString DataPacketDecoder::readString() {
    QString out;
    auto r = m_reader.readString();
    while (r.status == QCborStreamReader::Ok) {
        out += r.data;
        r = m_reader.readString();
    }
    if (r.status == QCborStreamReader::Error)
        checkReader();
    return out;
}

qsizetype DataPacketDecoder::readUtf8(TextBuffer& into) {
    const qsizetype begin = into.size();
    qsizetype total = 0;
    for (;;) {
        const qsizetype chunk = m_reader.currentStringChunkSize();
        if (chunk < 0) {
            checkReader();
            DataPacket::refuse(QStringLiteral("CBOR malformado (texto)"));
        }
        if (total + chunk > DataPacket::kMaxTextBytes)
            DataPacket::refuse(QStringLiteral("texto de mais de %1 bytes").arg(DataPacket::kMaxTextBytes));
        const auto r = m_reader.readStringChunk(into.room(chunk), chunk);
        if (r.status == QCborStreamReader::Error)
            checkReader();
        if (r.status == QCborStreamReader::EndOfString)
            break;
        into.commit(r.data);
        total += r.data;
    }
    // readStringChunk hands the bytes over as they are: the text is checked to
    // be UTF-8 here, with Qt's decoder, and only when it is not plain ASCII.
    const char* p = into.constData() + begin;
    bool ascii = true;
    qsizetype i = 0;
    for (; i + 8 <= total && ascii; i += 8) {
        quint64 word;
        std::memcpy(&word, p + i, 8);
        ascii = (word & 0x8080808080808080ULL) == 0;
    }
    for (; i < total && ascii; ++i)
        ascii = static_cast<unsigned char>(p[i]) < 0x80;
    if (!ascii) {
        if (m_scratch.size() < total)
            m_scratch.resize(total);
        m_utf8.resetState();
        m_utf8.appendToBuffer(m_scratch.data(), QByteArrayView(p, total));
        if (m_utf8.hasError())
            DataPacket::refuse(QStringLiteral("texto que não é UTF-8 válido"));
    }
    return total;
}

DataPacketField DataPacketDecoder::readField(int position) {
    if (!m_reader.isMap())
        DataPacket::refuse(QStringLiteral("a descrição do campo %1 não é um objeto").arg(position));
    m_reader.enterContainer();
    DataPacketField f;
    bool haveType = false;
    QString typeText;
    while (m_reader.hasNext()) {
        if (!m_reader.isString())
            DataPacket::refuse(QStringLiteral("a descrição do campo %1 tem uma chave que não é texto").arg(position));
        const QString key = readString();
        if (key == u"name" && m_reader.isString()) {
            f.name = readString();
        } else if (key == u"type" && m_reader.isString()) {
            typeText = readString();
            haveType = true;
        } else if (key == u"size" && m_reader.isUnsignedInteger()) {
            const quint64 s = quint64(m_reader.toUnsignedInteger());
            if (s > 1000000000u)
                DataPacket::refuse(QStringLiteral("campo %1: tamanho inválido").arg(position));
            f.size = int(s);
            m_reader.next();
        } else if (key == u"name" || key == u"type" || key == u"size") {
            DataPacket::refuse(QStringLiteral("a descrição do campo %1: %2 recebido como %3")
                                   .arg(position)
                                   .arg(key, describeCurrent()));
        } else {
            m_reader.next();
        }
        checkReader();
    }
    m_reader.leaveContainer();
    checkReader();
    if (f.name.isEmpty())
        DataPacket::refuse(QStringLiteral("o campo %1 não tem nome").arg(position));
    if (!haveType || !DataPacket::typeFromName(typeText, &f.type))
        DataPacket::refuse(QStringLiteral("campo %1: tipo desconhecido \"%2\"").arg(f.name, typeText));
    return f;
}

void DataPacketDecoder::readFields() {
    if (!m_reader.isArray())
        DataPacket::refuse(QStringLiteral("a lista de campos não é uma lista"));
    m_reader.enterContainer();
    QList<DataPacketField> fields;
    while (m_reader.hasNext())
        fields.append(readField(int(fields.size() + 1)));
    m_reader.leaveContainer();
    checkReader();
    m_packet = DataPacket(fields);
    m_haveFields = true;
}

void DataPacketDecoder::wrongValue(int column, int line) {
    const DataPacketField& f = m_packet.d->fields.at(column);
    checkReader(); // a broken stream is reported as such, not as a wrong value
    QString got = describeCurrent();
    if (m_reader.isString()) {
        m_text.clear();
        readUtf8(m_text);
        got += u' ' + quoted(QUtf8StringView(m_text.constData(), m_text.size()));
    }
    DataPacket::refuse(QStringLiteral("campo %1, linha %2: esperado %3, recebido %4")
                           .arg(f.name)
                           .arg(line)
                           .arg(DataPacket::describeType(f.type), got));
}

void DataPacketDecoder::readValue(PacketColumn& col, int column, int row, int line) {
    const size_t r = size_t(row);
    if (m_reader.isNull()) {
        m_reader.next(); // the row was appended with NULLs
        return;
    }
    switch (col.type) {
    case ftString: {
        if (!m_reader.isString())
            wrongValue(column, line);
        const quint32 start = quint32(col.bytes.size());
        const qsizetype n = readUtf8(col.bytes);
        col.start[r] = start;
        col.length[r] = quint16(n);
        if (qsizetype(col.bytes.size()) > qsizetype(std::numeric_limits<quint32>::max()))
            DataPacket::refuse(QStringLiteral("pacote grande demais (mais de 4 GB de texto num campo)"));
        return;
    }
    case ftDateTime: {
        if (!m_reader.isString())
            wrongValue(column, line);
        m_text.clear();
        readUtf8(m_text);
        const QUtf8StringView text(m_text.constData(), m_text.size());
        qint64 ms = 0;
        if (!PacketColumn::parseDateTime(text, &ms))
            DataPacket::refuse(QStringLiteral("campo %1, linha %2: esperado data (AAAA-MM-DD), recebido texto %3")
                                   .arg(m_packet.d->fields.at(column).name)
                                   .arg(line)
                                   .arg(quoted(text)));
        col.integers[r] = ms;
        col.nulls[r] = false;
        return;
    }
    case ftFloat: {
        double v = 0;
        if (m_reader.isDouble())
            v = m_reader.toDouble();
        else if (m_reader.isFloat())
            v = double(m_reader.toFloat());
        else if (m_reader.isFloat16())
            v = double(float(m_reader.toFloat16()));
        else if (m_reader.isInteger())
            v = double(qint64(m_reader.toInteger()));
        else
            wrongValue(column, line);
        m_reader.next();
        col.reals[r] = v;
        col.nulls[r] = false;
        return;
    }
    case ftInteger: {
        if (!m_reader.isInteger())
            wrongValue(column, line);
        col.integers[r] = qint64(m_reader.toInteger());
        m_reader.next();
        col.nulls[r] = false;
        return;
    }
    }
}

// The rows list announces no length: its first rows tell how much the rest
// will need, so that the columns grow once instead of doubling all along.
void DataPacketDecoder::reserveFromSample(qint64 rowsStart, int sampleRows) {
    if (m_sizeHint <= 0)
        return;
    const qint64 sampleBytes = m_reader.currentOffset() - rowsStart;
    if (sampleBytes <= 0)
        return;
    const double perRow = double(sampleBytes) / sampleRows;
    const qint64 rows = qint64(double(m_sizeHint - rowsStart) / perRow * 1.02) + 1;
    if (rows <= sampleRows || rows > std::numeric_limits<int>::max())
        return;
    for (PacketColumn& c : m_packet.d->columns) {
        const qint64 text = c.type == ftString ? qint64(double(c.bytes.size()) / sampleRows * double(rows) * 1.02) : 0;
        c.reserveRows(rows, text);
    }
}

void DataPacketDecoder::readRows() {
    if (!m_haveFields)
        DataPacket::refuse(QStringLiteral("o pacote deve trazer a lista de campos antes das linhas"));
    if (!m_reader.isArray())
        DataPacket::refuse(QStringLiteral("a lista de linhas não é uma lista"));
    DataPacketData& pd = *m_packet.d;
    const int fieldCount = int(pd.fields.size());
    m_reader.enterContainer();
    constexpr int kSampleRows = 64;
    const qint64 rowsStart = m_reader.currentOffset();
    while (m_reader.hasNext()) {
        const int line = pd.rows + 1;
        if (pd.rows == kSampleRows)
            reserveFromSample(rowsStart, kSampleRows);
        if (!m_reader.isArray())
            DataPacket::refuse(QStringLiteral("a linha %1 não é uma lista").arg(line));
        const int row = m_packet.appendRow();
        m_reader.enterContainer();
        int c = 0;
        while (m_reader.hasNext()) {
            if (c == fieldCount)
                DataPacket::refuse(QStringLiteral("a linha %1 tem mais de %2 valores").arg(line).arg(fieldCount));
            readValue(pd.columns[size_t(c)], c, row, line);
            ++c;
        }
        checkReader();
        if (c != fieldCount)
            DataPacket::refuse(QStringLiteral("a linha %1 tem %2 valores, esperados %3").arg(line).arg(c).arg(fieldCount));
        m_reader.leaveContainer();
        checkReader();
    }
    checkReader();
    m_reader.leaveContainer();
    checkReader();
    m_haveRows = true;
}

DataPacket DataPacketDecoder::packet() {
    checkReader();
    if (!m_reader.isMap())
        DataPacket::refuse(QStringLiteral("esperado um pacote de dados, recebido %1").arg(describeCurrent()));
    m_reader.enterContainer();
    while (m_reader.hasNext()) {
        if (!m_reader.isString())
            DataPacket::refuse(QStringLiteral("o pacote tem uma chave que não é texto"));
        const QString key = readString();
        if (key == u"fields" && !m_haveFields)
            readFields();
        else if (key == u"rows" && !m_haveRows)
            readRows();
        else if (key == u"fields" || key == u"rows")
            DataPacket::refuse(QStringLiteral("o pacote traz %1 duas vezes").arg(key));
        else
            m_reader.next();
        checkReader();
    }
    m_reader.leaveContainer();
    checkReader();
    if (!m_haveFields)
        DataPacket::refuse(QStringLiteral("pacote sem a lista de campos"));
    if (!m_haveRows)
        DataPacket::refuse(QStringLiteral("pacote sem a lista de linhas"));
    for (PacketColumn& c : m_packet.d->columns)
        c.shrink();
    return std::move(m_packet);
}
