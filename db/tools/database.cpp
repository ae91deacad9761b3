#include "database.h"

#include "connectiontext.h"
#include "migrations.h"
#include "schema.h"
#include "sqlscript.h"
#include "transaction.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

namespace zavdb {
namespace {

const char* const kSQLiteDriver = "QSQLITE";
const char* const kPostgresDriver = "QPSQL";

// Several processes (host, server, tools) share one SQLite file: WAL lets them
// read while one writes, and a writer waits for a lock instead of failing.
const char* const kSQLiteOptions = "QSQLITE_BUSY_TIMEOUT=5000";
const char* const kSQLitePragmas[] = {
    "PRAGMA foreign_keys = ON",
    "PRAGMA journal_mode = WAL",
    "PRAGMA synchronous = NORMAL",
    // Lookups that scan an index (a list of all customers, or a stored check
    // whose flag the query cannot prove false) read mapped pages instead of
    // copying them.
    "PRAGMA mmap_size = 268435456",
};
const char* const kPostgresTimeout = "connect_timeout=10";

const char* const kEmbeddedSchema = ":/zavdb/schema";

QString driverFor(Dialect dialect) {
    return QLatin1String(dialect == Dialect::SQLite ? kSQLiteDriver : kPostgresDriver);
}

void configure(QSqlDatabase& db, const ConnectionParts& parts) {
    if (parts.dialect == Dialect::SQLite) {
        db.setDatabaseName(parts.path);
        db.setConnectOptions(QLatin1String(kSQLiteOptions));
        return;
    }
    if (!parts.host.isEmpty())
        db.setHostName(parts.host);
    if (parts.port != -1)
        db.setPort(parts.port);
    db.setDatabaseName(parts.database);
    db.setUserName(parts.user);
    db.setPassword(parts.password);
    QString options = parts.options;
    if (!options.contains(QLatin1String("connect_timeout=")))
        options += (options.isEmpty() ? QString() : QStringLiteral(";")) + QLatin1String(kPostgresTimeout);
    db.setConnectOptions(options);
}

// Runs the settings every connection needs; returns the first error.
QString prepareConnection(QSqlDatabase& db, Dialect dialect) {
    if (dialect != Dialect::SQLite)
        return {};
    QSqlQuery q(db);
    for (const char* pragma : kSQLitePragmas) {
        if (!q.exec(QLatin1String(pragma)))
            return QStringLiteral("%1: %2").arg(QLatin1String(pragma), q.lastError().text());
    }
    return {};
}

QString baseName(const QString& fileName, Dialect* variant, bool* portable) {
    *portable = false;
    if (fileName.endsWith(QLatin1String(".sqlite.sql"))) {
        *variant = Dialect::SQLite;
        return fileName.chopped(11);
    }
    if (fileName.endsWith(QLatin1String(".pg.sql"))) {
        *variant = Dialect::PostgreSQL;
        return fileName.chopped(7);
    }
    *portable = true;
    return fileName.chopped(4);
}

} // namespace

QString readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw DatabaseError(
            QStringLiteral("Não foi possível ler o arquivo de esquema %1: %2").arg(path, file.errorString()));
    return QString::fromUtf8(file.readAll());
}

namespace {

QString excerpt(const QString& statement) {
    QString line = statement.simplified();
    if (line.size() > 120)
        line = line.left(117) + QStringLiteral("...");
    return line;
}

} // namespace

QSqlDatabase open(const QString& connectionText, const QString& connectionName) {
    const ConnectionParts parts = parseConnectionText(connectionText);
    const QString driver = driverFor(parts.dialect);
    if (QSqlDatabase::contains(connectionName))
        throw DatabaseError(
            QStringLiteral("A conexão \"%1\" com o banco de dados já está aberta.").arg(connectionName));
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw DatabaseError(QStringLiteral("O driver %1 do Qt SQL não está instalado.").arg(driver));
    if (parts.dialect == Dialect::SQLite && parts.path != QLatin1String(":memory:")) {
        const QFileInfo file(parts.path);
        if (!file.absoluteDir().exists())
            throw DatabaseError(
                QStringLiteral("A pasta do banco de dados %1 não existe.").arg(file.absolutePath()));
        if (file.isDir())
            throw DatabaseError(
                QStringLiteral("%1 é uma pasta, não um arquivo de banco de dados.").arg(parts.path));
    }

    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, connectionName);
        configure(db, parts);
        if (!db.open())
            failure = db.lastError().text();
        else
            failure = prepareConnection(db, parts.dialect);
        if (failure.isEmpty())
            return db;
        db.close();
    }
    // The handle above is gone, so the connection can be removed cleanly.
    QSqlDatabase::removeDatabase(connectionName);
    throw DatabaseError(QStringLiteral("Não foi possível abrir o banco de dados (%1): %2")
                            .arg(describe(parts), failure.trimmed()));
}

Dialect dialectOf(const QSqlDatabase& db) {
    if (db.driverName() == QLatin1String(kSQLiteDriver))
        return Dialect::SQLite;
    if (db.driverName() == QLatin1String(kPostgresDriver))
        return Dialect::PostgreSQL;
    throw DatabaseError(
        QStringLiteral("Driver de banco de dados não suportado: \"%1\".").arg(db.driverName()));
}

QDate dateValue(const QVariant& value) {
    return value.typeId() == QMetaType::QDate ? value.toDate()
                                              : QDate::fromString(value.toString().left(10), Qt::ISODate);
}

QString dayOf(Dialect dialect, QStringView column) {
    return (dialect == Dialect::PostgreSQL ? QStringLiteral("TO_CHAR(%1, 'YYYY-MM-DD')")
                                           : QStringLiteral("SUBSTR(%1, 1, 10)"))
        .arg(column);
}

QString schemaDirectory() {
    const QString fromEnv = qEnvironmentVariable("ZAV_SCHEMA_DIR");
    return fromEnv.isEmpty() ? QLatin1String(kEmbeddedSchema) : fromEnv;
}

QStringList sqlFiles(const QString& folder, Dialect dialect) {
    const QDir dir(folder);
    if (!dir.exists())
        throw DatabaseError(QStringLiteral("A pasta de esquema %1 não existe.").arg(dir.path()));
    struct Choice {
        QString portable, sqlite, pg;
    };
    QMap<QString, Choice> byName; // ordered by name
    const QStringList names = dir.entryList({QStringLiteral("*.sql")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        Dialect variant = Dialect::SQLite;
        bool portable = false;
        const QString base = baseName(name, &variant, &portable);
        Choice& c = byName[base];
        (portable ? c.portable : variant == Dialect::SQLite ? c.sqlite : c.pg) = dir.filePath(name);
    }
    if (byName.isEmpty())
        throw DatabaseError(QStringLiteral("A pasta de esquema %1 não tem arquivos .sql.").arg(dir.path()));
    QStringList files;
    for (auto it = byName.cbegin(); it != byName.cend(); ++it) {
        const QString own = dialect == Dialect::SQLite ? it->sqlite : it->pg;
        const QString chosen = own.isEmpty() ? it->portable : own;
        if (chosen.isEmpty())
            throw DatabaseError(
                QStringLiteral("Falta o arquivo de esquema %1.%2.sql (ou %1.sql) em %3.")
                    .arg(it.key(),
                         dialect == Dialect::SQLite ? QStringLiteral("sqlite") : QStringLiteral("pg"),
                         dir.path()));
        files.append(chosen);
    }
    return files;
}

QStringList schemaFiles(Dialect dialect) {
    QStringList files = erpFiles(dialect);
    for (const Migration& m : migrations())
        files += migrationFiles(m, dialect);
    return files;
}

QStringList tablesCreatedBy(const QStringList& files) {
    static const QRegularExpression create(
        QStringLiteral("^CREATE\\s+TABLE\\s+(?:IF\\s+NOT\\s+EXISTS\\s+)?\"?(\\w+)\"?"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression leadingComments(QStringLiteral("^(\\s*--[^\\n]*\\n)+"));
    QStringList tables;
    for (const QString& file : files) {
        for (const QString& statement : splitStatements(readFile(file))) {
            // Leading comments belong to the statement; the keyword follows them.
            QString text = statement;
            text.remove(leadingComments);
            const auto match = create.match(text.trimmed());
            if (match.hasMatch())
                tables.append(match.captured(1).toUpper());
        }
    }
    return tables;
}

QStringList schemaTables(Dialect dialect) {
    QStringList tables = tablesCreatedBy(schemaFiles(dialect));
    tables.append(QLatin1String(kVersionTable));
    return tables;
}

bool hasTables(const QSqlDatabase& db) {
    return !db.tables(QSql::Tables).isEmpty();
}

void runScripts(QSqlDatabase& db, const QStringList& files) {
    QSqlQuery q(db);
    for (const QString& file : files) {
        for (const QString& statement : splitStatements(readFile(file))) {
            if (!q.exec(statement))
                throw DatabaseError(QStringLiteral("Erro no esquema (%1, \"%2\"): %3")
                                        .arg(QDir(schemaDirectory()).relativeFilePath(file),
                                             excerpt(statement), q.lastError().text().trimmed()));
        }
    }
}

void dropSchema(QSqlDatabase& db) {
    const Dialect dialect = dialectOf(db);
    QStringList existing;
    for (const QString& table : db.tables(QSql::Tables))
        existing.append(table.toUpper());
    QStringList tables = schemaTables(dialect);
    std::reverse(tables.begin(), tables.end());

    QSqlQuery q(db);
    // SQLite checks foreign keys on DROP as on DELETE; the whole schema goes, so
    // the checks are off meanwhile (the pragma has no effect inside a transaction).
    if (dialect == Dialect::SQLite && !q.exec(QStringLiteral("PRAGMA foreign_keys = OFF")))
        throw DatabaseError(QStringLiteral("Erro ao remover as tabelas: %1").arg(q.lastError().text()));
    try {
        Transaction transaction(db);
        for (const QString& table : tables) {
            if (!existing.contains(table))
                continue;
            // Table names come from the schema files, never from input.
            const QString drop = dialect == Dialect::PostgreSQL
                                     ? QStringLiteral("DROP TABLE %1 CASCADE").arg(table)
                                     : QStringLiteral("DROP TABLE %1").arg(table);
            if (!q.exec(drop))
                throw DatabaseError(
                    QStringLiteral("Erro ao remover a tabela %1: %2").arg(table, q.lastError().text()));
        }
        transaction.commit();
    } catch (...) {
        if (dialect == Dialect::SQLite)
            q.exec(QStringLiteral("PRAGMA foreign_keys = ON"));
        throw;
    }
    if (dialect == Dialect::SQLite && !q.exec(QStringLiteral("PRAGMA foreign_keys = ON")))
        throw DatabaseError(
            QStringLiteral("Erro ao religar as chaves estrangeiras: %1").arg(q.lastError().text()));
}

} // namespace zavdb
