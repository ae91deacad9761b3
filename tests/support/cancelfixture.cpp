#include "cancelfixture.h"
#include "serverprocess.h"

#include "accesskey.h"
#include "database.h"
#include "invoicewriter.h"
#include "transaction.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>

namespace canceltest {

QString today() {
    return QDate::currentDate().toString(Qt::ISODate);
}

namespace {

const char* const kPath = "/ZAV50000.rdmCancelaNFE";

QString digits(qint64 value, int width) {
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

bool run(QSqlQuery& q, const QString& sql, const QVariantList& values) {
    if (!q.prepare(sql))
        return false;
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    return q.exec();
}

} // namespace

Establishment mainEstablishment(QSqlDatabase& db) {
    Establishment e;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral(
            "SELECT CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE, NRCNPJFILIAL FROM FILIAL "
            "ORDER BY CDFILIAL")) ||
        !q.next())
        return e;
    e = {q.value(0).toString(),
         q.value(1).toString(),
         q.value(2).toString(),
         q.value(3).toString(),
         q.value(4).toString(),
         q.value(5).toString(),
         {}};
    // The state's code as the demo's own keys of that branch carry it.
    e.stateCode = scalar(db,
                         QStringLiteral("SELECT SUBSTR(NRACESSONFE, 1, 2) FROM NOTAFISCAL WHERE CDFILIAL = ? "
                                        "ORDER BY NRLANCTONF"),
                         {e.branch});
    return e;
}

Registration registrationOf(QSqlDatabase& db, const Establishment& e) {
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral(
                 "SELECT IDTPAMBIENTENFE, NRSERIECERTIFIC, SGESTADO FROM INSCRESTAD WHERE CDEMPRESA = ? "
                 "AND CDINSCESTA = ?"),
             {e.company, e.stateRegistration}) ||
        !q.next())
        return {};
    return {q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
}

QString entryOf(int n) {
    return QStringLiteral("2") + digits(n, 9);
}

QDate issueDayOf(int n) {
    return QDate(2019, 1, 1).addDays(n);
}

QString insertInvoices(QSqlDatabase& db, const Establishment& e, int first, int count, char state,
                       bool receivables) {
    try {
        zavdb::Transaction transaction(db);
        zavdb::InvoiceWriter writer(db, 100);
        for (int n = first; n < first + count; ++n) {
            zavdb::InvoiceRecord invoice;
            invoice.entry = entryOf(n);
            invoice.branch = e.branch;
            invoice.company = e.company;
            invoice.stateRegistration = e.stateRegistration;
            invoice.cityRegistration = e.cityRegistration;
            invoice.series = e.series;
            invoice.number = 200000000 + n;
            invoice.issued = issueDayOf(n);
            invoice.bookEntry = digits(n, 12);
            invoice.value = 100.0 + n;
            invoice.counterpartyKind = u'L';
            invoice.counterparty = e.branch == u"0002" ? QStringLiteral("0001") : QStringLiteral("0002");
            invoice.name = QStringLiteral("Filial %1").arg(n);
            invoice.state = QLatin1Char(state);
            invoice.stateCode = e.stateCode;
            invoice.issuerCnpj = e.cnpj;
            invoice.nfeSeries = 1;
            invoice.keyCode = n + 7;
            invoice.protocol = QStringLiteral("1") + e.stateCode + QStringLiteral("19") + digits(n, 10);
            invoice.authorisedAt = invoice.issued.toString(Qt::ISODate) + QStringLiteral("T10:00:00-03:00");
            writer.add(invoice);
            if (receivables)
                writer.addReceivable({invoice.entry, 1, invoice.issued.addDays(30), invoice.value, u'A'});
        }
        writer.flush();
        transaction.commit();
    } catch (const zavdb::DatabaseError& error) {
        return error.text();
    }
    return {};
}

QString scalar(QSqlDatabase& db, const QString& sql, const QVariantList& values) {
    QSqlQuery q(db);
    if (!run(q, sql, values))
        return QStringLiteral("ERROR: ") + q.lastError().text();
    return q.next() ? q.value(0).toString() : QString();
}

QString exec(QSqlDatabase& db, const QString& sql, const QVariantList& values) {
    QSqlQuery q(db);
    return run(q, sql, values) ? QString() : q.lastError().text();
}

QString Answer::describe() const {
    if (errorCode)
        return QStringLiteral("error %1: %2").arg(errorCode).arg(errorMessage);
    if (null)
        return QStringLiteral("null");
    QStringList lines;
    for (const Failure& f : failures)
        lines.append(QStringLiteral("%1 %2 %3").arg(f.entry, f.key, f.text));
    return QStringLiteral("HTTP %1, %2 failures: %3")
        .arg(httpStatus)
        .arg(failures.size())
        .arg(lines.join(u"; "));
}

namespace {

// The sessions the tests opened: by server port and operator.
QHash<QPair<int, QString>, QByteArray>& sessions() {
    static QHash<QPair<int, QString>, QByteArray> byServer;
    return byServer;
}

} // namespace

QString signIn(ServerProcess& server, const QString& connectionText, const QStringList& operators) {
    for (const QString& code : operators) {
        QString why;
        const QByteArray token = server.signIn(connectionText, code, &why);
        if (token.isEmpty())
            return why;
        sessions().insert({server.port(), code}, token);
    }
    return {};
}

void carrySessions(int fromPort, int toPort) {
    const auto all = sessions();
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        if (it.key().first == fromPort)
            sessions().insert({toPort, it.key().second}, it.value());
}

Client::Client(int port) : m_port(port), m_client(std::make_unique<httplib::Client>("127.0.0.1", port)) {
    m_client->set_read_timeout(300);
    m_client->set_tcp_nodelay(true);
}

Client::~Client() = default;

QCborMap Client::call(const QString& method, const QCborArray& params, int* httpStatus) {
    return call(method, params, kOperator, httpStatus);
}

QCborMap Client::call(const QString& method, const QCborArray& params, const QString& operatorCode,
                      int* httpStatus) {
    httplib::Headers headers;
    const QByteArray token =
        !m_token.isEmpty() ? m_token
                           : sessions().value({m_port, operatorCode}, sessions().value({m_port, kOperator}));
    if (!token.isEmpty())
        headers.emplace("Authorization", "Bearer " + token.toStdString());
    QCborMap request;
    request.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    request.insert(QStringLiteral("id"), 1);
    request.insert(QStringLiteral("method"), method);
    request.insert(QStringLiteral("params"), params);
    const QByteArray body = QJsonDocument(request.toJsonObject()).toJson(QJsonDocument::Compact);
    const auto result =
        m_client->Post(kPath, headers, body.constData(), size_t(body.size()), "application/json");
    if (httpStatus)
        *httpStatus = result ? result->status : 0;
    if (!result)
        return {};
    return QCborValue::fromJsonValue(
               QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object())
        .toMap();
}

Answer Client::cancel(const QCborArray& params) {
    Answer a;
    const QString operatorCode = params.size() > 1 ? params.at(1).toString() : QString();
    const QCborMap message = call(QStringLiteral("Cancela_NotaFiscal"), params, operatorCode, &a.httpStatus);
    const QCborMap error = message.value(QStringLiteral("error")).toMap();
    if (!error.isEmpty()) {
        a.errorCode = int(error.value(QStringLiteral("code")).toInteger());
        a.errorMessage = error.value(QStringLiteral("message")).toString();
        return a;
    }
    if (!message.contains(QStringLiteral("result"))) {
        a.errorCode = -1;
        a.errorMessage = QStringLiteral("no result (HTTP %1)").arg(a.httpStatus);
        return a;
    }
    const QCborValue result = message.value(QStringLiteral("result"));
    a.null = result.isNull();
    const QCborMap packet = result.toMap();
    for (const auto& f : packet.value(QStringLiteral("fields")).toArray()) {
        a.fields.append(f.toMap());
        a.fieldNames.append(f.toMap().value(QStringLiteral("name")).toString());
    }
    for (const auto& r : packet.value(QStringLiteral("rows")).toArray()) {
        const QCborArray row = r.toArray();
        a.failures.append({row.at(0).toString(), row.at(1).toString(), row.at(2).toString()});
        a.situations.append(row.at(3).toString());
    }
    return a;
}

Answer Client::cancel(const QCborMap& packet, const QString& operatorCode, const QString& processingDate,
                      const Registration& r) {
    return cancel(QCborArray{packet, operatorCode, processingDate, r.environment, r.certificate, r.state});
}

InvoiceList InvoiceList::fetch(Client& client, const Establishment& e, QDate from, QDate to, QString* why) {
    InvoiceList list;
    int status = 0;
    const QCborMap message = client.call(QStringLiteral("GetNotaFiscal"),
                                         {e.branch, e.company, e.stateRegistration, e.cityRegistration,
                                          e.series, QString(), QString(), QString(), QString(),
                                          from.toString(Qt::ISODate), to.toString(Qt::ISODate), QString()},
                                         &status);
    const QCborMap result = message.value(QStringLiteral("result")).toMap();
    if (result.isEmpty()) {
        *why = QStringLiteral("GetNotaFiscal failed (HTTP %1): %2")
                   .arg(status)
                   .arg(message.value(QStringLiteral("error"))
                            .toMap()
                            .value(QStringLiteral("message"))
                            .toString());
        return list;
    }
    list.m_fields = result.value(QStringLiteral("fields")).toArray();
    for (const auto& r : result.value(QStringLiteral("rows")).toArray())
        list.m_rows.append(r.toArray());
    // The screen's order.
    const qsizetype key = list.column(QStringLiteral("LANCAMENTO"));
    std::sort(list.m_rows.begin(), list.m_rows.end(), [key](const QCborArray& a, const QCborArray& b) {
        return a.at(key).toString() < b.at(key).toString();
    });
    return list;
}

qsizetype InvoiceList::column(const QString& field) const {
    for (qsizetype i = 0; i < m_fields.size(); ++i)
        if (m_fields.at(i).toMap().value(QStringLiteral("name")).toString() == field)
            return i;
    return -1;
}

QCborMap InvoiceList::packet() const {
    QCborArray rows;
    for (const QCborArray& r : m_rows)
        rows.append(r);
    QCborMap map;
    map.insert(QStringLiteral("fields"), m_fields);
    map.insert(QStringLiteral("rows"), rows);
    return map;
}

QStringList InvoiceList::entries() const {
    QStringList result;
    const qsizetype c = column(QStringLiteral("NRLANCTONF"));
    for (const QCborArray& r : m_rows)
        result.append(r.at(c).toString());
    return result;
}

bool InvoiceList::set(const QString& entry, const QString& field, const QCborValue& value) {
    const qsizetype c = column(QStringLiteral("NRLANCTONF"));
    const qsizetype target = column(field);
    bool found = false;
    for (QCborArray& r : m_rows) {
        if (r.at(c).toString() == entry && target >= 0) {
            r[target] = value;
            found = true;
        }
    }
    return found;
}

bool InvoiceList::tick(const QString& entry, const QCborValue& reason) {
    return set(entry, QStringLiteral("IDCHECK"), QStringLiteral("C")) &&
           set(entry, QStringLiteral("DSMOTIVOCANCNFE"), reason);
}

void InvoiceList::tickAll(const QString& reason) {
    for (const QString& entry : entries())
        tick(entry, reason);
}

bool InvoiceList::appendCopy(const QString& from, const QString& as, const QString& reason) {
    const qsizetype c = column(QStringLiteral("NRLANCTONF"));
    for (const QCborArray& r : m_rows) {
        if (r.at(c).toString() != from)
            continue;
        QCborArray copy = r;
        copy[c] = as;
        copy[column(QStringLiteral("IDCHECK"))] = QStringLiteral("C");
        copy[column(QStringLiteral("DSMOTIVOCANCNFE"))] = reason;
        m_rows.append(copy);
        return true;
    }
    return false;
}

void InvoiceList::reverse() {
    std::reverse(m_rows.begin(), m_rows.end());
}

} // namespace canceltest
