// The cancellation's way to the tax authority, as the operator's call meets
// it: a real zav50000-server signing with A1 certificates made by the
// product's script and sending to a real local authority (zav-authority) over
// HTTPS with mutual TLS, on SQLite and PostgreSQL. What the server keeps
// (procEventoNFe) is checked with the public schema and the xmlsec1 command.
#include "authorityclient.h"
#include "cancelfixture.h"
#include "nfeworld.h"
#include "serverprocess.h"
#include "testdb.h"

#include "authoritymessages.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "eventsigner.h"
#include "schemaset.h"
#include "soap.h"
#include "states.h"
#include "testtools.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/ssl.h>

using namespace canceltest;

namespace {

using zavtest::texts;

struct World {
    QSqlDatabase db;
    QString connection;
    Establishment e;
    Registration r;
    std::unique_ptr<NfeWorld> nfe;
    std::unique_ptr<ServerProcess> server;
};

struct Journal {
    QString state, status, statusText;
    int attempts = 0;
    QByteArray sent, proc;
    QString batch, sentAt;
    int queries = 0;
};

Journal journal(QSqlDatabase& db, const QString& entry) {
    Journal j;
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT IDSITUACAO, CDSTATUS, DSSTATUS, NRTENTATIVAS, XMLENVIO, XMLPROCEVENTO, "
                             "NRLOTE, DHENVIO, NRCONSULTAS FROM NFEEVENTO WHERE NRLANCTONF = ?"));
    q.bindValue(0, entry);
    if (q.exec() && q.next()) {
        j.state = q.value(0).toString();
        j.status = q.value(1).toString();
        j.statusText = q.value(2).toString();
        j.attempts = q.value(3).toInt();
        j.sent = q.value(4).toString().toUtf8();
        j.proc = q.value(5).toString().toUtf8();
        j.batch = q.value(6).toString();
        j.sentAt = q.value(7).toString();
        j.queries = q.value(8).toInt();
    }
    return j;
}

QString state(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT IDSITUACAONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                  {entryOf(n)});
}
QString accessKey(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT NRACESSONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"),
                  {entryOf(n)});
}
int records(QSqlDatabase& db, int n) {
    return scalar(db, QStringLiteral("SELECT COUNT(*) FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                  {entryOf(n)})
        .toInt();
}

// The requests each of the authority's services received ("evento",
// "consulta", "status"), as it counts them.
QMap<QString, int> authorityRequests(NfeWorld& nfe, const QString& serial) {
    QString why;
    const auto client = authorityClient(nfe, serial, &why);
    QMap<QString, int> counts;
    if (!client)
        return counts;
    const auto result = client->Get("/zav/requests");
    if (!result || result->status != 200)
        return counts;
    for (const QString& line : QString::fromStdString(result->body).split(u'\n', Qt::SkipEmptyParts))
        counts.insert(line.section(u' ', 0, 0), line.section(u' ', 1, 1).toInt());
    return counts;
}

// The events the authority holds for an NF-e, by its own protocol query.
QList<QByteArray> authorityEvents(NfeWorld& nfe, const QString& serial, const QString& key, QString* why) {
    const auto connection = authorityClient(nfe, serial, why);
    if (!connection)
        return {};
    httplib::SSLClient& client = *connection;
    const QByteArray body = zavnfe::Soap::envelope(zavnfe::Soap::kStatusService, zavnfe::consSitNFe(2, key));
    const auto result =
        client.Post("/ws/NFeConsultaProtocolo4", body.constData(), size_t(body.size()),
                    zavnfe::Soap::contentType(zavnfe::Soap::kStatusService, "nfeConsultaNF").toStdString());
    if (!result) {
        *why = QStringLiteral("no answer to the protocol query");
        return {};
    }
    QString error;
    const QByteArray payload = zavnfe::Soap::payload(QByteArray::fromStdString(result->body), &error);
    const auto answer = zavnfe::parseRetConsSitNFe(payload, &error);
    if (!answer) {
        *why = error;
        return {};
    }
    return QList<QByteArray>(answer->procEventos.begin(), answer->procEventos.end());
}

// Registers a cancellation of the NF-e at the authority as another system
// would, with its own reason: signed with the company's certificate and sent
// straight to the authority. Empty, or why not.
QString cancelElsewhere(NfeWorld& nfe, const Registration& r, const QString& key, const QString& protocol,
                        const QString& reason) {
    const zavnfe::CertificateLookup lookup =
        zavnfe::CertificateStore(nfe.certificateFolder()).find(r.certificate, NfeWorld::kPassword);
    if (!lookup.found())
        return lookup.error;
    zavnfe::CancellationData data;
    data.accessKey = key;
    data.issuerCnpj = zavfiscal::accessKeyIssuerCnpj(key);
    data.authorisationProtocol = protocol;
    data.environment = r.environment.toInt();
    data.reason = reason;
    data.at = QDateTime::currentDateTimeUtc().addSecs(-60);
    data.stateUtcOffsetSeconds = zavfiscal::utcOffsetOfCode(zavfiscal::accessKeyStateCode(key));
    QString error;
    const auto event = zavnfe::CancellationEvent::create(data, &error);
    if (!event)
        return error;
    const QByteArray batch = zavnfe::CancellationBatch::build(QStringLiteral("1"), {*event}, &error);
    const QByteArray signedBatch = zavnfe::EventSigner(*lookup.certificate).sign(batch, &error);
    if (signedBatch.isEmpty())
        return error;
    const auto connection = authorityClient(nfe, r.certificate, &error);
    if (!connection)
        return error;
    httplib::SSLClient& client = *connection;
    const QByteArray body = zavnfe::Soap::envelope(zavnfe::Soap::kEventService, signedBatch);
    const auto result = client.Post(
        "/ws/NFeRecepcaoEvento4", body.constData(), size_t(body.size()),
        zavnfe::Soap::contentType(zavnfe::Soap::kEventService, "nfeRecepcaoEvento").toStdString());
    if (!result)
        return QStringLiteral("no answer from the authority");
    const QByteArray payload = zavnfe::Soap::payload(QByteArray::fromStdString(result->body), &error);
    const auto answer = zavnfe::parseRetEnvEvento(payload, &error);
    if (!answer || answer->events.size() != 1 || answer->events.front().status != 135)
        return QStringLiteral("not registered: %1").arg(QString::fromUtf8(payload));
    return {};
}

const QString kOtherCompanyCnpj = QStringLiteral("11222333000181");

} // namespace

class TstNfeCancel : public QObject {
    Q_OBJECT

private:
    zavtest::TestDatabases m_dbs;

    // A fresh database with `count` test invoices (and open receivables);
    // the certificates; the authority and the server started with the given
    // arguments, unless told not to.
    zavtest::Readiness fresh(const QString& dialect, World& w, int count,
                             const QStringList& authorityArguments = {}, bool start = true) {
        if (zavtest::Readiness ready = zavtest::useFreshDatabase(m_dbs, dialect, &w.db); !ready.isReady())
            return ready;
        QString why;
        w.connection = m_dbs.connectionText(dialect);
        w.e = mainEstablishment(w.db);
        w.r = registrationOf(w.db, w.e);
        if (!(why = insertInvoices(w.db, w.e, 1, count, 'A', true)).isEmpty())
            return zavtest::Readiness::fail(why);
        w.nfe = std::make_unique<NfeWorld>();
        // Expired, not yet valid, and a valid one of another company.
        if (!(why = w.nfe->certificates(w.db, {QStringLiteral("DEADBEEF01:%1:-400:-10").arg(w.e.cnpj),
                                               QStringLiteral("DEADBEEF02:%1:30:400").arg(w.e.cnpj),
                                               QStringLiteral("DEADBEEF03:%1").arg(kOtherCompanyCnpj)}))
                 .isEmpty())
            return zavtest::Readiness::fail(why);
        if (!start)
            return zavtest::Readiness::ready();
        if (!(why = w.nfe->startAuthority(w.connection, authorityArguments)).isEmpty())
            return zavtest::Readiness::fail(why);
        return zavtest::Readiness::unless(startServer(w));
    }

    // A server in place of the one before, if any, serves its sessions: the
    // workstation goes on under the session it had.
    QString startServer(World& w, const QStringList& extra = {}) {
        QString why;
        const int before = w.server ? w.server->port() : 0;
        w.server = std::make_unique<ServerProcess>();
        if (!w.server->start(w.connection, w.nfe->serverArguments() + extra, &why))
            return why;
        if (before != 0) {
            carrySessions(before, w.server->port());
            return {};
        }
        return signIn(*w.server, w.connection);
    }

    // A new server with these arguments alone, none of the local authority's,
    // and a new session on it; empty, or why not.
    QString startServerWithOnly(World& w, const QStringList& arguments) {
        QString why;
        w.server = std::make_unique<ServerProcess>();
        if (!w.server->start(w.connection, arguments, &why))
            return why;
        return signIn(*w.server, w.connection);
    }

    // Ticks invoices (1-based) with the reason and asks for their cancellation.
    // Under the given session token, or the one signed in for kOperator.
    Answer cancel(World& w, const QList<int>& ticked, const QString& reason = kReason,
                  const QByteArray& token = {}) {
        Client client(w.server->port());
        if (!token.isEmpty())
            client.useToken(token);
        QString why;
        InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(1000), &why);
        Answer a;
        if (!why.isEmpty()) {
            a.errorMessage = why;
            a.errorCode = -1;
            return a;
        }
        for (int n : ticked)
            list.tick(entryOf(n), reason);
        return client.cancel(list.packet(), kOperator, today(), w.r);
    }

private Q_SLOTS:
    void storedEventValidatesAndVerifies_data() { zavtest::addDialectRows("fresh database"); }
    void storedEventValidatesAndVerifies();
    void droppedAnswerIsRecoveredNotRegisteredTwice_data() { zavtest::addDialectRows("fresh database"); }
    void droppedAnswerIsRecoveredNotRegisteredTwice();
    void exportedEventsAreReadyToHand_data() { zavtest::addDialectRows("fresh database"); }
    void exportedEventsAreReadyToHand();
    void pendingEventBelongsToItsSession_data() { zavtest::addDialectRows("fresh database"); }
    void pendingEventBelongsToItsSession();
    void lostRequestIsResentByteForByte_data() { zavtest::addDialectRows("fresh database"); }
    void lostRequestIsResentByteForByte();
    void caFileAddsToTheSystemStore_data() { zavtest::addDialectRows("fresh database"); }
    void caFileAddsToTheSystemStore();
    void timeoutThenAuthorityBack_data() { zavtest::addDialectRows("fresh database"); }
    void timeoutThenAuthorityBack();
    void cancelledElsewhereIsTakenFromTheAuthority_data() { zavtest::addDialectRows("fresh database"); }
    void cancelledElsewhereIsTakenFromTheAuthority();
    void rejectionsLeaveTheInvoiceAuthorised_data() { zavtest::addDialectRows("fresh database"); }
    void rejectionsLeaveTheInvoiceAuthorised();
    void termsAtTheServerAndAtTheAuthority_data() { zavtest::addDialectRows("fresh database"); }
    void termsAtTheServerAndAtTheAuthority();
    void termsAtTheirEdges_data() { zavtest::addDialectRows("fresh database"); }
    void termsAtTheirEdges();
    void lateCancellationTheStateApproved_data() { zavtest::addDialectRows("fresh database"); }
    void lateCancellationTheStateApproved();
    void certificateFailures_data() { zavtest::addDialectRows("fresh database"); }
    void anotherCompanysCertificateIsRefused_data() { zavtest::addDialectRows("fresh database"); }
    void anotherCompanysCertificateIsRefused();
    void certificateFailures();
    void unconfiguredServerSaysWhatIsMissing_data() { zavtest::addDialectRows("fresh database"); }
    void unconfiguredServerSaysWhatIsMissing();
    // At the authority's pace.
    void batchOfTwentyWithOneRejected_data() { zavtest::addDialectRows("fresh database"); }
    void batchOfTwentyWithOneRejected();
    void lostBatchAnswerIsRecovered_data() { zavtest::addDialectRows("fresh database"); }
    void lostBatchAnswerIsRecovered();
    void hungAuthorityTripsTheBreaker_data() { zavtest::addDialectRows("fresh database"); }
    void hungAuthorityTripsTheBreaker();
    void pausesAreHonouredByEveryServer_data();
    void pausesAreHonouredByEveryServer();
    void protocolQueriesTenAnHour_data() { zavtest::addDialectRows("fresh database"); }
    void protocolQueriesTenAnHour();
};

#define FRESH(w, count, ...)                                                                                 \
    QFETCH(QString, dialect);                                                                                \
    World w;                                                                                                 \
    ZAV_READY(fresh(dialect, w, count __VA_OPT__(, ) __VA_ARGS__))

void TstNfeCancel::storedEventValidatesAndVerifies() {
    FRESH(w, 2);
    const QString reason = QStringLiteral("Preço <errado> & frete à vista: devolução");
    const Answer a = cancel(w, {1}, QStringLiteral("  ") + reason + QStringLiteral("  "));
    QVERIFY2(a.null, qPrintable(a.describe()));
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QCOMPARE(state(w.db, 2), QStringLiteral("A"));

    const Journal j = journal(w.db, entryOf(1));
    QCOMPARE(j.state, QStringLiteral("R"));
    QCOMPARE(j.status, QStringLiteral("135"));
    QCOMPARE(j.attempts, 1);
    // What was sent is a valid envEvento; what is kept, a valid procEventoNFe
    // whose signature an independent verifier accepts.
    QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema::EnvEvento, j.sent), QString());
    QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema::ProcEventoNFe, j.proc), QString());
    QCOMPARE(w.nfe->verifySignature(j.proc), QString());
    // No edit characters (line breaks, blanks) between the tags of what was
    // journalled and sent, nor of the signed evento the authority holds.
    QVERIFY2(!j.sent.contains('\n') && !j.sent.contains('\r'), j.sent.constData());
    QCOMPARE(zavnfe::editCharacterAt(j.sent), qsizetype(-1));
    QString why;
    const QList<QByteArray> held = authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why);
    QVERIFY2(held.size() == 1, qPrintable(why));
    const QByteArray heldEvento = held.first().left(held.first().indexOf("<retEvento"));
    QVERIFY2(heldEvento.contains("<SignatureValue>") && zavnfe::editCharacterAt(heldEvento) < 0,
             heldEvento.constData());
    QVERIFY(j.sent.contains(heldEvento.mid(heldEvento.indexOf("<evento"))));
    QCOMPARE(texts(j.proc, QStringLiteral("xJust")), QStringList{reason});
    QCOMPARE(texts(j.proc, QStringLiteral("chNFe")).first(), accessKey(w.db, 1));
    QVERIFY(j.proc.contains("Preço &lt;errado&gt; &amp; frete"));
    // The record agrees with the authority's answer inside procEventoNFe.
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT NRPROTOCOLOCANC FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             texts(j.proc, QStringLiteral("nProt")).last());
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT DSMOTIVOCANC FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             reason);
    QCOMPARE(journal(w.db, entryOf(2)).state, QString()); // unticked: nothing signed
}

void TstNfeCancel::droppedAnswerIsRecoveredNotRegisteredTwice() {
    FRESH(w, 2, {QStringLiteral("--drop-answers"), QStringLiteral("1")});
    const Answer first = cancel(w, {1});
    QCOMPARE(first.failures.size(), 1);
    QCOMPARE(first.failures.at(0).key, QStringLiteral("fa_transmi"));
    QVERIFY2(first.failures.at(0).text.contains(u"pendente"), qPrintable(first.failures.at(0).text));
    QCOMPARE(first.situations, QStringList{QStringLiteral("P")});
    // Registered at the authority, but nobody here knows it: still authorised.
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));
    QCOMPARE(records(w.db, 1), 0);
    const Journal pending = journal(w.db, entryOf(1));
    QCOMPARE(pending.state, QStringLiteral("P"));
    QString why;
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why).size(), 1);
    QVERIFY2(why.isEmpty(), qPrintable(why));

    // The next confirm, even with another reason, recovers the event instead
    // of signing a second one; the operator is told the reason it carries,
    // and the invoice whose event is new is cancelled without a word.
    const Answer second = cancel(w, {1, 2}, QStringLiteral("Outro motivo qualquer para o cancelamento"));
    QCOMPARE(second.failures.size(), 1);
    QCOMPARE(second.failures.at(0).entry, entryOf(1));
    QCOMPARE(second.failures.at(0).key, QString());
    QCOMPARE(second.failures.at(0).text,
             QStringLiteral("Cancelada com a justificativa enviada antes: \u201c%1\u201d.").arg(kReason));
    QCOMPARE(second.situations, QStringList{QStringLiteral("C")});
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QCOMPARE(state(w.db, 2), QStringLiteral("C"));
    const Journal done = journal(w.db, entryOf(1));
    QCOMPARE(done.state, QStringLiteral("R"));
    QCOMPARE(done.sent, pending.sent);
    QCOMPARE(done.attempts, 2);
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT DSMOTIVOCANC FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             kReason); // the reason the authority holds
    const QList<QByteArray> events = authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why);
    QCOMPARE(events.size(), 1);
    QCOMPARE(texts(done.proc, QStringLiteral("nProt")).last(),
             texts(events.first(), QStringLiteral("nProt")).last());
    QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema::ProcEventoNFe, done.proc), QString());
    QCOMPARE(w.nfe->verifySignature(done.proc), QString());
}

// zav-admin export-events writes each registered cancellation as
// <chNFe>-procEventoNFe.xml, valid against the public schema with a signature
// an independent verifier accepts; by invoice (one not cancelled is named and
// fails the command) or by the day of the cancellation.
void TstNfeCancel::exportedEventsAreReadyToHand() {
    FRESH(w, 3);
    const Answer a = cancel(w, {1, 2});
    QVERIFY2(a.null, qPrintable(a.describe()));
    QTemporaryDir out;
    const auto admin = [&](const QStringList& args) {
        QProcess p;
        p.start(QFileInfo(ServerProcess::binary()).dir().filePath(QStringLiteral("zav-admin")),
                QStringList{QStringLiteral("--db"), w.connection, QStringLiteral("export-events"),
                            QStringLiteral("--out"), out.path()} +
                    args);
        const int code = exitCodeWithin(p, 60000);
        return std::pair{code, QString::fromUtf8(p.readAllStandardError())};
    };
    const auto [code, errors] = admin({entryOf(1), entryOf(3)});
    QCOMPARE(code, 1);
    QVERIFY2(errors.contains(entryOf(3) + QStringLiteral(": sem cancelamento registrado")),
             qPrintable(errors));
    const QString one = QDir(out.path()).filePath(accessKey(w.db, 1) + QStringLiteral("-procEventoNFe.xml"));
    QFile file(one);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray xml = file.readAll();
    QVERIFY(xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?><procEventoNFe"));
    QCOMPARE(zavnfe::SchemaSet::instance().validate(zavnfe::Schema::ProcEventoNFe, xml), QString());
    QCOMPARE(w.nfe->verifySignature(xml), QString());
    QVERIFY(xml.endsWith(journal(w.db, entryOf(1)).proc)); // byte for byte as kept
    QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), 1);

    const QString day =
        scalar(w.db, QStringLiteral("SELECT DHCANCELAMENTO FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
               {entryOf(1)})
            .left(10);
    QCOMPARE(admin({QStringLiteral("--from"), day, QStringLiteral("--to"), day}).first, 0);
    QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), 2);
    const QString before = QDate::fromString(day, Qt::ISODate).addDays(-1).toString(Qt::ISODate);
    QCOMPARE(admin({QStringLiteral("--from"), before, QStringLiteral("--to"), before}).first, 0);
    QVERIFY(admin({QStringLiteral("--from"), day, QStringLiteral("--to"), before})
                .second.contains(u"termina antes"));
    QVERIFY(admin({entryOf(1), QStringLiteral("--from"), day}).second.contains(u"um dos dois"));
}

// Two workstations under one operator are two sessions: while the event one
// of them signed may still be on its way, the other is told the invoice is
// held instead of resending it; the session that signed it resumes it. What
// is recorded is the session and the address the server saw.
void TstNfeCancel::pendingEventBelongsToItsSession() {
    FRESH(w, 1, {QStringLiteral("--drop-answers"), QStringLiteral("1")});
    const QByteArray first = w.server->token();
    const Answer dropped = cancel(w, {1});
    QCOMPARE(dropped.failures.size(), 1);
    QCOMPARE(dropped.failures.at(0).key, QStringLiteral("fa_transmi"));
    const Journal pending = journal(w.db, entryOf(1));
    QCOMPARE(pending.state, QStringLiteral("P"));
    const auto sessionOf = [&](const QByteArray& token) {
        return scalar(
            w.db, QStringLiteral("SELECT IDSESSAO FROM SESSAOOPER WHERE NRHASHTOKEN = ?"),
            {QString::fromLatin1(QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex())});
    };
    const QString session = sessionOf(first);
    QVERIFY(!session.isEmpty());
    const QString signedBy = QStringLiteral("SELECT CDOPERADOR || '/' || IDSESSAO || '/' || DSENDERECO "
                                            "FROM NFEEVENTO WHERE NRLANCTONF = ?");
    QCOMPARE(scalar(w.db, signedBy, {entryOf(1)}), kOperator + u'/' + session + QStringLiteral("/127.0.0.1"));

    QString why;
    const QByteArray second = w.server->signIn(w.connection, kOperator, &why);
    QVERIFY2(!second.isEmpty(), qPrintable(why));
    QVERIFY(sessionOf(second) != session);
    // Said as pending, by whom and since when, not as held by another operator.
    const Answer held = cancel(w, {1}, kReason, second);
    QCOMPARE(held.failures.size(), 1);
    QCOMPARE(held.failures.at(0).key, QStringLiteral("MS01"));
    QCOMPARE(held.situations, QStringList{QStringLiteral("P")});
    const QDateTime sentAt = QDateTime::fromString(pending.sentAt, Qt::ISODate);
    QCOMPARE(
        held.failures.at(0).text,
        QStringLiteral("Cancelamento pendente: enviado à SEFAZ por OPER1 em %1; confirme de novo após %2.")
            .arg(sentAt.toString(QStringLiteral("dd/MM/yyyy HH:mm")),
                 sentAt.addSecs(180).toString(QStringLiteral("HH:mm"))));
    QCOMPARE(journal(w.db, entryOf(1)).attempts, pending.attempts); // not sent again
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));

    const Answer resumed = cancel(w, {1}, kReason, first);
    QVERIFY2(resumed.null, qPrintable(resumed.describe()));
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QCOMPARE(scalar(w.db,
                    QStringLiteral("SELECT CDOPERADOR || '/' || IDSESSAO || '/' || DSENDERECO "
                                   "FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             kOperator + u'/' + session + QStringLiteral("/127.0.0.1"));
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why).size(), 1);
}

void TstNfeCancel::lostRequestIsResentByteForByte() {
    FRESH(w, 1, {QStringLiteral("--drop-requests"), QStringLiteral("1")});
    const Answer first = cancel(w, {1});
    QCOMPARE(first.failures.size(), 1);
    QCOMPARE(first.failures.at(0).key, QStringLiteral("fa_transmi"));
    const Journal pending = journal(w.db, entryOf(1));
    QCOMPARE(pending.state, QStringLiteral("P"));
    QString why;
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why).size(), 0);

    const Answer second = cancel(w, {1});
    QVERIFY2(second.null, qPrintable(second.describe()));
    const Journal done = journal(w.db, entryOf(1));
    QCOMPARE(done.state, QStringLiteral("R"));
    QCOMPARE(done.sent, pending.sent);
    // The event the authority registered is the one first signed.
    const QList<QByteArray> events = authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why);
    QCOMPARE(events.size(), 1);
    QCOMPARE(texts(events.first(), QStringLiteral("dhEvento")),
             texts(pending.sent, QStringLiteral("dhEvento")));
}

// The table's ca file adds to the system's trust store (here the one
// OpenSSL's SSL_CERT_FILE names) instead of replacing it: an authority whose
// chain only the system trusts is reached although the table names another
// file; without either, the failure says the authority's certificate does
// not check out, and nothing is registered.
void TstNfeCancel::caFileAddsToTheSystemStore() {
    FRESH(w, 1);
    const QString anchorsNothing = QDir(w.nfe->certificateFolder()).filePath(QStringLiteral("server.pem"));
    w.nfe->writeTable(
        QStringLiteral("[geral]\nca = %1\nconexaoMs = 3000\n\n"
                       "[*.*]\nevento = https://127.0.0.1:%2/ws/NFeRecepcaoEvento4\n"
                       "consulta = https://127.0.0.1:%2/ws/NFeConsultaProtocolo4\nprazoHoras = %3\n")
            .arg(anchorsNothing)
            .arg(w.nfe->authority().port())
            .arg(NfeWorld::kGenerousHours));
    w.server->terminate();
    QCOMPARE(startServer(w), QString());
    const Answer untrusted = cancel(w, {1});
    QCOMPARE(untrusted.failures.size(), 1);
    QCOMPARE(untrusted.failures.at(0).key, QStringLiteral("fa_transmi"));
    QVERIFY2(untrusted.failures.at(0).text.contains(u"certificado do servidor da autoridade"),
             qPrintable(untrusted.failures.at(0).text));
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));

    w.server->terminate();
    qputenv("SSL_CERT_FILE", w.nfe->caFile().toLocal8Bit());
    const QString started = startServer(w);
    qunsetenv("SSL_CERT_FILE");
    QCOMPARE(started, QString());
    const Answer trusted = cancel(w, {1});
    QVERIFY2(trusted.null, qPrintable(trusted.describe()));
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
}

void TstNfeCancel::timeoutThenAuthorityBack() {
    FRESH(w, 1, {}, false);
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("autoridade.db"));
    QCOMPARE(w.nfe->startAuthority(
                 w.connection,
                 {QStringLiteral("--record"), record, QStringLiteral("--delay-ms"), QStringLiteral("3000")},
                 1000),
             QString());
    QCOMPARE(startServer(w), QString());
    const Answer first = cancel(w, {1});
    QCOMPARE(first.failures.size(), 1);
    QCOMPARE(first.failures.at(0).key, QStringLiteral("fa_transmi"));
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));
    QCOMPARE(journal(w.db, entryOf(1)).state, QStringLiteral("P"));
    QThread::msleep(2500); // the authority finishes what it was doing

    // The authority comes back on another port, with its record, without the
    // delay; the server is pointed at it.
    QCOMPARE(w.nfe->authority().terminate(), 0);
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--record"), record}), QString());
    w.server->terminate();
    QCOMPARE(startServer(w), QString());
    const Answer second = cancel(w, {1});
    QVERIFY2(second.null, qPrintable(second.describe()));
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QString why;
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why).size(), 1);
}

// An NF-e another system cancelled at the authority: the server's event is
// refused as a duplicate, and the authority's cancellation is taken instead
// (its procEventoNFe, its reason, its protocol); the operator is told.
void TstNfeCancel::cancelledElsewhereIsTakenFromTheAuthority() {
    FRESH(w, 2);
    const QString protocol = scalar(
        w.db, QStringLiteral("SELECT NRPROTOCOLONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"), {entryOf(1)});
    const QString elsewhere = QStringLiteral("Cancelada pelo sistema da matriz por erro de cadastro");
    QCOMPARE(cancelElsewhere(*w.nfe, w.r, accessKey(w.db, 1), protocol, elsewhere), QString());

    const Answer a = cancel(w, {1, 2});
    QCOMPARE(a.failures.size(), 1);
    QCOMPARE(a.failures.at(0).entry, entryOf(1));
    const Journal j = journal(w.db, entryOf(1));
    QCOMPARE(j.state, QStringLiteral("R"));
    QCOMPARE(texts(j.proc, QStringLiteral("xJust")), QStringList{elsewhere});
    QCOMPARE(w.nfe->verifySignature(j.proc), QString());
    const QString theirs = texts(j.proc, QStringLiteral("nProt")).last();
    QCOMPARE(a.failures.at(0).text,
             QStringLiteral("NF-e já cancelada na SEFAZ (protocolo %1): cancelada também aqui.").arg(theirs));
    QCOMPARE(a.situations, QStringList{QStringLiteral("C")});
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QCOMPARE(scalar(w.db,
                    QStringLiteral("SELECT DSMOTIVOCANC || '/' || NRPROTOCOLOCANC FROM CANCELAMENTONFE "
                                   "WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             elsewhere + u'/' + theirs);
    QString why;
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why).size(), 1);
    QCOMPARE(state(w.db, 2), QStringLiteral("C")); // the rest as usual
}

void TstNfeCancel::rejectionsLeaveTheInvoiceAuthorised() {
    FRESH(w, 3, {}, false);
    // 2 is already cancelled at the authority (with no event it shows); 3's
    // protocol is not the one the authority registered.
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET IDSITUACAONFE = 'C' WHERE NRLANCTONF = ?"),
                  {entryOf(2)}),
             QString());
    QCOMPARE(w.nfe->startAuthority(w.connection), QString());
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET IDSITUACAONFE = 'A' WHERE NRLANCTONF = ?"),
                  {entryOf(2)}),
             QString());
    const QString protocol = scalar(
        w.db, QStringLiteral("SELECT NRPROTOCOLONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"), {entryOf(3)});
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET NRPROTOCOLONFE = ? WHERE NRLANCTONF = ?"),
                  {protocol.left(14) + QString::number((protocol.at(14).digitValue() + 1) % 10), entryOf(3)}),
             QString());
    QCOMPARE(startServer(w), QString());

    const Answer a = cancel(w, {1, 2, 3});
    QCOMPARE(a.failures.size(), 2);
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    // The authority's word is final: 2 is cancelled here too, the operator
    // told so, the record holding what the authority's query said.
    QCOMPARE(a.failures.at(0).entry, entryOf(2));
    QCOMPARE(a.failures.at(0).key, QString());
    QCOMPARE(a.failures.at(0).text,
             QStringLiteral("NF-e já cancelada na SEFAZ (101 - Cancelamento de NF-e homologado): cancelada "
                            "também aqui."));
    QCOMPARE(state(w.db, 2), QStringLiteral("C"));
    QCOMPARE(records(w.db, 2), 1);
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT CDSTATUSEVENTO FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(2)}),
             QStringLiteral("101"));
    QCOMPARE(journal(w.db, entryOf(2)).state, QStringLiteral("J")); // ours was not registered
    // 3 is rejected and stays authorised.
    QCOMPARE(a.failures.at(1).entry, entryOf(3));
    QVERIFY2(a.failures.at(1).text.startsWith(QStringLiteral("222 - Rejei")),
             qPrintable(a.failures.at(1).text));
    QCOMPARE(state(w.db, 3), QStringLiteral("A"));
    QCOMPARE(records(w.db, 3), 0);
    QCOMPARE(journal(w.db, entryOf(3)).state, QStringLiteral("J"));
    QCOMPARE(journal(w.db, entryOf(3)).status, QStringLiteral("222"));

    // The same event again would only repeat the rejection: refused here,
    // nothing sent.
    const Answer repeated = cancel(w, {3});
    QCOMPARE(repeated.failures.size(), 1);
    QVERIFY2(repeated.failures.at(0).text.startsWith(QStringLiteral("Rejeitado pela SEFAZ: 222 - Rejei")),
             qPrintable(repeated.failures.at(0).text));
    QCOMPARE(journal(w.db, entryOf(3)).attempts, 1);
    QCOMPARE(journal(w.db, entryOf(3)).state, QStringLiteral("J"));

    // Once the protocol is put right, the next confirm signs a new event.
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET NRPROTOCOLONFE = ? WHERE NRLANCTONF = ?"),
                  {protocol, entryOf(3)}),
             QString());
    const QByteArray rejected = journal(w.db, entryOf(3)).sent;
    const Answer again = cancel(w, {3});
    QVERIFY2(again.null, qPrintable(again.describe()));
    const Journal j = journal(w.db, entryOf(3));
    QCOMPARE(j.state, QStringLiteral("R"));
    QVERIFY(j.sent != rejected);
}

void TstNfeCancel::termsAtTheServerAndAtTheAuthority() {
    FRESH(w, 3, {}, false);
    // Authorised two hours ago: out of an ordinary term of one hour.
    const QString twoHoursAgo =
        QDateTime::currentDateTimeUtc().addSecs(-7200).toOffsetFromUtc(-3 * 3600).toString(Qt::ISODate);
    QCOMPARE(exec(w.db,
                  QStringLiteral("UPDATE NOTAFISCAL SET DHAUTORIZACAO = ? WHERE NRLANCTONF IN (?, ?, ?)"),
                  {twoHoursAgo, entryOf(1), entryOf(2), entryOf(3)}),
             QString());

    // The server's own table says one hour: refused before anything is sent.
    QCOMPARE(w.nfe->startAuthority(w.connection), QString());
    const QString table = w.nfe->table();
    w.nfe->writeTerms(QStringLiteral("prazoHoras = 1"));
    QCOMPARE(startServer(w), QString());
    const Answer refused = cancel(w, {1});
    QCOMPARE(refused.failures.size(), 1);
    QVERIFY2(refused.failures.at(0).text.startsWith(QStringLiteral("Prazo de cancelamento esgotado")),
             qPrintable(refused.failures.at(0).text));
    QCOMPARE(journal(w.db, entryOf(1)).state, QString()); // nothing signed, nothing sent
    w.server->terminate();

    // The server admits it, the authority does not (501); then an authority
    // that accepts late cancellations registers it with 155.
    w.nfe->writeTable(table);
    QCOMPARE(w.nfe->authority().terminate(), 0);
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--ordinary-hours"), QStringLiteral("1")}),
             QString());
    QCOMPARE(startServer(w), QString());
    const Answer late = cancel(w, {2});
    QCOMPARE(late.failures.size(), 1);
    QVERIFY2(late.failures.at(0).text.startsWith(QStringLiteral("501 - ")),
             qPrintable(late.failures.at(0).text));
    QCOMPARE(state(w.db, 2), QStringLiteral("A"));
    w.server->terminate();

    QCOMPARE(w.nfe->authority().terminate(), 0);
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--ordinary-hours"), QStringLiteral("1"),
                                                  QStringLiteral("--late-days"), QStringLiteral("7")}),
             QString());
    QCOMPARE(startServer(w), QString());
    const Answer accepted = cancel(w, {3});
    QVERIFY2(accepted.null, qPrintable(accepted.describe()));
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT CDSTATUSEVENTO FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(3)}),
             QStringLiteral("155"));
}

// Both sides count from the authorisation: with 24 hours ordinary and a late
// term up to 168 hours (7 days) on the server's table and at the authority,
// an invoice just inside 24 h is registered as usual (135), just past it as
// late (155), just inside 168 h still late, and just past 168 h is refused by
// the server before anything is signed.
void TstNfeCancel::termsAtTheirEdges() {
    FRESH(w, 4, {}, false);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto authorisedAgo = [&](int n, qint64 seconds) {
        return exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET DHAUTORIZACAO = ? WHERE NRLANCTONF = ?"),
                    {now.addSecs(-seconds).toOffsetFromUtc(-3 * 3600).toString(Qt::ISODate), entryOf(n)});
    };
    constexpr qint64 kHour = 3600;
    constexpr qint64 kMargin = qint64{10} * 60; // the test's own minutes
    QCOMPARE(authorisedAgo(1, 24 * kHour - kMargin), QString());
    QCOMPARE(authorisedAgo(2, 24 * kHour + kMargin), QString());
    QCOMPARE(authorisedAgo(3, 168 * kHour - kMargin), QString());
    QCOMPARE(authorisedAgo(4, 168 * kHour + kMargin), QString());
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--ordinary-hours"), QStringLiteral("24"),
                                                  QStringLiteral("--late-hours"), QStringLiteral("168")}),
             QString());
    w.nfe->writeTerms(QStringLiteral("prazoHoras = 24\nprazoExtemporaneoHoras = 168"));
    QCOMPARE(startServer(w), QString());

    const Answer a = cancel(w, {1, 2, 3, 4});
    QVERIFY2(a.failures.size() == 1, qPrintable(a.describe()));
    QCOMPARE(a.failures.at(0).entry, entryOf(4));
    QVERIFY2(a.failures.at(0).text.contains(QStringLiteral("(prazos de 24 h e 168 h)")),
             qPrintable(a.failures.at(0).text));
    QCOMPARE(journal(w.db, entryOf(4)).state, QString()); // nothing signed
    const QString status = QStringLiteral("SELECT CDSTATUSEVENTO FROM CANCELAMENTONFE WHERE NRLANCTONF = ?");
    QCOMPARE(scalar(w.db, status, {entryOf(1)}), QStringLiteral("135"));
    QCOMPARE(scalar(w.db, status, {entryOf(2)}), QStringLiteral("155"));
    QCOMPARE(scalar(w.db, status, {entryOf(3)}), QStringLiteral("155"));
}

// Beyond the table's terms, an invoice whose late cancellation the state
// approved (zav-admin approve-late) is sent until the approval's last day;
// the authority has the last word (155), and the approval stays on record.
void TstNfeCancel::lateCancellationTheStateApproved() {
    FRESH(w, 2, {}, false);
    // Authorised two hours ago: out of an ordinary term of one hour, within
    // the authority's late term.
    const QString twoHoursAgo =
        QDateTime::currentDateTimeUtc().addSecs(-7200).toOffsetFromUtc(-3 * 3600).toString(Qt::ISODate);
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET DHAUTORIZACAO = ? WHERE NRLANCTONF IN (?, ?)"),
                  {twoHoursAgo, entryOf(1), entryOf(2)}),
             QString());
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--ordinary-hours"), QStringLiteral("1"),
                                                  QStringLiteral("--late-days"), QStringLiteral("7")}),
             QString());
    QCOMPARE(startServer(w), QString());
    w.nfe->writeTerms(QStringLiteral("prazoHoras = 1"));
    w.server->terminate();
    QCOMPARE(startServer(w), QString());
    const Answer refused = cancel(w, {1});
    QCOMPARE(refused.failures.size(), 1);
    QVERIFY2(refused.failures.at(0).text.startsWith(QStringLiteral("Prazo de cancelamento esgotado")),
             qPrintable(refused.failures.at(0).text));

    const auto admin = [&](const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QFileInfo(ServerProcess::binary()).dir().filePath(QStringLiteral("zav-admin")),
                QStringList{QStringLiteral("--db"), w.connection, QStringLiteral("approve-late")} + args);
        const int code = exitCodeWithin(p, 60000);
        return std::pair{code, QString::fromUtf8(p.readAll())};
    };
    const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
    const QString reference = QStringLiteral("Processo SEFAZ 2026/000123");
    QVERIFY(admin({entryOf(1), QStringLiteral("--until"), tomorrow}).second.contains(u"--reference"));
    QVERIFY(admin({entryOf(1), QStringLiteral("--until"), QStringLiteral("2020-01-01"),
                   QStringLiteral("--reference"), reference})
                .second.contains(u"já passou"));
    QVERIFY(admin({QStringLiteral("9999999999"), QStringLiteral("--until"), tomorrow,
                   QStringLiteral("--reference"), reference})
                .second.contains(u"não encontrada"));
    const auto [code, text] =
        admin({entryOf(1), QStringLiteral("--until"), tomorrow, QStringLiteral("--reference"), reference});
    QVERIFY2(code == 0, qPrintable(text));
    QVERIFY(admin({entryOf(1), QStringLiteral("--until"), tomorrow, QStringLiteral("--reference"), reference})
                .first != 0); // one approval per invoice

    const Answer approved = cancel(w, {1, 2});
    QVERIFY2(approved.failures.size() == 1, qPrintable(approved.describe())); // 2 was not approved
    QCOMPARE(approved.failures.at(0).entry, entryOf(2));
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT CDSTATUSEVENTO FROM CANCELAMENTONFE WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             QStringLiteral("155"));
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT DSAUTORIZACAO FROM CANCEXTEMPNFE WHERE NRLANCTONF = ?"),
                    {entryOf(1)}),
             reference);

    // A cancelled or denied invoice has nothing to approve: refused, and
    // nothing recorded.
    QCOMPARE(exec(w.db, QStringLiteral("DELETE FROM CANCEXTEMPNFE WHERE NRLANCTONF = ?"), {entryOf(1)}),
             QString());
    const auto cancelled =
        admin({entryOf(1), QStringLiteral("--until"), tomorrow, QStringLiteral("--reference"), reference});
    QVERIFY2(cancelled.first != 0 && cancelled.second.contains(u"já cancelada"),
             qPrintable(cancelled.second));
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET IDSITUACAONFE = 'D' WHERE NRLANCTONF = ?"),
                  {entryOf(2)}),
             QString());
    const auto denied =
        admin({entryOf(2), QStringLiteral("--until"), tomorrow, QStringLiteral("--reference"), reference});
    QVERIFY2(denied.first != 0 && denied.second.contains(u"denegada"), qPrintable(denied.second));
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT COUNT(*) FROM CANCEXTEMPNFE")), QStringLiteral("0"));
}

// A registration pointed at another company's A1: the event signs, but the
// authority refuses a certificate whose CNPJ base is not the author's (213);
// the invoice stays authorised, and its own certificate cancels it after.
void TstNfeCancel::anotherCompanysCertificateIsRefused() {
    FRESH(w, 1);
    const QString setSerial =
        QStringLiteral("UPDATE INSCRESTAD SET NRSERIECERTIFIC = ? WHERE CDEMPRESA = ? AND CDINSCESTA = ?");
    QCOMPARE(exec(w.db, setSerial, {QStringLiteral("DEADBEEF03"), w.e.company, w.e.stateRegistration}),
             QString());
    Registration stranger = w.r;
    stranger.certificate = QStringLiteral("DEADBEEF03");
    Client client(w.server->port());
    QString why;
    InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(1), &why);
    QVERIFY2(list.tick(entryOf(1), kReason), qPrintable(why));
    const Answer a = client.cancel(list.packet(), kOperator, today(), stranger);
    QCOMPARE(a.failures.size(), 1);
    QCOMPARE(a.failures.at(0).key, QString());
    QVERIFY2(a.failures.at(0).text.startsWith(
                 u"213 - Rejeição: CNPJ-Base do Autor difere do CNPJ-Base do Certificado Digital"),
             qPrintable(a.failures.at(0).text));
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));
    QCOMPARE(records(w.db, 1), 0);
    const Journal refused = journal(w.db, entryOf(1));
    QCOMPARE(refused.state, QStringLiteral("J"));
    QCOMPARE(refused.status, QStringLiteral("213"));
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 1), &why).size(), 0);

    QCOMPARE(exec(w.db, setSerial, {w.r.certificate, w.e.company, w.e.stateRegistration}), QString());
    const Answer own = cancel(w, {1});
    QVERIFY2(own.null, qPrintable(own.describe()));
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
}

void TstNfeCancel::certificateFailures() {
    FRESH(w, 3);
    const QString setSerial =
        QStringLiteral("UPDATE INSCRESTAD SET NRSERIECERTIFIC = ? WHERE CDEMPRESA = ? AND CDINSCESTA = ?");
    struct Case {
        const char* serial;
        const char* text;
    };
    // Expired, not yet valid, not in the folder.
    const Case cases[] = {
        {"DEADBEEF01", "venceu em"}, {"DEADBEEF02", "só vale a partir"}, {"ABCDEF0123", "não encontrado"}};
    int n = 1;
    for (const Case& c : cases) {
        QCOMPARE(exec(w.db, setSerial, {QLatin1String(c.serial), w.e.company, w.e.stateRegistration}),
                 QString());
        Registration r = w.r;
        r.certificate = QLatin1String(c.serial);
        Client client(w.server->port());
        QString why;
        InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(3), &why);
        QVERIFY(list.tick(entryOf(n), kReason));
        const Answer a = client.cancel(list.packet(), kOperator, today(), r);
        QCOMPARE(a.failures.size(), 1);
        QCOMPARE(a.failures.at(0).key, QStringLiteral("fa_assinar"));
        QVERIFY2(a.failures.at(0).text.contains(QString::fromUtf8(c.text)),
                 qPrintable(a.failures.at(0).text));
        QCOMPARE(state(w.db, n), QStringLiteral("A"));
        QCOMPARE(journal(w.db, entryOf(n)).state, QString());
        ++n;
    }

    // A wrong password opens none of the files.
    QCOMPARE(exec(w.db, setSerial, {w.r.certificate, w.e.company, w.e.stateRegistration}), QString());
    QTemporaryDir dir;
    QFile wrong(dir.filePath(QStringLiteral("senha")));
    QVERIFY(wrong.open(QIODevice::WriteOnly));
    wrong.write("outra-senha\n");
    wrong.close();
    QVERIFY(wrong.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    w.server->terminate();
    QStringList arguments = w.nfe->serverArguments();
    arguments[arguments.indexOf(QStringLiteral("--certificate-password-file")) + 1] = wrong.fileName();
    QCOMPARE(startServerWithOnly(w, arguments), QString());
    const Answer a = cancel(w, {1});
    QCOMPARE(a.failures.size(), 1);
    QCOMPARE(a.failures.at(0).key, QStringLiteral("fa_assinar"));
    QVERIFY2(a.failures.at(0).text.contains(u"senha"), qPrintable(a.failures.at(0).text));
}

void TstNfeCancel::unconfiguredServerSaysWhatIsMissing() {
    FRESH(w, 1, {}, false);
    QCOMPARE(startServerWithOnly(w, {}), QString());
    const Answer a = cancel(w, {1});
    QCOMPARE(a.failures.size(), 1);
    QCOMPARE(a.failures.at(0).key, QStringLiteral("fa_assinar"));
    QVERIFY2(a.failures.at(0).text.contains(u"--certificates"), qPrintable(a.failures.at(0).text));
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));

    // An authority nobody listens to: pending, then sent once it is there.
    QVERIFY(w.server->terminate() == 0);
    QCOMPARE(w.nfe->startAuthority(w.connection), QString());
    QCOMPARE(w.nfe->authority().terminate(), 0); // its port is free again
    QCOMPARE(startServer(w), QString());
    const Answer unreachable = cancel(w, {1});
    QCOMPARE(unreachable.failures.size(), 1);
    QCOMPARE(unreachable.failures.at(0).key, QStringLiteral("fa_transmi"));
    QCOMPARE(journal(w.db, entryOf(1)).state, QStringLiteral("P"));
}

QTEST_GUILESS_MAIN(TstNfeCancel)
// 25 invoices in two batches (20 and 5), the seventh with a protocol the
// authority does not have: it alone is rejected, the nineteen beside it in
// its batch and the five of the other are registered, each answer taken by
// its access key; each journal row knows its batch.
void TstNfeCancel::batchOfTwentyWithOneRejected() {
    FRESH(w, 25);
    const QString protocol = scalar(
        w.db, QStringLiteral("SELECT NRPROTOCOLONFE FROM NOTAFISCAL WHERE NRLANCTONF = ?"), {entryOf(7)});
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE NOTAFISCAL SET NRPROTOCOLONFE = ? WHERE NRLANCTONF = ?"),
                  {protocol.left(14) + QString::number((protocol.at(14).digitValue() + 1) % 10), entryOf(7)}),
             QString());
    QList<int> all;
    for (int n = 1; n <= 25; ++n)
        all.append(n);
    const Answer a = cancel(w, all);
    QCOMPARE(a.failures.size(), 1);
    QCOMPARE(a.failures.at(0).entry, entryOf(7));
    QVERIFY2(a.failures.at(0).text.startsWith(QStringLiteral("222 - Rejei")), qPrintable(a.describe()));
    QCOMPARE(authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("evento")), 2);
    QSet<QString> batches;
    QString why;
    for (int n = 1; n <= 25; ++n) {
        const Journal j = journal(w.db, entryOf(n));
        batches.insert(j.batch);
        QCOMPARE(j.attempts, 1);
        if (n == 7) {
            QCOMPARE(state(w.db, n), QStringLiteral("A"));
            QCOMPARE(j.state, QStringLiteral("J"));
            QCOMPARE(records(w.db, n), 0);
            continue;
        }
        QCOMPARE(state(w.db, n), QStringLiteral("C"));
        QCOMPARE(j.state, QStringLiteral("R"));
        QCOMPARE(records(w.db, n), 1);
        // Its own procEventoNFe: the event of this NF-e, its answer.
        QVERIFY(j.proc.contains("<chNFe>" + accessKey(w.db, n).toLatin1() + "</chNFe>"));
        QCOMPARE(w.nfe->verifySignature(j.proc), QString());
    }
    QCOMPARE(batches.size(), 2);
    QCOMPARE(journal(w.db, entryOf(1)).batch, journal(w.db, entryOf(20)).batch);
    QVERIFY(journal(w.db, entryOf(20)).batch != journal(w.db, entryOf(21)).batch);
    QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, 12), &why).size(), 1);
}

// The answer to one of two batches is lost after the authority registered
// it: its invoices stay pending, and the next call finds each registered by
// the protocol query, one query per invoice, without sending any again.
void TstNfeCancel::lostBatchAnswerIsRecovered() {
    FRESH(w, 25, {QStringLiteral("--drop-answers"), QStringLiteral("1")});
    QList<int> all;
    for (int n = 1; n <= 25; ++n)
        all.append(n);
    const Answer first = cancel(w, all);
    // Either batch may be the first to arrive.
    QVERIFY2(first.failures.size() == 20 || first.failures.size() == 5, qPrintable(first.describe()));
    for (const Failure& f : first.failures) {
        QCOMPARE(f.key, QStringLiteral("fa_transmi"));
        QVERIFY2(f.text.startsWith(QStringLiteral("Pedido pendente")), qPrintable(f.text));
        QCOMPARE(journal(w.db, f.entry).state, QStringLiteral("P"));
    }
    QCOMPARE(authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("evento")), 2);

    const Answer second = cancel(w, all);
    QVERIFY2(second.null, qPrintable(second.describe()));
    const QMap<QString, int> requests = authorityRequests(*w.nfe, w.r.certificate);
    QCOMPARE(requests.value(QStringLiteral("evento")), 2); // nothing sent again
    QCOMPARE(requests.value(QStringLiteral("consulta")), int(first.failures.size()));
    QString why;
    for (int n = 1; n <= 25; ++n) {
        QCOMPARE(state(w.db, n), QStringLiteral("C"));
        QCOMPARE(records(w.db, n), 1);
        QCOMPARE(authorityEvents(*w.nfe, w.r.certificate, accessKey(w.db, n), &why).size(), 1);
    }
    for (const Failure& f : first.failures)
        QCOMPARE(journal(w.db, f.entry).queries, 1);
}

// An authority that takes requests and never answers: the first batches in
// flight time out, nothing more is sent in the call, and the invoices not
// sent are said so, neither signed nor journalled.
void TstNfeCancel::hungAuthorityTripsTheBreaker() {
    FRESH(w, 100, {}, false);
    QCOMPARE(w.nfe->startAuthority(w.connection, {QStringLiteral("--hang")}, 1000), QString());
    QCOMPARE(startServer(w), QString());
    QList<int> all;
    for (int n = 1; n <= 100; ++n)
        all.append(n);
    const Answer a = cancel(w, all);
    QCOMPARE(a.failures.size(), 100);
    int pending = 0, notSent = 0;
    for (const Failure& f : a.failures) {
        QCOMPARE(f.key, QStringLiteral("fa_transmi"));
        if (f.text.startsWith(QStringLiteral("Pedido pendente"))) {
            ++pending;
            QCOMPARE(journal(w.db, f.entry).state, QStringLiteral("P"));
        } else {
            ++notSent;
            QVERIFY2(f.text.startsWith(QStringLiteral("SEFAZ indisponível (3 lotes sem resposta")) ||
                         f.text.startsWith(QStringLiteral("SEFAZ indisponível (4 lotes sem resposta")),
                     qPrintable(f.text));
            QCOMPARE(journal(w.db, f.entry).state, QString()); // never signed
        }
    }
    // The four batches of the first round were sent; no batch after the breaker.
    QCOMPARE(pending, 80);
    QCOMPARE(notSent, 20);
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT COUNT(*) FROM NFEEVENTO")), QStringLiteral("80"));
    QCOMPARE(scalar(w.db,
                    QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL WHERE IDSITUACAONFE = 'C' AND NRLANCTONF "
                                   "BETWEEN ? AND ?"),
                    {entryOf(1), entryOf(100)}),
             QStringLiteral("0"));
}

void TstNfeCancel::pausesAreHonouredByEveryServer_data() {
    zavtest::addDatabaseColumn();
    QTest::addColumn<QStringList>("play");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("minutes");
    for (const QString& d : zavtest::dialects()) {
        zavtest::newRow(d, "656") << QStringList{QStringLiteral("--consumo-indevido")} << 656 << 60;
        zavtest::newRow(d, "108") << QStringList{QStringLiteral("--paused"), QStringLiteral("108")} << 108
                                  << 5;
    }
}

// 656 (consumo indevido) and 108 (paused): the batches of the call get the
// answer, the authority is paused in the database, and nothing more is sent
// to it by this server or another on the same database until the pause ends.
void TstNfeCancel::pausesAreHonouredByEveryServer() {
    QFETCH(QStringList, play);
    QFETCH(int, status);
    QFETCH(int, minutes);
    FRESH(w, 60, play);
    QList<int> all;
    for (int n = 1; n <= 60; ++n)
        all.append(n);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const Answer first = cancel(w, all);
    QCOMPARE(first.failures.size(), 60);
    const int sent = authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("evento"));
    QVERIFY2(sent >= 1 && sent <= 3, qPrintable(QString::number(sent)));
    const QString code = QString::number(status);
    for (const Failure& f : first.failures)
        QVERIFY2(f.text.startsWith(code + QStringLiteral(" - ")) ||
                     (f.key == u"fa_transmi" && f.text.startsWith(QStringLiteral("SEFAZ em pausa até "))),
                 qPrintable(f.text));
    QCOMPARE(scalar(w.db, QStringLiteral("SELECT CDSTATUS FROM SEFAZPAUSA")), code);
    const qint64 until = scalar(w.db, QStringLiteral("SELECT DHATE FROM SEFAZPAUSA")).toLongLong();
    const qint64 pause = qint64(minutes) * 60;
    QVERIFY(until >= before + pause && until <= QDateTime::currentSecsSinceEpoch() + pause);
    QCOMPARE(scalar(w.db,
                    QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL WHERE IDSITUACAONFE = 'C' AND NRLANCTONF "
                                   "BETWEEN ? AND ?"),
                    {entryOf(1), entryOf(100)}),
             QStringLiteral("0"));

    // A second server on the same database honours it: nothing is sent.
    ServerProcess second;
    QString why;
    QVERIFY2(second.start(w.connection, w.nfe->serverArguments(), &why), qPrintable(why));
    carrySessions(w.server->port(), second.port());
    Client client(second.port());
    InvoiceList list = InvoiceList::fetch(client, w.e, issueDayOf(1), issueDayOf(60), &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    list.tickAll(kReason);
    const Answer again = client.cancel(list.packet(), kOperator, today(), w.r);
    QCOMPARE(again.failures.size(), 60);
    for (const Failure& f : again.failures) {
        QCOMPARE(f.key, QStringLiteral("fa_transmi"));
        QVERIFY2(f.text.startsWith(QStringLiteral("SEFAZ em pausa até ")) && f.text.contains(u'(' + code),
                 qPrintable(f.text));
    }
    QCOMPARE(authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("evento")), sent);
    // The events the pause refused were not registered: they are replaced,
    // not held against the operator, once the pause is over.
    QCOMPARE(exec(w.db, QStringLiteral("UPDATE SEFAZPAUSA SET DHATE = ?"), {before - 1}), QString());
    const Answer after = client.cancel(list.packet(), kOperator, today(), w.r);
    QCOMPARE(after.failures.size(), 60);
    QVERIFY2(after.failures.at(0).text.startsWith(code + QStringLiteral(" - ")),
             qPrintable(after.describe()));
    QVERIFY(authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("evento")) > sent);
}

// The protocol query of one NF-e at most ten times an hour: a pending event
// whose NF-e was asked about ten times in the last hour waits for the hour
// to end, and nothing goes to the authority meanwhile.
void TstNfeCancel::protocolQueriesTenAnHour() {
    FRESH(w, 1, {QStringLiteral("--drop-answers"), QStringLiteral("1")});
    const Answer dropped = cancel(w, {1});
    QCOMPARE(dropped.failures.size(), 1);
    QCOMPARE(journal(w.db, entryOf(1)).state, QStringLiteral("P"));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString setQueries =
        QStringLiteral("UPDATE NFEEVENTO SET NRCONSULTAS = ?, DHCONSULTA = ? WHERE NRLANCTONF = ?");
    QCOMPARE(exec(w.db, setQueries, {10, now - 600, entryOf(1)}), QString());
    const Answer held = cancel(w, {1});
    QCOMPARE(held.failures.size(), 1);
    QCOMPARE(held.failures.at(0).key, QStringLiteral("fa_transmi"));
    QVERIFY2(held.failures.at(0).text.startsWith(
                 QStringLiteral("Pedido pendente: a SEFAZ já foi consultada 10 vezes sobre esta NF-e")),
             qPrintable(held.failures.at(0).text));
    QCOMPARE(held.situations, QStringList{QStringLiteral("P")});
    QCOMPARE(authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("consulta")), 0);
    QCOMPARE(state(w.db, 1), QStringLiteral("A"));

    // Nine in the hour: one more is allowed, and finds the event registered.
    QCOMPARE(exec(w.db, setQueries, {9, now - 600, entryOf(1)}), QString());
    const Answer resumed = cancel(w, {1});
    QVERIFY2(resumed.null, qPrintable(resumed.describe()));
    QCOMPARE(authorityRequests(*w.nfe, w.r.certificate).value(QStringLiteral("consulta")), 1);
    QCOMPARE(state(w.db, 1), QStringLiteral("C"));
    QCOMPARE(journal(w.db, entryOf(1)).queries, 10);
}

#include "tst_nfecancel.moc"
