// The data packet in CBOR: written with a stream writer; read with Qt's
// stream reader for its structure (the map, the fields) and with libcbor's
// item decoder for its rows, cell by cell, straight into the column storage
// without a QString or a QCborValue per cell. The rows have one reading
// (CborRows), whether the packet came whole or its rows arrive piece by piece.
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

// One CBOR item as libcbor's item decoder (cbor_stream_decode) reports it
// through its callbacks: a head, with a definite text's or bytes' content.
struct CborItem {
    enum Kind {
        Other, // a simple value of no meaning here
        Null,
        Undefined,
        Bool,
        Text,      // a definite text: text, size
        OpenText,  // an indefinite text: its chunks follow, then a break
        Bytes,     // a definite or indefinite byte string
        Real,      // half, single or double precision
        Unsigned,  // number
        Negative,  // -1 - number
        Array,     // size values follow
        OpenArray, // values follow, then a break
        Map,       // a definite or indefinite map
        Tag,
        Break,
    };
    Kind kind = Other;
    const char* text = nullptr;
    size_t size = 0;
    double real = 0;
    quint64 number = 0;
};

CborItem& itemOf(void* context) {
    return *static_cast<CborItem*>(context);
}
void setKind(void* context, CborItem::Kind kind) {
    itemOf(context).kind = kind;
}
template <typename N> void onUnsigned(void* context, N n) {
    setKind(context, CborItem::Unsigned);
    itemOf(context).number = n;
}
template <typename N> void onNegative(void* context, N n) {
    setKind(context, CborItem::Negative);
    itemOf(context).number = n;
}
template <typename R> void onReal(void* context, R r) {
    setKind(context, CborItem::Real);
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
        setKind(context, CborItem::Text);
        itemOf(context).text = reinterpret_cast<const char*>(data);
        itemOf(context).size = size_t(size);
    };
    c.string_start = [](void* context) { setKind(context, CborItem::OpenText); };
    c.byte_string = [](void* context, cbor_data, size_t) { setKind(context, CborItem::Bytes); };
    c.byte_string_start = [](void* context) { setKind(context, CborItem::Bytes); };
    c.array_start = [](void* context, size_t size) {
        setKind(context, CborItem::Array);
        itemOf(context).size = size_t(size);
    };
    c.indef_array_start = [](void* context) { setKind(context, CborItem::OpenArray); };
    c.map_start = [](void* context, size_t) { setKind(context, CborItem::Map); };
    c.indef_map_start = [](void* context) { setKind(context, CborItem::Map); };
    c.tag = [](void* context, uint64_t) { setKind(context, CborItem::Tag); };
    c.null = [](void* context) { setKind(context, CborItem::Null); };
    c.undefined = [](void* context) { setKind(context, CborItem::Undefined); };
    c.boolean = [](void* context, bool) { setKind(context, CborItem::Bool); };
    c.indef_break = [](void* context) { setKind(context, CborItem::Break); };
    return c;
}();

// What a value is, as the operator's messages name it.
QString kindOf(const CborItem& item) {
    using K = zavwire::ValueKind;
    switch (item.kind) {
    case CborItem::Unsigned:
    case CborItem::Negative:
    case CborItem::Real:
        return zavwire::kindName(K::Number);
    case CborItem::Bytes:
        return zavwire::kindName(K::Bytes);
    case CborItem::Text:
    case CborItem::OpenText:
        return zavwire::kindName(K::Text);
    case CborItem::Array:
    case CborItem::OpenArray:
        return zavwire::kindName(K::List);
    case CborItem::Map:
        return zavwire::kindName(K::Object);
    case CborItem::Null:
        return zavwire::kindName(K::Null);
    case CborItem::Bool:
        return zavwire::kindName(K::Bool);
    case CborItem::Undefined:
        return zavwire::kindName(K::Undefined);
    case CborItem::Other:
    case CborItem::Tag:
    case CborItem::Break:
        break;
    }
    return zavwire::kindName(K::Other);
}

// The bytes end inside a row: it is read again whole once more have come.
struct CutShort {};

} // namespace

// The rows of a packet read from CBOR bytes with libcbor's item decoder: the
// one reading of a packet's cells. Each row is a list of one value a field
// (of known length or not); a value is NULL, a text of a text or date column
// (in one piece or in chunks), or a number of a number column; anything else
// is refused with the field, the line and what came.
class CborRows {
public:
    explicit CborRows(DataPacket& packet) : m_packet(packet), m_utf8(QStringDecoder::Utf8) {}

    enum class Stop {
        Ended, // the list's break (*at on it) or its last announced row
        Short, // the bytes end inside a row or before it: *at where it starts
    };
    // Whole rows from bytes + *at on, until the list ends or the bytes do;
    // *left counts down the rows a list of known length still has. A row cut
    // short is taken back out of the columns.
    Stop read(const char* bytes, qsizetype size, qsizetype* at, bool lengthKnown, quint64* left);

private:
    CborItem next();
    void readRow(const CborItem& head);
    void readValue(int column, int row, int line, const CborItem& first);
    // The text that starts with this item (whole, or its chunks), checked:
    // into the buffer's end; its size.
    qsizetype readText(const CborItem& first, TextBuffer& into);
    [[noreturn]] void wrongValue(int column, int line, const CborItem& got);

    DataPacket& m_packet;
    QStringDecoder m_utf8;
    QList<QChar> m_scratch;
    TextBuffer m_text;
    const char* m_bytes = nullptr;
    qsizetype m_size = 0;
    qsizetype m_at = 0;
};

CborItem CborRows::next() {
    CborItem item;
    const cbor_decoder_result r = cbor_stream_decode(reinterpret_cast<const unsigned char*>(m_bytes) + m_at,
                                                     size_t(m_size - m_at), &kItemCallbacks, &item);
    switch (r.status) {
    case CBOR_DECODER_FINISHED:
        m_at += qsizetype(r.read);
        return item;
    case CBOR_DECODER_NEDATA:
        throw CutShort{};
    case CBOR_DECODER_ERROR:
        break;
    }
    DataPacket::refuse(QStringLiteral("CBOR malformado (byte %1 inválido na lista de linhas)")
                           .arg(quint8(m_bytes[m_at]), 2, 16, QLatin1Char('0')));
}

qsizetype CborRows::readText(const CborItem& first, TextBuffer& into) {
    const qsizetype begin = into.size();
    qsizetype total = 0;
    const auto take = [&](const CborItem& chunk) {
        const auto n = qsizetype(chunk.size);
        if (total + n > DataPacket::kMaxTextBytes)
            DataPacket::refuse(QStringLiteral("texto de mais de %1 bytes").arg(DataPacket::kMaxTextBytes));
        into.append(chunk.text, n);
        total += n;
    };
    if (first.kind == CborItem::Text) {
        take(first);
    } else {
        for (CborItem chunk = next(); chunk.kind != CborItem::Break; chunk = next()) {
            if (chunk.kind != CborItem::Text)
                DataPacket::refuse(QStringLiteral("CBOR malformado (um pedaço de texto que não é texto)"));
            take(chunk);
        }
    }
    if (!isUtf8(into.constData() + begin, total, m_utf8, m_scratch))
        DataPacket::refuse(QStringLiteral("texto que não é UTF-8 válido"));
    return total;
}

void CborRows::wrongValue(int column, int line, const CborItem& got) {
    QString what = kindOf(got);
    if (got.kind == CborItem::Text || got.kind == CborItem::OpenText) {
        m_text.clear();
        readText(got, m_text);
        what += u' ' + quotedForMessage(QUtf8StringView(m_text.constData(), m_text.size()));
    }
    DataPacket::refuse(QStringLiteral("campo %1, linha %2: esperado %3, recebido %4")
                           .arg(m_packet.d->fields.at(column).name)
                           .arg(line)
                           .arg(DataPacket::describeType(m_packet.d->fields.at(column).type), what));
}

void CborRows::readValue(int column, int row, int line, const CborItem& first) {
    if (first.kind == CborItem::Null)
        return; // the row was appended with NULLs
    PacketColumn& col = m_packet.d->columns[size_t(column)];
    const auto r = size_t(row);
    const bool integer = first.kind == CborItem::Unsigned || first.kind == CborItem::Negative;
    const bool text = first.kind == CborItem::Text || first.kind == CborItem::OpenText;
    switch (col.type) {
    case ftString: {
        if (!text)
            wrongValue(column, line, first);
        const qsizetype start = col.bytes.size();
        const qsizetype n = readText(first, col.bytes);
        if (qsizetype(col.bytes.size()) > qsizetype(std::numeric_limits<quint32>::max()))
            DataPacket::refuse(QStringLiteral("pacote grande demais (mais de 4 GB de texto num campo)"));
        col.settleLastText(row, start, n);
        return;
    }
    case ftDateTime: {
        if (!text)
            wrongValue(column, line, first);
        m_text.clear();
        readText(first, m_text);
        const QUtf8StringView day(m_text.constData(), m_text.size());
        if (!PacketColumn::parseDateTime(day, &col.integers[r]))
            DataPacket::refuse(
                QStringLiteral("campo %1, linha %2: esperado data (AAAA-MM-DD), recebido texto %3")
                    .arg(m_packet.d->fields.at(column).name)
                    .arg(line)
                    .arg(quotedForMessage(day)));
        col.nulls[r] = false;
        return;
    }
    case ftFloat:
        // An integer as the amount it is, however wide.
        if (first.kind == CborItem::Real)
            col.reals[r] = first.real;
        else if (integer)
            col.reals[r] =
                first.kind == CborItem::Unsigned ? double(first.number) : -1.0 - double(first.number);
        else
            wrongValue(column, line, first);
        col.nulls[r] = false;
        return;
    case ftInteger:
        if (!integer)
            wrongValue(column, line, first);
        // Beyond 64 bits it is taken as Qt's reader took it, wrapped (the
        // server writes none).
        col.integers[r] =
            first.kind == CborItem::Unsigned ? qint64(first.number) : qint64(-1) - qint64(first.number);
        col.nulls[r] = false;
        return;
    }
}

void CborRows::readRow(const CborItem& head) {
    DataPacketData& pd = *m_packet.d;
    const int fieldCount = int(pd.fields.size());
    const int line = pd.rows + 1;
    if (head.kind != CborItem::Array && head.kind != CborItem::OpenArray)
        DataPacket::refuse(QStringLiteral("a linha %1 não é uma lista").arg(line));
    const bool open = head.kind == CborItem::OpenArray;
    const int row = m_packet.appendRow();
    int c = 0;
    for (;;) {
        if (!open && size_t(c) == head.size)
            break;
        const CborItem value = next();
        if (open && value.kind == CborItem::Break)
            break;
        if (c == fieldCount)
            DataPacket::refuse(QStringLiteral("a linha %1 tem mais de %2 valores").arg(line).arg(fieldCount));
        if (value.kind == CborItem::Break)
            DataPacket::refuse(
                QStringLiteral("CBOR malformado (fim de lista no meio da linha %1)").arg(line));
        readValue(c, row, line, value);
        ++c;
    }
    if (c != fieldCount)
        DataPacket::refuse(
            QStringLiteral("a linha %1 tem %2 valores, esperados %3").arg(line).arg(c).arg(fieldCount));
}

CborRows::Stop CborRows::read(const char* bytes, qsizetype size, qsizetype* at, bool lengthKnown,
                              quint64* left) {
    DataPacketData& pd = *m_packet.d;
    m_bytes = bytes;
    m_size = size;
    std::vector<qsizetype> textSizes(pd.columns.size());
    for (;;) {
        if (lengthKnown && *left == 0)
            return Stop::Ended;
        m_at = *at;
        const int rowsBefore = pd.rows;
        try {
            const CborItem head = next();
            if (head.kind == CborItem::Break) {
                if (lengthKnown)
                    DataPacket::refuse(QStringLiteral("a lista de linhas terminou antes das %1 anunciadas")
                                           .arg(pd.rows + qint64(*left)));
                return Stop::Ended; // *at on the break
            }
            for (size_t c = 0; c < pd.columns.size(); ++c)
                textSizes[c] = pd.columns[c].bytes.size();
            readRow(head);
        } catch (const CutShort&) {
            if (pd.rows > rowsBefore) {
                for (size_t c = 0; c < pd.columns.size(); ++c)
                    pd.columns[c].dropLastRow(textSizes[c]);
                --pd.rows;
            }
            return Stop::Short;
        }
        *at = m_at;
        if (lengthKnown)
            --*left;
    }
}

// The structure of a packet read with Qt's stream reader: its map, its fields;
// its rows are CborRows'.
class DataPacketDecoder {
public:
    DataPacketDecoder(QCborStreamReader& reader, const QByteArray& bytes);
    DataPacket packet();
    QList<DataPacketField> fields();

private:
    void checkReader();
    QString describeCurrent();
    QString readString();
    DataPacketField readField(int position);
    void readFields();
    void readRows();

    QCborStreamReader& m_reader;
    const QByteArray& m_bytes;
    DataPacket m_packet;
    bool m_haveFields = false;
    bool m_haveRows = false;
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

DataPacket DataPacket::readCbor(QCborStreamReader& reader, const QByteArray& bytes) {
    return DataPacketDecoder(reader, bytes).packet();
}

DataPacket DataPacket::fromCbor(const QByteArray& bytes) {
    QCborStreamReader reader(bytes);
    DataPacket p = readCbor(reader, bytes);
    if (reader.currentOffset() < bytes.size())
        refuse(QStringLiteral("dados a mais depois do pacote"));
    return p;
}

DataPacketDecoder::DataPacketDecoder(QCborStreamReader& reader, const QByteArray& bytes)
    : m_reader(reader), m_bytes(bytes) {}

void DataPacketDecoder::checkReader() {
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
    static const QByteArray kNone;
    return DataPacketDecoder(reader, kNone).fields();
}

// The rows list by CborRows, from the bytes the reader reads; Qt's reader then
// steps over the list (reading no cell) to go on with the packet.
void DataPacketDecoder::readRows() {
    if (!m_haveFields)
        DataPacket::refuse(QStringLiteral("o pacote deve trazer a lista de campos antes das linhas"));
    if (!m_reader.isArray())
        DataPacket::refuse(QStringLiteral("a lista de linhas não é uma lista"));
    const qsizetype listStart = m_reader.currentOffset();
    CborItem head;
    const cbor_decoder_result r =
        listStart < 0 || listStart >= m_bytes.size()
            ? cbor_decoder_result{0, CBOR_DECODER_ERROR, 0}
            : cbor_stream_decode(reinterpret_cast<const unsigned char*>(m_bytes.constData()) + listStart,
                                 size_t(m_bytes.size() - listStart), &kItemCallbacks, &head);
    if (r.status != CBOR_DECODER_FINISHED ||
        (head.kind != CborItem::Array && head.kind != CborItem::OpenArray))
        DataPacket::refuse(QStringLiteral("CBOR malformado (lista de linhas)"));
    qsizetype at = listStart + qsizetype(r.read);
    const bool lengthKnown = head.kind == CborItem::Array;
    quint64 left = lengthKnown ? quint64(head.size) : 0;
    // Every row takes a byte at least: a count beyond the bytes is no count.
    if (lengthKnown && left <= quint64(m_bytes.size() - at))
        for (PacketColumn& c : m_packet.d->columns)
            c.reserveRows(qsizetype(left), 0);
    CborRows rows(m_packet);
    if (rows.read(m_bytes.constData(), m_bytes.size(), &at, lengthKnown, &left) == CborRows::Stop::Short)
        DataPacket::refuse(QStringLiteral("CBOR malformado (os dados terminam no meio da lista de linhas)"));
    if (!lengthKnown)
        ++at; // its break
    if (!m_reader.next())
        checkReader();
    if (m_reader.currentOffset() != at)
        DataPacket::refuse(QStringLiteral("CBOR malformado (lista de linhas)"));
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

DataPacketRowStream::DataPacketRowStream(const QList<DataPacketField>& fields, bool lengthKnown,
                                         quint64 count)
    : m_packet(fields), m_lengthKnown(lengthKnown), m_left(count) {
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

void DataPacketRowStream::readWholeRows() {
    qsizetype at = 0;
    CborRows rows(m_packet);
    if (rows.read(m_pending.constData(), m_pending.size(), &at, m_lengthKnown, &m_left) ==
        CborRows::Stop::Short) {
        m_pending.remove(0, at);
        return;
    }
    m_ended = true;
    // An open list ends with its break, which the rows stopped at.
    if (!m_lengthKnown)
        ++at;
    m_rest = m_pending.mid(at);
    m_pending = QByteArray();
}

DataPacket DataPacketRowStream::take() {
    if (!m_ended)
        DataPacket::refuse(QStringLiteral("a lista de linhas não terminou"));
    for (PacketColumn& c : m_packet.d->columns)
        c.shrink();
    return std::move(m_packet);
}
