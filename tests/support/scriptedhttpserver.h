#pragma once
// A tiny HTTP server on loopback that answers as a test tells it to, for the
// answers a real application server never gives: garbage, a body cut short,
// silence, a malformed packet. It keeps the last request it read.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

class ScriptedHttpServer : public QObject {
    Q_OBJECT
public:
    enum class Mode {
        Answer,         // health 200; POST answered with status, content type and body
        Garbage,        // anything: bytes that are no HTTP, then the connection is closed
        CutShort,       // POST: a head announcing more body than is sent, then closed
        Silent,         // nothing at all, not even for /health
        SilentCall,     // health 200; POST never answered
        AnswerOnSignal, // health 200; POST answered when release() is called
        DropCall,       // health 200; POST read whole, then the connection is closed unanswered
    };

    explicit ScriptedHttpServer(QObject* parent = nullptr);
    bool listen();
    bool listen(Mode answering); // sets the mode first
    int port() const { return int(m_server.serverPort()); }

    Mode mode = Mode::Answer;
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    // The JSON body's "id" replaced by the id of the request (JSON or CBOR) it
    // answers; without it, only an "id" of 1 is (it stands for "this call").
    bool echoId = false;

    QByteArray lastRequestHead() const { return m_lastHead; }
    QByteArray lastRequestBody() const { return m_lastBody; }
    // The calls read, not counting the questions about a call's progress,
    // which this server answers as one that does not know the method.
    int posts() const { return m_posts; }
    int progressQuestions() const { return m_progressQuestions; }
    void release(); // AnswerOnSignal: answer the waiting POST now

Q_SIGNALS:
    void postReceived();

private:
    void serve(QTcpSocket* socket);
    void answer(QTcpSocket* socket, int code, const QByteArray& type, const QByteArray& content);
    QByteArray bodyFor(const QByteArray& request) const;

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_waiting;
    QByteArray m_lastHead;
    QByteArray m_lastBody;
    int m_posts = 0;
    int m_progressQuestions = 0;
};
