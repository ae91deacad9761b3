// Cancela_NotaFiscal as its callers meet it: a real zav50000-server process on
// loopback, over HTTP, on a fresh SQLite or PostgreSQL database per test that
// writes, with invoices written by the test on days far from the demo's.
#include "cancelfixture.h"
#include "nfeworld.h"
#include "serverprocess.h"
#include "testdb.h"

#include <QCborArray>
#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>
#include <QTest>
#include <QThread>

#include <csignal>
#include <map>

using namespace canceltest;

namespace {

const QString kAlreadyCancelled = QStringLiteral("Nota fiscal já cancelada.");

struct Setup {
    QSqlDatabase db;
    std::unique_ptr<NfeWorld> world;
    std::unique_ptr<ServerProcess> server;
    Establishment e;
    Registration r;
};

// The entries and states of the invoices first .. last, and of their
// receivables, to compare before and after.
QString snapshot(QSqlDatabase& db, int first, int last) {
    QStringList lines;
    for (int n = first; n <= last; ++n)
        lines.append(
            QStringLiteral("%1 %2 %3 [%4]")
                .arg(entryOf(n),
                     scalar(db, QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                            {entryOf(n)}),
                     scalar(db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                            {entryOf(n)}),
                     scalar(
                         db,
                         QStringLiteral("SELECT MIN(IDSITUACAOTIT) || MAX(IDSITUACAOTIT) FROM TITULORECEBER "
                                        "WHERE NRLANCTONF = ?"),
                         {entryOf(n)})));
    return lines.join(u'\n');
}

QString state(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                  {entryOf(n)});
}
int records(QSqlDatabase& db, const QString& entry) {
    return scalar(db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"), {entry})
        .toInt();
}
QString receivables(QSqlDatabase& db, int n) {
    QStringList states;
    for (int p = 1; p <= 2; ++p)
        states.append(scalar(db,
                             QStringLiteral("SELECT IDSITUACAOTIT FROM TITULORECEBER WHERE NRLANCTONF = ? "
                                            "AND NRPARCELA = ?"),
                             {entryOf(n), p}));
    return states.join(QString());
}

} // namespace

class TstCancel : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

    // A fresh database on the dialect, the demo establishment and its
    // registration, and a server on it.
    zavtest::Readiness fresh(const QString& dialect, Setup& s, bool startServer = true,
                             const QStringList& authorityArguments = {}) {
        if (zavtest::Readiness ready = zavtest::useFreshDatabase(m_dbs, dialect, &s.db); !ready.isReady())
            return ready;
        QString why;
        s.e = mainEstablishment(s.db);
        s.r = registrationOf(s.db, s.e);
        if (s.e.branch.isEmpty() || s.e.stateCode.size() != 2 || s.r.certificate.isEmpty())
            return zavtest::Readiness::fail(
                QStringLiteral("the demo needs a branch with invoices and a certificate"));
        s.world = std::make_unique<NfeWorld>();
        if (!(why = s.world->certificates(s.db)).isEmpty())
            return zavtest::Readiness::fail(why);
        if (startServer) {
            if (!(why = s.world->startAuthority(m_dbs.connectionText(dialect), authorityArguments)).isEmpty())
                return zavtest::Readiness::fail(why);
            s.server = std::make_unique<ServerProcess>();
            if (!s.server->start(m_dbs.connectionText(dialect), s.world->serverArguments(), &why))
                return zavtest::Readiness::fail(why);
            if (!(why = signIn(*s.server, m_dbs.connectionText(dialect),
                               {kOperator, QStringLiteral("OPERA"), QStringLiteral("OPERB")}))
                     .isEmpty())
                return zavtest::Readiness::fail(why);
        }
        return zavtest::Readiness::ready();
    }

private Q_SLOTS:
    void everyBlockStopsItsInvoiceOnly_data() { zavtest::addDialectRows("fresh database"); }
    void everyBlockStopsItsInvoiceOnly();
    void anInvoiceIsOfTheDayItWasWrittenOn_data() { zavtest::addDialectRows("fresh database"); }
    void anInvoiceIsOfTheDayItWasWrittenOn();
    void demoDatabaseShowsEveryBlock_data() { zavtest::addDialectRows("fresh database"); }
    void demoDatabaseShowsEveryBlock();
    void cancelledOnceRecordedAndGoneFromTheList_data() { zavtest::addDialectRows("fresh database"); }
    void cancelledOnceRecordedAndGoneFromTheList();
    void reasonRule_data() { zavtest::addDialectRows("fresh database"); }
    void reasonRule();
    void serverChecksTheInvoiceAgain_data() { zavtest::addDialectRows("fresh database"); }
    void serverChecksTheInvoiceAgain();
    void registrationChecks_data();
    void registrationChecks();
    void badArguments_data();
    void badArguments();
    void concurrentCallersCancelEachInvoiceOnce_data();
    void concurrentCallersCancelEachInvoiceOnce();
    void killDuringBatchLeavesEachInvoiceWholeOrUntouched_data() {
        zavtest::addDialectRows("fresh database");
    }
    void killDuringBatchLeavesEachInvoiceWholeOrUntouched();
};

#define FRESH(s, ...)                                                                                        \
    QFETCH(QString, dialect);                                                                                \
    Setup s;                                                                                                 \
    ZAV_READY(fresh(dialect, s __VA_OPT__(, ) __VA_ARGS__))

#define LIST(client, s, from, to, list)                                                                      \
    QString list##Why_;                                                                                      \
    InvoiceList list = InvoiceList::fetch(client, (s).e, from, to, &list##Why_);                             \
    QVERIFY2(list##Why_.isEmpty(), qPrintable(list##Why_))

void TstCancel::everyBlockStopsItsInvoiceOnly() {
    FRESH(s);
    QCOMPARE(insertInvoices(s.db, s.e, 1, 14, 'A', true), QString());
    const QString otherBranch = scalar(s.db,
                                       QStringLiteral("SELECT CDFILIAL FROM FILIAL WHERE CDFILIAL <> ? AND "
                                                      "CDEMPRESA = ? ORDER BY 1"),
                                       {s.e.branch, s.e.company});
    const QString otherRegistration =
        scalar(s.db,
               QStringLiteral("SELECT CDINSCESTA FROM INSCRESTAD WHERE CDEMPRESA = ? "
                              "AND CDINSCESTA <> ? ORDER BY 1"),
               {s.e.company, s.e.stateRegistration});
    QVERIFY(!otherBranch.isEmpty() && !otherRegistration.isEmpty());
    const QString period = QStringLiteral("INSERT INTO PERIODOCONTABIL VALUES (?, ?, ?, ?, ?)");
    const QString map =
        QStringLiteral("INSERT INTO MAPAAPURACAO VALUES (?, ?, ?, ?, '2019-12-31T18:00:00-03:00')");
    const QString setReceivable =
        QStringLiteral("UPDATE TITULORECEBER SET IDSITUACAOTIT = ? WHERE NRLANCTONF = ?");
    const QString addReceivable =
        QStringLiteral("INSERT INTO TITULORECEBER VALUES (?, 2, '2019-12-31', 10, ?)");
    // 1: its day in a closed period; 2: its day apportioned; 3..10: one
    // receivable state each; 11: two instalments, the first state in the
    // order of the keys wins.
    QCOMPARE(exec(s.db, period, {s.e.company, s.e.branch, issueDayOf(1), issueDayOf(1), "F"}), QString());
    QCOMPARE(exec(s.db, map, {s.e.company, s.e.stateRegistration, issueDayOf(2), issueDayOf(2)}), QString());
    const char states[] = "BPRJENSD";
    for (int i = 0; i < 8; ++i)
        QCOMPARE(exec(s.db, setReceivable, {QString(QLatin1Char(states[i])), entryOf(3 + i)}), QString());
    QCOMPARE(exec(s.db, setReceivable, {"D", entryOf(11)}), QString());
    QCOMPARE(exec(s.db, addReceivable, {entryOf(11), "B"}), QString());
    // 12: an open period and an open receivable; 13: a cancelled receivable
    // beside an open one; 14: a closed period of another branch and an
    // apportionment of another registration on its day: none of them blocks.
    QCOMPARE(exec(s.db, period, {s.e.company, s.e.branch, issueDayOf(12), issueDayOf(13), "A"}), QString());
    QCOMPARE(exec(s.db, addReceivable, {entryOf(13), "C"}), QString());
    QCOMPARE(exec(s.db, period, {s.e.company, otherBranch, issueDayOf(14), issueDayOf(14), "F"}), QString());
    QCOMPARE(exec(s.db, map, {s.e.company, otherRegistration, issueDayOf(14), issueDayOf(14)}), QString());
    const QString before = snapshot(s.db, 1, 11);

    Client client(s.server->port());
    LIST(client, s, issueDayOf(1), issueDayOf(14), list);
    QCOMPARE(list.size(), 14);
    list.tickAll(kReason);
    list.reverse(); // failures come in the order of the request, not of the entries
    const Answer a = client.cancel(list.packet(), kOperator, today(), s.r);
    QList<Failure> expected;
    const char* keys[] = {"MS02", "MapaApurado", "MS03", "MS04", "MS05", "MS06",
                          "MS07", "MS08",        "MS09", "MS10", "MS03"};
    for (int n = 11; n >= 1; --n)
        expected.append({entryOf(n), QLatin1String(keys[n - 1]), QString()});
    QCOMPARE(a.failures, expected);
    QCOMPARE(a.fieldNames, (QStringList{"NRLANCTONF", "CDERRO", "DSERRO", "IDSITUACAO"}));
    QCOMPARE(a.situations, QStringList(11, QStringLiteral("N"))); // blocked: not cancelled
    QCOMPARE(a.fields.at(1).value(QStringLiteral("size")).toInteger(), 100);

    QCOMPARE(snapshot(s.db, 1, 11), before); // nothing of a blocked invoice changed
    for (int n = 12; n <= 14; ++n) {
        QCOMPARE(state(s.db, n), QStringLiteral("C"));
        QCOMPARE(records(s.db, entryOf(n)), 1);
    }
    QCOMPARE(receivables(s.db, 12), QStringLiteral("C")); // open: cancelled with its invoice
    QCOMPARE(receivables(s.db, 13), QStringLiteral("CC"));
    QCOMPARE(receivables(s.db, 14), QStringLiteral("C"));
}

// An invoice written with its time and offset (late in the evening in Brasília,
// the next day in UTC; early in the morning east of UTC, the day before in
// UTC) is listed on the day written and checked against the closed periods on
// that same day.
void TstCancel::anInvoiceIsOfTheDayItWasWrittenOn() {
    FRESH(s);
    QCOMPARE(insertInvoices(s.db, s.e, 1, 3, 'A', true), QString());
    const QDate day = issueDayOf(1);
    const QString iso = day.toString(Qt::ISODate);
    const QString setDay = QStringLiteral("UPDATE NOTAFISCAL SET DTEMISSAO = ? WHERE NRLANCTONF = ?");
    QCOMPARE(exec(s.db, setDay, {iso + QStringLiteral("T23:30:00-03:00"), entryOf(1)}), QString());
    QCOMPARE(exec(s.db, setDay, {iso + QStringLiteral("T00:30:00+03:00"), entryOf(2)}), QString());
    QCOMPARE(exec(s.db, setDay, {day.addDays(1).toString(Qt::ISODate), entryOf(3)}), QString());
    // The period closed on that day and ending on it.
    QCOMPARE(exec(s.db, QStringLiteral("INSERT INTO PERIODOCONTABIL VALUES (?, ?, ?, ?, 'F')"),
                  {s.e.company, s.e.branch, day.addDays(-5), day}),
             QString());
    Client client(s.server->port());
    LIST(client, s, day, day, list);
    QCOMPARE(list.size(), 2); // both of that day, and not the next day's
    list.tickAll(kReason);
    const Answer a = client.cancel(list.packet(), kOperator, today(), s.r);
    QVERIFY2(a.errorCode == 0, qPrintable(a.describe()));
    QCOMPARE(a.failures.size(), 2);
    for (const Failure& f : a.failures)
        QCOMPARE(f.key, QStringLiteral("MS02"));
    QCOMPARE(state(s.db, 1), QStringLiteral("A"));
    QCOMPARE(state(s.db, 2), QStringLiteral("A"));
}

void TstCancel::demoDatabaseShowsEveryBlock() {
    FRESH(s);
    Client client(s.server->port());
    LIST(client, s, QDate::currentDate().addDays(-70), QDate::currentDate(), list);
    QVERIFY(list.size() > 11);
    list.tickAll(kReason);
    const Answer a = client.cancel(list.packet(), kOperator, today(), s.r);
    QSet<QString> keys;
    for (const Failure& f : a.failures) {
        QVERIFY2(f.text.isEmpty(), qPrintable(a.describe()));
        keys.insert(f.key);
    }
    QCOMPARE(keys, (QSet<QString>{"MS02", "MapaApurado", "MS03", "MS04", "MS05", "MS06", "MS07", "MS08",
                                  "MS09", "MS10"}));
    const int cancelled = scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")).toInt();
    QCOMPARE(cancelled + a.failures.size(), list.size());
    QVERIFY(cancelled > 0);
}

void TstCancel::cancelledOnceRecordedAndGoneFromTheList() {
    FRESH(s);
    QCOMPARE(insertInvoices(s.db, s.e, 1, 3, 'A', true), QString());
    Client client(s.server->port());
    LIST(client, s, issueDayOf(1), issueDayOf(3), list);
    QCOMPARE(list.size(), 3);
    QVERIFY(list.tick(entryOf(1), QStringLiteral("   ") + kReason + QStringLiteral(" \t")));
    QVERIFY(list.tick(entryOf(2), kReason));
    const QString date = today(); // the branch's processing date
    // The recorded instant is compared as an instant: its offset is the state's, not this machine's.
    const QDateTime sentFrom = QDateTime::currentDateTimeUtc().addSecs(-1);
    const Answer a = client.cancel(list.packet(), kOperator, date, s.r);
    const QDateTime sentUntil = QDateTime::currentDateTimeUtc().addSecs(1);
    QVERIFY2(a.null, qPrintable(a.describe()));

    QSqlQuery q(s.db);
    QVERIFY(q.prepare(
        QStringLiteral("SELECT CDOPERADOR, DTPROCESSAMENTO, DSMOTIVOCANC, IDTPAMBIENTENFE, SGESTADO, "
                       "NRSERIECERTIFIC, DHCANCELAMENTO, CDSTATUSEVENTO, DSSTATUSEVENTO, "
                       "NRPROTOCOLOCANC, DHREGEVENTO, VERAPLIC FROM CANCELAMENTONFE "
                       "WHERE NRLANCTONF = ?")));
    q.bindValue(0, entryOf(1));
    QVERIFY(q.exec() && q.next());
    QCOMPARE(q.value(0).toString(), kOperator);
    QCOMPARE(q.value(1).toDate(), QDate::fromString(date, Qt::ISODate));
    QCOMPARE(q.value(2).toString(), kReason); // as sent, without the blanks around it
    QCOMPARE(q.value(3).toString(), s.r.environment);
    QCOMPARE(q.value(4).toString(), s.r.state);
    QCOMPARE(q.value(5).toString(), s.r.certificate);
    // The demo's registration is in a state on -03:00.
    static const QRegularExpression time(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d-03:00$"));
    QVERIFY2(time.match(q.value(6).toString()).hasMatch(), qPrintable(q.value(6).toString()));
    const QDateTime recorded = QDateTime::fromString(q.value(6).toString(), Qt::ISODate);
    QVERIFY2(sentFrom <= recorded && recorded <= sentUntil, qPrintable(q.value(6).toString()));
    QCOMPARE(q.value(7).toString(), QStringLiteral("135"));
    QVERIFY(!q.value(8).toString().isEmpty());
    const QString protocol = q.value(9).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^") + s.e.stateCode + QStringLiteral("\\d{13}$"))
                 .match(protocol)
                 .hasMatch(),
             qPrintable(protocol));
    QVERIFY2(time.match(q.value(10).toString()).hasMatch(), qPrintable(q.value(10).toString()));
    QCOMPARE(q.value(11).toString(), QStringLiteral("ZAV-AUT-LOCAL_1.00"));
    q.finish();
    QVERIFY(scalar(s.db, QStringLiteral("SELECT NRPROTOCOLOCANC FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                   {entryOf(2)}) != protocol);

    // The unticked invoice is as it was; the cancelled ones leave the list.
    QCOMPARE(state(s.db, 3), QStringLiteral("A"));
    QCOMPARE(receivables(s.db, 3), QStringLiteral("A"));
    QCOMPARE(records(s.db, entryOf(3)), 0);
    LIST(client, s, issueDayOf(1), issueDayOf(3), after);
    QCOMPARE(after.entries(), QStringList{entryOf(3)});

    // The same list once more: never a second cancellation.
    const Answer again = client.cancel(list.packet(), kOperator, date, s.r);
    QCOMPARE(again.failures, (QList<Failure>{{entryOf(1), QString(), kAlreadyCancelled},
                                             {entryOf(2), QString(), kAlreadyCancelled}}));
    QCOMPARE(scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")), QStringLiteral("2"));
}

void TstCancel::reasonRule() {
    FRESH(s);
    struct Case {
        const char* what;
        QCborValue reason;
        const char* key;     // expected CDERRO; nullptr: cancelled
        const char* text;    // a part of the expected DSERRO
        QString stored = {}; // the recorded reason, when cancelled
    };
    const QString fifteen = QStringLiteral("Nota com erro 1");
    const QString ascii255 = QString(255, u'x');
    const QList<Case> cases{
        {"14 after trimming", QStringLiteral("  Nota com erro. \t "), "Motivo_Min", ""},
        {"15 after trimming", QStringLiteral("   ") + fifteen + QStringLiteral("  "), nullptr, "", fifteen},
        {"255", ascii255, nullptr, "", ascii255},
        {"256", QString(256, u'y'), "Motivo_Min", "no máximo 255"},
        {"empty", QString(), "Motivo_Min", ""},
        {"null", QCborValue(nullptr), "Motivo_Min", ""},
        {"only blanks", QString(20, u' '), "Motivo_Min", ""},
        {"line break inside", QStringLiteral("Erro de digitação\nno valor"), "", "quebras de linha"},
        {"typographic quotes", QStringLiteral("Erro “de” digitação no valor"), "", "“"},
        {"emoji counts once", QStringLiteral("Erro no valor 😀 da nota"), "", "😀"},
        {"accents of Latin-1", QStringLiteral("Devolução à cliente: preço"), nullptr, "",
         QStringLiteral("Devolução à cliente: preço")},
    };
    QCOMPARE(insertInvoices(s.db, s.e, 1, int(cases.size()), 'A', false), QString());
    Client client(s.server->port());
    LIST(client, s, issueDayOf(1), issueDayOf(int(cases.size())), list);
    for (int i = 0; i < cases.size(); ++i)
        QVERIFY(list.tick(entryOf(i + 1), cases[i].reason));
    const Answer a = client.cancel(list.packet(), kOperator, today(), s.r);
    QVERIFY2(a.errorCode == 0, qPrintable(a.describe()));
    for (int i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const QString entry = entryOf(i + 1);
        const auto failure = std::find_if(a.failures.begin(), a.failures.end(),
                                          [&](const Failure& f) { return f.entry == entry; });
        if (!c.key) {
            QVERIFY2(failure == a.failures.end(), c.what);
            QCOMPARE(scalar(s.db,
                            QStringLiteral("SELECT DSMOTIVOCANC FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                            {entry}),
                     c.stored);
            continue;
        }
        QVERIFY2(failure != a.failures.end(), c.what);
        QVERIFY2(failure->key == QLatin1String(c.key),
                 qPrintable(QStringLiteral("%1: %2").arg(c.what, failure->key)));
        QVERIFY2(failure->text.contains(QString::fromUtf8(c.text)),
                 qPrintable(QStringLiteral("%1: %2").arg(c.what, failure->text)));
        if (QByteArray(c.text).isEmpty())
            QVERIFY2(failure->text.isEmpty(), c.what);
        QCOMPARE(state(s.db, i + 1), QStringLiteral("A"));
        QCOMPARE(records(s.db, entry), 0);
    }
}

void TstCancel::serverChecksTheInvoiceAgain() {
    FRESH(s);
    QCOMPARE(insertInvoices(s.db, s.e, 1, 8, 'A', true), QString());
    QCOMPARE(insertInvoices(s.db, s.e, 9, 1, 'C', false), QString());
    QCOMPARE(insertInvoices(s.db, s.e, 10, 1, 'D', false), QString());
    const QString hold =
        QStringLiteral("UPDATE NOTAFISCAL SET CDOPERBLOQ = ?, DHBLOQUEIO = '2019-01-01T09:00:00-03:00' "
                       "WHERE NRLANCTONF = ?");
    QCOMPARE(exec(s.db, hold, {"OUTRO", entryOf(3)}), QString());
    QCOMPARE(exec(s.db, hold, {kOperator, entryOf(4)}), QString());
    // An authorised invoice with a record already: inconsistent, never a second.
    QCOMPARE(
        exec(
            s.db,
            QStringLiteral(
                "INSERT INTO CANCELAMENTONFE (NRLANCTONF, CDOPERADOR, DTPROCESSAMENTO, DSMOTIVOCANC, "
                "IDTPAMBIENTENFE, SGESTADO, NRSERIECERTIFIC, DHCANCELAMENTO, CDSTATUSEVENTO, DSSTATUSEVENTO, "
                "NRPROTOCOLOCANC, DHREGEVENTO, VERAPLIC) VALUES (?, 'X', '2019-01-01', 'Registro anterior ao "
                "teste', "
                "'2', 'SP', 'C', '2019-01-01T10:00:00-03:00', '135', 'Evento registrado', "
                "'935190000000001', '2019-01-01T10:00:00-03:00', 'OUTRA')"),
            {entryOf(5)}),
        QString());
    // An access key whose check digit is wrong: refused by the authority.
    const QString key =
        scalar(s.db, QStringLiteral("SELECT NRACESSONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"), {entryOf(6)});
    const QString wrongKey = key.left(43) + QString::number((key.at(43).digitValue() + 1) % 10);
    QCOMPARE(exec(s.db, QStringLiteral("UPDATE NOTAFISCAL SET NRACESSONFE = ? WHERE NRLANCTONF = ?"),
                  {wrongKey, entryOf(6)}),
             QString());
    const QString before = snapshot(s.db, 1, 10);

    Client client(s.server->port());
    LIST(client, s, issueDayOf(1), issueDayOf(10), list);
    QCOMPARE(list.size(), 8); // the cancelled and the denied one are not listed
    for (int n = 1; n <= 7; ++n)
        QVERIFY(list.tick(entryOf(n), kReason));
    QVERIFY(list.set(entryOf(1), QStringLiteral("CDFILIAL"), QStringLiteral("9999")));
    QVERIFY(list.set(entryOf(2), QStringLiteral("CDEMPRESA"), QStringLiteral("99")));
    QVERIFY(list.appendCopy(entryOf(7), entryOf(7), kReason)); // ticked twice: one invoice
    QVERIFY(list.appendCopy(entryOf(8), entryOf(9), kReason));
    QVERIFY(list.appendCopy(entryOf(8), entryOf(10), kReason));
    QVERIFY(list.appendCopy(entryOf(8), QStringLiteral("2999999999"), kReason));
    const Answer a = client.cancel(list.packet(), kOperator, today(), s.r);
    const QString notHers = QStringLiteral("Nota fiscal não pertence à filial/empresa informada.");
    QCOMPARE(a.failures.size(), 8);
    QCOMPARE(a.failures.at(0), (Failure{entryOf(1), QString(), notHers}));
    QCOMPARE(a.failures.at(1), (Failure{entryOf(2), QString(), notHers}));
    QCOMPARE(a.failures.at(2), (Failure{entryOf(3), QStringLiteral("MS01"), QString()}));
    QCOMPARE(a.failures.at(3), (Failure{entryOf(5), QString(),
                                        QStringLiteral("Nota fiscal já tem registro de cancelamento.")}));
    QCOMPARE(a.failures.at(4).entry, entryOf(6));
    // Refused before anything is signed or sent: the authority would answer 236.
    QCOMPARE(a.failures.at(4).key, QString());
    QVERIFY2(a.failures.at(4).text.startsWith(QStringLiteral("Chave de acesso inválida")),
             qPrintable(a.failures.at(4).text));
    QCOMPARE(
        scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE NRLANCTONF = ?"), {entryOf(6)}),
        QStringLiteral("0"));
    QCOMPARE(a.failures.at(5), (Failure{entryOf(9), QString(), kAlreadyCancelled}));
    QCOMPARE(a.failures.at(6), (Failure{entryOf(10), QString(),
                                        QStringLiteral("Nota fiscal denegada não pode ser cancelada.")}));
    QCOMPARE(a.failures.at(7), (Failure{QStringLiteral("2999999999"), QString(),
                                        QStringLiteral("Nota fiscal não encontrada.")}));

    // Held by the same operator: cancelled, and the hold goes with it.
    QCOMPARE(state(s.db, 4), QStringLiteral("C"));
    QCOMPARE(scalar(s.db,
                    QStringLiteral("SELECT COALESCE(CDOPERBLOQ, '-') FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                    {entryOf(4)}),
             QStringLiteral("-"));
    QCOMPARE(state(s.db, 7), QStringLiteral("C"));
    QCOMPARE(records(s.db, entryOf(7)), 1);
    // Everything else as it was: 4 and 7 were the only ones cancelled.
    QStringList expected = before.split(u'\n');
    expected[3] = QStringLiteral("%1 C 1 [CC]").arg(entryOf(4));
    expected[6] = QStringLiteral("%1 C 1 [CC]").arg(entryOf(7));
    QCOMPARE(snapshot(s.db, 1, 10), expected.join(u'\n'));
    QCOMPARE(
        scalar(s.db, QStringLiteral("SELECT CDOPERBLOQ FROM NOTAFISCAL WHERE NRLANCTONF = ?"), {entryOf(3)}),
        QStringLiteral("OUTRO"));
}

void TstCancel::registrationChecks_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "certificate of another registration")
            << "certificate"
            << ""
            << "Certificado não pertence à inscrição estadual da nota fiscal.";
        zavtest::newRow(d, "certificate in small letters") << "lowercase"
                                                           << "-"
                                                           << "";
        zavtest::newRow(d, "registration without certificate") << "no certificate"
                                                               << "Certi_Deve"
                                                               << "";
        zavtest::newRow(d, "other environment")
            << "environment"
            << ""
            << "Ambiente da NF-e diverge do cadastrado na inscrição estadual da "
               "nota fiscal.";
        zavtest::newRow(d, "other state")
            << "state"
            << ""
            << "Estado diverge do cadastrado na inscrição estadual da nota fiscal.";
    }
}

void TstCancel::registrationChecks() {
    QFETCH(QString, change);
    QFETCH(QString, key);
    QFETCH(QString, text);
    FRESH(s);
    QCOMPARE(insertInvoices(s.db, s.e, 1, 2, 'A', false), QString());
    Registration sent = s.r;
    if (change == u"certificate") {
        sent.certificate =
            scalar(s.db,
                   QStringLiteral("SELECT NRSERIECERTIFIC FROM INSCRESTAD WHERE NRSERIECERTIFIC "
                                  "IS NOT NULL AND NRSERIECERTIFIC <> ? ORDER BY 1"),
                   {s.r.certificate});
        QVERIFY(!sent.certificate.isEmpty());
    } else if (change == u"lowercase") {
        sent.certificate = s.r.certificate.toLower();
        QVERIFY(sent.certificate != s.r.certificate);
    } else if (change == u"no certificate") {
        QCOMPARE(exec(s.db,
                      QStringLiteral("UPDATE INSCRESTAD SET NRSERIECERTIFIC = NULL WHERE CDEMPRESA = ? AND "
                                     "CDINSCESTA = ?"),
                      {s.e.company, s.e.stateRegistration}),
                 QString());
    } else if (change == u"environment") {
        sent.environment = s.r.environment == u"1" ? QStringLiteral("2") : QStringLiteral("1");
    } else {
        sent.state = s.r.state == u"MG" ? QStringLiteral("SP") : QStringLiteral("MG");
    }
    Client client(s.server->port());
    LIST(client, s, issueDayOf(1), issueDayOf(2), list);
    list.tickAll(kReason);
    const Answer a = client.cancel(list.packet(), kOperator, today(), sent);
    if (key == u"-") {
        QVERIFY2(a.null, qPrintable(a.describe()));
        QCOMPARE(state(s.db, 1), QStringLiteral("C"));
        // What is recorded is the serial as the registration holds it, not as typed.
        for (const char* table : {"CANCELAMENTONFE", "NFEEVENTO"})
            QCOMPARE(
                scalar(s.db,
                       QStringLiteral("SELECT DISTINCT NRSERIECERTIFIC FROM %1").arg(QLatin1String(table))),
                s.r.certificate);
        return;
    }
    QCOMPARE(a.failures, (QList<Failure>{{entryOf(1), key, text}, {entryOf(2), key, text}}));
    QCOMPARE(state(s.db, 1), QStringLiteral("A"));
    QCOMPARE(scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE")), QStringLiteral("0"));
}

void TstCancel::badArguments_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("message");
    struct Row {
        const char* tag;
        const char* change;
        const char* message;
    };
    const Row rows[] = {
        {"packet not a map", "packet=text",
         "Argumento 1 (lista de notas fiscais) inválido: esperado um pacote"},
        {"no rows list", "no rows", "listas \"fields\" e \"rows\""},
        {"field NRLANCTONF missing", "drop NRLANCTONF", "falta o campo NRLANCTONF"},
        {"field IDCHECK missing", "drop IDCHECK", "falta o campo IDCHECK"},
        {"field DSMOTIVOCANCNFE missing", "drop DSMOTIVOCANCNFE", "falta o campo DSMOTIVOCANCNFE"},
        {"field CDFILIAL missing", "drop CDFILIAL", "falta o campo CDFILIAL"},
        {"field CDEMPRESA missing", "drop CDEMPRESA", "falta o campo CDEMPRESA"},
        {"row of the wrong width", "short row", "linha 1: esperada uma lista de 17 valores"},
        {"IDCHECK neither C nor U", "check=c", "linha 1: IDCHECK deve ser \"C\""},
        {"nothing ticked", "check=U", "nenhuma nota fiscal marcada"},
        {"entry too long", "entry=20000000011", "linha 1: NRLANCTONF deve ter de 1 a 10"},
        {"entry a number", "entry=number", "linha 1: NRLANCTONF deve ser um texto"},
        {"operator empty", "2=", "Argumento 2 (operador) inválido: deve ser informado"},
        {"operator 31 characters", "2=OOOOOOOOOOOOOOOOOOOOOOOOOOOOOOO", "no máximo 30"},
        {"a processing date of the past", "3=1999-01-01",
         "Argumento 3 (data de processamento) inválido: a data de processamento da filial"},
        {"a processing date of the future", "3=2099-12-31", "não 31/12/2099"},
        {"operator with a tab", "2=MA\tRIA", "Argumento 2 (operador) inválido: caracteres de controle"},
        {"operator with a NUL", "operator NUL", "Argumento 2 (operador) inválido: caracteres de controle"},
        {"date in another form", "3=08/12/2026", "Argumento 3 (data de processamento) inválido"},
        {"date that does not exist", "3=2026-02-30", "Argumento 3 (data de processamento) inválido"},
        {"environment 3", "4=3", "Argumento 4 (ambiente da NF-e) inválido"},
        {"certificate empty",
         "5=", "Argumento 5 (número de série do certificado) inválido: deve ser informado"},
        {"certificate 51 characters", "5=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
         "no máximo 50"},
        {"state of one letter", "6=S", "Argumento 6 (estado) inválido"},
        {"state that does not exist", "6=XX", "Argumento 6 (estado) inválido"},
        {"five arguments", "arity", "esperados 6, recebidos 5"},
    };
    for (const QString& d : zavtest::dialects())
        for (const Row& r : rows)
            zavtest::newRow(d, r.tag) << QString::fromUtf8(r.change) << QString::fromUtf8(r.message);
}

void TstCancel::badArguments() {
    QFETCH(QString, change);
    QFETCH(QString, message);
    FRESH(s);
    QCOMPARE(insertInvoices(s.db, s.e, 1, 1, 'A', true), QString());
    Client client(s.server->port());
    LIST(client, s, issueDayOf(1), issueDayOf(1), list);
    QVERIFY(list.tick(entryOf(1), kReason));
    QCborMap packet = list.packet();
    QCborArray params{packet, kOperator, today(), s.r.environment, s.r.certificate, s.r.state};

    QCborArray fields = packet.value(QStringLiteral("fields")).toArray();
    QCborArray rows = packet.value(QStringLiteral("rows")).toArray();
    QCborArray row = rows.at(0).toArray();
    auto columnOf = [&](const char* name) {
        for (qsizetype i = 0; i < fields.size(); ++i)
            if (fields.at(i).toMap().value(QStringLiteral("name")).toString() == QLatin1String(name))
                return i;
        return qsizetype(-1);
    };
    if (change == u"packet=text") {
        params[0] = QStringLiteral("notas");
    } else if (change == u"no rows") {
        packet.remove(QStringLiteral("rows"));
        params[0] = packet;
    } else if (change.startsWith(u"drop ")) {
        const qsizetype c = columnOf(change.mid(5).toLatin1().constData());
        QVERIFY(c >= 0);
        fields.removeAt(c);
        row.removeAt(c);
        packet.insert(QStringLiteral("fields"), fields);
        packet.insert(QStringLiteral("rows"), QCborArray{row});
        params[0] = packet;
    } else if (change == u"short row" || change.startsWith(u"check=") || change.startsWith(u"entry=")) {
        if (change == u"short row")
            row.removeLast();
        else if (change.startsWith(u"check="))
            row[columnOf("IDCHECK")] = change.mid(6);
        else if (change == u"entry=number")
            row[columnOf("NRLANCTONF")] = 2000000001;
        else
            row[columnOf("NRLANCTONF")] = change.mid(6);
        packet.insert(QStringLiteral("rows"), QCborArray{row});
        params[0] = packet;
    } else if (change == u"arity") {
        params.removeLast();
    } else if (change == u"operator NUL") {
        params[1] = QStringLiteral("MA") + QChar(0) + QStringLiteral("RIA");
    } else {
        params[change.left(1).toInt() - 1] = change.mid(2);
    }
    const Answer a = client.cancel(params);
    QCOMPARE(a.errorCode, -32602);
    QVERIFY2(a.errorMessage.contains(message), qPrintable(a.errorMessage));
    // Refused whole: nothing was touched.
    QCOMPARE(snapshot(s.db, 1, 1), QStringLiteral("%1 A 0 [AA]").arg(entryOf(1)));
}

void TstCancel::concurrentCallersCancelEachInvoiceOnce_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<bool>("twoServers");
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "two calls to one server") << false;
        zavtest::newRow(d, "two servers on one database") << true;
    }
}

void TstCancel::concurrentCallersCancelEachInvoiceOnce() {
    QFETCH(bool, twoServers);
    FRESH(s);
    constexpr int kInvoices = 300;
    QCOMPARE(insertInvoices(s.db, s.e, 1, kInvoices, 'A', true), QString());
    ServerProcess second;
    if (twoServers) {
        QString why;
        QVERIFY2(second.start(m_dbs.connectionText(dialect), s.world->serverArguments(), &why),
                 qPrintable(why));
        why =
            signIn(second, m_dbs.connectionText(dialect), {QStringLiteral("OPERA"), QStringLiteral("OPERB")});
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    Client lister(s.server->port());
    LIST(lister, s, issueDayOf(1), issueDayOf(kInvoices), list);
    QCOMPARE(list.size(), kInvoices);
    list.tickAll(kReason);
    const QCborMap packet = list.packet();

    // Two operators confirm the same list at the same moment.
    const int ports[] = {s.server->port(), twoServers ? second.port() : s.server->port()};
    const QString operators[] = {QStringLiteral("OPERA"), QStringLiteral("OPERB")};
    Answer answers[2];
    std::unique_ptr<QThread> threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i].reset(QThread::create([&, i] {
            Client client(ports[i]);
            answers[i] = client.cancel(packet, operators[i], today(), s.r);
        }));
        threads[i]->start();
    }
    for (auto& t : threads)
        QVERIFY(t->wait(300000));
    for (const Answer& a : answers)
        QVERIFY2(a.errorCode == 0, qPrintable(a.describe()));

    QHash<QString, Failure> failed[2];
    for (int i = 0; i < 2; ++i)
        for (const Failure& f : answers[i].failures) {
            // Held by the other's transaction, on its way to the authority
            // under the other's session (said as pending, by whom), or
            // already cancelled by the other.
            const bool told =
                (f.key == u"MS01" && f.text.isEmpty()) ||
                (f.key == u"MS01" &&
                 f.text.startsWith(QStringLiteral("Cancelamento pendente: enviado à SEFAZ por %1 em ")
                                       .arg(operators[1 - i]))) ||
                (f.key.isEmpty() && f.text == kAlreadyCancelled);
            QVERIFY2(told, qPrintable(answers[i].describe()));
            failed[i].insert(f.entry, f);
        }
    QHash<QString, QString> recordedBy;
    QSqlQuery q(s.db);
    QVERIFY(q.exec(QStringLiteral("SELECT NRLANCTONF, CDOPERADOR FROM CANCELAMENTONFE")));
    while (q.next())
        recordedBy.insert(q.value(0).toString(), q.value(1).toString());
    QCOMPARE(recordedBy.size(), kInvoices);
    for (int n = 1; n <= kInvoices; ++n) {
        const QString entry = entryOf(n);
        // Exactly one of the two cancelled it, and the record names that one.
        QVERIFY2(failed[0].contains(entry) != failed[1].contains(entry), qPrintable(entry));
        QCOMPARE(recordedBy.value(entry), operators[failed[0].contains(entry) ? 1 : 0]);
    }
    QCOMPARE(scalar(s.db,
                    QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL WHERE IDSITUACAONFE = 'A' AND NRLANCTONF "
                                   "BETWEEN ? AND ?"),
                    {entryOf(1), entryOf(kInvoices)}),
             QStringLiteral("0"));
}

void TstCancel::killDuringBatchLeavesEachInvoiceWholeOrUntouched() {
    FRESH(s);
    // Every invoice goes to the local authority and back: enough of them for
    // the kill to land in the middle of the batch.
    constexpr int kInvoices = 400;
    QCOMPARE(insertInvoices(s.db, s.e, 1, kInvoices, 'A', true), QString());
    Client lister(s.server->port());
    LIST(lister, s, issueDayOf(1), issueDayOf(kInvoices), list);
    QCOMPARE(list.size(), kInvoices);
    list.tickAll(kReason);
    const QCborMap packet = list.packet();

    Answer interrupted;
    const int port = s.server->port();
    std::unique_ptr<QThread> call(QThread::create([&] {
        Client client(port);
        interrupted = client.cancel(packet, kOperator, today(), s.r);
    }));
    call->start();
    // Killed once a tenth of the batch is in: most of it is still to come.
    const QString countSql = QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE");
    QDeadlineTimer deadline(60000);
    while (scalar(s.db, countSql).toInt() < kInvoices / 10 && !deadline.hasExpired())
        QThread::usleep(200);
    QCOMPARE(::kill(pid_t(s.server->pid()), SIGKILL), 0);
    QVERIFY(call->wait(60000));
    s.server->waitForExit();
    QVERIFY2(interrupted.errorCode != 0, "the call was answered: the kill came too late");

    const int cancelled = scalar(s.db, countSql).toInt();
    QVERIFY2(cancelled > 0 && cancelled < kInvoices, qPrintable(QString::number(cancelled)));
    // Every invoice whole: cancelled with its record and receivables, or untouched.
    const QString range =
        QStringLiteral(" AND NF.NRLANCTONF BETWEEN '%1' AND '%2'").arg(entryOf(1), entryOf(kInvoices));
    const QString recorded =
        QStringLiteral("EXISTS (SELECT 1 FROM CANCELAMENTONFE C WHERE C.NRLANCTONF = NF.NRLANCTONF)");
    const QString receivableIn =
        QStringLiteral("EXISTS (SELECT 1 FROM TITULORECEBER T WHERE T.NRLANCTONF = NF.NRLANCTONF "
                       "AND T.IDSITUACAOTIT = '%1')");
    const QStringList halfDone{
        QStringLiteral("NF.IDSITUACAONFE = 'C' AND NOT ") + recorded,
        QStringLiteral("NF.IDSITUACAONFE = 'A' AND ") + recorded,
        QStringLiteral("NF.IDSITUACAONFE = 'C' AND ") + receivableIn.arg(u'A'),
        QStringLiteral("NF.IDSITUACAONFE = 'A' AND ") + receivableIn.arg(u'C'),
        QStringLiteral("NF.CDOPERBLOQ IS NOT NULL"),
    };
    for (const QString& condition : halfDone)
        QCOMPARE(
            scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL NF WHERE ") + condition + range),
            QStringLiteral("0"));
    QCOMPARE(scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL NF WHERE NF.IDSITUACAONFE = 'C'") +
                              range),
             QString::number(cancelled));

    // After a restart the same list finishes the work, and only that: the
    // workstation goes on under its session (sessions live in the database),
    // which resumes the events the kill left pending.
    ServerProcess restarted;
    QString why;
    QVERIFY2(restarted.start(m_dbs.connectionText(dialect), s.world->serverArguments(), &why),
             qPrintable(why));
    carrySessions(port, restarted.port());
    Client client(restarted.port());
    const Answer rest = client.cancel(packet, kOperator, today(), s.r);
    QVERIFY2(rest.failures.size() == cancelled, qPrintable(rest.describe().left(600)));
    for (const Failure& f : rest.failures)
        QCOMPARE(f.text, kAlreadyCancelled);
    QCOMPARE(scalar(s.db, countSql), QString::number(kInvoices));
    // Events left pending by the kill were found registered at the authority
    // or sent again: each invoice has one registered event, none is pending.
    QCOMPARE(scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO = 'R'")),
             QString::number(kInvoices));
    QCOMPARE(scalar(s.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO WHERE IDSITUACAO <> 'R'")),
             QStringLiteral("0"));
    QCOMPARE(scalar(s.db,
                    QStringLiteral("SELECT COUNT(*) FROM TITULORECEBER WHERE IDSITUACAOTIT <> 'C' AND "
                                   "NRLANCTONF BETWEEN ? AND ?"),
                    {entryOf(1), entryOf(kInvoices)}),
             QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(TstCancel)
#include "tst_cancel.moc"
