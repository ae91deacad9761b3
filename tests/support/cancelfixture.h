#pragma once
// What the cancellation tests share: invoices of their own written straight
// into the database (far from the demo's dates, on days of their own), the
// list as GetNotaFiscal gives it, and Cancela_NotaFiscal called over HTTP with
// its answer decoded.
#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>

namespace httplib {
class Client;
}

class ServerProcess;

namespace canceltest {

struct Establishment {
    QString branch, company, stateRegistration, cityRegistration, series, cnpj, stateCode;
};

// Arguments 4, 5 and 6 as the screen takes them from the registration.
struct Registration {
    QString environment, certificate, state;
};

// The reason and the operator of the tests' cancellations.
inline const QString kReason = QStringLiteral("Erro de digitação no valor da nota");
inline const QString kOperator = QStringLiteral("OPER1");
// Today, the main branch's processing date in a fresh database: what the
// screen sends as the processing date (ISO 8601).
QString today();

// The demo's first branch with its own establishment and registration.
Establishment mainEstablishment(QSqlDatabase& db);
Registration registrationOf(QSqlDatabase& db, const Establishment& e);

// Test invoice n: entry "2" followed by n in nine digits, issued on day n
// after 2019-01-01, with a valid access key and a 15-digit protocol.
QString entryOf(int n);
QDate issueDayOf(int n);
// Writes invoices first .. first + count - 1 in one transaction; with
// receivables, each gets one open instalment. Empty on success, else why.
QString insertInvoices(QSqlDatabase& db, const Establishment& e, int first, int count, char state = 'A',
                       bool receivables = false);

// Runs one statement with positional values; the first column of the first
// row (empty when none); a failure becomes the text "ERROR: ...".
QString scalar(QSqlDatabase& db, const QString& sql, const QVariantList& values = {});
QString exec(QSqlDatabase& db, const QString& sql, const QVariantList& values = {}); // empty or why

struct Failure {
    QString entry, key, text;
    bool operator==(const Failure&) const = default;
};

// A decoded answer of Cancela_NotaFiscal: a null result, a packet of failures
// or a JSON-RPC error.
struct Answer {
    int httpStatus = 0;
    bool null = false;
    int errorCode = 0;
    QString errorMessage;
    QStringList fieldNames;
    QList<QCborMap> fields;
    QList<Failure> failures;
    // What became of each failure row's invoice (IDSITUACAO): "C", "P", "N".
    QStringList situations;
    QString describe() const;
};

// Signs the operators in at the server (each made when absent, with every
// establishment of the database), so that a Client of that server calls under
// their sessions; empty, or why not.
QString signIn(ServerProcess& server, const QString& connectionText,
               const QStringList& operators = {kOperator});

// The sessions signed in at one server, for a server started in its place on
// the same database (sessions live in the database, not in the server).
void carrySessions(int fromPort, int toPort);

// Calls a server under the session of the operator a call names (the
// cancellation's operator argument), or of kOperator.
class Client {
public:
    explicit Client(int port);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Every later call under this token instead (another session).
    void useToken(const QByteArray& token) { m_token = token; }

    QCborMap call(const QString& method, const QCborArray& params, int* httpStatus = nullptr);
    Answer cancel(const QCborArray& params);
    Answer cancel(const QCborMap& packet, const QString& operatorCode, const QString& processingDate,
                  const Registration& r);

private:
    QCborMap call(const QString& method, const QCborArray& params, const QString& operatorCode,
                  int* httpStatus);

    int m_port = 0;
    QByteArray m_token;
    std::unique_ptr<httplib::Client> m_client;
};

// The invoice list of an establishment over a period, as the screen holds it.
class InvoiceList {
public:
    // Empty rows and a non-empty *why when the call failed.
    static InvoiceList fetch(Client& client, const Establishment& e, QDate from, QDate to, QString* why);

    QCborMap packet() const;
    QStringList entries() const;
    qsizetype size() const { return m_rows.size(); }
    bool contains(const QString& entry) const { return entries().contains(entry); }

    // Ticks the invoice with a reason (a text, or null); false when not listed.
    bool tick(const QString& entry, const QCborValue& reason);
    void tickAll(const QString& reason);
    bool set(const QString& entry, const QString& field, const QCborValue& value);
    // A ticked copy of the row of entry `from` under entry `as` (the same: a
    // row sent twice; another: an invoice the server does not have).
    bool appendCopy(const QString& from, const QString& as, const QString& reason);
    void reverse();

private:
    qsizetype column(const QString& field) const;
    QCborArray m_fields;
    QList<QCborArray> m_rows;
};

} // namespace canceltest
