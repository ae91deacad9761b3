#pragma once
// The data packet as it travels between the host and the application server,
// in JSON or CBOR: {"fields":[{"name","type","size"}...],"rows":[[...],...]},
// each row one value per field, of the field's type or null. One spelling of
// its names for both sides.
#include <QLatin1StringView>
#include <QString>
#include <QStringView>

#include <optional>

namespace zavwire {

// The types a field may have.
enum class FieldType { String, DateTime, Float, Integer };

// "string", "datetime", "float", "integer".
QLatin1StringView fieldTypeName(FieldType type);
// The type a name on the wire stands for; nothing for a name of no type.
std::optional<FieldType> fieldTypeNamed(QStringView name);

// What a value is, as the messages of both sides name it: the type a field
// expects ("esperado data") or what arrived instead ("recebido um número").
enum class ValueKind { Text, Date, Number, Integer, Bool, Null, Undefined, List, Object, Bytes, Other };
// "texto", "data", "número", "número inteiro", "valor lógico", "nulo",
// "valor indefinido", "lista", "objeto", "bytes", "valor de outro tipo".
QString kindName(ValueKind kind);
// The same with its article ("um texto", "uma lista"); "nulo" as it stands.
QString kindWithArticle(ValueKind kind);
// The kind a field of the type holds.
ValueKind kindOf(FieldType type);

// Whether the n bytes of a text on the wire are plain ASCII (then valid
// UTF-8 without further checks): read 8 bytes at a time, as both sides check
// every text cell of a list.
bool isAscii(const char* text, qsizetype n);

// The packet's keys, and each field's.
inline constexpr QLatin1StringView kFields("fields");
inline constexpr QLatin1StringView kRows("rows");
inline constexpr QLatin1StringView kName("name");
inline constexpr QLatin1StringView kType("type");
inline constexpr QLatin1StringView kSize("size");

// A whole day travels as "YYYY-MM-DD" (a date argument, a date-time cell with
// no time of day); a date-time with a time of day as "YYYY-MM-DDThh:mm:ss",
// with ".zzz" when it has milliseconds. Formats for QDate and QDateTime's
// toString and fromString.
inline constexpr QLatin1StringView kDateFormat("yyyy-MM-dd");
inline constexpr QLatin1StringView kDateTimeFormat("yyyy-MM-ddTHH:mm:ss");
inline constexpr QLatin1StringView kDateTimeMsFormat("yyyy-MM-ddTHH:mm:ss.zzz");

} // namespace zavwire
