#include "wireformat.h"

namespace zavfiscal::wire {

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

} // namespace

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

} // namespace zavfiscal::wire
