#include "param.h"

void TParam::SetAsString(const QString& value) {
    m_value = value;
    // A set value is never NULL, not even an empty one: "" compares as a value.
    if (m_value.isNull())
        m_value = QLatin1String("");
    m_null = false;
    m_assigned = true;
}

void TParam::Clear() {
    m_value.clear();
    m_null = true;
    m_assigned = true;
}

QVariant TParam::Value() const {
    return m_null ? QVariant(QMetaType::fromType<QString>()) : QVariant(m_value);
}

bool TParam::HoldsFlagConstant() const {
    return !m_null && m_assigned && m_flagValues.contains(m_value);
}
