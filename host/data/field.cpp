#include "field.h"
#include <QLocale>

#include "dataset.h"
#include "edatabaseerror.h"

namespace {

QString formatDateTime(const QDateTime& dt) {
    if (!dt.isValid())
        return {};
    if (dt.time() == QTime(0, 0))
        return dt.toString(QStringLiteral("dd/MM/yyyy"));
    return dt.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

// Brazilian notation, without thousands separators.
QString formatFloat(double value) {
    return QString::number(value, 'g', 15).replace(QLatin1Char('.'), QLatin1Char(','));
}

EDatabaseError typeError(const QString& fieldName, const QVariant& raw, TFieldType type) {
    return EDatabaseError(QStringLiteral("O valor \"%1\" do campo %2 não é %3.")
                              .arg(raw.toString(), fieldName,
                                   zavwire::kindWithArticle(zavwire::kindOf(zavwire::FieldType(type)))));
}

} // namespace

TFieldDef FieldDefOf(const zavwire::RecordField& field) {
    TFieldDef def;
    def.name = QLatin1StringView(field.name);
    def.type = TFieldType(field.type);
    def.size = field.size;
    return def;
}

TField::TField(TDataSet* dataSet, const TFieldDef& def, int index)
    : m_dataSet(dataSet), m_def(def), m_index(index) {}

QVariant TField::Value() const {
    return m_dataSet->fieldValue(*this);
}

bool TField::IsNull() const {
    return Value().isNull();
}

QString TField::AsString() const {
    const QVariant v = Value();
    if (v.isNull())
        return {};
    switch (m_def.type) {
    case ftDateTime:
        return formatDateTime(v.toDateTime());
    case ftFloat:
        return formatFloat(v.toDouble());
    case ftInteger:
    case ftString:
        break;
    }
    return v.toString();
}

QDateTime TField::AsDateTime() const {
    const QVariant v = Value();
    if (v.isNull())
        return {};
    const QVariant dt = convert(v, ftDateTime, m_def.name);
    return dt.toDateTime();
}

double TField::AsFloat() const {
    const QVariant v = Value();
    return v.isNull() ? 0.0 : convert(v, ftFloat, m_def.name).toDouble();
}

qlonglong TField::AsInteger() const {
    const QVariant v = Value();
    return v.isNull() ? 0 : convert(v, ftInteger, m_def.name).toLongLong();
}

void TField::SetValue(const QVariant& value) {
    m_dataSet->setFieldValue(*this, value);
}

QString TField::textFor(bool displayText) const {
    if (!OnGetText)
        return AsString();
    // The handler writes the whole text; it starts empty.
    QString text;
    OnGetText(const_cast<TField&>(*this), text, displayText);
    return text;
}

QString TField::DisplayText() const {
    return textFor(true);
}

QString TField::Text() const {
    return textFor(false);
}

QString TField::DisplayTextOf(const QVariant& value) const {
    if (value.isNull())
        return {};
    static const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    switch (DataType()) {
    case ftDateTime: {
        const QDateTime d = value.toDateTime();
        return d.isValid() ? d.date().toString(QStringLiteral("dd/MM/yyyy")) : value.toString();
    }
    case ftFloat:
        return brazil.toString(value.toDouble(), 'f', 2);
    default:
        return value.toString();
    }
}

QVariant TField::convert(const QVariant& raw, TFieldType type, const QString& fieldName) {
    if (raw.isNull())
        return QVariant(raw.metaType());
    switch (type) {
    case ftString: {
        QString s = raw.toString();
        qsizetype end = s.size();
        while (end > 0 && s.at(end - 1) == QLatin1Char(' '))
            --end;
        s.truncate(end);
        return s;
    }
    case ftDateTime: {
        if (raw.metaType().id() == QMetaType::QDateTime)
            return raw;
        if (raw.metaType().id() == QMetaType::QDate)
            return QDateTime(raw.toDate(), QTime(0, 0));
        const QString s = raw.toString().trimmed();
        QDateTime dt = QDateTime::fromString(s, Qt::ISODateWithMs);
        if (!dt.isValid()) {
            const QDate d = QDate::fromString(s, Qt::ISODate);
            if (d.isValid())
                dt = QDateTime(d, QTime(0, 0));
        }
        if (!dt.isValid())
            throw typeError(fieldName, raw, ftDateTime);
        return dt;
    }
    case ftFloat: {
        bool ok = false;
        const double d = raw.toDouble(&ok);
        if (!ok)
            throw typeError(fieldName, raw, ftFloat);
        return d;
    }
    case ftInteger: {
        bool ok = false;
        const qlonglong n = raw.toLongLong(&ok);
        if (!ok)
            throw typeError(fieldName, raw, ftInteger);
        return n;
    }
    }
    return raw;
}
