#include "queryrows.h"
#include "data/adoibquery.h"
#include "data/param.h"

#include <QSqlError>
#include <QVariant>

namespace zavtest {

void assign(TADOIBQuery& q, const Params& params) {
    q.Close();
    for (const auto& [name, value] : params) {
        if (value.isNull())
            q.ParamByName(name)->Clear();
        else
            q.ParamByName(name)->SetAsString(value);
    }
}

Rows rowsOf(TADOIBQuery& q) {
    Rows rows;
    for (q.First(); !q.Eof(); q.Next()) {
        QStringList row;
        for (const TField* f : q.Fields())
            row.append(f->AsString());
        rows.append(row);
    }
    return rows;
}

QString execBound(QSqlQuery& q, const QString& sql, const Params& params) {
    if (!q.prepare(sql))
        return QStringLiteral("prepare: ") + q.lastError().text();
    for (const auto& [name, value] : params)
        q.bindValue(QLatin1Char(':') + name,
                    value.isNull() ? QVariant(QMetaType::fromType<QString>()) : QVariant(value));
    if (!q.exec())
        return QStringLiteral("exec: ") + q.lastError().text();
    return {};
}

} // namespace zavtest
