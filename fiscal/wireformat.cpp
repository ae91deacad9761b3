#include "wireformat.h"

namespace zavfiscal::wire {

namespace {

constexpr FieldType kTypes[] = {FieldType::String, FieldType::DateTime, FieldType::Float, FieldType::Integer};

} // namespace

QLatin1StringView fieldTypeName(FieldType type) {
    switch (type) {
    case FieldType::String:
        return QLatin1StringView("string");
    case FieldType::DateTime:
        return QLatin1StringView("datetime");
    case FieldType::Float:
        return QLatin1StringView("float");
    case FieldType::Integer:
        return QLatin1StringView("integer");
    }
    return QLatin1StringView("string");
}

std::optional<FieldType> fieldTypeNamed(QStringView name) {
    for (FieldType type : kTypes)
        if (name == fieldTypeName(type))
            return type;
    return std::nullopt;
}

} // namespace zavfiscal::wire
