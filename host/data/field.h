#pragma once
// One column of a dataset, read on the dataset's current row.
#include "records.h"
#include "zavhost_export.h"
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <functional>

class TDataSet;

// The wire's field types, one for one (wireformat.h).
enum TFieldType {
    ftString = int(zavwire::FieldType::String),
    ftDateTime = int(zavwire::FieldType::DateTime),
    ftFloat = int(zavwire::FieldType::Float),
    ftInteger = int(zavwire::FieldType::Integer),
};

// What a dataset is told about a field before it opens.
struct TFieldDef {
    QString name;
    TFieldType type = ftString;
    int size = 20;        // width in characters of a string field
    QString displayLabel; // empty: the field's name
    bool visible = true;
    bool required = false;
};

// A field of a record the server and the host share (records.h): its name,
// type and size; the label and whether it is shown are the screen's to add.
ZAVHOST_EXPORT TFieldDef FieldDefOf(const zavwire::RecordField& field);

class ZAVHOST_EXPORT TField {
public:
    using GetTextHandler = std::function<void(TField& sender, QString& text, bool displayText)>;

    TField(TDataSet* dataSet, const TFieldDef& def, int index);

    QString FieldName() const { return m_def.name; }
    QString DisplayLabel() const { return m_def.displayLabel.isEmpty() ? m_def.name : m_def.displayLabel; }
    bool Visible() const { return m_def.visible; }
    bool Required() const { return m_def.required; }
    int Size() const { return m_def.size; }
    TFieldType DataType() const { return m_def.type; }
    int Index() const { return m_index; } // position among the dataset's fields
    TDataSet* DataSet() const { return m_dataSet; }

    // The value on the current row; NULL on an empty dataset. Reading a field
    // of a closed dataset throws EDatabaseError.
    QVariant Value() const;
    bool IsNull() const;
    QString AsString() const;     // NULL reads as ""
    QDateTime AsDateTime() const; // NULL reads as an invalid date-time
    double AsFloat() const;       // NULL reads as 0
    qlonglong AsInteger() const;  // NULL reads as 0
    // Writes the current row (datasets that can be edited).
    void SetValue(const QVariant& value);
    void SetAsString(const QString& text) { SetValue(text); }

    // The text shown for the field: the display-text handler's when there is
    // one, else AsString. Text is the same for editing.
    QString DisplayText() const;
    QString Text() const;
    // How the field shows a value of one of its rows in a grid or a search:
    // dates as dd/mm/yyyy, floating-point numbers with two decimals and
    // thousands separators ("#,##0.00", 1.633,80), anything else as its text.
    QString DisplayTextOf(const QVariant& value) const;
    GetTextHandler OnGetText;

    // Brings a value as the database returned it to the field's type: strings
    // lose their trailing blanks (fixed-width columns come back padded from
    // some databases), dates stored as text become date-times, numbers stored
    // as text become numbers. Throws EDatabaseError for a value that is not of
    // the type.
    static QVariant convert(const QVariant& raw, TFieldType type, const QString& fieldName);

private:
    QString textFor(bool displayText) const;

    TDataSet* m_dataSet;
    TFieldDef m_def;
    int m_index;
};

// The query component's fields are fixed-width string fields.
using TADOIBStringField = TField;
