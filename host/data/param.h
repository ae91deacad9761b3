#pragma once
// One named parameter of a query. Every occurrence of the name in the
// statement receives this one value; the value is always a string, or NULL.
//
// A parameter may be declared a flag: its value is one of a closed set of
// constants the program itself picks (an all-rows switch such as "T"/"N"),
// never text typed by the operator or received from the network. The query
// may then decide a comparison of the flag with a literal of the statement
// itself (see TADOIBQuery); a value outside the set is simply bound.
#include "zavhost_export.h"
#include <QString>
#include <QStringList>
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

    // Declares the parameter a flag with these constants (an empty list: no
    // longer a flag). The value is not touched.
    void SetFlagValues(const QStringList& constants) { m_flagValues = constants; }
    const QStringList& FlagValues() const { return m_flagValues; }
    bool IsFlag() const { return !m_flagValues.isEmpty(); }
    // Whether the value is one of the flag's constants (never when NULL or
    // when the parameter is no flag).
    bool HoldsFlagConstant() const;

private:
    QString m_name;
    QString m_value;
    bool m_null = true;
    bool m_assigned = false;
    QStringList m_flagValues;
};
