// zav-dbinit: creates the ERP database with its schema and demo (or volume)
// data.
//
//   zav-dbinit --db CONNTEXT [--customers N] [--suppliers N] [--invoices N] [--force]
//   zav-dbinit --db CONNTEXT --schema-only [--force]
//   zav-dbinit --db CONNTEXT --list-certificates   (SERIAL[:CNPJ], one a line)
//
// An existing database that holds tables is left alone unless --force is given;
// then the schema's tables are dropped and created again. When anything fails
// the database is left as it was found: a SQLite file this run created is
// removed, tables this run created are dropped.
#include "certificaterequests.h"
#include "connectiontext.h"
#include "database.h"
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
        QStringLiteral("Cria o banco de dados do ERP com o esquema e os dados de demonstração."));
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
    parser.addOption({QStringLiteral("schema-only"),
                      QStringLiteral("Só o esquema (e, no PostgreSQL, os papéis), sem dados: o banco de uma "
                                     "instalação real.")});
    parser.addOption(
        {QStringLiteral("list-certificates"),
         QStringLiteral("Só lista, um por linha, os números de série dos certificados das inscrições "
                        "estaduais de um banco existente, cada um com o CNPJ do seu estabelecimento "
                        "(SERIE:CNPJ).")});
}

// Creates the schema, and the data unless schemaOnly, in the database of the
// connection text; whatever fails leaves the database as it was found.
int create(const QString& text, const zavdb::SeedOptions& options, bool force, bool schemaOnly) {
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
        zavdb::createSchema(db);
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
    if (parser.isSet(QStringLiteral("list-certificates")))
        return listCertificates(text);
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
    return create(text, options, force, schemaOnly);
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
