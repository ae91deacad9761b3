#include "connectiontext.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <utility>

namespace zavdb {
namespace {

bool isUri(const QString& text) {
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

// "key=" at the start, as libpq writes its keyword strings.
bool isKeywordString(const QString& text) {
    static const QRegularExpression start(QStringLiteral("^\\s*[A-Za-z_]+\\s*="));
    return start.match(text).hasMatch();
}

int parsePort(const QString& text, const QString& whole) {
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok || port <= 0 || port > 65535)
        throw DatabaseError(QStringLiteral("Porta inválida \"%1\" no texto de conexão \"%2\".").arg(text, whole));
    return port;
}

// Keyword/value pairs in libpq's syntax: values bare or in single quotes, with
// backslash escaping a quote or a backslash.
QList<std::pair<QString, QString>> splitKeywords(const QString& text) {
    QList<std::pair<QString, QString>> pairs;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto skipBlanks = [&] {
        while (i < n && text.at(i).isSpace())
            ++i;
    };
    while (true) {
        skipBlanks();
        if (i >= n)
            break;
        const qsizetype keyStart = i;
        while (i < n && text.at(i) != QLatin1Char('=') && !text.at(i).isSpace())
            ++i;
        const QString key = text.mid(keyStart, i - keyStart);
        skipBlanks();
        if (key.isEmpty() || i >= n || text.at(i) != QLatin1Char('='))
            throw DatabaseError(QStringLiteral("Texto de conexão inválido: esperava \"chave=valor\" em \"%1\".")
                                    .arg(text.mid(keyStart)));
        ++i;
        skipBlanks();
        QString value;
        if (i < n && text.at(i) == QLatin1Char('\'')) {
            ++i;
            bool closed = false;
            while (i < n) {
                const QChar c = text.at(i++);
                if (c == QLatin1Char('\\') && i < n) {
                    value += text.at(i++);
                } else if (c == QLatin1Char('\'')) {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed)
                throw DatabaseError(QStringLiteral("Texto de conexão inválido: aspas sem fechamento no valor de \"%1\".").arg(key));
        } else {
            while (i < n && !text.at(i).isSpace()) {
                const QChar c = text.at(i++);
                if (c == QLatin1Char('\\') && i < n)
                    value += text.at(i++);
                else
                    value += c;
            }
        }
        pairs.append({key, value});
    }
    return pairs;
}

QString quoteKeywordValue(const QString& value) {
    if (!value.isEmpty() && !value.contains(QRegularExpression(QStringLiteral("[\\s'\\\\]"))))
        return value;
    QString quoted = value;
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("'"), QLatin1String("\\'"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// QPSQL joins its options with ";" and hands them to libpq as keywords: a value
// holding ";" or a blank would be split there.
void addOption(ConnectionSpec& spec, const QString& key, const QString& value) {
    if (value.contains(QLatin1Char(';')) || value.contains(QRegularExpression(QStringLiteral("\\s"))))
        throw DatabaseError(
            QStringLiteral("O valor da opção de conexão \"%1\" não pode conter ponto e vírgula nem espaços.").arg(key));
    if (!spec.options.isEmpty())
        spec.options += QLatin1Char(';');
    spec.options += key + QLatin1Char('=') + value;
}

ConnectionSpec parseUri(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        throw DatabaseError(QStringLiteral("Endereço PostgreSQL inválido: %1").arg(url.errorString()));
    ConnectionSpec spec;
    spec.dialect = Dialect::PostgreSQL;
    spec.host = url.host();
    if (url.port() != -1)
        spec.port = url.port();
    spec.user = url.userName(QUrl::FullyDecoded);
    spec.password = url.password(QUrl::FullyDecoded);
    spec.database = url.path(QUrl::FullyDecoded);
    if (spec.database.startsWith(QLatin1Char('/')))
        spec.database.remove(0, 1);
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("host"))
            spec.host = value;
        else if (key == QLatin1String("port"))
            spec.port = parsePort(value, describe(spec));
        else if (key == QLatin1String("user"))
            spec.user = value;
        else if (key == QLatin1String("password"))
            spec.password = value;
        else if (key == QLatin1String("dbname"))
            spec.database = value;
        else
            addOption(spec, key, value);
    }
    return spec;
}

ConnectionSpec parseKeywords(const QString& text) {
    ConnectionSpec spec;
    spec.dialect = Dialect::PostgreSQL;
    for (const auto& [key, value] : splitKeywords(text)) {
        if (key == QLatin1String("host") || key == QLatin1String("hostaddr"))
            spec.host = value;
        else if (key == QLatin1String("port"))
            spec.port = parsePort(value, QStringLiteral("port=") + value);
        else if (key == QLatin1String("dbname"))
            spec.database = value;
        else if (key == QLatin1String("user"))
            spec.user = value;
        else if (key == QLatin1String("password"))
            spec.password = value;
        else
            addOption(spec, key, value);
    }
    return spec;
}

} // namespace

ConnectionSpec parseConnectionText(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        throw DatabaseError(QStringLiteral("Texto de conexão do banco de dados vazio."));
    if (isUri(trimmed))
        return parseUri(trimmed);
    if (trimmed.startsWith(QLatin1String("sqlite:"))) {
        ConnectionSpec spec;
        spec.path = trimmed.mid(7);
        if (spec.path.isEmpty())
            throw DatabaseError(QStringLiteral("Texto de conexão \"sqlite:\" sem o caminho do arquivo."));
        return spec;
    }
    if (isKeywordString(trimmed))
        return parseKeywords(trimmed);
    ConnectionSpec spec;
    spec.path = trimmed;
    return spec;
}

QString withDatabase(const QString& text, const QString& database) {
    const QString trimmed = text.trimmed();
    if (isUri(trimmed)) {
        QUrl url(trimmed, QUrl::StrictMode);
        QUrlQuery query(url);
        if (query.hasQueryItem(QStringLiteral("dbname"))) {
            query.removeAllQueryItems(QStringLiteral("dbname"));
            url.setQuery(query);
        }
        url.setPath(QLatin1Char('/') + database, QUrl::DecodedMode);
        return url.toString(QUrl::FullyEncoded);
    }
    if (isKeywordString(trimmed)) {
        QStringList parts;
        for (const auto& [key, value] : splitKeywords(trimmed)) {
            if (key != QLatin1String("dbname"))
                parts.append(key + QLatin1Char('=') + quoteKeywordValue(value));
        }
        parts.append(QStringLiteral("dbname=") + quoteKeywordValue(database));
        return parts.join(QLatin1Char(' '));
    }
    throw DatabaseError(QStringLiteral("Só um texto de conexão PostgreSQL pode trocar de banco de dados."));
}

QString describe(const ConnectionSpec& spec) {
    if (spec.dialect == Dialect::SQLite)
        return QStringLiteral("SQLite %1").arg(spec.path);
    return QStringLiteral("PostgreSQL %1@%2:%3/%4")
        .arg(spec.user, spec.host.isEmpty() ? QStringLiteral("localhost") : spec.host,
             spec.port == -1 ? QStringLiteral("5432") : QString::number(spec.port), spec.database);
}

} // namespace zavdb
