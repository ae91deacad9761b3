#include "scriptedhttpserver.h"
#include <QCborMap>
#include <QCborValue>
#include <QJsonDocument>
#include <QJsonObject>

ScriptedHttpServer::ScriptedHttpServer(QObject* parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this, [this, socket] { m_buffers.remove(socket); });
        }
    });
}

bool ScriptedHttpServer::listen() {
    return m_server.listen(QHostAddress::LocalHost, 0);
}

bool ScriptedHttpServer::listen(Mode answering) {
    mode = answering;
    return listen();
}

void ScriptedHttpServer::answer(QTcpSocket* socket, int code, const QByteArray& type,
                                const QByteArray& content) {
    socket->write("HTTP/1.1 " + QByteArray::number(code) + " X\r\nContent-Type: " + type +
                  "\r\nContent-Length: " + QByteArray::number(content.size()) + "\r\n\r\n" + content);
}

namespace {

// The id of a request in either encoding the client speaks.
QJsonValue requestId(const QByteArray& request) {
    return request.startsWith('{')
               ? QJsonDocument::fromJson(request).object().value(QStringLiteral("id"))
               : QCborValue::fromCbor(request).toMap().value(QStringLiteral("id")).toJsonValue();
}

} // namespace

QByteArray ScriptedHttpServer::bodyFor(const QByteArray& request) const {
    QJsonObject a = QJsonDocument::fromJson(body).object();
    // A scripted "id" of 1 stands for the id of the call answered (the host's
    // ids are random texts); any other id is kept, an answer to another call.
    if (!echoId && a.value(QStringLiteral("id")) != QJsonValue(1))
        return body;
    a[QStringLiteral("id")] = requestId(request);
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

void ScriptedHttpServer::release() {
    const QList<QPointer<QTcpSocket>> waiting = std::exchange(m_waiting, {});
    for (const QPointer<QTcpSocket>& socket : waiting)
        if (socket)
            answer(socket, status, contentType, bodyFor(m_lastBody));
}

void ScriptedHttpServer::serve(QTcpSocket* socket) {
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    if (mode == Mode::Silent)
        return;
    if (mode == Mode::Garbage) {
        socket->write("\x01\x02 this is no HTTP at all\r\n\r\n\x7f\x7f");
        socket->disconnectFromHost();
        return;
    }
    // Whole requests only: the head, then as much body as it announces.
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QByteArray head = buffer.left(headEnd);
        qsizetype length = 0;
        for (const QByteArray& line : head.split('\n')) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith("content-length:"))
                length = l.mid(15).trimmed().toLongLong();
        }
        if (buffer.size() < headEnd + 4 + length)
            return;
        const QByteArray content = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);

        if (head.startsWith("GET /health")) {
            answer(socket, 200, "application/json", R"({"status":"ok"})");
            continue;
        }
        // A server of before the question about a call's progress: the
        // question is no call of the test's, and is not counted as one.
        if (content.contains("Progresso_Chamada")) {
            ++m_progressQuestions;
            QJsonObject unknown{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                {QStringLiteral("id"), requestId(content)},
                                {QStringLiteral("error"),
                                 QJsonObject{{QStringLiteral("code"), -32601},
                                             {QStringLiteral("message"),
                                              QStringLiteral("Método desconhecido: Progresso_Chamada")}}}};
            answer(socket, 200, "application/json", QJsonDocument(unknown).toJson(QJsonDocument::Compact));
            continue;
        }
        m_lastHead = head;
        m_lastBody = content;
        ++m_posts;
        Q_EMIT postReceived();
        switch (mode) {
        case Mode::Answer:
            answer(socket, status, contentType, bodyFor(content));
            break;
        case Mode::CutShort:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 5000\r\n\r\n"
                          R"({"jsonrpc":"2.0","id":1,"result":{"fields":[)");
            socket->flush();
            socket->disconnectFromHost();
            return;
        case Mode::AnswerOnSignal:
            m_waiting.append(socket);
            break;
        case Mode::DropCall:
            socket->disconnectFromHost();
            return;
        case Mode::SilentCall:
        case Mode::Silent:
        case Mode::Garbage:
            break;
        }
    }
}
