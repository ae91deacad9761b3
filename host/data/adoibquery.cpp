#include "adoibquery.h"

#include "edatabaseerror.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>

const char* const TADOIBQuery::DefaultConnection = "adcGeral";

namespace {

bool isNameChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// The placeholders exactly as Qt SQL finds them: a colon not preceded by
// another colon and followed by a letter, digit or underscore, outside quotes.
// Anything Qt would bind must be a parameter here, or it would silently run
// with NULL.
QStringList placeholderNames(const QString& sql) {
    QStringList names;
    QChar closingQuote;
    const qsizetype n = sql.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = sql.at(i);
        if (!closingQuote.isNull()) {
            if (c == closingQuote)
                closingQuote = QChar();
            continue;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
            closingQuote = c;
            continue;
        }
        if (c == QLatin1Char(':') && (i == 0 || sql.at(i - 1) != QLatin1Char(':')) && i + 1 < n &&
            isNameChar(sql.at(i + 1))) {
            qsizetype end = i + 1;
            while (end < n && isNameChar(sql.at(end)))
                ++end;
            const QString name = sql.mid(i + 1, end - i - 1);
            if (!names.contains(name))
                names.append(name);
            i = end - 1;
        }
    }
    return names;
}

TFieldType typeOf(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return ftInteger;
    case QMetaType::Double:
    case QMetaType::Float:
        return ftFloat;
    case QMetaType::QDate:
    case QMetaType::QDateTime:
        return ftDateTime;
    default:
        return ftString;
    }
}

} // namespace

TADOIBQuery::TADOIBQuery(QObject* parent)
    : TDataSet(parent), m_connection(QLatin1String(DefaultConnection)) {}

TADOIBQuery::~TADOIBQuery() = default;

void TADOIBQuery::SetSQL(const QStringList& lines) {
    Close();
    m_sql = lines;
    parseParams();
}

void TADOIBQuery::SetConnection(const QString& connectionName) {
    Close();
    m_connection = connectionName;
}

void TADOIBQuery::parseParams() {
    std::vector<std::unique_ptr<TParam>> old;
    old.swap(m_params);
    for (const QString& name : placeholderNames(m_sql.join(QLatin1Char('\n')))) {
        auto kept =
            std::find_if(old.begin(), old.end(), [&](const auto& p) { return p && p->Name() == name; });
        m_params.push_back(kept != old.end() ? std::move(*kept) : std::make_unique<TParam>(name));
    }
}

TField* TADOIBQuery::AddField(const TFieldDef& def) {
    if (Active())
        throw EDatabaseError(
            QStringLiteral("%1: campos só podem ser declarados com a consulta fechada.").arg(describeName()));
    if (!m_persistent)
        clearFields();
    m_persistent = true;
    return addField(def);
}

void TADOIBQuery::ClearFields() {
    Close();
    clearFields();
    m_persistent = false;
}

QList<TParam*> TADOIBQuery::Params() const {
    QList<TParam*> list;
    for (const auto& p : m_params)
        list.append(p.get());
    return list;
}

TParam* TADOIBQuery::FindParam(const QString& name) {
    for (const auto& p : m_params) {
        if (p->Name() == name)
            return p.get();
    }
    return nullptr;
}

TParam* TADOIBQuery::ParamByName(const QString& name) {
    TParam* p = FindParam(name);
    if (!p)
        throw EDatabaseError(
            QStringLiteral("%1: parâmetro \"%2\" não existe na consulta.").arg(describeName(), name));
    return p;
}

QVariant TADOIBQuery::fieldValue(const TField& field) const {
    checkActive("ler o campo");
    const int row = currentRow();
    if (row < 0)
        return QVariant(QMetaType::fromType<QString>());
    return m_columns.at(field.Index()).at(row);
}

void TADOIBQuery::doOpen() {
    const QString context = describeName();
    if (m_sql.join(QString()).trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("%1: consulta sem comando SQL.").arg(context));
    for (const auto& p : m_params) {
        if (!p->Assigned())
            throw EDatabaseError(
                QStringLiteral("%1: o parâmetro \"%2\" não recebeu valor.").arg(context, p->Name()));
    }
    if (!QSqlDatabase::contains(m_connection))
        throw EDatabaseError(QStringLiteral("Erro no banco de dados (%1): a conexão \"%2\" não está aberta.")
                                 .arg(context, m_connection));
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen())
        throw EDatabaseError(QStringLiteral("Erro no banco de dados (%1): a conexão \"%2\" não está aberta.")
                                 .arg(context, m_connection));

    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(m_sql.join(QLatin1Char('\n'))))
        throw EDatabaseError(
            QStringLiteral("Erro no banco de dados (%1): %2").arg(context, q.lastError().text()));
    for (const auto& p : m_params)
        q.bindValue(QLatin1Char(':') + p->Name(), p->Value());
    if (!q.exec())
        throw EDatabaseError(
            QStringLiteral("Erro no banco de dados (%1): %2").arg(context, q.lastError().text()));

    const QSqlRecord record = q.record();
    if (!m_persistent) {
        clearFields();
        for (int c = 0; c < record.count(); ++c) {
            TFieldDef def;
            def.name = record.fieldName(c);
            def.type = typeOf(QVariant(record.field(c).metaType()));
            def.size = record.field(c).length() > 0 ? record.field(c).length() : 20;
            addField(def);
        }
    }
    // Result column of each field.
    QList<int> source;
    QStringList missing;
    for (TField* f : Fields()) {
        int column = -1;
        for (int c = 0; c < record.count(); ++c) {
            if (record.fieldName(c).compare(f->FieldName(), Qt::CaseInsensitive) == 0) {
                column = c;
                break;
            }
        }
        if (column < 0)
            missing.append(f->FieldName());
        source.append(column);
    }
    if (!missing.isEmpty())
        throw EDatabaseError(QStringLiteral("%1: campo(s) %2 não encontrado(s) no resultado da consulta.")
                                 .arg(context, missing.join(QStringLiteral(", "))));

    QList<QList<QVariant>> columns(Fields().size());
    int rows = 0;
    while (q.next()) {
        for (qsizetype i = 0; i < Fields().size(); ++i) {
            const TField* f = Fields().at(i);
            columns[i].append(TField::convert(q.value(source.at(i)), f->DataType(), f->FieldName()));
        }
        ++rows;
    }
    if (q.lastError().isValid())
        throw EDatabaseError(
            QStringLiteral("Erro no banco de dados (%1): %2").arg(context, q.lastError().text()));
    m_columns = std::move(columns);
    m_rows = rows;
}

void TADOIBQuery::doClose() {
    m_columns.clear();
    m_rows = 0;
    if (!m_persistent)
        clearFields();
}
