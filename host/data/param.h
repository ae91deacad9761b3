#pragma once
// One named parameter of a query. Every occurrence of the name in the
// statement receives this one value; the value is always a string, or NULL.
#include "zavhost_export.h"
#include <QString>
#include <QVariant>

class ZAVHOST_EXPORT TParam {
public:
    explicit TParam(const QString& name) : m_name(name) {}

    QString Name() const { return m_name; }
    QString AsString() const { return m_value; } // NULL reads as ""
    void SetAsString(const QString& value);
    void Clear(); // NULL, "no value"
    bool IsNull() const { return m_null; }
    // Whether the parameter was given a value (or cleared) since the statement
    // was set: a query refuses to open with a parameter nobody set.
    bool Assigned() const { return m_assigned; }
    // The value as bound: a string, or a NULL string.
    QVariant Value() const;

private:
    QString m_name;
    QString m_value;
    bool m_null = true;
    bool m_assigned = false;
};
