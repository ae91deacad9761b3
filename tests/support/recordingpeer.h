#pragma once
// A loopback HTTP peer for the screen's tests: it answers every request with
// one fixed JSON-RPC body and keeps the requests. It stands in for the
// application server only where a correct server cannot be made to answer
// as a test needs (a given failure list, rows out of order, a broken packet)
// or where the test must read the request itself.
#include <QCborMap>
#include <QCborValue>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

class RecordingPeer : public QObject {
public:
    QByteArray answer; // the JSON-RPC answer body
    QList<QJsonObject> requests;
    QTcpServer server;

    RecordingPeer() {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    buffer->append(s->readAll());
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    const QByteArray head = buffer->left(end).toLower();
                    const qsizetype at = head.indexOf("content-length:");
                    const int length =
                        at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toInt();
                    if (buffer->size() < end + 4 + length)
                        return;
                    QByteArray body = head.startsWith("get") ? QByteArray("{\"status\":\"ok\"}") : answer;
                    if (head.startsWith("post")) {
                        // The host sends CBOR unless told otherwise.
                        const QByteArray content = buffer->mid(end + 4, length);
                        const QJsonObject request = head.contains("content-type: application/cbor")
                                                        ? QCborValue::fromCbor(content).toMap().toJsonObject()
                                                        : QJsonDocument::fromJson(content).object();
                        requests << request;
                        // The answer belongs to the call it answers.
                        QJsonObject a = QJsonDocument::fromJson(answer).object();
                        if (!a.isEmpty() && request.contains(QStringLiteral("id"))) {
                            a[QStringLiteral("id")] = request.value(QStringLiteral("id"));
                            body = QJsonDocument(a).toJson(QJsonDocument::Compact);
                        }
                    }
                    s->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: "
                             "close\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    s->disconnectFromHost();
                    buffer->clear();
                });
            }
        });
    }
    int port() const { return server.serverPort(); }
};
