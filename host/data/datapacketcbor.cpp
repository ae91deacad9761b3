// The data packet in CBOR: written with a stream writer, read by a streamed
// decoder that puts values straight from the reader into the column storage,
// without a QString or a QCborValue per cell. Rows that arrive over the network
// are read first by libcbor's item decoder (see readPlainRows).
#include "datapacket.h"
#include "packetstorage.h"

#include "services/exceptions.h"
#include "wireformat.h"

#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <QStringDecoder>

#include <cbor.h>

namespace wire = zavwire;

namespace {

// The bytes read so far end inside a row: it is read again whole once more
// have come.
struct CutShort {};

// Whether the n bytes at p are UTF-8, checked with Qt's decoder (into scratch)
// only when they are not plain ASCII.
bool isUtf8(const char* p, qsizetype n, QStringDecoder& decoder, QList<QChar>& scratch) {
    if (wire::isAscii(p, n))
        return true;
    if (scratch.size() < n)
        scratch.resize(n);
    decoder.resetState();
    decoder.appendToBuffer(scratch.data(), QByteArrayView(p, n));
    return !decoder.hasError();
}

} // namespace

class DataPacketDecoder {
public:
    DataPacketDecoder(QCborStreamReader& reader, qint64 sizeHint);
    DataPacket packet();
    QList<DataPacketField> fields();

    // Reading rows from bytes that may end anywhere: the end of the bytes is
    // thrown as CutShort instead of refused.
    void readRowsOf(DataPacket& packet, qsizetype* consumed, bool lengthKnown, quint64* left, bool* ended);

private:
    void checkReader();
    void readRow();
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
    bool m_cutIsPending = false;
};

void DataPacket::writeCbor(QCborStreamWriter& w) const {
    w.startMap(2);
    w.append(wire::kFields);
    w.startArray(quint64(d->fields.size()));
    for (const DataPacketField& f : d->fields) {
        w.startMap(3);
        w.append(wire::kName);
        w.append(f.name);
        w.append(wire::kType);
        w.append(typeName(f.type));
        w.append(wire::kSize);
        w.append(qint64(f.size));
        w.endMap();
    }
    w.endArray();
    w.append(wire::kRows);
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

DataPacketDecoder::DataPacketDecoder(QCborStreamReader& reader, qint64 sizeHint)
    : m_reader(reader), m_utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless), m_sizeHint(sizeHint) {}

void DataPacketDecoder::checkReader() {
    if (m_cutIsPending && m_reader.lastError() == QCborError::EndOfFile)
        throw CutShort{};
    if (m_reader.lastError() != QCborError::NoError)
        DataPacket::refuse(QStringLiteral("CBOR malformado (%1)").arg(m_reader.lastError().toString()));
}

QString DataPacketDecoder::describeCurrent() {
    using K = zavwire::ValueKind;
    switch (m_reader.type()) {
    case QCborStreamReader::UnsignedInteger:
    case QCborStreamReader::NegativeInteger:
    case QCborStreamReader::Float16:
    case QCborStreamReader::Float:
    case QCborStreamReader::Double:
        return zavwire::kindName(K::Number);
    case QCborStreamReader::ByteArray:
        return zavwire::kindName(K::Bytes);
    case QCborStreamReader::String:
        return zavwire::kindName(K::Text);
    case QCborStreamReader::Array:
        return zavwire::kindName(K::List);
    case QCborStreamReader::Map:
        return zavwire::kindName(K::Object);
    case QCborStreamReader::SimpleType:
        if (m_reader.isNull())
            return zavwire::kindName(K::Null);
        if (m_reader.isBool())
            return zavwire::kindName(K::Bool);
        if (m_reader.isUndefined())
            return zavwire::kindName(K::Undefined);
        break;
    case QCborStreamReader::Tag:
    case QCborStreamReader::Invalid:
        break;
    }
    return zavwire::kindName(K::Other);
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
    // be UTF-8 here.
    if (!isUtf8(into.constData() + begin, total, m_utf8, m_scratch))
        DataPacket::refuse(QStringLiteral("texto que não é UTF-8 válido"));
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
            DataPacket::refuse(
                QStringLiteral("a descrição do campo %1 tem uma chave que não é texto").arg(position));
        const QString key = readString();
        if (key == wire::kName && m_reader.isString()) {
            f.name = readString();
        } else if (key == wire::kType && m_reader.isString()) {
            typeText = readString();
            haveType = true;
        } else if (key == wire::kSize && m_reader.isUnsignedInteger()) {
            const quint64 s = quint64(m_reader.toUnsignedInteger());
            if (s > 1000000000u)
                DataPacket::refuse(QStringLiteral("campo %1: tamanho inválido").arg(position));
            f.size = int(s);
            m_reader.next();
        } else if (key == wire::kName || key == wire::kType || key == wire::kSize) {
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

QList<DataPacketField> DataPacketDecoder::fields() {
    checkReader();
    if (!m_reader.isArray())
        DataPacket::refuse(QStringLiteral("a lista de campos não é uma lista"));
    m_reader.enterContainer();
    QList<DataPacketField> fields;
    while (m_reader.hasNext())
        fields.append(readField(int(fields.size() + 1)));
    m_reader.leaveContainer();
    checkReader();
    return fields;
}

void DataPacketDecoder::readFields() {
    m_packet = DataPacket(fields());
    m_haveFields = true;
}

QList<DataPacketField> DataPacket::readCborFields(QCborStreamReader& reader) {
    return DataPacketDecoder(reader, -1).fields();
}

void DataPacketDecoder::wrongValue(int column, int line) {
    const DataPacketField& f = m_packet.d->fields.at(column);
    checkReader(); // a broken stream is reported as such, not as a wrong value
    QString got = describeCurrent();
    if (m_reader.isString()) {
        m_text.clear();
        readUtf8(m_text);
        got += u' ' + quotedForMessage(QUtf8StringView(m_text.constData(), m_text.size()));
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
        const qsizetype start = col.bytes.size();
        const qsizetype n = readUtf8(col.bytes);
        if (qsizetype(col.bytes.size()) > qsizetype(std::numeric_limits<quint32>::max()))
            DataPacket::refuse(QStringLiteral("pacote grande demais (mais de 4 GB de texto num campo)"));
        col.settleLastText(row, start, n);
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
            DataPacket::refuse(
                QStringLiteral("campo %1, linha %2: esperado data (AAAA-MM-DD), recebido texto %3")
                    .arg(m_packet.d->fields.at(column).name)
                    .arg(line)
                    .arg(quotedForMessage(text)));
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

void DataPacketDecoder::readRow() {
    DataPacketData& pd = *m_packet.d;
    const int fieldCount = int(pd.fields.size());
    const int line = pd.rows + 1;
    checkReader();
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
        DataPacket::refuse(
            QStringLiteral("a linha %1 tem %2 valores, esperados %3").arg(line).arg(c).arg(fieldCount));
    m_reader.leaveContainer();
    checkReader();
}

// The reader is inside an open list made of the bytes: whole rows are read
// until the bytes end, the list's end (a break) or the rows announced. A row
// cut short is taken back out of the columns; *consumed is where the next row
// (or the list's break) starts.
void DataPacketDecoder::readRowsOf(DataPacket& packet, qsizetype* consumed, bool lengthKnown, quint64* left,
                                   bool* ended) {
    m_packet = std::move(packet);
    m_cutIsPending = true;
    DataPacketData& pd = *m_packet.d;
    std::vector<qsizetype> textSizes(pd.columns.size());
    try {
        for (;;) {
            if (lengthKnown && *left == 0) {
                *ended = true;
                break;
            }
            checkReader();
            if (!m_reader.hasNext()) {
                checkReader();
                // The break of an open list, where a row would start.
                if (lengthKnown)
                    DataPacket::refuse(QStringLiteral("a lista de linhas terminou antes das %1 anunciadas")
                                           .arg(pd.rows + qint64(*left)));
                *ended = true;
                break;
            }
            for (size_t c = 0; c < pd.columns.size(); ++c)
                textSizes[c] = pd.columns[c].bytes.size();
            const int rowsBefore = pd.rows;
            try {
                readRow();
            } catch (const CutShort&) {
                if (pd.rows > rowsBefore) {
                    for (size_t c = 0; c < pd.columns.size(); ++c)
                        pd.columns[c].dropLastRow(textSizes[c]);
                    --pd.rows;
                }
                throw;
            }
            *consumed = m_reader.currentOffset();
            if (lengthKnown)
                --*left;
        }
    } catch (const CutShort&) {
        // The rest comes with the next piece.
    } catch (...) {
        packet = std::move(m_packet);
        throw;
    }
    packet = std::move(m_packet);
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
        const qint64 text =
            c.type == ftString ? qint64(double(c.bytes.size()) / sampleRows * double(rows) * 1.02) : 0;
        c.reserveRows(rows, text);
    }
}

void DataPacketDecoder::readRows() {
    if (!m_haveFields)
        DataPacket::refuse(QStringLiteral("o pacote deve trazer a lista de campos antes das linhas"));
    if (!m_reader.isArray())
        DataPacket::refuse(QStringLiteral("a lista de linhas não é uma lista"));
    const DataPacketData& pd = *m_packet.d;
    m_reader.enterContainer();
    constexpr int kSampleRows = 64;
    const qint64 rowsStart = m_reader.currentOffset();
    while (m_reader.hasNext()) {
        if (pd.rows == kSampleRows)
            reserveFromSample(rowsStart, kSampleRows);
        readRow();
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
        if (key == wire::kFields && !m_haveFields)
            readFields();
        else if (key == wire::kRows && !m_haveRows)
            readRows();
        else if (key == wire::kFields || key == wire::kRows)
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

// --- rows as they arrive -------------------------------------------------------------

namespace {

// The head of an open (indefinite-length) CBOR array: the pending bytes are
// read as the elements of one list, whatever the real list's head said.
constexpr char kOpenArray = char(0x9F);

} // namespace

DataPacketRowStream::DataPacketRowStream(const QList<DataPacketField>& fields, bool lengthKnown,
                                         quint64 count)
    : m_packet(fields), m_lengthKnown(lengthKnown), m_left(count) {
    m_pending.append(kOpenArray);
    m_ended = lengthKnown && count == 0;
}

DataPacketRowStream::~DataPacketRowStream() = default;

int DataPacketRowStream::rowCount() const {
    return m_packet.rowCount();
}

void DataPacketRowStream::feed(QByteArrayView piece) {
    if (m_ended) {
        m_rest.append(piece.data(), piece.size());
        return;
    }
    m_pending.append(piece.data(), piece.size());
    readWholeRows();
}

namespace {

// One CBOR item as libcbor's item decoder (cbor_stream_decode) reports it
// through its callbacks; whatever a plain row cannot hold stays Other.
struct CborItem {
    enum Kind { Other, Null, Text, Real, Unsigned, Negative, Array, Break };
    Kind kind = Other;
    const char* text = nullptr;
    size_t size = 0; // a text's bytes, an array's values
    double real = 0;
    quint64 number = 0; // an unsigned integer, or n of a negative one (-1 - n)
};

CborItem& itemOf(void* context) {
    return *static_cast<CborItem*>(context);
}
template <typename N> void onUnsigned(void* context, N n) {
    itemOf(context).kind = CborItem::Unsigned;
    itemOf(context).number = n;
}
template <typename N> void onNegative(void* context, N n) {
    itemOf(context).kind = CborItem::Negative;
    itemOf(context).number = n;
}
template <typename R> void onReal(void* context, R r) {
    itemOf(context).kind = CborItem::Real;
    itemOf(context).real = double(r);
}

const cbor_callbacks kItemCallbacks = [] {
    cbor_callbacks c = cbor_empty_callbacks;
    c.uint8 = onUnsigned<uint8_t>;
    c.uint16 = onUnsigned<uint16_t>;
    c.uint32 = onUnsigned<uint32_t>;
    c.uint64 = onUnsigned<uint64_t>;
    c.negint8 = onNegative<uint8_t>;
    c.negint16 = onNegative<uint16_t>;
    c.negint32 = onNegative<uint32_t>;
    c.negint64 = onNegative<uint64_t>;
    c.float2 = onReal<float>;
    c.float4 = onReal<float>;
    c.float8 = onReal<double>;
    c.string = [](void* context, cbor_data data, size_t size) {
        itemOf(context).kind = CborItem::Text;
        itemOf(context).text = reinterpret_cast<const char*>(data);
        itemOf(context).size = size;
    };
    c.array_start = [](void* context, size_t size) {
        itemOf(context).kind = CborItem::Array;
        itemOf(context).size = size;
    };
    c.null = [](void* context) { itemOf(context).kind = CborItem::Null; };
    c.indef_break = [](void* context) { itemOf(context).kind = CborItem::Break; };
    return c;
}();

// An integer as QCborStreamReader::toInteger() gives it, when it fits.
bool integerOf(const CborItem& item, qint64* value) {
    if (item.number > quint64(std::numeric_limits<qint64>::max()))
        return false;
    *value = item.kind == CborItem::Unsigned ? qint64(item.number) : -1 - qint64(item.number);
    return true;
}

// One value of a plain row into its column's cell at the row (a NULL leaves
// the cell NULL): false when it is not of the column's kind or passes its
// limits, the cell then left as it was.
bool takePlainCell(PacketColumn& col, int row, const CborItem& item, QStringDecoder& utf8,
                   QList<QChar>& scratch) {
    if (item.kind == CborItem::Null)
        return true;
    const auto r = size_t(row);
    qint64 integer = 0;
    switch (col.type) {
    case ftString: {
        const auto n = qsizetype(item.size);
        if (item.kind != CborItem::Text || n > DataPacket::kMaxTextBytes ||
            col.bytes.size() + n > qsizetype(std::numeric_limits<quint32>::max()) ||
            !isUtf8(item.text, n, utf8, scratch))
            return false;
        const qsizetype start = col.bytes.size();
        col.bytes.append(item.text, n);
        col.settleLastText(row, start, n);
        return true;
    }
    case ftDateTime:
        if (item.kind != CborItem::Text || item.size > 64 ||
            !isUtf8(item.text, qsizetype(item.size), utf8, scratch) ||
            !PacketColumn::parseDateTime(QUtf8StringView(item.text, qsizetype(item.size)), &col.integers[r]))
            return false;
        col.nulls[r] = false;
        return true;
    case ftFloat:
        if (item.kind == CborItem::Real)
            col.reals[r] = item.real;
        else if ((item.kind == CborItem::Unsigned || item.kind == CborItem::Negative) &&
                 integerOf(item, &integer))
            col.reals[r] = double(integer);
        else
            return false;
        col.nulls[r] = false;
        return true;
    case ftInteger:
        if ((item.kind != CborItem::Unsigned && item.kind != CborItem::Negative) ||
            !integerOf(item, &integer))
            return false;
        col.integers[r] = integer;
        col.nulls[r] = false;
        return true;
    }
    return false;
}

} // namespace

// The plain rows at the head of the pending bytes, read with libcbor's item
// decoder: a fixed-length list of one value a field, each NULL, a text of a
// text or date column, or a number of a number column. Qt's stream reader
// costs about 470 instructions a text (Qt 6.4: a chunk's size, then two
// reads, the second to learn the text has ended), several times this path;
// it stays the judge of everything else. At the first row this does not take
// whole (anything else in it, or the bytes ending inside it) it stops, that
// row undone, *consumed at its start: the Qt reader reads it, and refuses
// what it refuses, in its own words. It takes only what that reader would
// take, into the same cells.
void DataPacketRowStream::readPlainRows(qsizetype* consumed) {
    DataPacketData& pd = *m_packet.d;
    const auto* bytes = reinterpret_cast<const unsigned char*>(m_pending.constData());
    const auto size = size_t(m_pending.size());
    size_t at = size_t(*consumed);
    const size_t fieldCount = pd.columns.size();
    std::vector<qsizetype> textSizes(fieldCount);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QList<QChar> scratch;
    CborItem item;
    const auto next = [&] {
        item = CborItem();
        const cbor_decoder_result r = cbor_stream_decode(bytes + at, size - at, &kItemCallbacks, &item);
        if (r.status != CBOR_DECODER_FINISHED)
            return false;
        at += r.read;
        return true;
    };
    for (;;) {
        if (m_lengthKnown && m_left == 0) {
            m_ended = true;
            return;
        }
        if (at == size || !next())
            return;
        if (item.kind == CborItem::Break && !m_lengthKnown) {
            m_ended = true; // the break is the caller's to step over
            return;
        }
        if (item.kind != CborItem::Array || item.size != fieldCount)
            return;
        for (size_t c = 0; c < fieldCount; ++c)
            textSizes[c] = pd.columns[c].bytes.size();
        const int row = m_packet.appendRow();
        bool whole = true;
        for (size_t c = 0; c < fieldCount && whole; ++c)
            whole = next() && takePlainCell(pd.columns[c], row, item, utf8, scratch);
        if (!whole) {
            for (size_t c = 0; c < fieldCount; ++c)
                pd.columns[c].dropLastRow(textSizes[c]);
            --pd.rows;
            return;
        }
        *consumed = qsizetype(at);
        if (m_lengthKnown)
            --m_left;
    }
}

void DataPacketRowStream::readWholeRows() {
    qsizetype consumed = 1;
    readPlainRows(&consumed);
    if (!m_ended && consumed < m_pending.size()) {
        // A row the plain reader did not take: Qt's reader goes on from it.
        m_pending.remove(1, consumed - 1);
        consumed = 1;
        QCborStreamReader reader(QByteArray::fromRawData(m_pending.constData(), m_pending.size()));
        reader.enterContainer();
        DataPacketDecoder decoder(reader, -1);
        decoder.readRowsOf(m_packet, &consumed, m_lengthKnown, &m_left, &m_ended);
    }
    if (m_ended) {
        // An open list ends with its break, which the rows' readers stopped at.
        if (!m_lengthKnown)
            ++consumed;
        m_rest = m_pending.mid(consumed);
        m_pending = QByteArray();
        return;
    }
    m_pending.remove(1, consumed - 1);
}

DataPacket DataPacketRowStream::take() {
    if (!m_ended)
        DataPacket::refuse(QStringLiteral("a lista de linhas não terminou"));
    for (PacketColumn& c : m_packet.d->columns)
        c.shrink();
    return std::move(m_packet);
}
