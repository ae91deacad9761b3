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
        throw DatabaseError(
            QStringLiteral("Porta inválida \"%1\" no texto de conexão \"%2\".").arg(text, whole));
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
            throw DatabaseError(
                QStringLiteral("Texto de conexão inválido: esperava \"chave=valor\" em \"%1\".")
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
                throw DatabaseError(
                    QStringLiteral("Texto de conexão inválido: aspas sem fechamento no valor de \"%1\".")
                        .arg(key));
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
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"))
        .replace(QLatin1String("'"), QLatin1String("\\'"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// QPSQL joins its options with ";" and hands them to libpq as keywords: a value
// holding ";" or a blank would be split there.
void addOption(ConnectionParts& parts, const QString& key, const QString& value) {
    if (value.contains(QLatin1Char(';')) || value.contains(QRegularExpression(QStringLiteral("\\s"))))
        throw DatabaseError(
            QStringLiteral("O valor da opção de conexão \"%1\" não pode conter ponto e vírgula nem espaços.")
                .arg(key));
    if (!parts.options.isEmpty())
        parts.options += QLatin1Char(';');
    parts.options += key + QLatin1Char('=') + value;
}

// A keyword of libpq's, in a URI's query or a key=value string alike: the
// connection's own parts, or an option for the driver. whole: how a bad port's
// message shows the connection.
void setKeyword(ConnectionParts& parts, const QString& key, const QString& value, const QString& whole) {
    if (key == QLatin1String("host"))
        parts.host = value;
    else if (key == QLatin1String("port"))
        parts.port = parsePort(value, whole);
    else if (key == QLatin1String("dbname"))
        parts.database = value;
    else if (key == QLatin1String("user"))
        parts.user = value;
    else if (key == QLatin1String("password"))
        parts.password = value;
    else
        addOption(parts, key, value);
}

ConnectionParts parseUri(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        throw DatabaseError(QStringLiteral("Endereço PostgreSQL inválido: %1").arg(url.errorString()));
    ConnectionParts parts;
    parts.dialect = Dialect::PostgreSQL;
    parts.host = url.host();
    if (url.port() != -1)
        parts.port = url.port();
    parts.user = url.userName(QUrl::FullyDecoded);
    parts.password = url.password(QUrl::FullyDecoded);
    parts.database = url.path(QUrl::FullyDecoded);
    if (parts.database.startsWith(QLatin1Char('/')))
        parts.database.remove(0, 1);
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded))
        setKeyword(parts, key, value, describe(parts));
    return parts;
}

ConnectionParts parseKeywords(const QString& text) {
    ConnectionParts parts;
    parts.dialect = Dialect::PostgreSQL;
    for (const auto& [key, value] : splitKeywords(text)) {
        if (key == QLatin1String("hostaddr"))
            parts.host = value;
        else
            setKeyword(parts, key, value, QStringLiteral("port=") + value);
    }
    return parts;
}

} // namespace

ConnectionParts parseConnectionText(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        throw DatabaseError(QStringLiteral("Texto de conexão do banco de dados vazio."));
    if (isUri(trimmed))
        return parseUri(trimmed);
    if (trimmed.startsWith(QLatin1String("sqlite:"))) {
        ConnectionParts parts;
        parts.path = trimmed.mid(7);
        if (parts.path.isEmpty())
            throw DatabaseError(QStringLiteral("Texto de conexão \"sqlite:\" sem o caminho do arquivo."));
        return parts;
    }
    if (isKeywordString(trimmed))
        return parseKeywords(trimmed);
    ConnectionParts parts;
    parts.path = trimmed;
    return parts;
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

QString describe(const ConnectionParts& parts) {
    if (parts.dialect == Dialect::SQLite)
        return QStringLiteral("SQLite %1").arg(parts.path);
    return QStringLiteral("PostgreSQL %1@%2:%3/%4")
        .arg(parts.user, parts.host.isEmpty() ? QStringLiteral("localhost") : parts.host,
             parts.port == -1 ? QStringLiteral("5432") : QString::number(parts.port), parts.database);
}

} // namespace zavdb
