#include "jsonrpccodec.h"

#include "data/datapacket.h"
#include "jsonrowsplitter.h"
#include "services/exceptions.h"
#include "services/hosttexts.h"
#include "wireformat.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <QCborValue>
#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <limits>

namespace {

const char* const kCborType = "application/cbor";
const char* const kJsonType = "application/json";

// The media type of a Content-Type header, without its parameters.
QByteArray mediaType(const QByteArray& header) {
    return header.split(';').constFirst().trimmed().toLower();
}

using Fault = ERpcAnswerError::Fault;

[[noreturn]] void refuseAnswer(Fault fault, const QString& detail) {
    throw ERpcAnswerError(fault, detail);
}

} // namespace

ERpcAnswerError::ERpcAnswerError(Fault fault, const QString& detail)
    : EZavError(HostText::text(HostText::InvalidAnswer).arg(detail)), m_fault(fault), m_detail(detail) {}

// --- requests -------------------------------------------------------------------

namespace {

enum class ArgKind { Null, Text, Date, Packet, Integer, Real, Boolean };

ArgKind kindOf(const QVariant& v, int position, const QString& method) {
    if (!v.isValid() || v.isNull())
        return ArgKind::Null;
    switch (v.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QChar:
        return ArgKind::Text;
    case QMetaType::QDate:
    case QMetaType::QDateTime:
        return ArgKind::Date;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return ArgKind::Integer;
    case QMetaType::Double:
    case QMetaType::Float:
        return ArgKind::Real;
    case QMetaType::Bool:
        return ArgKind::Boolean;
    default:
        break;
    }
    if (v.metaType() == QMetaType::fromType<DataPacket>())
        return ArgKind::Packet;
    throw EZavError(
        QStringLiteral("Argumento %1 de %2: um valor do tipo %3 não pode ser enviado ao servidor.")
            .arg(position)
            .arg(method, QLatin1StringView(v.metaType().name())));
}

// A date argument is a whole day; an invalid date (an empty date edit) is null.
QVariant dayOf(const QVariant& v) {
    const QDate d = v.metaType().id() == QMetaType::QDate ? v.toDate() : v.toDateTime().date();
    return d.isValid() ? QVariant(d.toString(zavwire::kDateFormat)) : QVariant();
}

// One argument as a JSON value.
QJsonValue jsonParam(const QVariant& a, ArgKind kind) {
    switch (kind) {
    case ArgKind::Null:
        return QJsonValue(QJsonValue::Null);
    case ArgKind::Text:
        return a.toString();
    case ArgKind::Date: {
        const QVariant day = dayOf(a);
        return day.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(day.toString());
    }
    case ArgKind::Packet:
        return a.value<DataPacket>().toJson();
    case ArgKind::Integer:
        return a.toLongLong();
    case ArgKind::Real:
        return a.toDouble();
    case ArgKind::Boolean:
        return a.toBool();
    }
    return {}; // null
}

QByteArray encodeJsonRequest(const QString& id, const QString& method, const QVariantList& args) {
    QJsonArray params;
    for (int i = 0; i < args.size(); ++i)
        params.append(jsonParam(args.at(i), kindOf(args.at(i), i + 1, method)));
    const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                              {QStringLiteral("id"), id},
                              {QStringLiteral("method"), method},
                              {QStringLiteral("params"), params}};
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

// One argument written as CBOR.
void writeCborParam(QCborStreamWriter& w, const QVariant& a, ArgKind kind) {
    switch (kind) {
    case ArgKind::Null:
        w.append(nullptr);
        break;
    case ArgKind::Text:
        w.append(a.toString());
        break;
    case ArgKind::Date: {
        const QVariant day = dayOf(a);
        if (day.isNull())
            w.append(nullptr);
        else
            w.append(day.toString());
        break;
    }
    case ArgKind::Packet:
        a.value<DataPacket>().writeCbor(w);
        break;
    case ArgKind::Integer:
        w.append(qint64(a.toLongLong()));
        break;
    case ArgKind::Real:
        w.append(a.toDouble());
        break;
    case ArgKind::Boolean:
        w.append(a.toBool());
        break;
    }
}

QByteArray encodeCborRequest(const QString& id, const QString& method, const QVariantList& args) {
    // Every argument is checked before anything is written.
    std::vector<ArgKind> kinds;
    kinds.reserve(size_t(args.size()));
    for (int i = 0; i < args.size(); ++i)
        kinds.push_back(kindOf(args.at(i), i + 1, method));
    QByteArray out;
    QCborStreamWriter w(&out);
    w.startMap(4);
    w.append(QLatin1StringView("jsonrpc"));
    w.append(QLatin1StringView("2.0"));
    w.append(QLatin1StringView("id"));
    w.append(id);
    w.append(QLatin1StringView("method"));
    w.append(method);
    w.append(QLatin1StringView("params"));
    w.startArray(quint64(args.size()));
    for (int i = 0; i < args.size(); ++i)
        writeCborParam(w, args.at(i), kinds[size_t(i)]);
    w.endArray();
    w.endMap();
    return out;
}

} // namespace

QByteArray encodeRpcRequest(const QString& id, const QString& method, const QVariantList& args, bool cbor) {
    return cbor ? encodeCborRequest(id, method, args) : encodeJsonRequest(id, method, args);
}

// --- answers -----------------------------------------------------------------------

namespace {

struct Envelope {
    bool versionOk = false;
    bool haveId = false;
    QCborValue id;
    bool haveResult = false;
    QVariant result;
    bool haveError = false;
    QCborValue error;
};

QVariant plainResult(const QCborValue& v) {
    if (v.isNull())
        return {};
    if (v.isString())
        return v.toString();
    if (v.isInteger())
        return qlonglong(v.toInteger());
    if (v.isDouble())
        return v.toDouble();
    if (v.isBool())
        return v.toBool();
    refuseAnswer(Fault::ResultKind, QStringLiteral("resultado de tipo inesperado"));
}

Envelope readJson(const QByteArray& body) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        refuseAnswer(
            Fault::Malformed,
            QStringLiteral("JSON malformado (%1, na posição %2)").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        refuseAnswer(Fault::Malformed, QStringLiteral("esperada uma resposta JSON-RPC (um objeto)"));
    const QJsonObject o = doc.object();
    Envelope env;
    env.versionOk = o.value(QLatin1StringView("jsonrpc")) == QJsonValue(QStringLiteral("2.0"));
    env.haveId = o.contains(QLatin1StringView("id"));
    env.id = QCborValue::fromJsonValue(o.value(QLatin1StringView("id")));
    if (o.contains(QLatin1StringView("error"))) {
        env.haveError = true;
        env.error = QCborValue::fromJsonValue(o.value(QLatin1StringView("error")));
    }
    if (o.contains(QLatin1StringView("result"))) {
        env.haveResult = true;
        const QJsonValue r = o.value(QLatin1StringView("result"));
        env.result = r.isObject() ? QVariant::fromValue(DataPacket::fromJson(r))
                                  : plainResult(QCborValue::fromJsonValue(r));
    }
    return env;
}

void checkCbor(QCborStreamReader& reader) {
    if (reader.lastError() != QCborError::NoError)
        refuseAnswer(Fault::Malformed,
                     QStringLiteral("CBOR malformado (%1)").arg(reader.lastError().toString()));
}

Envelope readCbor(const QByteArray& body) {
    QCborStreamReader reader(body);
    checkCbor(reader);
    if (!reader.isMap())
        refuseAnswer(Fault::Malformed, QStringLiteral("esperada uma resposta JSON-RPC (um objeto)"));
    Envelope env;
    reader.enterContainer();
    while (reader.hasNext()) {
        checkCbor(reader);
        if (!reader.isString())
            refuseAnswer(Fault::Malformed, QStringLiteral("a resposta tem uma chave que não é texto"));
        QString key;
        auto s = reader.readString();
        while (s.status == QCborStreamReader::Ok) {
            key += s.data;
            s = reader.readString();
        }
        checkCbor(reader);
        if (key == u"result") {
            env.haveResult = true;
            if (reader.isMap()) {
                env.result = QVariant::fromValue(DataPacket::readCbor(reader, body));
            } else {
                const QCborValue v = QCborValue::fromCbor(reader);
                checkCbor(reader);
                env.result = plainResult(v);
            }
        } else {
            const QCborValue v = QCborValue::fromCbor(reader);
            checkCbor(reader);
            if (key == u"jsonrpc") {
                env.versionOk = v == QCborValue(QStringLiteral("2.0"));
            } else if (key == u"id") {
                env.haveId = true;
                env.id = v;
            } else if (key == u"error") {
                env.haveError = true;
                env.error = v;
            }
        }
    }
    checkCbor(reader);
    reader.leaveContainer();
    checkCbor(reader);
    if (reader.currentOffset() < body.size())
        refuseAnswer(Fault::Trailing, QStringLiteral("dados a mais depois da resposta"));
    return env;
}

bool sameId(const QCborValue& id, const QString& expected) {
    return id.isString() && id.toString() == expected;
}

// The server's refusal of the call, when the error object has the shape
// JSON-RPC gives it: an object, an integer code, a text message. The message
// is for the operator: it is shown as it comes.
ERpcError serversRefusal(const QCborValue& error) {
    if (!error.isMap())
        refuseAnswer(Fault::ErrorShape, QStringLiteral("erro que não é um objeto"));
    const QCborMap e = error.toMap();
    const QCborValue code = e.value(QLatin1StringView("code"));
    const QCborValue message = e.value(QLatin1StringView("message"));
    if (!message.isString() || message.toString().trimmed().isEmpty())
        refuseAnswer(Fault::ErrorShape,
                     code.isInteger() ? QStringLiteral("erro sem mensagem (código %1)").arg(code.toInteger())
                                      : QStringLiteral("erro sem mensagem nem código"));
    if (!code.isInteger() || code.toInteger() < std::numeric_limits<int>::min() ||
        code.toInteger() > std::numeric_limits<int>::max())
        refuseAnswer(Fault::ErrorShape,
                     QStringLiteral("erro sem código inteiro: %1").arg(message.toString().left(200)));
    return ERpcError(int(code.toInteger()), message.toString());
}

} // namespace

QVariant decodeRpcResponse(int status, const QByteArray& contentType, const QByteArray& body,
                           const QString& id, const QString& endpoint) {
    const QByteArray type = mediaType(contentType);
    Envelope env;
    if (type == kCborType)
        env = readCbor(body);
    else if (type == kJsonType)
        env = readJson(body);
    else if (status != 200)
        refuseAnswer(Fault::ContentType,
                     QStringLiteral("o servidor respondeu HTTP %1 sem uma resposta JSON-RPC; %2 é o "
                                    "servidor de aplicação?")
                         .arg(status)
                         .arg(endpoint));
    else
        refuseAnswer(
            Fault::ContentType,
            QStringLiteral("tipo de conteúdo inesperado \"%1\"").arg(QString::fromLatin1(contentType)));

    if (!env.versionOk)
        refuseAnswer(Fault::Version, QStringLiteral("o campo jsonrpc deve ser \"2.0\""));
    if (env.haveError) {
        const ERpcError refusal = serversRefusal(env.error);
        // An error answers this call, or a request the server could not read
        // (id null); it names one or the other.
        if (!env.haveId)
            refuseAnswer(Fault::MissingId, QStringLiteral("erro sem id (esperado %1)").arg(id));
        if (!env.id.isNull() && !sameId(env.id, id))
            refuseAnswer(
                Fault::OtherCall,
                QStringLiteral("a resposta é de outra chamada (id %1)").arg(env.id.toVariant().toString()));
        throw refusal;
    }
    if (!env.haveResult)
        refuseAnswer(Fault::NoOutcome, QStringLiteral("resposta sem resultado nem erro"));
    if (!env.haveId)
        refuseAnswer(Fault::MissingId, QStringLiteral("resposta sem id (esperado %1)").arg(id));
    if (!sameId(env.id, id))
        refuseAnswer(Fault::OtherCall, QStringLiteral("a resposta é de outra chamada (id %1, esperado %2)")
                                           .arg(env.id.toVariant().toString())
                                           .arg(id));
    if (status != 200)
        refuseAnswer(Fault::HttpStatus, QStringLiteral("resultado com o status HTTP %1").arg(status));
    return env.result;
}

// --- answers as they arrive ---------------------------------------------------------

namespace {

// A head longer than this is no list's head: the answer is read whole.
constexpr qsizetype kMaxHeadBytes = qsizetype{64} * 1024;
// The empty list that stands for the streamed rows when the answer's
// envelope is read at the end.
constexpr char kEmptyArray = char(0x80);

QString readKey(QCborStreamReader& reader) {
    QString key;
    auto s = reader.readString();
    while (s.status == QCborStreamReader::Ok) {
        key += s.data;
        s = reader.readString();
    }
    return key;
}

} // namespace

RpcResponseReader::RpcResponseReader() = default;
RpcResponseReader::~RpcResponseReader() = default;

void RpcResponseReader::feed(int status, const QByteArray& contentType, const char* data, qsizetype size) {
    try {
        if (m_mode == Mode::Start) {
            const QByteArray type = mediaType(contentType);
            m_mode = status != 200       ? Mode::Whole
                     : type == kCborType ? Mode::Head
                     : type == kJsonType ? Mode::Json
                                         : Mode::Whole;
            if (m_mode == Mode::Json)
                m_json = std::make_unique<JsonRowSplitter>();
        }
        switch (m_mode) {
        case Mode::Start:
        case Mode::Whole:
            m_bytes.append(data, size);
            return;
        case Mode::Json:
            m_bytes.append(data, size);
            readJson();
            return;
        case Mode::Head:
            m_bytes.append(data, size);
            readHead();
            return;
        case Mode::Rows:
            m_rows->feed(QByteArrayView(data, size));
            return;
        case Mode::Refused:
            return; // the rest of a refused answer is not kept
        }
    } catch (const EZavError&) {
        m_refusal = std::current_exception();
    } catch (const std::exception& error) {
        m_refusal = std::make_exception_ptr(
            EZavError(HostText::text(HostText::InvalidAnswer).arg(QString::fromLocal8Bit(error.what()))));
    }
    m_mode = Mode::Refused;
    m_rows.reset();
    m_bytes = QByteArray();
}

// Looks in the bytes come so far for a result that is a packet, its fields
// listed before its rows: once the rows list's head is there, the rows are
// read as they come. Anything else (an error, a plain result, another order)
// is read whole at the end, and so is what cannot be read here: the reading
// at the end says what is wrong with it.
void RpcResponseReader::readHead() {
    QCborStreamReader reader(QByteArray::fromRawData(m_bytes.constData(), m_bytes.size()));
    const auto cut = [&reader] { return reader.lastError() == QCborError::EndOfFile; };
    const auto readWhole = [this] { m_mode = Mode::Whole; };
    const auto wait = [this, readWhole] {
        if (m_bytes.size() > kMaxHeadBytes)
            readWhole();
    };
    if (cut())
        return wait();
    if (!reader.isMap() || !reader.enterContainer())
        return cut() ? wait() : readWhole();
    while (reader.hasNext()) {
        if (!reader.isString())
            return readWhole();
        const QString key = readKey(reader);
        if (reader.lastError() != QCborError::NoError)
            return cut() ? wait() : readWhole();
        if (key != u"result") {
            if (!reader.next())
                return cut() ? wait() : readWhole();
            continue;
        }
        if (!reader.isMap() || !reader.enterContainer())
            return cut() ? wait() : readWhole();
        if (!reader.hasNext())
            return cut() ? wait() : readWhole();
        if (!reader.isString() || readKey(reader) != zavwire::kFields)
            return cut() ? wait() : readWhole();
        QList<DataPacketField> fields;
        try {
            fields = DataPacket::readCborFields(reader);
        } catch (const EZavError&) {
            return cut() ? wait() : readWhole();
        }
        if (!reader.hasNext() || !reader.isString() || readKey(reader) != zavwire::kRows)
            return cut() ? wait() : readWhole();
        if (!reader.isArray())
            return cut() ? wait() : readWhole();
        const qsizetype listStart = reader.currentOffset();
        const bool lengthKnown = reader.isLengthKnown();
        const quint64 count = lengthKnown ? quint64(reader.length()) : 0;
        if (!reader.enterContainer())
            return cut() ? wait() : readWhole();
        const qsizetype rowsStart = reader.currentOffset();
        if (rowsStart <= listStart || rowsStart > m_bytes.size())
            return readWhole();
        m_rows = std::make_unique<DataPacketRowStream>(fields, lengthKnown, count);
        m_mode = Mode::Rows;
        const QByteArray rows = m_bytes.mid(rowsStart);
        m_bytes.truncate(listStart);
        m_rows->feed(rows);
        return;
    }
    if (cut())
        return wait();
    readWhole(); // no result: read whole
}

QVariant RpcResponseReader::finish(int status, const QByteArray& contentType, const QString& id,
                                   const QString& endpoint) {
    switch (m_mode) {
    case Mode::Refused:
        std::rethrow_exception(m_refusal);
    case Mode::Rows: {
        if (!m_rows->ended())
            refuseAnswer(Fault::Malformed, QStringLiteral("a resposta terminou no meio da lista de linhas"));
        // The envelope is read as a whole answer whose rows list is empty:
        // its version, its id, what follows the rows, nothing after the end.
        QByteArray envelope = m_bytes;
        envelope.append(kEmptyArray);
        envelope.append(m_rows->rest());
        const QVariant empty = decodeRpcResponse(status, contentType, envelope, id, endpoint);
        if (!empty.canConvert<DataPacket>())
            refuseAnswer(Fault::ResultKind, QStringLiteral("esperado um pacote de dados"));
        return QVariant::fromValue(m_rows->take());
    }
    case Mode::Json:
        return finishJson(status, contentType, id, endpoint);
    case Mode::Start:
    case Mode::Head:
    case Mode::Whole:
        break;
    }
    return decodeRpcResponse(status, contentType, m_bytes, id, endpoint);
}

// The JSON answer's rows, read as they come: once the rows list has begun,
// the packet's fields from the head (the list closed empty), then the whole
// rows that have come, a batch at a time. Anything the batches would read
// otherwise than the whole body is read whole at the end instead: every byte
// is kept for that.
void RpcResponseReader::readJson() {
    m_json->scan(m_bytes);
    const JsonRowSplitter::State state = m_json->state();
    if (state == JsonRowSplitter::State::Unusual)
        return readJsonWhole();
    if (state == JsonRowSplitter::State::Head)
        return;
    if (!m_jsonPacket) {
        const QByteArray head = m_bytes.left(m_json->rowsBegin()) + "]}}";
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(head, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return readJsonWhole();
        try {
            m_jsonPacket = std::make_unique<DataPacket>(
                DataPacket::fromJson(doc.object().value(QLatin1StringView("result"))));
        } catch (const EZavError&) {
            return readJsonWhole();
        }
        m_jsonRead = m_json->rowsBegin();
    }
    constexpr qsizetype kBatchBytes = qsizetype{64} * 1024;
    if (state == JsonRowSplitter::State::Rest) {
        if (!appendJsonRowsUpTo(m_json->rowsEnd()))
            readJsonWhole();
    } else if (m_json->lastRowEnd() - m_jsonRead >= kBatchBytes &&
               !appendJsonRowsUpTo(m_json->lastRowEnd())) {
        readJsonWhole();
    }
}

// The rows from where the last batch ended up to end, read by Qt's parser as
// one list; false when they are not just rows separated by commas, as the
// whole body would have them.
bool RpcResponseReader::appendJsonRowsUpTo(qsizetype end) {
    const char* p = m_bytes.constData() + m_jsonRead;
    const char* const stop = m_bytes.constData() + end;
    auto skipBlanks = [&p, stop] {
        while (p < stop && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    };
    skipBlanks();
    if (m_jsonRead != m_json->rowsBegin() && p < stop) {
        if (*p != ',')
            return false;
        ++p;
        skipBlanks();
        if (p == stop)
            return false; // a comma before the list's end
    }
    m_jsonRead = end;
    if (p == stop)
        return true;
    QByteArray batch;
    batch.reserve(stop - p + 2);
    batch.append('[').append(p, stop - p).append(']');
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(batch, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return false;
    try {
        m_jsonPacket->appendJsonRows(doc.array());
    } catch (const EZavError&) {
        return false;
    }
    return true;
}

void RpcResponseReader::readJsonWhole() {
    m_mode = Mode::Whole;
    m_json.reset();
    m_jsonPacket.reset();
}

// The envelope is read as a whole answer whose rows list is empty; when it or
// anything before is refused, the whole body is read, so that the refusal is
// the whole body's, word for word.
QVariant RpcResponseReader::finishJson(int status, const QByteArray& contentType, const QString& id,
                                       const QString& endpoint) {
    if (m_jsonPacket && m_json->state() == JsonRowSplitter::State::Rest) {
        const QByteArray envelope = m_bytes.left(m_json->rowsBegin()) + m_bytes.mid(m_json->rowsEnd());
        try {
            if (decodeRpcResponse(status, contentType, envelope, id, endpoint).canConvert<DataPacket>()) {
                m_jsonPacket->trimStorage();
                return QVariant::fromValue(*m_jsonPacket); // shared, not copied
            }
        } catch (const EZavError&) {
        }
    }
    return decodeRpcResponse(status, contentType, m_bytes, id, endpoint);
}

QString newRpcId() {
    quint32 bits[4];
    QRandomGenerator::system()->fillRange(bits);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bits), sizeof bits).toHex());
}
