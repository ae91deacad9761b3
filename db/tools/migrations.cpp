#include "migrations.h"

#include "connectiontext.h"
#include "schema.h"
#include "transaction.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace zavdb {
namespace {

const char* const kManifest = "migrations.txt";
const char* const kErpFolder = "erp";
const char* const kErpColumns = "erp/columns.txt";

// The migrations a database has had: one row each, written by the
// transaction that ran it ('A', applied) or, for a database made before
// versions were recorded whose tables were found whole, by the installer
// that recognised them ('R'). DHREGISTRO: seconds since 1970-01-01 UTC.
const char* const kCreateVersionTable = "CREATE TABLE IF NOT EXISTS ZAVVERSAO (\n"
                                        "    NRVERSAO   INTEGER      NOT NULL,\n"
                                        "    DSMIGRACAO VARCHAR(255) NOT NULL,\n"
                                        "    IDORIGEM   VARCHAR(1)   NOT NULL,\n"
                                        "    DHREGISTRO BIGINT       NOT NULL,\n"
                                        "    CONSTRAINT ZAVVERSAO_PK PRIMARY KEY (NRVERSAO),\n"
                                        "    CONSTRAINT ZAVVERSAO_ORIGEM CHECK (IDORIGEM IN ('A', 'R'))\n"
                                        ")";
// The servers and zav-admin read the version before they work; the group
// role exists once the first migration has run.
const char* const kGrantVersionTable =
    "DO $$\n"
    "BEGIN\n"
    "    IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'zav_servidor') THEN\n"
    "        GRANT SELECT ON ZAVVERSAO TO zav_servidor;\n"
    "    END IF;\n"
    "END\n"
    "$$";
const char* const kRecordedVersion = "SELECT MAX(NRVERSAO) FROM ZAVVERSAO";
const char* const kRecord =
    "INSERT INTO ZAVVERSAO (NRVERSAO, DSMIGRACAO, IDORIGEM, DHREGISTRO) VALUES (?, ?, ?, ?)";

// The installers' lock of a PostgreSQL database (advisory locks belong to
// one database): exclusive for an installer, shared for a server checking
// the version, so that a server starting during an upgrade waits for it.
const char* const kTryLock = "SELECT pg_try_advisory_lock(50000, 1)";
const char* const kLock = "SELECT pg_advisory_lock(50000, 1)";
const char* const kUnlock = "SELECT pg_advisory_unlock(50000, 1)";
const char* const kTransactionLock = "SELECT pg_advisory_xact_lock(50000, 1)";
const char* const kSharedLock = "SELECT pg_advisory_xact_lock_shared(50000, 1)";
const char* const kSharedLockTimeout = "SET LOCAL lock_timeout = '60s'";

const char* const kUpgradeCommand = "zav-dbinit --db <conexão do dono do banco> --upgrade";
const char* const kProductOnlyCommand = "zav-dbinit --db <conexão do dono do banco> --product-only";

// A SQLite writer waits this many times the busy timeout for another
// installer's migration before giving up.
const int kBusyAttempts = 60;

void exec(QSqlQuery& q, const char* sql) {
    if (!q.exec(QLatin1String(sql)))
        throw DatabaseError(QStringLiteral("Erro no registro da versão do esquema (\"%1\"): %2")
                                .arg(QString::fromLatin1(sql).simplified(), q.lastError().text().trimmed()));
}

QStringList upperTables(const QSqlDatabase& db) {
    QStringList tables;
    for (const QString& t : db.tables(QSql::Tables))
        tables.append(t.toUpper());
    return tables;
}

// The columns of a table named in upper case, whichever case the database
// keeps its name in (PostgreSQL folds unquoted names to lower case).
QStringList upperColumns(const QSqlDatabase& db, const QString& table) {
    QString name = table;
    for (const QString& t : db.tables(QSql::Tables)) {
        if (t.compare(table, Qt::CaseInsensitive) == 0)
            name = t;
    }
    const QSqlRecord record = db.record(name);
    QStringList columns;
    for (int i = 0; i < record.count(); ++i)
        columns.append(record.fieldName(i).toUpper());
    return columns;
}

// The manifest's lines that say something, with their numbers.
QList<std::pair<int, QString>> manifestLines(const QString& path) {
    QList<std::pair<int, QString>> lines;
    int number = 0;
    for (const QString& line : readFile(path).split(u'\n')) {
        ++number;
        const QString text = line.section(u'#', 0, 0).trimmed();
        if (!text.isEmpty())
            lines.append({number, text});
    }
    return lines;
}

Migration parseLine(const QDir& dir, int number, const QString& text, int expected) {
    static const QRegularExpression form(QStringLiteral("^(\\d+)\\s+(\\S+)\\s+(\\S.*)$"));
    const auto match = form.match(text);
    const QString where =
        QStringLiteral("%1, linha %2").arg(dir.filePath(QLatin1String(kManifest))).arg(number);
    if (!match.hasMatch())
        throw DatabaseError(
            QStringLiteral("%1: esperado \"VERSÃO PASTA DESCRIÇÃO\", não \"%2\".").arg(where, text));
    Migration m;
    m.version = match.captured(1).toInt();
    m.folder = dir.filePath(match.captured(2));
    m.description = match.captured(3).simplified();
    if (m.version != expected)
        throw DatabaseError(QStringLiteral("%1: a versão %2 devia ser a %3 (as versões são 1, 2, 3...).")
                                .arg(where)
                                .arg(m.version)
                                .arg(expected));
    if (match.captured(2) == QLatin1String(kErpFolder) || match.captured(2).contains(u'/') ||
        !QFileInfo(m.folder).isDir())
        throw DatabaseError(QStringLiteral("%1: a pasta %2 não existe.").arg(where, match.captured(2)));
    if (m.description.size() > 255)
        throw DatabaseError(QStringLiteral("%1: a descrição passa de 255 caracteres.").arg(where));
    return m;
}

// Every folder and .sql file of the schema belongs to a migration (or to the
// ERP's tables): a file left beside them would silently never run.
void checkNothingAside(const QDir& dir, const QList<Migration>& list) {
    const QStringList stray = dir.entryList({QStringLiteral("*.sql")}, QDir::Files, QDir::Name);
    if (!stray.isEmpty())
        throw DatabaseError(
            QStringLiteral(
                "Arquivos de esquema fora de uma migração em %1: %2 (cada migração é uma pasta com "
                "uma linha em %3).")
                .arg(dir.path(), stray.join(QStringLiteral(", ")), QLatin1String(kManifest)));
    QStringList named{QLatin1String(kErpFolder)};
    for (const Migration& m : list)
        named.append(QFileInfo(m.folder).fileName());
    for (const QString& folder : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!named.contains(folder))
            throw DatabaseError(QStringLiteral("A pasta de esquema %1 não está em %2.")
                                    .arg(dir.filePath(folder), dir.filePath(QLatin1String(kManifest))));
    }
}

int recordedVersion(QSqlDatabase& db) {
    QSqlQuery q(db);
    exec(q, kRecordedVersion);
    return q.next() ? q.value(0).toInt() : 0;
}

void record(QSqlDatabase& db, const Migration& m, char origin) {
    QSqlQuery q(db);
    if (!q.prepare(QLatin1String(kRecord)))
        throw DatabaseError(q.lastError().text());
    q.addBindValue(m.version);
    q.addBindValue(m.description);
    q.addBindValue(QString(QLatin1Char(origin)));
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (!q.exec())
        throw DatabaseError(QStringLiteral("A versão %1 não foi registrada: %2")
                                .arg(m.version)
                                .arg(q.lastError().text().trimmed()));
}

void createVersionTable(QSqlDatabase& db) {
    QSqlQuery q(db);
    exec(q, kCreateVersionTable);
}

void grantVersionTable(QSqlDatabase& db) {
    if (dialectOf(db) != Dialect::PostgreSQL)
        return;
    QSqlQuery q(db);
    exec(q, kGrantVersionTable);
}

// The tables the first migration makes, each with its columns, as a fresh
// SQLite database holds them: what a database made before versions were
// recorded must have whole to be taken for version 1.
QMap<QString, QStringList> firstMigrationTables() {
    const QList<Migration> list = migrations();
    const QStringList files = migrationFiles(list.constFirst(), Dialect::SQLite);
    const QString name = QStringLiteral("zavdb-reference-") + QUuid::createUuid().toString(QUuid::Id128);
    QMap<QString, QStringList> tables;
    {
        QSqlDatabase db = open(QStringLiteral(":memory:"), name);
        runScripts(db, erpFiles(Dialect::SQLite));
        runScripts(db, files);
        for (const QString& table : tablesCreatedBy(files))
            tables.insert(table, upperColumns(db, table));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return tables;
}

QString versionProblem(const SchemaState& state) {
    const int latest = latestVersion();
    switch (state.kind) {
    case SchemaState::Kind::None:
        return QStringLiteral("O banco não tem as tabelas do produto: crie-as num banco do ERP com %1.")
            .arg(QString::fromUtf8(kProductOnlyCommand));
    case SchemaState::Kind::Incomplete:
        return QStringLiteral(
                   "O banco tem tabelas do produto de uma versão anterior ao registro de versões do "
                   "esquema (faltam %1); não há atualização automática a partir dela.")
            .arg(state.missing.join(QStringLiteral(", ")));
    case SchemaState::Kind::Recorded:
    case SchemaState::Kind::Unrecorded:
        break;
    }
    if (state.version == latest)
        return {};
    if (state.version > latest)
        return QStringLiteral(
                   "O banco está na versão %1 do esquema, mais nova que a versão %2 que este programa "
                   "conhece: use a versão do produto que o atualizou.")
            .arg(state.version)
            .arg(latest);
    return QStringLiteral(
               "O banco está na versão %1 do esquema e este programa precisa da versão %2: atualize-o "
               "com %3.")
        .arg(state.version)
        .arg(latest)
        .arg(QString::fromUtf8(kUpgradeCommand));
}

// Begins a transaction that writes, waiting on SQLite for another writer (an
// installer in the middle of a migration) for a while.
void beginWaiting(Transaction& transaction, const Note& note) {
    for (int attempt = 0; attempt < kBusyAttempts; ++attempt) {
        if (transaction.begin() == Transaction::Begin::Started)
            return;
        if (attempt == 0)
            note(QStringLiteral("O banco está ocupado por outra conexão; aguardando..."));
    }
    throw DatabaseError(QStringLiteral("O banco continuou ocupado por outra conexão; nada foi alterado."));
}

// Records a database made before versions were recorded as version 1, unless
// an installer did meanwhile.
void recognise(QSqlDatabase& db, const Migration& first, const Note& note) {
    Transaction transaction(db, Transaction::Start::Later);
    beginWaiting(transaction, note);
    createVersionTable(db);
    if (recordedVersion(db) != 0)
        return;
    record(db, first, 'R');
    grantVersionTable(db);
    transaction.commit();
    note(QStringLiteral("Tabelas da versão 1 encontradas sem registro de versão: registrada a versão 1."));
}

// Runs one migration and records it, unless an installer did meanwhile;
// whether it ran.
bool apply(QSqlDatabase& db, const Migration& m, const Note& note) {
    Transaction transaction(db, Transaction::Start::Later);
    beginWaiting(transaction, note);
    const bool hadTable = upperTables(db).contains(QLatin1String(kVersionTable));
    const int now = hadTable ? recordedVersion(db) : 0;
    if (now >= m.version)
        return false;
    if (now != m.version - 1)
        throw DatabaseError(QStringLiteral("O banco está na versão %1 e a migração %2 segue a %3.")
                                .arg(now)
                                .arg(m.version)
                                .arg(m.version - 1));
    createVersionTable(db);
    runScripts(db, migrationFiles(m, dialectOf(db)));
    record(db, m, 'A');
    grantVersionTable(db);
    transaction.commit();
    note(QStringLiteral("Migração %1 aplicada: %2.").arg(m.version).arg(m.description));
    return true;
}

} // namespace

QList<Migration> migrations() {
    const QDir dir(schemaDirectory());
    if (!dir.exists())
        throw DatabaseError(QStringLiteral("A pasta de esquema %1 não existe.").arg(dir.path()));
    QList<Migration> list;
    for (const auto& [number, text] : manifestLines(dir.filePath(QLatin1String(kManifest))))
        list.append(parseLine(dir, number, text, int(list.size()) + 1));
    if (list.isEmpty())
        throw DatabaseError(
            QStringLiteral("%1 não lista nenhuma migração.").arg(dir.filePath(QLatin1String(kManifest))));
    checkNothingAside(dir, list);
    return list;
}

int latestVersion() {
    return int(migrations().size());
}

QStringList migrationFiles(const Migration& migration, Dialect dialect) {
    return sqlFiles(migration.folder, dialect);
}

QStringList erpFiles(Dialect dialect) {
    return sqlFiles(QDir(schemaDirectory()).filePath(QLatin1String(kErpFolder)), dialect);
}

SchemaState schemaState(QSqlDatabase& db) {
    const QStringList tables = upperTables(db);
    SchemaState state;
    if (tables.contains(QLatin1String(kVersionTable))) {
        state.kind = SchemaState::Kind::Recorded;
        state.version = recordedVersion(db);
        if (state.version > 0)
            return state;
    }
    const QMap<QString, QStringList> first = firstMigrationTables();
    bool any = false;
    for (auto it = first.cbegin(); it != first.cend(); ++it) {
        if (!tables.contains(it.key())) {
            state.missing.append(it.key());
            continue;
        }
        any = true;
        const QStringList columns = upperColumns(db, it.key());
        for (const QString& column : it.value()) {
            if (!columns.contains(column))
                state.missing.append(it.key() + u'.' + column);
        }
    }
    if (!any) {
        state = {};
        return state;
    }
    state.kind = state.missing.isEmpty() ? SchemaState::Kind::Unrecorded : SchemaState::Kind::Incomplete;
    state.version = state.missing.isEmpty() ? 1 : 0;
    return state;
}

QString describeState(const SchemaState& state) {
    switch (state.kind) {
    case SchemaState::Kind::None:
        return QStringLiteral("sem as tabelas do produto");
    case SchemaState::Kind::Recorded:
        return QStringLiteral("versão %1").arg(state.version);
    case SchemaState::Kind::Unrecorded:
        return QStringLiteral("versão 1, sem registro de versão (feito antes dele)");
    case SchemaState::Kind::Incomplete:
        break;
    }
    return QStringLiteral("tabelas do produto incompletas (faltam %1)")
        .arg(state.missing.join(QStringLiteral(", ")));
}

QStringList missingErpColumns(QSqlDatabase& db) {
    const QString path = QDir(schemaDirectory()).filePath(QLatin1String(kErpColumns));
    const QStringList tables = upperTables(db);
    QStringList missing;
    for (const auto& [number, text] : manifestLines(path)) {
        const QStringList words = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        const QString table = words.constFirst().toUpper();
        if (!tables.contains(table)) {
            missing.append(table);
            continue;
        }
        const QStringList columns = upperColumns(db, table);
        for (const QString& column : words.mid(1)) {
            if (!columns.contains(column.toUpper()))
                missing.append(table + u'.' + column.toUpper());
        }
    }
    return missing;
}

QString schemaVersionProblem(QSqlDatabase& db) {
    return versionProblem(schemaState(db));
}

QString schemaVersionProblem(const QString& connectionText) {
    const QString name = QStringLiteral("zavdb-version-") + QUuid::createUuid().toString(QUuid::Id128);
    QString problem;
    try {
        QSqlDatabase db = open(connectionText, name);
        if (dialectOf(db) == Dialect::PostgreSQL) {
            Transaction transaction(db);
            QSqlQuery q(db);
            exec(q, kSharedLockTimeout);
            if (!q.exec(QLatin1String(kSharedLock)))
                throw DatabaseError(
                    QStringLiteral("Uma atualização do esquema continua em andamento neste banco (%1).")
                        .arg(q.lastError().text().trimmed()));
            problem = schemaVersionProblem(db);
        } else {
            problem = schemaVersionProblem(db);
        }
        db.close();
    } catch (const DatabaseError& e) {
        problem = e.text();
    }
    QSqlDatabase::removeDatabase(name);
    return problem;
}

void requireSchemaVersion(QSqlDatabase& db) {
    const QString problem = schemaVersionProblem(db);
    if (!problem.isEmpty())
        throw DatabaseError(problem);
}

InstallerLock::InstallerLock(QSqlDatabase& db, const Note& note) : m_db(db) {
    if (dialectOf(db) != Dialect::PostgreSQL)
        return;
    QSqlQuery q(db);
    exec(q, kTryLock);
    if (!q.next() || !q.value(0).toBool()) {
        note(QStringLiteral("Outro instalador está atualizando este banco; aguardando que termine..."));
        exec(q, kLock);
    }
    m_held = true;
}

InstallerLock::~InstallerLock() {
    if (!m_held)
        return;
    QSqlQuery q(m_db);
    q.exec(QLatin1String(kUnlock)); // the lock also ends with the connection
}

QList<Migration> migrate(QSqlDatabase& db, int target, const Note& note) {
    const QList<Migration> list = migrations();
    const int latest = int(list.size());
    if (target == 0)
        target = latest;
    if (target < 1 || target > latest)
        throw DatabaseError(
            QStringLiteral("Não há versão %1 do esquema: as versões vão de 1 a %2.").arg(target).arg(latest));
    const SchemaState state = schemaState(db);
    if (state.kind == SchemaState::Kind::Incomplete)
        throw DatabaseError(versionProblem(state));
    if (state.version > latest)
        throw DatabaseError(versionProblem(state));
    if (state.version > target)
        throw DatabaseError(QStringLiteral("O banco já está na versão %1, além da versão %2 pedida.")
                                .arg(state.version)
                                .arg(target));
    if (state.kind == SchemaState::Kind::Unrecorded)
        recognise(db, list.constFirst(), note);
    QList<Migration> applied;
    for (const Migration& m : list) {
        if (m.version > state.version && m.version <= target && apply(db, m, note))
            applied.append(m);
    }
    return applied;
}

void createSchema(QSqlDatabase& db, int version) {
    const QList<Migration> list = migrations();
    if (version == 0)
        version = int(list.size());
    if (version < 1 || version > list.size())
        throw DatabaseError(QStringLiteral("Não há versão %1 do esquema: as versões vão de 1 a %2.")
                                .arg(version)
                                .arg(list.size()));
    const Dialect dialect = dialectOf(db);
    Transaction transaction(db);
    if (dialect == Dialect::PostgreSQL) {
        QSqlQuery q(db);
        exec(q, kTransactionLock);
    }
    runScripts(db, erpFiles(dialect));
    createVersionTable(db);
    for (const Migration& m : list.mid(0, version)) {
        runScripts(db, migrationFiles(m, dialect));
        record(db, m, 'A');
    }
    grantVersionTable(db);
    transaction.commit();
}

} // namespace zavdb
