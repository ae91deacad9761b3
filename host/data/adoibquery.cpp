#include "adoibquery.h"

#include "edatabaseerror.h"

#include <QSqlDatabase>
#include <QSqlDriver>
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

// Flag disjuncts ---------------------------------------------------------------
//
// Why this is safe: nothing from a parameter ever enters the text. The derived
// text is the stored text with some token ranges removed, each a disjunct
// "OR :FLAG = 'literal'" (or "OR (:FLAG = 'literal')") that closes a
// parenthesised condition, removed only when the flag holds one of the
// constants the program declared for it and that constant differs from the
// literal, so the disjunct is FALSE (both sides are non-NULL text, compared
// byte for byte). "(X OR FALSE)" has the truth value of X, which is all a
// WHERE clause, AND or OR reads of it; the removal is made only where the
// group is such an operand, and nowhere near BETWEEN (whose AND is no boolean
// operator) or inside a CASE or a subquery's own clauses. Any other shape
// keeps the stored text. The values themselves are still bound.

struct Token {
    enum Kind { Word, Param, String, Quoted, Punct } kind;
    qsizetype begin;
    qsizetype end;
};

// The significant tokens (no blanks or comments); false if a quote or
// comment is left open.
bool tokenize(const QString& sql, std::vector<Token>& tokens) {
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sql.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('-') && i + 1 < n && sql.at(i + 1) == QLatin1Char('-')) {
            while (i < n && sql.at(i) != QLatin1Char('\n'))
                ++i;
        } else if (c == QLatin1Char('/') && i + 1 < n && sql.at(i + 1) == QLatin1Char('*')) {
            const qsizetype close = sql.indexOf(QLatin1String("*/"), i + 2);
            if (close < 0)
                return false;
            i = close + 2;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`') ||
                   c == QLatin1Char('[')) {
            const QChar closing = c == QLatin1Char('[') ? QLatin1Char(']') : c;
            qsizetype end = i + 1;
            for (;;) {
                end = sql.indexOf(closing, end);
                if (end < 0)
                    return false;
                if (closing != QLatin1Char(']') && end + 1 < n && sql.at(end + 1) == closing) {
                    end += 2; // a doubled quote
                    continue;
                }
                break;
            }
            tokens.push_back({c == QLatin1Char('\'') ? Token::String : Token::Quoted, i, end + 1});
            i = end + 1;
        } else if (c == QLatin1Char(':') && (i == 0 || sql.at(i - 1) != QLatin1Char(':')) && i + 1 < n &&
                   isNameChar(sql.at(i + 1))) {
            qsizetype end = i + 1;
            while (end < n && isNameChar(sql.at(end)))
                ++end;
            tokens.push_back({Token::Param, i, end});
            i = end;
        } else if (isNameChar(c) || c == QLatin1Char('$')) {
            qsizetype end = i + 1;
            while (end < n && (isNameChar(sql.at(end)) || sql.at(end) == QLatin1Char('$')))
                ++end;
            tokens.push_back({Token::Word, i, end});
            i = end;
        } else {
            tokens.push_back({Token::Punct, i, i + 1});
            ++i;
        }
    }
    return true;
}

class FlagPruner {
public:
    FlagPruner(const QString& sql, const std::vector<Token>& tokens) : m_sql(sql), m_t(tokens) {}

    QStringView text(std::size_t i) const {
        return QStringView(m_sql).mid(m_t[i].begin, m_t[i].end - m_t[i].begin);
    }
    bool isWord(std::size_t i, const char* word) const {
        return i < m_t.size() && m_t[i].kind == Token::Word &&
               text(i).compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
    }
    bool isPunct(std::size_t i, char c) const {
        return i < m_t.size() && m_t[i].kind == Token::Punct && text(i).at(0) == QLatin1Char(c);
    }
    bool isAnyWord(std::size_t i, std::initializer_list<const char*> words) const {
        return std::any_of(words.begin(), words.end(), [&](const char* w) { return isWord(i, w); });
    }

    // The "(" matching the ")" at close, or npos.
    std::size_t openingOf(std::size_t close) const {
        int depth = 0;
        for (std::size_t i = close + 1; i-- > 0;) {
            if (isPunct(i, ')'))
                ++depth;
            else if (isPunct(i, '(') && --depth == 0)
                return i;
        }
        return npos;
    }

    // Whether the group open..close is read only for its truth value: an
    // operand of WHERE, AND or OR, or the whole of such a group.
    bool booleanOperand(std::size_t open, std::size_t close) const {
        for (std::size_t i = open + 1; i < close; ++i) {
            if (isPunct(i, '(')) {
                int depth = 1;
                while (depth > 0 && ++i < close)
                    depth += isPunct(i, '(') ? 1 : isPunct(i, ')') ? -1 : 0;
            } else if (isAnyWord(i, {"SELECT", "FROM", "WHERE", "GROUP", "ORDER", "HAVING", "LIMIT", "CASE",
                                     "WHEN", "THEN", "ELSE", "END", "UNION", "INTERSECT", "EXCEPT"})) {
                return false;
            }
        }
        if (open == 0)
            return false;
        const std::size_t before = open - 1;
        const std::size_t after = close + 1;
        const bool atEnd = after >= m_t.size() || isPunct(after, ';');
        if (isPunct(before, '(') && isPunct(after, ')'))
            return booleanOperand(before, after);
        if (isPunct(before, '('))
            return isAnyWord(after, {"AND", "OR"});
        if (!isAnyWord(before, {"WHERE", "AND", "OR"}))
            return false;
        return atEnd || isPunct(after, ')') ||
               isAnyWord(after,
                         {"AND", "OR", "GROUP", "ORDER", "HAVING", "LIMIT", "UNION", "INTERSECT", "EXCEPT"});
    }

    // The ranges to remove, given the decision for each flag comparison:
    // decide(name, literal) is true when ":name = literal" is known FALSE.
    template <typename Decide>
    std::vector<std::pair<qsizetype, qsizetype>> falseDisjuncts(Decide decide) const {
        std::vector<std::pair<qsizetype, qsizetype>> ranges;
        for (std::size_t i = 0; i < m_t.size(); ++i) {
            if (isWord(i, "BETWEEN"))
                return {};
        }
        for (std::size_t i = 0; i < m_t.size(); ++i) {
            if (!isWord(i, "OR"))
                continue;
            std::size_t j = i + 1;
            const bool inner = isPunct(j, '(');
            if (inner)
                ++j;
            if (j + 2 >= m_t.size() || m_t[j].kind != Token::Param || !isPunct(j + 1, '=') ||
                m_t[j + 2].kind != Token::String)
                continue;
            const QString name = text(j).mid(1).toString();
            const QStringView quoted = text(j + 2);
            const QString literal =
                quoted.mid(1, quoted.size() - 2).toString().replace(QLatin1String("''"), QLatin1String("'"));
            std::size_t last = j + 2;
            if (inner && !isPunct(++last, ')'))
                continue;
            const std::size_t close = last + 1;
            if (!isPunct(close, ')'))
                continue;
            const std::size_t open = openingOf(close);
            if (open == npos || open >= i || !booleanOperand(open, close) || !decide(name, literal))
                continue;
            ranges.emplace_back(m_t[i].begin, m_t[last].end);
        }
        return ranges;
    }

private:
    static constexpr std::size_t npos = std::size_t(-1);
    const QString& m_sql;
    const std::vector<Token>& m_t;
};

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
    m_derived.clear();
    parseParams();
}

const TADOIBQuery::Derived& TADOIBQuery::derivedForFlags() {
    // The key: each flag's constant, or that it is bound.
    QString key;
    for (const auto& p : m_params) {
        if (p->IsFlag())
            key += p->HoldsFlagConstant() ? QLatin1Char('=') + p->AsString() + QChar(0) : QStringLiteral("?");
    }
    const auto known = m_derived.find(key);
    if (known != m_derived.end())
        return known->second;

    QString text = m_sql.join(QLatin1Char('\n'));
    std::vector<Token> tokens;
    if (tokenize(text, tokens)) {
        const FlagPruner pruner(text, tokens);
        const auto ranges = pruner.falseDisjuncts([&](const QString& name, const QString& literal) {
            const TParam* p = FindParam(name);
            return p && p->HoldsFlagConstant() && p->AsString() != literal;
        });
        for (auto r = ranges.rbegin(); r != ranges.rend(); ++r)
            text.remove(r->first, r->second - r->first);
    }
    QStringList names = placeholderNames(text);
    return m_derived.emplace(key, Derived{std::move(text), std::move(names)}).first->second;
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
    checkStatementReady(context);
    QSqlQuery q = runStatement(openDatabase(context), context);
    const QSqlRecord record = q.record();
    if (!m_persistent)
        declareFieldsOf(record);
    const QList<int> source = resultColumns(record, context);
    readRows(q, source, context);
}

void TADOIBQuery::checkStatementReady(const QString& context) const {
    if (m_sql.join(QString()).trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("%1: consulta sem comando SQL.").arg(context));
    for (const auto& p : m_params) {
        if (!p->Assigned())
            throw EDatabaseError(
                QStringLiteral("%1: o parâmetro \"%2\" não recebeu valor.").arg(context, p->Name()));
    }
}

QSqlDatabase TADOIBQuery::openDatabase(const QString& context) const {
    if (!QSqlDatabase::contains(m_connection))
        throw EDatabaseError(QStringLiteral("Erro no banco de dados (%1): a conexão \"%2\" não está aberta.")
                                 .arg(context, m_connection));
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen())
        throw EDatabaseError(QStringLiteral("Erro no banco de dados (%1): a conexão \"%2\" não está aberta.")
                                 .arg(context, m_connection));
    return db;
}

QSqlQuery TADOIBQuery::runStatement(const QSqlDatabase& db, const QString& context) {
    const bool sqlite = db.driver() && db.driver()->dbmsType() == QSqlDriver::SQLite;
    // A disjunct left out may have taken a parameter's only occurrence: only
    // the names the text still holds are bound.
    const Derived* derived = sqlite ? &derivedForFlags() : nullptr;
    m_statement = derived ? derived->text : m_sql.join(QLatin1Char('\n'));

    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(m_statement))
        throw EDatabaseError(
            QStringLiteral("Erro no banco de dados (%1): %2").arg(context, q.lastError().text()));
    for (const auto& p : m_params) {
        if (!derived || derived->names.contains(p->Name()))
            q.bindValue(QLatin1Char(':') + p->Name(), p->Value());
    }
    if (!q.exec())
        throw EDatabaseError(
            QStringLiteral("Erro no banco de dados (%1): %2").arg(context, q.lastError().text()));
    return q;
}

void TADOIBQuery::declareFieldsOf(const QSqlRecord& record) {
    clearFields();
    for (int c = 0; c < record.count(); ++c) {
        TFieldDef def;
        def.name = record.fieldName(c);
        def.type = typeOf(QVariant(record.field(c).metaType()));
        def.size = record.field(c).length() > 0 ? record.field(c).length() : 20;
        addField(def);
    }
}

QList<int> TADOIBQuery::resultColumns(const QSqlRecord& record, const QString& context) const {
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
    return source;
}

void TADOIBQuery::readRows(QSqlQuery& q, const QList<int>& source, const QString& context) {
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
