// An upgrade that loses nothing, on SQLite and PostgreSQL: a database at the
// shipped version, filled through the real server, a real local authority
// and zav-admin (operators, grants, sessions open and ended, signed events
// pending, registered and rejected, cancellations, a late approval, a
// pause), is upgraded by zav-dbinit to one more migration (the test's own, a
// real change: a column filled from the rows, a table made from them, an
// index); every row of every table is there after it, and a server of the
// new version concludes the event left pending before.
#include "cancelfixture.h"
#include "migrations.h"
#include "nfeworld.h"
#include "schema.h"
#include "serverprocess.h"
#include "testdb.h"

#include <QDate>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

using namespace canceltest;

namespace {

// Every row of every table, each as its "COLUMN=value" cells in column
// order, the rows sorted: what an upgrade must keep.
using Snapshot = QMap<QString, QStringList>;

QString cell(const QVariant& v) {
    if (v.isNull())
        return QStringLiteral("<null>");
    if (v.typeId() == QMetaType::QDate)
        return v.toDate().toString(Qt::ISODate);
    return v.toString();
}

Snapshot snapshot(QSqlDatabase& db, const Snapshot& columnsOf = {}) {
    Snapshot rows;
    for (const QString& name : db.tables(QSql::Tables)) {
        const QString table = name.toUpper();
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT * FROM %1").arg(table))) {
            rows.insert(table, {QStringLiteral("ERROR: ") + q.lastError().text()});
            continue;
        }
        QStringList list;
        while (q.next()) {
            const QSqlRecord r = q.record();
            QStringList cells;
            for (int i = 0; i < r.count(); ++i) {
                const QString column = r.fieldName(i).toUpper();
                // After the upgrade, the columns there were before.
                if (columnsOf.contains(table) && !columnsOf.value(table).contains(column))
                    continue;
                cells.append(column + u'=' + cell(r.value(i)));
            }
            list.append(cells.join(u'|'));
        }
        list.sort();
        rows.insert(table, list);
    }
    return rows;
}

// The columns of each table.
Snapshot columns(QSqlDatabase& db) {
    Snapshot all;
    for (const QString& name : db.tables(QSql::Tables)) {
        const QSqlRecord r = db.record(name);
        QStringList list;
        for (int i = 0; i < r.count(); ++i)
            list.append(r.fieldName(i).toUpper());
        all.insert(name.toUpper(), list);
    }
    return all;
}

int rowsWhere(QSqlDatabase& db, const QString& sql) {
    return scalar(db, sql).toInt();
}

// The test's migration: a column filled from the rows there, a table made
// from them, an index, on both databases.
const QByteArray kChange = "ALTER TABLE OPERADOR ADD COLUMN DSEMAIL VARCHAR(120);\n"
                           "UPDATE OPERADOR SET DSEMAIL = LOWER(CDOPERADOR) || '@empresa.example';\n"
                           "CREATE TABLE ZAVTESTE_EVENTOS (\n"
                           "    IDSITUACAO VARCHAR(1) NOT NULL,\n"
                           "    NREVENTOS  INTEGER    NOT NULL,\n"
                           "    CONSTRAINT ZAVTESTE_EVENTOS_PK PRIMARY KEY (IDSITUACAO)\n"
                           ");\n"
                           "INSERT INTO ZAVTESTE_EVENTOS (IDSITUACAO, NREVENTOS)\n"
                           "    SELECT IDSITUACAO, COUNT(*) FROM NFEEVENTO GROUP BY IDSITUACAO;\n"
                           "CREATE INDEX ZAVTESTE_NFEEVENTO_IX ON NFEEVENTO (IDSITUACAO, DHCRIACAO);\n";

struct Admin {
    int code = -1;
    QString text;
};

Admin admin(const QString& connection, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(ZAV_BIN_DIR "/zav-admin"), QStringList{QStringLiteral("--db"), connection} + args);
    const int code = exitCodeWithin(p, 60000);
    return {code, QString::fromUtf8(p.readAll())};
}

// Ticks invoices and asks the server for their cancellation under kOperator.
Answer cancel(ServerProcess& server, const Establishment& e, const Registration& r,
              const QList<int>& ticked) {
    Client client(server.port());
    QString why;
    InvoiceList list = InvoiceList::fetch(client, e, issueDayOf(1), issueDayOf(1000), &why);
    Answer a;
    if (!why.isEmpty()) {
        a.errorCode = -1;
        a.errorMessage = why;
        return a;
    }
    for (int n : ticked)
        list.tick(entryOf(n), kReason);
    return client.cancel(list.packet(), kOperator, today(), r);
}

} // namespace

class tst_upgrade : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

private Q_SLOTS:
    void filledDatabaseLosesNothing_data() { zavtest::addDialectRows("filled at the shipped version"); }
    void filledDatabaseLosesNothing() {
        ZAV_FRESH_DATABASE(m_dbs, db);
        const QString text = m_dbs.connectionText(dialect);
        const Establishment e = mainEstablishment(db);
        const Registration r = registrationOf(db, e);
        QCOMPARE(insertInvoices(db, e, 1, 6, 'A', true), QString());
        NfeWorld nfe;
        QCOMPARE(nfe.certificates(db), QString());

        // A pause: the authority answers 108, and every server leaves it alone
        // for a while (a row of SEFAZPAUSA, named by this authority's port).
        QCOMPARE(nfe.startAuthority(text, {QStringLiteral("--paused"), QStringLiteral("108")}), QString());
        auto server = std::make_unique<ServerProcess>();
        QString why;
        QVERIFY2(server->start(text, nfe.serverArguments(), &why), qPrintable(why));
        QCOMPARE(signIn(*server, text, {kOperator, QStringLiteral("MARIA")}), QString());
        const Answer paused = cancel(*server, e, r, {4});
        QVERIFY2(paused.failures.size() == 1, qPrintable(paused.describe()));
        QCOMPARE(rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM SEFAZPAUSA")), 1);
        server->terminate();
        nfe.authority().terminate();

        // Another authority, which registers the first batch and drops its
        // answer: a pending event; then one registered, one rejected.
        QCOMPARE(nfe.startAuthority(text, {QStringLiteral("--drop-answers"), QStringLiteral("1")}),
                 QString());
        const int firstPort = server->port();
        server = std::make_unique<ServerProcess>();
        QVERIFY2(server->start(text, nfe.serverArguments(), &why), qPrintable(why));
        carrySessions(firstPort, server->port());
        const Answer dropped = cancel(*server, e, r, {1});
        QVERIFY2(dropped.failures.size() == 1 && dropped.failures.at(0).key == u"fa_transmi",
                 qPrintable(dropped.describe()));
        const Answer registered = cancel(*server, e, r, {2});
        QVERIFY2(registered.null, qPrintable(registered.describe()));
        const QString protocol = scalar(
            db, QStringLiteral("SELECT NRPROTOCOLONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"), {entryOf(3)});
        QCOMPARE(
            exec(db, QStringLiteral("UPDATE NOTAFISCAL SET NRPROTOCOLONFE = ? WHERE NRLANCTONF = ?"),
                 {protocol.left(14) + QString::number((protocol.at(14).digitValue() + 1) % 10), entryOf(3)}),
            QString());
        const Answer rejected = cancel(*server, e, r, {3});
        QVERIFY2(rejected.failures.size() == 1, qPrintable(rejected.describe()));

        // zav-admin: a late approval, a grant taken back and given again, the
        // sessions of one operator ended.
        const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
        Admin a =
            admin(text, {QStringLiteral("approve-late"), entryOf(5), QStringLiteral("--until"), tomorrow,
                         QStringLiteral("--reference"), QStringLiteral("Processo SEFAZ 2026/000777")});
        QVERIFY2(a.code == 0, qPrintable(a.text));
        a = admin(text, {QStringLiteral("revoke"), QStringLiteral("MARIA"), e.branch, e.company});
        QVERIFY2(a.code == 0, qPrintable(a.text));
        a = admin(text, {QStringLiteral("grant"), QStringLiteral("MARIA"), e.branch, e.company});
        QVERIFY2(a.code == 0, qPrintable(a.text));
        a = admin(text, {QStringLiteral("end-sessions"), QStringLiteral("MARIA")});
        QVERIFY2(a.code == 0, qPrintable(a.text));
        server->terminate();

        // What the fill is said to hold, it holds.
        QCOMPARE(
            scalar(db, QStringLiteral("SELECT IDSITUACAO FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entryOf(1)}),
            QStringLiteral("P"));
        QCOMPARE(
            scalar(db, QStringLiteral("SELECT IDSITUACAO FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entryOf(2)}),
            QStringLiteral("R"));
        QCOMPARE(
            scalar(db, QStringLiteral("SELECT IDSITUACAO FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entryOf(3)}),
            QStringLiteral("J"));
        QCOMPARE(rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")), 1);
        QCOMPARE(rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM CANCEXTEMPNFE")), 1);
        QCOMPARE(rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM OPERADOR")), 2);
        QVERIFY(rowsWhere(
                    db, QStringLiteral("SELECT COUNT(*) FROM PERMISSAOOPER WHERE CDOPERADOR = 'MARIA'")) > 0);
        QVERIFY(rowsWhere(
                    db, QStringLiteral("SELECT COUNT(*) FROM SESSAOOPER WHERE DHENCERRADA IS NOT NULL")) > 0);
        QVERIFY(rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM SESSAOOPER WHERE DHENCERRADA IS NULL")) >
                0);
        QCOMPARE(
            rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM TITULORECEBER WHERE IDSITUACAOTIT = 'C'")), 1);

        const Snapshot before = snapshot(db);
        const Snapshot columnsBefore = columns(db);
        QVERIFY(before.contains(QStringLiteral("NFEEVENTO")));

        QTemporaryDir dir;
        const zavtest::ExtendedSchema schema =
            zavtest::extendSchema(dir.path(), {{QStringLiteral("010-change.sql"), kChange}},
                                  QStringLiteral("e-mail dos operadores, eventos por situação"), &why);
        QVERIFY2(!schema.folder.isEmpty(), qPrintable(why));
        const zavtest::SchemaDirectory use(schema.folder);
        QProcess upgrade;
        upgrade.setProcessChannelMode(QProcess::MergedChannels);
        upgrade.start(QStringLiteral(ZAV_BIN_DIR "/zav-dbinit"),
                      {QStringLiteral("--db"), text, QStringLiteral("--upgrade")});
        QCOMPARE(exitCodeWithin(upgrade, 120000), 0);
        const QString told = QString::fromUtf8(upgrade.readAll());
        QVERIFY2(told.contains(QStringLiteral("Migração %1 aplicada").arg(schema.version)), qPrintable(told));
        QCOMPARE(zavdb::schemaState(db).version, schema.version);

        // Every row of every table, as it was.
        const Snapshot after = snapshot(db, columnsBefore);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.key() == QLatin1String(zavdb::kVersionTable))
                continue;
            QCOMPARE(after.value(it.key()), it.value());
        }
        QCOMPARE(after.value(QLatin1String(zavdb::kVersionTable)).size(), schema.version);
        // The change itself, made from the rows.
        QCOMPARE(scalar(db, QStringLiteral("SELECT DSEMAIL FROM OPERADOR WHERE CDOPERADOR = 'MARIA'")),
                 QStringLiteral("maria@empresa.example"));
        QCOMPARE(scalar(db, QStringLiteral("SELECT NREVENTOS FROM ZAVTESTE_EVENTOS WHERE IDSITUACAO = 'P'")),
                 QStringLiteral("1"));
        QCOMPARE(rowsWhere(db, QStringLiteral("SELECT SUM(NREVENTOS) FROM ZAVTESTE_EVENTOS")),
                 rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO")));

        // A server of the new version goes on: the pending event is concluded
        // (asked of the authority, not sent again), under the session that
        // signed it.
        const int beforePort = server->port();
        server = std::make_unique<ServerProcess>();
        QVERIFY2(server->start(text, nfe.serverArguments(), &why), qPrintable(why));
        carrySessions(beforePort, server->port());
        const Answer concluded = cancel(*server, e, r, {1});
        QVERIFY2(concluded.null, qPrintable(concluded.describe()));
        QCOMPARE(scalar(db, QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                        {entryOf(1)}),
                 QStringLiteral("C"));
        QCOMPARE(
            scalar(db, QStringLiteral("SELECT IDSITUACAO FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entryOf(1)}),
            QStringLiteral("R"));
        QCOMPARE(scalar(db, QStringLiteral("SELECT DSMOTIVOCANC FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                        {entryOf(1)}),
                 kReason);
        QCOMPARE(rowsWhere(db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")), 2);
        server->terminate();
    }
};

QTEST_GUILESS_MAIN(tst_upgrade)
#include "tst_upgrade.moc"
