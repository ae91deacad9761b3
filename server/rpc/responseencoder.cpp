#include "rpc/responseencoder.h"

namespace zavserver {

QString fieldTypeName(FieldType type) {
    switch (type) {
    case FieldType::String:
        return QStringLiteral("string");
    case FieldType::DateTime:
        return QStringLiteral("datetime");
    case FieldType::Float:
        return QStringLiteral("float");
    }
    return QStringLiteral("string");
}

} // namespace zavserver
