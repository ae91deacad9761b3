#include "rpc/jsonencoder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <cmath>
#include <cstring>
#include <utility>

namespace zavserver {

namespace {

const char kHex[] = "0123456789abcdef";

// A JSON string: quotes, backslashes and control characters escaped, the rest
// as UTF-8. Text that is no valid UTF-8 has its bad bytes replaced (U+FFFD),
// as a QString made of it would.
void appendString(QByteArray& out, QUtf8StringView value) {
    bool ascii = true;
    for (const char c : value)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    QByteArray repaired;
    if (!ascii && !value.isValidUtf8()) {
        repaired = QString::fromUtf8(value.data(), value.size()).toUtf8();
        value = QUtf8StringView(repaired.constData(), repaired.size());
    }
    out.append('"');
    const char* p = value.data();
    const qsizetype n = value.size();
    qsizetype plain = 0; // the start of the bytes not yet copied
    for (qsizetype i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(p + plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"':
            out.append("\\\"", 2);
            break;
        case '\\':
            out.append("\\\\", 2);
            break;
        case '\n':
            out.append("\\n", 2);
            break;
        case '\r':
            out.append("\\r", 2);
            break;
        case '\t':
            out.append("\\t", 2);
            break;
        case '\b':
            out.append("\\b", 2);
            break;
        case '\f':
            out.append("\\f", 2);
            break;
        default: {
            const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escaped, 6);
        }
        }
    }
    out.append(p + plain, n - plain);
    out.append('"');
}

// Any JSON value, as Qt's writer writes it (the id, an error's text).
void appendValue(QByteArray& out, const QJsonValue& value) {
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    out.append(text.constData() + 1, text.size() - 2); // without the list's brackets
}

} // namespace

void JsonEncoder::beginResponse() {
    m_begun = true;
    m_buffer.append(R"({"jsonrpc":"2.0","result":)");
}

void JsonEncoder::nullResult() {
    beginResponse();
    m_buffer.append("null");
}

void JsonEncoder::beginPacket(std::span<const PacketField> fields) {
    beginResponse();
    m_buffer.append("{\"");
    m_buffer.append(zavfiscal::wire::kFields.data(), zavfiscal::wire::kFields.size());
    m_buffer.append("\":[");
    bool first = true;
    for (const PacketField& f : fields) {
        if (!first)
            m_buffer.append(',');
        first = false;
        QJsonObject field;
        field.insert(zavfiscal::wire::kName, f.name);
        field.insert(zavfiscal::wire::kType, zavfiscal::wire::fieldTypeName(f.type));
        field.insert(zavfiscal::wire::kSize, f.size);
        m_buffer.append(QJsonDocument(field).toJson(QJsonDocument::Compact));
    }
    m_buffer.append("],\"");
    m_buffer.append(zavfiscal::wire::kRows.data(), zavfiscal::wire::kRows.size());
    m_buffer.append("\":[");
}

void JsonEncoder::beginRow() {
    if (!m_firstRow)
        m_buffer.append(',');
    m_firstRow = false;
    m_buffer.append('[');
    m_firstValue = true;
}

void JsonEncoder::separate() {
    if (!m_firstValue)
        m_buffer.append(',');
    m_firstValue = false;
}

void JsonEncoder::text(QUtf8StringView value) {
    const char* p = value.data();
    const qsizetype n = value.size();
    bool plain = true; // printable ASCII without a quote or a backslash
    for (qsizetype i = 0; i < n && plain; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        plain = c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
    }
    if (!plain) {
        separate();
        appendString(m_buffer, value);
        return;
    }
    // Most texts (codes, keys, dates): one copy, its comma and quotes with it.
    const bool comma = !m_firstValue;
    m_firstValue = false;
    const qsizetype at = m_buffer.size();
    m_buffer.resize(at + qsizetype(comma) + n + 2);
    char* out = m_buffer.data() + at;
    if (comma)
        *out++ = ',';
    *out++ = '"';
    if (n > 0) // an empty text may come as a null pointer, which memcpy may not take
        std::memcpy(out, p, size_t(n));
    out[n] = '"';
}

void JsonEncoder::number(double value) {
    separate();
    if (std::isfinite(value))
        m_buffer.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
    else
        m_buffer.append("null");
}

void JsonEncoder::null() {
    separate();
    m_buffer.append("null");
}

void JsonEncoder::endRow() {
    m_buffer.append(']');
    ++m_rowCount;
    written(m_buffer);
    checkReader();
}

void JsonEncoder::endPacket() {
    m_buffer.append("]}");
}

QByteArray JsonEncoder::success(const QCborValue& id) {
    if (!m_begun)
        nullResult();
    m_buffer.append(",\"id\":");
    appendValue(m_buffer, id.toJsonValue());
    m_buffer.append('}');
    return std::exchange(m_buffer, QByteArray());
}

QByteArray JsonEncoder::failure(const QCborValue& id, int code, const QString& message) {
    QJsonObject error;
    error.insert(QStringLiteral("code"), code);
    error.insert(QStringLiteral("message"), message);
    QJsonObject response;
    response.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    response.insert(QStringLiteral("id"), id.toJsonValue());
    response.insert(QStringLiteral("error"), error);
    m_buffer = QByteArray();
    return QJsonDocument(response).toJson(QJsonDocument::Compact);
}

} // namespace zavserver
