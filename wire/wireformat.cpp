#include "wireformat.h"

#include <cstring>
#include <iterator>

namespace zavwire {

namespace {

// One table for both ways.
struct TypeName {
    FieldType type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {FieldType::String, "string"},
    {FieldType::DateTime, "datetime"},
    {FieldType::Float, "float"},
    {FieldType::Integer, "integer"},
};

// Each kind's name, with its article and without, once.
struct KindName {
    ValueKind kind;
    const char* article; // "" for none
    const char* name;
};
constexpr KindName kKindNames[] = {
    {ValueKind::Text, "um ", "texto"},
    {ValueKind::Date, "uma ", "data"},
    {ValueKind::Number, "um ", "número"},
    {ValueKind::Integer, "um ", "número inteiro"},
    {ValueKind::Bool, "um ", "valor lógico"},
    {ValueKind::Null, "", "nulo"},
    {ValueKind::Undefined, "um ", "valor indefinido"},
    {ValueKind::List, "uma ", "lista"},
    {ValueKind::Object, "um ", "objeto"},
    {ValueKind::Bytes, "", "bytes"},
    {ValueKind::Other, "um ", "valor de outro tipo"},
};

const KindName& kindEntry(ValueKind kind) {
    for (const KindName& k : kKindNames)
        if (k.kind == kind)
            return k;
    return kKindNames[std::size(kKindNames) - 1];
}

} // namespace

QString kindName(ValueKind kind) {
    return QString::fromUtf8(kindEntry(kind).name);
}

QString kindWithArticle(ValueKind kind) {
    const KindName& k = kindEntry(kind);
    return QString::fromUtf8(k.article) + QString::fromUtf8(k.name);
}

ValueKind kindOf(FieldType type) {
    switch (type) {
    case FieldType::String:
        return ValueKind::Text;
    case FieldType::DateTime:
        return ValueKind::Date;
    case FieldType::Float:
        return ValueKind::Number;
    case FieldType::Integer:
        return ValueKind::Integer;
    }
    return ValueKind::Text;
}

QLatin1StringView fieldTypeName(FieldType type) {
    for (const TypeName& t : kTypeNames)
        if (t.type == type)
            return QLatin1StringView(t.name);
    return QLatin1StringView(kTypeNames[0].name); // no other value exists
}

std::optional<FieldType> fieldTypeNamed(QStringView name) {
    for (const TypeName& t : kTypeNames)
        if (name == QLatin1StringView(t.name))
            return t.type;
    return std::nullopt;
}

bool isAscii(const char* text, qsizetype n) {
    // The high bits of every byte or'ed together; the words read may overlap.
    quint64 high = 0;
    if (n >= 8) {
        quint64 word;
        for (qsizetype i = 0; i + 8 <= n; i += 8) {
            std::memcpy(&word, text + i, 8);
            high |= word;
        }
        std::memcpy(&word, text + n - 8, 8);
        high |= word;
    } else if (n >= 4) {
        quint32 first, last;
        std::memcpy(&first, text, 4);
        std::memcpy(&last, text + n - 4, 4);
        high = first | last;
    } else if (n > 0) {
        high = quint64(static_cast<unsigned char>(text[0])) | static_cast<unsigned char>(text[n / 2]) |
               static_cast<unsigned char>(text[n - 1]);
    }
    return (high & 0x8080808080808080ULL) == 0;
}

} // namespace zavwire
