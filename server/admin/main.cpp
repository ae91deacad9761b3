// zav-admin: the operators of the application server, their passwords, the
// establishments each may work on, and their sessions; and the registered
// cancellations as files for the invoices' recipients.
//
// The database's password never goes in CONNTEXT: --db-password-file FILE
// (its first line, the file readable by its owner alone) or libpq's
// PGPASSFILE gives it.
//
//   zav-admin --db CONNTEXT add-operator CODE [--name NAME] [--password-file F]
//   zav-admin --db CONNTEXT set-password CODE [--password-file F]
//   zav-admin --db CONNTEXT disable-operator CODE | enable-operator CODE
//   zav-admin --db CONNTEXT operators
//   zav-admin --db CONNTEXT grant CODE BRANCH COMPANY [--program P]
//   zav-admin --db CONNTEXT grant-all CODE [--program P]
//   zav-admin --db CONNTEXT revoke CODE BRANCH COMPANY [--program P]
//   zav-admin --db CONNTEXT grants [CODE]
//   zav-admin --db CONNTEXT sessions [CODE]
//   zav-admin --db CONNTEXT end-session ID | end-sessions CODE
//   zav-admin --db CONNTEXT export-events --out DIR (ENTRY ... | --from DAY --to DAY)
//   zav-admin --db CONNTEXT approve-late ENTRY --until DAY --reference TEXT
//
// A password is read from a file only its owner can read (its first line),
// or asked for twice at the terminal without echo; never from the command
// line, where any user of the machine could read it.
#include "access/credentials.h"
#include "access/operatorstore.h"
#include "access/sessionstore.h"
#include "cancellation/eventexport.h"
#include "serveroptions.h"

#include "accesskey.h"
#include "database.h"
#include "migrations.h"
#include "secretfile.h"
#include "states.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTextStream>

#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

namespace {

using zavserver::AccessError;

const char* const kConnection = "zav-admin";

QString readPasswordFile(const QString& path) {
    QString message;
    const std::optional<QString> password = zavcommon::readPasswordFile(path, &message);
    if (!password)
        throw AccessError(message);
    return *password;
}

QString askOnce(const char* prompt) {
    std::fprintf(stderr, "%s", prompt);
    termios before{};
    tcgetattr(STDIN_FILENO, &before);
    termios silent = before;
    silent.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    QTextStream in(stdin);
    QString line = in.readLine();
    tcsetattr(STDIN_FILENO, TCSANOW, &before);
    std::fprintf(stderr, "\n");
    return line;
}

QString newPassword(const QCommandLineParser& parser) {
    if (parser.isSet(QStringLiteral("password-file")))
        return readPasswordFile(parser.value(QStringLiteral("password-file")));
    if (!isatty(STDIN_FILENO))
        throw AccessError(QStringLiteral("Sem terminal para pedir a senha: use --password-file."));
    QString first = askOnce("Senha: ");
    if (askOnce("Repita a senha: ") != first)
        throw AccessError(QStringLiteral("As senhas digitadas não conferem."));
    return first;
}

// An instant in this machine's time, with its offset from UTC: read alone, it
// says which moment it is ("2026-12-09T21:30:00-03:00").
QString instant(qint64 seconds) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString arg(const QStringList& args, int i, const char* what) {
    if (i >= args.size())
        throw AccessError(QStringLiteral("Falta %1.").arg(QLatin1String(what)));
    return args.at(i);
}

QDate day(const QCommandLineParser& parser, const char* option) {
    const QString text = parser.value(QLatin1String(option));
    const QDate d = QDate::fromString(text, Qt::ISODate);
    if (!d.isValid())
        throw AccessError(
            QStringLiteral("--%1 inválido: \"%2\" (esperado AAAA-MM-DD).").arg(QLatin1String(option), text));
    return d;
}

// The procEventoNFe of the invoices named, or of the days asked for; 1 when
// any asked for was not written.
int exportEvents(const QCommandLineParser& parser, QSqlDatabase& db, QTextStream& out) {
    const QString folder = parser.value(QStringLiteral("out"));
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        throw AccessError(QStringLiteral("Informe com --out uma pasta existente para os arquivos."));
    const QStringList entries = parser.positionalArguments().mid(1);
    const bool period = parser.isSet(QStringLiteral("from")) || parser.isSet(QStringLiteral("to"));
    if (period == !entries.isEmpty())
        throw AccessError(
            QStringLiteral("Informe as notas (NRLANCTONF) ou o período (--from e --to), um dos dois."));
    zavserver::EventExport result;
    if (period) {
        const QDate from = day(parser, "from");
        const QDate to = day(parser, "to");
        if (to < from)
            throw AccessError(QStringLiteral("O período termina antes de começar."));
        result = zavserver::EventExport::ofPeriod(db, from, to, folder);
    } else {
        result = zavserver::EventExport::ofEntries(db, entries, folder);
    }
    for (const zavserver::EventExport::File& f : result.written)
        out << f.entry << '\t' << f.path << Qt::endl;
    for (const QString& entry : result.missing)
        std::fprintf(stderr, "zav-admin: %s: sem cancelamento registrado na SEFAZ\n",
                     entry.toLocal8Bit().constData());
    for (const QString& failure : result.failed)
        std::fprintf(stderr, "zav-admin: %s\n", failure.toLocal8Bit().constData());
    out << result.written.size() << (result.written.size() == 1 ? " arquivo gravado" : " arquivos gravados")
        << Qt::endl;
    return result.missing.isEmpty() && result.failed.isEmpty() ? 0 : 1;
}

// Who runs the command, as the system knows them.
QString systemUser() {
    const passwd* user = getpwuid(geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(geteuid());
}

// Records the state's approval of a late cancellation of one invoice, valid
// to the end of the given day in the issuing state's legal time.
int approveLate(const QCommandLineParser& parser, QSqlDatabase& db, QTextStream& out) {
    const QString entry = arg(parser.positionalArguments(), 1, "a nota fiscal (NRLANCTONF)");
    const QString reference = parser.value(QStringLiteral("reference")).simplified();
    if (reference.size() < 3 || reference.size() > 255)
        throw AccessError(
            QStringLiteral("Informe com --reference a autorização da SEFAZ (de 3 a 255 caracteres)."));
    const QDate until = day(parser, "until");
    QSqlQuery q(db);
    if (!q.prepare(QStringLiteral("SELECT NRACESSONFE, IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?")))
        throw zavdb::DatabaseError(q.lastError().text());
    q.bindValue(0, entry);
    if (!q.exec())
        throw zavdb::DatabaseError(q.lastError().text());
    if (!q.next())
        throw AccessError(QStringLiteral("Nota fiscal %1 não encontrada.").arg(entry));
    // Only an authorised invoice has a cancellation to approve.
    if (q.value(1).toString() == u"C")
        throw AccessError(
            QStringLiteral("Nota fiscal %1 já cancelada: não há cancelamento a autorizar.").arg(entry));
    if (q.value(1).toString() == u"D")
        throw AccessError(QStringLiteral("Nota fiscal %1 denegada: não pode ser cancelada.").arg(entry));
    const int offset = zavfiscal::utcOffsetOfCode(zavfiscal::accessKeyStateCode(q.value(0).toString()));
    q.finish();
    const QDateTime end(until, QTime(23, 59, 59), Qt::OffsetFromUTC, offset);
    if (end < QDateTime::currentDateTimeUtc())
        throw AccessError(QStringLiteral("--until %1 já passou.").arg(until.toString(Qt::ISODate)));
    if (!q.prepare(
            QStringLiteral("INSERT INTO CANCEXTEMPNFE (NRLANCTONF, DSAUTORIZACAO, DHLIMITE, CDUSUARIO, "
                           "DHREGISTRO) VALUES (?, ?, ?, ?, ?)")))
        throw zavdb::DatabaseError(q.lastError().text());
    q.addBindValue(entry);
    q.addBindValue(reference);
    q.addBindValue(end.toSecsSinceEpoch());
    q.addBindValue(systemUser().left(60));
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (!q.exec())
        throw AccessError(QStringLiteral("Autorização não gravada (a nota já tem uma?): %1")
                              .arg(q.lastError().text().trimmed()));
    out << "cancelamento extemporâneo de " << entry << " autorizado até " << end.toString(Qt::ISODate) << " ("
        << reference << ")" << Qt::endl;
    return 0;
}

// The establishments (branch and company) of the database: each branch with
// its own company and the companies that operate at it.
const char* const kEstablishmentsSql = "SELECT COUNT(*) FROM (SELECT CDFILIAL, CDEMPRESA FROM FILIAL UNION "
                                       "SELECT CDFILIAL, CDEMPRESA FROM EMPRCNTRFIL) E";
const char* const kEstablishmentSql = "SELECT 1 FROM FILIAL WHERE CDFILIAL = ? AND CDEMPRESA = ? UNION "
                                      "SELECT 1 FROM EMPRCNTRFIL WHERE CDFILIAL = ? AND CDEMPRESA = ?";
const char* const kBranchSql = "SELECT 1 FROM FILIAL WHERE CDFILIAL = ?";
const char* const kCompanySql = "SELECT 1 FROM EMPRESA WHERE CDEMPRESA = ?";

// Whether the statement, with the values bound, gives a row.
bool anyRow(QSqlDatabase& db, const char* sql, const QVariantList& values) {
    QSqlQuery q(db);
    if (!q.prepare(QLatin1String(sql)))
        throw zavdb::DatabaseError(q.lastError().text());
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw zavdb::DatabaseError(q.lastError().text());
    return q.next();
}

int establishmentCount(QSqlDatabase& db) {
    QSqlQuery q(db);
    if (!q.exec(QLatin1String(kEstablishmentsSql)) || !q.next())
        throw zavdb::DatabaseError(q.lastError().text());
    return q.value(0).toInt();
}

// Refuses a grant on a branch and company that are no establishment of the
// database, saying which of them is missing: a permission nobody could use.
void requireEstablishment(QSqlDatabase& db, const QString& branch, const QString& company) {
    if (anyRow(db, kEstablishmentSql, {branch, company, branch, company}))
        return;
    if (!anyRow(db, kBranchSql, {branch}))
        throw AccessError(QStringLiteral("A filial %1 não existe.").arg(branch));
    if (!anyRow(db, kCompanySql, {company}))
        throw AccessError(QStringLiteral("A empresa %1 não existe.").arg(company));
    throw AccessError(
        QStringLiteral("A empresa %1 não opera na filial %2: não é um estabelecimento do banco.")
            .arg(company, branch));
}

// An empty listing says so, on standard error: standard output stays the
// rows alone, for scripts.
void sayWhenEmpty(bool empty, const char* what) {
    if (empty)
        std::fprintf(stderr, "zav-admin: %s\n", what);
}

// What a command of the operators, their permissions or their sessions works
// with.
struct Command {
    const QStringList& args;
    qint64 now;
    QString program; // --program, of a permission
    zavserver::OperatorStore& operators;
    zavserver::SessionStore& sessions;
    QTextStream& out;
    QSqlDatabase& db;
};

zavserver::Grant grantOf(const Command& c) {
    return zavserver::Grant{zavserver::credentials::operatorCode(arg(c.args, 1, "o operador")), c.program,
                            arg(c.args, 2, "a filial"), arg(c.args, 3, "a empresa")};
}

// add-operator, set-password, disable-operator, enable-operator, operators;
// false for any other command.
bool runOperatorCommand(const QString& command, const QCommandLineParser& parser, const Command& c) {
    if (command == u"add-operator") {
        const QString code = zavserver::credentials::operatorCode(arg(c.args, 1, "o operador"));
        c.operators.create(code, parser.value(QStringLiteral("name")), newPassword(parser));
        c.out << "operador " << code << " criado" << Qt::endl;
    } else if (command == u"set-password") {
        const QString code = zavserver::credentials::operatorCode(arg(c.args, 1, "o operador"));
        c.operators.setPassword(code, newPassword(parser), c.now);
        c.out << "senha de " << code << " trocada; as sessões abertas foram encerradas" << Qt::endl;
    } else if (command == u"disable-operator" || command == u"enable-operator") {
        const bool enable = command == u"enable-operator";
        c.operators.setActive(arg(c.args, 1, "o operador"), enable, c.now);
        c.out << "operador " << zavserver::credentials::operatorCode(c.args.at(1))
              << (enable ? " ativado" : " desativado; as sessões abertas foram encerradas") << Qt::endl;
    } else if (command == u"operators") {
        const QList<zavserver::OperatorRecord> all = c.operators.all();
        for (const zavserver::OperatorRecord& o : all)
            c.out << o.code << '\t' << (o.active ? "ativo" : "inativo") << '\t' << o.name << Qt::endl;
        sayWhenEmpty(all.isEmpty(), "nenhum operador cadastrado");
    } else {
        return false;
    }
    return true;
}

// grant, grant-all, revoke, grants; false for any other command.
bool runGrantCommand(const QString& command, const Command& c) {
    if (command == u"grant") {
        const zavserver::Grant g = grantOf(c);
        requireEstablishment(c.db, g.branch, g.company);
        c.operators.grant(g);
        c.out << g.operatorCode << " pode usar " << g.program << " na filial " << g.branch << ", empresa "
              << g.company << Qt::endl;
    } else if (command == u"grant-all") {
        const QString code = zavserver::credentials::operatorCode(arg(c.args, 1, "o operador"));
        const int establishments = establishmentCount(c.db);
        if (establishments == 0)
            throw AccessError(QStringLiteral("O banco não tem nenhum estabelecimento (FILIAL e EMPRCNTRFIL "
                                             "vazias): nada foi concedido a %1.")
                                  .arg(code));
        const int added = c.operators.grantEverywhere(code, c.program);
        if (added == 0)
            c.out << code << " já podia usar " << c.program << " em todos os " << establishments
                  << " estabelecimentos: nada de novo" << Qt::endl;
        else
            c.out << code << " pode usar " << c.program << " em todos os " << establishments
                  << " estabelecimentos (" << added << " novos)" << Qt::endl;
    } else if (command == u"revoke") {
        const zavserver::Grant g = grantOf(c);
        if (!c.operators.revoke(g))
            throw AccessError(QStringLiteral("%1 não tinha essa permissão.").arg(g.operatorCode));
        c.out << "permissão revogada" << Qt::endl;
    } else if (command == u"grants") {
        const QList<zavserver::Grant> grants = c.operators.grants(c.args.value(1));
        for (const zavserver::Grant& g : grants)
            c.out << g.operatorCode << '\t' << g.program << '\t' << g.branch << '\t' << g.company << Qt::endl;
        sayWhenEmpty(grants.isEmpty(), "nenhuma permissão");
    } else {
        return false;
    }
    return true;
}

// sessions, end-session, end-sessions; false for any other command.
bool runSessionCommand(const QString& command, const Command& c) {
    if (command == u"sessions") {
        const QString code =
            c.args.size() > 1 ? zavserver::credentials::operatorCode(c.args.at(1)) : QString();
        const QList<zavserver::SessionRecord> open = c.sessions.open(code, c.now);
        for (const zavserver::SessionRecord& s : open)
            c.out << s.id << '\t' << s.operatorCode << '\t' << s.address << '\t' << instant(s.started) << '\t'
                  << instant(s.expires) << Qt::endl;
        sayWhenEmpty(open.isEmpty(), "nenhuma sessão aberta");
    } else if (command == u"end-session") {
        const int n = c.sessions.revoke(arg(c.args, 1, "a sessão"), c.now);
        if (n == 0)
            throw AccessError(
                QStringLiteral("Nenhuma sessão aberta com o identificador %1.").arg(c.args.at(1)));
        c.out << "sessão encerrada" << Qt::endl;
    } else if (command == u"end-sessions") {
        const QString code = zavserver::credentials::operatorCode(arg(c.args, 1, "o operador"));
        c.out << c.sessions.revokeOperator(code, c.now) << " sessões encerradas" << Qt::endl;
    } else {
        return false;
    }
    return true;
}

int run(const QCommandLineParser& parser, QSqlDatabase& db) {
    QTextStream out(stdout);
    const QStringList args = parser.positionalArguments();
    const QString command = arg(args, 0, "o comando");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    zavserver::OperatorStore operators(db);
    zavserver::SessionStore sessions(db, {});
    const Command c{args, now, parser.value(QStringLiteral("program")), operators, sessions, out, db};
    if (command == u"approve-late")
        return approveLate(parser, db, out);
    if (command == u"export-events")
        return exportEvents(parser, db, out);
    if (!runOperatorCommand(command, parser, c) && !runGrantCommand(command, c) &&
        !runSessionCommand(command, c))
        throw AccessError(QStringLiteral("Comando desconhecido: %1 (veja --help).").arg(command));
    return 0;
}

// The commands and options, described for --help.
void describeCommandLine(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Operadores do servidor de aplicação, suas senhas, permissões e sessões; os cancelamentos\n"
        "registrados como arquivos.\n\n"
        "Comandos:\n"
        "  add-operator CODIGO [--name NOME] [--password-file ARQ]\n"
        "  set-password CODIGO [--password-file ARQ]\n"
        "  disable-operator CODIGO | enable-operator CODIGO\n"
        "  operators\n"
        "  grant CODIGO FILIAL EMPRESA [--program P]\n"
        "  grant-all CODIGO [--program P]   todos os estabelecimentos\n"
        "  revoke CODIGO FILIAL EMPRESA [--program P]\n"
        "  grants [CODIGO]\n"
        "  sessions [CODIGO]\n"
        "  end-session ID | end-sessions CODIGO\n"
        "  export-events --out PASTA (NRLANCTONF ... | --from AAAA-MM-DD --to AAAA-MM-DD)\n"
        "      grava o procEventoNFe de cada cancelamento registrado como <chave>-procEventoNFe.xml\n"
        "  approve-late NRLANCTONF --until AAAA-MM-DD --reference TEXTO\n"
        "      a SEFAZ autorizou o cancelamento fora do prazo dessa nota: o servidor o envia até o dia "
        "dado\n\n"
        "A senha vem de um arquivo que só o dono lê (a primeira linha) ou é pedida no terminal."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("db"), QStringLiteral("Banco de dados do ERP (texto de conexão, sem a senha)."),
         QStringLiteral("texto")},
        {QStringLiteral("db-password-file"),
         QStringLiteral(
             "Arquivo (modo 600) com a senha do banco PostgreSQL na primeira linha (sem ele, o libpq "
             "a procura no PGPASSFILE ou em ~/.pgpass)."),
         QStringLiteral("arquivo")},
        {QStringLiteral("name"), QStringLiteral("Nome do operador."), QStringLiteral("nome")},
        {QStringLiteral("password-file"), QStringLiteral("Arquivo (modo 600) com a senha na primeira linha."),
         QStringLiteral("arquivo")},
        {QStringLiteral("program"), QStringLiteral("Programa da permissão (padrão ZAV50000)."),
         QStringLiteral("programa"), QLatin1String(zavserver::OperatorStore::kProgram)},
        {QStringLiteral("out"), QStringLiteral("Pasta dos arquivos de export-events."),
         QStringLiteral("pasta")},
        {QStringLiteral("from"), QStringLiteral("Primeiro dia dos cancelamentos (export-events)."),
         QStringLiteral("AAAA-MM-DD")},
        {QStringLiteral("to"), QStringLiteral("Último dia dos cancelamentos (export-events)."),
         QStringLiteral("AAAA-MM-DD")},
        {QStringLiteral("until"), QStringLiteral("Último dia da autorização (approve-late)."),
         QStringLiteral("AAAA-MM-DD")},
        {QStringLiteral("reference"),
         QStringLiteral("A autorização da SEFAZ: processo, protocolo (approve-late)."),
         QStringLiteral("texto")},
    });
    parser.addPositionalArgument(QStringLiteral("comando"), QStringLiteral("O que fazer (veja acima)."));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zav-admin"));
    QCommandLineParser parser;
    describeCommandLine(parser);
    parser.process(app);
    if (!parser.isSet(QStringLiteral("db"))) {
        std::fprintf(stderr, "zav-admin: informe o banco com --db.\n");
        return 2;
    }
    QString connection = parser.value(QStringLiteral("db"));
    if (parser.isSet(QStringLiteral("db-password-file"))) {
        QString problem;
        connection = zavserver::withPasswordFile(connection, parser.value(QStringLiteral("db-password-file")),
                                                 &problem);
        if (connection.isEmpty()) {
            std::fprintf(stderr, "zav-admin: %s\n", problem.toLocal8Bit().constData());
            return 2;
        }
    }
    int status = 1;
    try {
        QSqlDatabase db = zavdb::open(connection, QLatin1String(kConnection));
        // A database of another schema version is refused: which, and how to upgrade it.
        zavdb::requireSchemaVersion(db);
        status = run(parser, db);
        db.close();
    } catch (const AccessError& e) {
        std::fprintf(stderr, "zav-admin: %s\n", e.text().toLocal8Bit().constData());
    } catch (const zavdb::DatabaseError& e) {
        std::fprintf(stderr, "zav-admin: %s\n", e.text().toLocal8Bit().constData());
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return status;
}
