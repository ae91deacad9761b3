#pragma once
// The connection of a screen to its application server, and the late-bound
// calls of the server's methods by name with positional arguments.
//
// The host and port are set by the BeforeConnect handler before every
// connection attempt: SetConnected(true), and any call made while not
// connected (a failed call leaves the connection closed, so the next call
// connects again and takes the address anew). A connection attempt asks the
// server's GET /health within ConnectTimeout.
//
// A call is an HTTP/1.1 POST of a JSON-RPC 2.0 request to
// https://Host:Port/ServerName (docs/protocol.md) — the server's certificate
// verified against the CA file of the host's session (WebCA), TLS 1.2 or newer;
// plain http only when the session asks for it (WebProtocolo=http) and the
// server is on loopback — made on a connection of its
// own and sent at most once (HttpExchange). It waits for the answer in a local
// event loop: the screen keeps repainting (the busy animation turns) while the
// operator's keys and clicks are dropped, neither acted on then nor delivered
// when the call returns. The call returns only with the answer, or throws
// EZavError:
// - the server's own message when it answers with a JSON-RPC error;
// - ConnectionErrorText, a blank and the cause when the server cannot be
//   reached, stops answering within CallTimeout or drops the connection;
// - the same, with the news that the server stopped progressing, when a call
//   that said how far it had come stops changing for StallTimeout.
// A call that is given up on while the server may still work on it says so,
// and that the list must be fetched again to see what was done.
//
// While a call runs, its progress is asked for every ProgressInterval on a
// connection of its own (Progresso_Chamada, under the call's id, a random text
// unique to it). While the server says how much there is and that amount
// changes, the busy animation shows "n de m" and the call is waited for,
// however long it takes: it is given up on only after CallTimeout and, once
// it has said how far it has come, after StallTimeout without a change. A
// server that does not know the question, or a call that never says how much
// it has, is waited for CallTimeout as before.
// - "Resposta inválida do servidor: ..." for an answer that is not a well-formed
//   response (garbage, a packet without one of its fields, a value of the
//   wrong type).
// Nothing is thrown from inside the event loop; failures are collected there
// and thrown once it has ended.
#include "vcl/wincontrol.h"
#include "zavhost_export.h"
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <memory>

#include "net/httpexchange.h"

class ZAVHOST_EXPORT TNetConnection : public QObject {
    Q_OBJECT
public:
    explicit TNetConnection(QObject* parent = nullptr);
    ~TNetConnection() override;

    QString ServerName; // the remote data module, the endpoint's path
    QString Host;
    int Port = 0;
    // False: a failed SetConnected(true) raises nothing; the connection stays
    // closed (LastError says why) and the next call tries again. A call always
    // throws when it fails.
    bool ThrowException = false;
    TNotifyEvent BeforeConnect;

    int ConnectTimeout = 5000;   // ms: the reachability check, and a call's connection and sending
    int CallTimeout = 120000;    // ms: a whole call, from sending to the last byte of the answer
    int StallTimeout = 120000;   // ms: a call that says how far it has come, without a change
    int ProgressInterval = 1000; // ms between two questions about a running call's progress
    // What a call's progress counts, said after the numbers ("notas"); none
    // when empty.
    QString ProgressUnit;
    // CBOR both ways (several times cheaper for a list of 100,000 rows); false:
    // JSON both ways. Either way the answer is read in the encoding it comes in.
    bool UseCbor = true;
    // The first words of every connection failure; the screen may take it from
    // its message catalogue (Err_Conex), this is the same text.
    QString ConnectionErrorText = QStringLiteral("Ocorreu um erro na conexão com o servidor:");

    bool Connected() const { return m_connected; }
    void SetConnected(bool connected);
    QString LastError() const { return m_lastError; }

    // Calls a method of the server. Arguments: QString (JSON string), QDate or
    // QDateTime ("YYYY-MM-DD"), DataPacket, a null QVariant (null), numbers and
    // booleans. Result: a null QVariant, a DataPacket, or a plain value.
    // Throws EZavError (ERpcError for the server's own refusal). One call at a
    // time: a call made while another is waiting (from a timer, say) is
    // refused.
    //
    // A call the server refuses because the session ended or expired did
    // nothing there: the host asks the operator to sign in again over the open
    // screens (HostServices::signInAgain) and, once signed in, the call is
    // made again, once; when the operator does not sign in, the refusal is
    // thrown as it came. A call that ended without an answer after it may have
    // reached the server says that its work may have been done, in part, and
    // that confirming again concludes it.
    QVariant AppServer(const QString& method, const QVariantList& args);
    bool Busy() const { return m_busy; }

    // The endpoint the calls go to.
    QString EndpointUrl() const;
    // The scheme of the calls, from the host session: "https", or "http" when
    // plain HTTP was asked for.
    static QString Scheme();

private:
    // Why a waiting exchange was cancelled: closed, destroyed, or given up on
    // (no answer within CallTimeout, no progress within StallTimeout).
    enum class Abort { None, Closed, Destroyed, TimedOut, Stalled };
    struct Exchange;
    QString connectServer(); // empty when the server answered its health check
    Exchange exchange(HttpRequest request);
    // Before a call: connects when not connected; throws when it cannot.
    void connectForCall();
    // A call's request with the given body: its endpoint, encoding, session
    // and connection limit.
    HttpRequest callRequest(const QByteArray& body) const;
    // The question about a call's progress, with the call's address and headers.
    HttpRequest progressQuestion(const HttpRequest& call) const;
    // A call's exchange, its progress asked for meanwhile.
    struct CallWatch;
    Exchange watchedExchange(HttpRequest request, const QString& id);
    QString transportCause(const Exchange& e) const;
    // Whether the call may have reached the server before it ended without an
    // answer (so that its work may have been done).
    static bool mayHaveReachedServer(const Exchange& e);
    QVariant callOnce(const QString& method, const QVariantList& args);

    HttpExchange* m_current = nullptr; // the exchange waiting, to cancel on close
    Abort m_abort = Abort::None;
    std::shared_ptr<bool> m_alive;
    bool m_connected = false;
    bool m_busy = false;
    QString m_lastError;
};
