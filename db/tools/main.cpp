// zav-dbinit: creates the demo's database with its schema and demo (or
// volume) data; puts the product's tables into a company's existing ERP
// database; upgrades them.
//
//   zav-dbinit --db CONNTEXT [--customers N] [--suppliers N] [--invoices N] [--force]
//   zav-dbinit --db CONNTEXT --schema-only [--force]
//   zav-dbinit --db CONNTEXT --product-only      (an existing ERP database)
//   zav-dbinit --db CONNTEXT --upgrade
//   zav-dbinit --db CONNTEXT --status
//   zav-dbinit --db CONNTEXT --list-certificates   (SERIAL[:CNPJ], one a line)
//
// Creating (the demo, or --schema-only): an existing database that holds
// tables is left alone unless --force is given; then the schema's tables are
// dropped and created again. When anything fails the database is left as it
// was found: a SQLite file this run created is removed, tables this run
// created are dropped.
//
// --product-only and --upgrade first check that the ERP's tables and columns
// the product reads are there, then run the migrations the database lacks,
// each in one transaction (migrations.h): one that fails leaves the database
// at the version before.
#include "certificaterequests.h"
#include "connectiontext.h"
#include "database.h"
#include "migrations.h"
#include "schema.h"
#include "seed.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

namespace {

const char* const kConnection = "zav-dbinit";

int count(const QCommandLineParser& parser, const QString& option) {
    if (!parser.isSet(option))
        return 0;
    bool ok = false;
    const int n = parser.value(option).toInt(&ok);
    if (!ok || n < 0)
        throw zavdb::DatabaseError(QStringLiteral("--%1 espera um número inteiro não negativo, não \"%2\".")
                                       .arg(option, parser.value(option)));
    return n;
}

void removeSQLiteFile(const QString& path) {
    for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(path + suffix);
}

int listCertificates(const QString& text) {
    QTextStream out(stdout);
    {
        QSqlDatabase db = zavdb::open(text, QLatin1String(kConnection));
        for (const QString& request : zavdb::certificateRequests(db))
            out << request << Qt::endl;
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return 0;
}

// The options, described for --help.
void describeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        QStringLiteral("Cria o banco de demonstração (o do ERP e o do produto, com dados), põe as tabelas do "
                       "produto num banco do ERP que já existe (--product-only) e as atualiza (--upgrade)."));
    parser.addHelpOption();
    parser.addOption(
        {QStringLiteral("db"),
         QStringLiteral("Banco: caminho SQLite, sqlite:CAMINHO, postgresql://... ou chave=valor."),
         QStringLiteral("conexão")});
    parser.addOption({QStringLiteral("customers"), QStringLiteral("Clientes ao todo (volume para medições)."),
                      QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("suppliers"), QStringLiteral("Fornecedores ao todo."), QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("invoices"), QStringLiteral("Notas fiscais ao todo."), QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("force"), QStringLiteral("Recria as tabelas de um banco que já tem dados.")});
    parser.addOption(
        {QStringLiteral("schema-only"),
         QStringLiteral("Só o esquema, sem dados: as tabelas do ERP (vazias) e as do produto, e, no "
                        "PostgreSQL, os papéis. Num banco do ERP que já existe, use --product-only.")});
    parser.addOption(
        {QStringLiteral("product-only"),
         QStringLiteral(
             "Só as tabelas, papéis e permissões do produto, num banco do ERP que já existe (as tabelas "
             "do ERP que o produto lê são conferidas antes).")});
    parser.addOption(
        {QStringLiteral("upgrade"),
         QStringLiteral("Aplica as migrações que faltam às tabelas do produto, uma transação cada.")});
    parser.addOption({QStringLiteral("status"),
                      QStringLiteral("Só diz em que versão está o esquema do banco; termina com 0 quando é a "
                                     "versão deste programa, 1 quando não.")});
    parser.addOption({QStringLiteral("to-version"),
                      QStringLiteral("Cria ou atualiza só até a versão N do esquema (padrão: a última)."),
                      QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("list-certificates"),
         QStringLiteral("Só lista, um por linha, os números de série dos certificados das inscrições "
                        "estaduais de um banco existente, cada um com o CNPJ do seu estabelecimento "
                        "(SERIE:CNPJ).")});
}

// An existing database, opened for one of the modes that work on it: never a
// SQLite file made by the opening.
QSqlDatabase openExisting(const QString& text) {
    const zavdb::ConnectionParts parts = zavdb::parseConnectionText(text);
    if (parts.dialect == zavdb::Dialect::SQLite && !QFileInfo(parts.path).isFile())
        throw zavdb::DatabaseError(
            QStringLiteral("O banco %1 não existe (para criar o de demonstração, não use --product-only, "
                           "--upgrade ou --status).")
                .arg(zavdb::describe(parts)));
    return zavdb::open(text, QLatin1String(kConnection));
}

// Where the database's schema stands; 0 when at this program's version.
int status(const QString& text) {
    QTextStream out(stdout);
    int code = 1;
    {
        QSqlDatabase db = openExisting(text);
        const zavdb::SchemaState state = zavdb::schemaState(db);
        const QString problem = zavdb::schemaVersionProblem(db);
        out << QStringLiteral("Esquema do banco: %1; este programa: versão %2.")
                   .arg(zavdb::describeState(state))
                   .arg(zavdb::latestVersion())
            << Qt::endl;
        if (!problem.isEmpty())
            out << problem << Qt::endl;
        code = problem.isEmpty() ? 0 : 1;
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return code;
}

enum class Into { ProductOnly, Upgrade };

// Refuses, naming them, when the ERP's tables and columns the product reads
// are not all in the database.
void requireErpTables(QSqlDatabase& db) {
    const QStringList missing = zavdb::missingErpColumns(db);
    if (!missing.isEmpty())
        throw zavdb::DatabaseError(
            QStringLiteral(
                "O banco não tem as tabelas e colunas do ERP que o produto lê; faltam: %1. Nada foi "
                "alterado.")
                .arg(missing.join(QStringLiteral(", "))));
}

// --product-only: the product's tables, roles and grants into an ERP database
// that has none of them; --upgrade: the migrations its product tables lack.
int intoExisting(const QString& text, Into into, int version) {
    QTextStream out(stdout);
    const auto note = [&out](const QString& line) { out << line << Qt::endl; };
    {
        QSqlDatabase db = openExisting(text);
        auto close = qScopeGuard([&db] {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(QLatin1String(kConnection));
        });
        const zavdb::InstallerLock lock(db,
                                        [](const QString& line) { QTextStream(stderr) << line << Qt::endl; });
        requireErpTables(db);
        const zavdb::SchemaState state = zavdb::schemaState(db);
        if (into == Into::ProductOnly && state.kind != zavdb::SchemaState::Kind::None)
            throw zavdb::DatabaseError(
                QStringLiteral("O banco já tem as tabelas do produto (%1): para atualizá-las, use --upgrade.")
                    .arg(zavdb::describeState(state)));
        if (into == Into::Upgrade && state.kind == zavdb::SchemaState::Kind::None)
            throw zavdb::DatabaseError(QStringLiteral(
                "O banco não tem as tabelas do produto: para pô-las num banco do ERP, use --product-only."));
        const QList<zavdb::Migration> applied = zavdb::migrate(db, version, note);
        const int now = zavdb::schemaState(db).version;
        if (applied.isEmpty())
            out << QStringLiteral("O banco já está na versão %1 do esquema: nada a fazer.").arg(now)
                << Qt::endl;
        else
            out << QStringLiteral("Banco na versão %1 do esquema.").arg(now) << Qt::endl;
    }
    return 0;
}

// Creates the schema, and the data unless schemaOnly, in the database of the
// connection text; whatever fails leaves the database as it was found.
int create(const QString& text, const zavdb::SeedOptions& options, bool force, bool schemaOnly, int version) {
    const zavdb::ConnectionParts parts = zavdb::parseConnectionText(text);
    const bool newFile = parts.dialect == zavdb::Dialect::SQLite && !QFileInfo::exists(parts.path);

    QTextStream out(stdout);
    QElapsedTimer clock;
    clock.start();
    {
        QSqlDatabase db = zavdb::open(text, QLatin1String(kConnection));
        bool created = false;
        // Unless dismissed below, whatever failed is undone: the schema this
        // run made is dropped from a database that was there before (the first
        // error is the one reported), a file this run made is removed.
        auto undo = qScopeGuard([&] {
            if (created && !newFile) {
                try {
                    zavdb::dropSchema(db);
                } catch (...) {
                    // The first error is the one to report.
                }
            }
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(QLatin1String(kConnection));
            if (newFile)
                removeSQLiteFile(parts.path);
        });
        if (zavdb::hasTables(db)) {
            if (!force)
                throw zavdb::DatabaseError(
                    QStringLiteral("O banco %1 já tem tabelas; use --force para recriá-las.")
                        .arg(zavdb::describe(parts)));
            zavdb::dropSchema(db);
        }
        zavdb::createSchema(db, version);
        created = true;
        if (!schemaOnly) {
            zavdb::seedReference(db, options);
            zavdb::seedInvoices(db, options);
        }
        undo.dismiss();
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    out << QStringLiteral("Banco criado: %1 (%2 ms)").arg(zavdb::describe(parts)).arg(clock.elapsed())
        << Qt::endl;
    return 0;
}

// The modes that work on the product's tables of an existing database; at
// most one of them, and none with the demo's options.
QString existingDatabaseMode(const QCommandLineParser& parser) {
    QStringList modes;
    for (const char* mode : {"product-only", "upgrade", "status", "list-certificates"}) {
        if (parser.isSet(QLatin1String(mode)))
            modes.append(QLatin1String(mode));
    }
    if (modes.size() > 1)
        throw zavdb::DatabaseError(
            QStringLiteral("--%1 e --%2 não se combinam: use um só.").arg(modes.at(0), modes.at(1)));
    if (modes.isEmpty())
        return {};
    for (const char* demo : {"force", "schema-only", "customers", "suppliers", "invoices"}) {
        if (parser.isSet(QLatin1String(demo)))
            throw zavdb::DatabaseError(
                QStringLiteral("--%1 trabalha num banco que já existe: não combina com --%2.")
                    .arg(modes.constFirst(), QLatin1String(demo)));
    }
    if (parser.isSet(QStringLiteral("to-version")) && modes.constFirst() != u"product-only" &&
        modes.constFirst() != u"upgrade")
        throw zavdb::DatabaseError(
            QStringLiteral("--to-version não combina com --%1.").arg(modes.constFirst()));
    return modes.constFirst();
}

int run(const QStringList& arguments) {
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(arguments);
    if (!parser.positionalArguments().isEmpty())
        throw zavdb::DatabaseError(
            QStringLiteral("Argumento inesperado: %1").arg(parser.positionalArguments().constFirst()));
    if (!parser.isSet(QStringLiteral("db")))
        throw zavdb::DatabaseError(QStringLiteral("Informe o banco de dados com --db."));

    const QString text = parser.value(QStringLiteral("db"));
    const QString mode = existingDatabaseMode(parser);
    const int version =
        parser.isSet(QStringLiteral("to-version")) ? count(parser, QStringLiteral("to-version")) : 0;
    if (parser.isSet(QStringLiteral("to-version")) && version < 1)
        throw zavdb::DatabaseError(QStringLiteral("--to-version começa em 1."));
    if (mode == u"list-certificates")
        return listCertificates(text);
    if (mode == u"status")
        return status(text);
    if (!mode.isEmpty())
        return intoExisting(text, mode == u"upgrade" ? Into::Upgrade : Into::ProductOnly, version);
    zavdb::SeedOptions options;
    options.customers = count(parser, QStringLiteral("customers"));
    options.suppliers = count(parser, QStringLiteral("suppliers"));
    options.invoices = count(parser, QStringLiteral("invoices"));
    const bool force = parser.isSet(QStringLiteral("force"));
    const bool schemaOnly = parser.isSet(QStringLiteral("schema-only"));
    if (schemaOnly && (options.customers || options.suppliers || options.invoices))
        throw zavdb::DatabaseError(QStringLiteral(
            "--schema-only cria um banco sem dados: não combina com --customers, --suppliers ou "
            "--invoices."));
    return create(text, options, force, schemaOnly, version);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zav-dbinit"));
    try {
        return run(QCoreApplication::arguments());
    } catch (const zavdb::DatabaseError& e) {
        QTextStream(stderr) << "zav-dbinit: " << e.text() << Qt::endl;
        return 1;
    }
}
