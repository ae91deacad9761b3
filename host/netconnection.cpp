#include "netconnection.h"

#include "data/datapacket.h"
#include "exceptions.h"

#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <QCborMap>
#include <QCborValue>
#include <QDate>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

const char* const kHealthPath = "/health";
const char* const kCborType = "application/cbor";
const char* const kJsonType = "application/json";

QString seconds(int ms) { return QString::number(ms / 1000.0, 'g', 3).replace(u'.', u','); }

// The media type of a Content-Type header, without its parameters.
QByteArray mediaType(const QByteArray& header) { return header.split(';').constFirst().trimmed().toLower(); }

// Transport failures: the connection, not the answer, went wrong.
bool isTransportError(int error) { return error > 0 && error < 100; }

} // namespace

struct TNetConnection::Exchange {
    enum class Abort { None, Connect, Total, Closed, Destroyed };
    int error = QNetworkReply::NoError;
    QString errorString;
    int status = 0; // 0: no response head arrived
    QByteArray contentType;
    QByteArray body;
    Abort abort = Abort::None;
    int timeoutMs = 0;
};

TNetConnection::TNetConnection(QObject* parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this)), m_alive(std::make_shared<bool>(true)) {
    m_manager->setObjectName(QStringLiteral("netAccess"));
    // The application server is reached directly: a proxy from the
    // environment would see every invoice go by.
    m_manager->setProxy(QNetworkProxy::NoProxy);
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_manager->setAutoDeleteReplies(false);
}

TNetConnection::~TNetConnection() {
    *m_alive = false;
    if (m_current)
        m_current->abort();
}

QString TNetConnection::EndpointUrl() const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(Host);
    url.setPort(Port);
    url.setPath(u'/' + ServerName);
    return url.toString();
}

void TNetConnection::SetConnected(bool connected) {
    if (!connected) {
        m_connected = false;
        if (m_current) {
            m_closing = true;
            m_current->abort();
        }
        return;
    }
    if (m_connected)
        return;
    const std::shared_ptr<bool> alive = m_alive;
    const QString cause = connectServer();
    if (!*alive)
        return; // destroyed while it waited for the server: nothing left to set
    if (cause.isEmpty()) {
        m_connected = true;
        m_lastError.clear();
        return;
    }
    m_lastError = ConnectionErrorText + u' ' + cause;
    if (ThrowException)
        throw EZavError(m_lastError);
}

QString TNetConnection::connectServer() {
    if (BeforeConnect)
        BeforeConnect(this);
    if (Host.trimmed().isEmpty() || Port < 1 || Port > 65535)
        return QStringLiteral("endereço do servidor de aplicação não configurado (servidor \"%1\", porta %2).")
            .arg(Host)
            .arg(Port);
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(Host);
    url.setPort(Port);
    url.setPath(QLatin1StringView(kHealthPath));
    QNetworkRequest request(url);
    const Exchange e = exchange(request, nullptr, ConnectTimeout);
    if (e.abort == Exchange::Abort::Destroyed)
        return QStringLiteral("a conexão foi encerrada durante a tentativa.");
    if (isTransportError(e.error) || e.status == 0)
        return transportCause(e);
    if (e.status == 200)
        return {};
    // The server is up but cannot serve: its health answer says why.
    const QJsonObject health = QJsonDocument::fromJson(e.body).object();
    const QString message = health.value(QLatin1StringView("message")).toString();
    if (!message.isEmpty())
        return QStringLiteral("o servidor de aplicação está no ar mas não atende: %1").arg(message);
    return QStringLiteral("o servidor em %1:%2 respondeu HTTP %3 ao teste de conexão; é o servidor de aplicação?")
        .arg(Host)
        .arg(Port)
        .arg(e.status);
}

TNetConnection::Exchange TNetConnection::exchange(QNetworkRequest& request, const QByteArray* body, int totalMs) {
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setRawHeader("User-Agent", "zavhost");
    Exchange e;
    e.timeoutMs = totalMs;

    const std::shared_ptr<bool> alive = m_alive;
    QPointer<QNetworkReply> reply = body ? m_manager->post(request, *body) : m_manager->get(request);
    m_current = reply;

    QEventLoop loop;
    QTimer total;
    total.setSingleShot(true);
    QTimer connecting;
    connecting.setSingleShot(true);
    // The replies' own signals only end the loop or stop a timer: nothing that
    // can throw runs inside it.
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QObject::destroyed, &loop, &QEventLoop::quit);
    connect(&total, &QTimer::timeout, &loop, [&e, reply] {
        e.abort = Exchange::Abort::Total;
        if (reply)
            reply->abort();
    });
    connect(&connecting, &QTimer::timeout, &loop, [&e, reply] {
        e.abort = Exchange::Abort::Connect;
        if (reply)
            reply->abort();
    });
    // Connected once the request has gone out or anything came back.
    connect(reply, &QNetworkReply::requestSent, &connecting, &QTimer::stop);
    connect(reply, &QNetworkReply::metaDataChanged, &connecting, &QTimer::stop);
    connect(reply, &QNetworkReply::uploadProgress, &connecting, [&connecting](qint64 sent, qint64) {
        if (sent > 0)
            connecting.stop();
    });

    if (!reply->isFinished()) {
        total.start(std::max(1, totalMs));
        if (body && ConnectTimeout > 0 && ConnectTimeout < totalMs)
            connecting.start(ConnectTimeout);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }

    if (!*alive || !reply) {
        // The connection (or its network manager) went away while waiting:
        // nothing of this object may be touched any more.
        e.abort = Exchange::Abort::Destroyed;
        e.error = QNetworkReply::OperationCanceledError;
        return e;
    }
    m_current = nullptr;
    if (m_closing) {
        m_closing = false;
        if (e.abort == Exchange::Abort::None && reply->error() == QNetworkReply::OperationCanceledError)
            e.abort = Exchange::Abort::Closed;
    }
    e.error = reply->error();
    e.errorString = reply->errorString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    e.status = status.isValid() ? status.toInt() : 0;
    e.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    if (reply->isOpen())
        e.body = reply->readAll();
    delete reply.data();
    return e;
}

QString TNetConnection::transportCause(const Exchange& e) const {
    const QString where = QStringLiteral("%1:%2").arg(Host).arg(Port);
    switch (e.abort) {
    case Exchange::Abort::Connect:
        return QStringLiteral("não foi possível conectar a %1 em %2 s.").arg(where, seconds(ConnectTimeout));
    case Exchange::Abort::Total:
        return QStringLiteral("o servidor %1 não respondeu em %2 s.").arg(where, seconds(e.timeoutMs));
    case Exchange::Abort::Closed:
        return QStringLiteral("a conexão foi fechada durante a chamada.");
    case Exchange::Abort::Destroyed:
        return QStringLiteral("a conexão foi encerrada durante a chamada.");
    case Exchange::Abort::None:
        break;
    }
    switch (e.error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("conexão recusada por %1 (o servidor de aplicação não está no ar?).").arg(where);
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("servidor %1 não encontrado.").arg(Host);
    case QNetworkReply::RemoteHostClosedError:
        if (e.status != 0)
            return QStringLiteral("o servidor %1 fechou a conexão antes do fim da resposta (resposta incompleta).")
                .arg(where);
        return QStringLiteral("o servidor %1 fechou a conexão sem responder.").arg(where);
    case QNetworkReply::TimeoutError:
        return QStringLiteral("o servidor %1 não respondeu a tempo.").arg(where);
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("a rede não está disponível (%1).").arg(e.errorString);
    default:
        break;
    }
    if (e.status == 0 && e.error == QNetworkReply::NoError)
        return QStringLiteral("o servidor %1 não respondeu.").arg(where);
    return QStringLiteral("%1 (%2).").arg(e.errorString, where);
}

// --- requests -------------------------------------------------------------------

namespace {

enum class ArgKind { Null, Text, Date, Packet, Integer, Real, Boolean };

ArgKind kindOf(const QVariant& v, int position, const QString& method) {
    if (!v.isValid() || v.isNull())
        return ArgKind::Null;
    switch (v.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QChar:
        return ArgKind::Text;
    case QMetaType::QDate:
    case QMetaType::QDateTime:
        return ArgKind::Date;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return ArgKind::Integer;
    case QMetaType::Double:
    case QMetaType::Float:
        return ArgKind::Real;
    case QMetaType::Bool:
        return ArgKind::Boolean;
    default:
        break;
    }
    if (v.metaType() == QMetaType::fromType<DataPacket>())
        return ArgKind::Packet;
    throw EZavError(QStringLiteral("Argumento %1 de %2: um valor do tipo %3 não pode ser enviado ao servidor.")
                        .arg(position)
                        .arg(method, QLatin1StringView(v.metaType().name())));
}

// A date argument is a whole day; an invalid date (an empty date edit) is null.
QVariant dayOf(const QVariant& v) {
    const QDate d = v.metaType().id() == QMetaType::QDate ? v.toDate() : v.toDateTime().date();
    return d.isValid() ? QVariant(d.toString(Qt::ISODate)) : QVariant();
}

} // namespace

QByteArray TNetConnection::encodeRequest(qint64 id, const QString& method, const QVariantList& args) const {
    if (!UseCbor) {
        QJsonArray params;
        for (int i = 0; i < args.size(); ++i) {
            const QVariant& a = args.at(i);
            switch (kindOf(a, i + 1, method)) {
            case ArgKind::Null:
                params.append(QJsonValue(QJsonValue::Null));
                break;
            case ArgKind::Text:
                params.append(a.toString());
                break;
            case ArgKind::Date: {
                const QVariant day = dayOf(a);
                params.append(day.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(day.toString()));
                break;
            }
            case ArgKind::Packet:
                params.append(a.value<DataPacket>().toJson());
                break;
            case ArgKind::Integer:
                params.append(a.toLongLong());
                break;
            case ArgKind::Real:
                params.append(a.toDouble());
                break;
            case ArgKind::Boolean:
                params.append(a.toBool());
                break;
            }
        }
        const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                  {QStringLiteral("id"), id},
                                  {QStringLiteral("method"), method},
                                  {QStringLiteral("params"), params}};
        return QJsonDocument(request).toJson(QJsonDocument::Compact);
    }
    // Every argument is checked before anything is written.
    std::vector<ArgKind> kinds;
    for (int i = 0; i < args.size(); ++i)
        kinds.push_back(kindOf(args.at(i), i + 1, method));
    QByteArray out;
    QCborStreamWriter w(&out);
    w.startMap(4);
    w.append(QLatin1StringView("jsonrpc"));
    w.append(QLatin1StringView("2.0"));
    w.append(QLatin1StringView("id"));
    w.append(id);
    w.append(QLatin1StringView("method"));
    w.append(method);
    w.append(QLatin1StringView("params"));
    w.startArray(quint64(args.size()));
    for (int i = 0; i < args.size(); ++i) {
        const QVariant& a = args.at(i);
        switch (kinds[size_t(i)]) {
        case ArgKind::Null:
            w.append(nullptr);
            break;
        case ArgKind::Text:
            w.append(a.toString());
            break;
        case ArgKind::Date: {
            const QVariant day = dayOf(a);
            if (day.isNull())
                w.append(nullptr);
            else
                w.append(day.toString());
            break;
        }
        case ArgKind::Packet:
            a.value<DataPacket>().writeCbor(w);
            break;
        case ArgKind::Integer:
            w.append(qint64(a.toLongLong()));
            break;
        case ArgKind::Real:
            w.append(a.toDouble());
            break;
        case ArgKind::Boolean:
            w.append(a.toBool());
            break;
        }
    }
    w.endArray();
    w.endMap();
    return out;
}

// --- answers -----------------------------------------------------------------------

namespace {

struct Envelope {
    bool versionOk = false;
    bool haveId = false;
    QCborValue id;
    bool haveResult = false;
    QVariant result;
    bool haveError = false;
    QCborValue error;
};

QVariant plainResult(const QCborValue& v) {
    if (v.isNull())
        return {};
    if (v.isString())
        return v.toString();
    if (v.isInteger())
        return qlonglong(v.toInteger());
    if (v.isDouble())
        return v.toDouble();
    if (v.isBool())
        return v.toBool();
    DataPacket::refuse(QStringLiteral("resultado de tipo inesperado"));
}

Envelope readJson(const QByteArray& body) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        DataPacket::refuse(
            QStringLiteral("JSON malformado (%1, na posição %2)").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        DataPacket::refuse(QStringLiteral("esperada uma resposta JSON-RPC (um objeto)"));
    const QJsonObject o = doc.object();
    Envelope env;
    env.versionOk = o.value(QLatin1StringView("jsonrpc")) == QJsonValue(QStringLiteral("2.0"));
    env.haveId = o.contains(QLatin1StringView("id"));
    env.id = QCborValue::fromJsonValue(o.value(QLatin1StringView("id")));
    if (o.contains(QLatin1StringView("error"))) {
        env.haveError = true;
        env.error = QCborValue::fromJsonValue(o.value(QLatin1StringView("error")));
    }
    if (o.contains(QLatin1StringView("result"))) {
        env.haveResult = true;
        const QJsonValue r = o.value(QLatin1StringView("result"));
        env.result = r.isObject() ? QVariant::fromValue(DataPacket::fromJson(r)) : plainResult(QCborValue::fromJsonValue(r));
    }
    return env;
}

void checkCbor(QCborStreamReader& reader) {
    if (reader.lastError() != QCborError::NoError)
        DataPacket::refuse(QStringLiteral("CBOR malformado (%1)").arg(reader.lastError().toString()));
}

Envelope readCbor(const QByteArray& body) {
    QCborStreamReader reader(body);
    checkCbor(reader);
    if (!reader.isMap())
        DataPacket::refuse(QStringLiteral("esperada uma resposta JSON-RPC (um objeto)"));
    Envelope env;
    reader.enterContainer();
    while (reader.hasNext()) {
        checkCbor(reader);
        if (!reader.isString())
            DataPacket::refuse(QStringLiteral("a resposta tem uma chave que não é texto"));
        QString key;
        auto s = reader.readString();
        while (s.status == QCborStreamReader::Ok) {
            key += s.data;
            s = reader.readString();
        }
        checkCbor(reader);
        if (key == u"result") {
            env.haveResult = true;
            if (reader.isMap()) {
                env.result = QVariant::fromValue(DataPacket::readCbor(reader, body.size()));
            } else {
                const QCborValue v = QCborValue::fromCbor(reader);
                checkCbor(reader);
                env.result = plainResult(v);
            }
        } else {
            const QCborValue v = QCborValue::fromCbor(reader);
            checkCbor(reader);
            if (key == u"jsonrpc") {
                env.versionOk = v == QCborValue(QStringLiteral("2.0"));
            } else if (key == u"id") {
                env.haveId = true;
                env.id = v;
            } else if (key == u"error") {
                env.haveError = true;
                env.error = v;
            }
        }
    }
    checkCbor(reader);
    reader.leaveContainer();
    checkCbor(reader);
    if (reader.currentOffset() < body.size())
        DataPacket::refuse(QStringLiteral("dados a mais depois da resposta"));
    return env;
}

bool sameId(const QCborValue& id, qint64 expected) {
    return (id.isInteger() && id.toInteger() == expected) || (id.isDouble() && id.toDouble() == double(expected));
}

} // namespace

QVariant TNetConnection::decodeResponse(const Exchange& e, qint64 id) const {
    const QByteArray type = mediaType(e.contentType);
    Envelope env;
    if (type == kCborType)
        env = readCbor(e.body);
    else if (type == kJsonType)
        env = readJson(e.body);
    else if (e.status != 200)
        DataPacket::refuse(QStringLiteral("o servidor respondeu HTTP %1 sem uma resposta JSON-RPC; %2 é o "
                                          "servidor de aplicação?")
                               .arg(e.status)
                               .arg(EndpointUrl()));
    else
        DataPacket::refuse(QStringLiteral("tipo de conteúdo inesperado \"%1\"").arg(QString::fromLatin1(e.contentType)));

    if (!env.versionOk)
        DataPacket::refuse(QStringLiteral("o campo jsonrpc deve ser \"2.0\""));
    if (env.haveError) {
        // The server's text is for the operator: it is shown as it comes.
        const QString message = env.error.toMap().value(QLatin1StringView("message")).toString();
        if (message.trimmed().isEmpty())
            DataPacket::refuse(QStringLiteral("erro sem mensagem (código %1)")
                                   .arg(env.error.toMap().value(QLatin1StringView("code")).toInteger()));
        if (!env.id.isNull() && !sameId(env.id, id))
            DataPacket::refuse(QStringLiteral("a resposta é de outra chamada (id %1)").arg(env.id.toVariant().toString()));
        throw EZavError(message);
    }
    if (!env.haveResult)
        DataPacket::refuse(QStringLiteral("resposta sem resultado nem erro"));
    if (!env.haveId || !sameId(env.id, id))
        DataPacket::refuse(QStringLiteral("a resposta é de outra chamada (id %1, esperado %2)")
                               .arg(env.id.toVariant().toString())
                               .arg(id));
    if (e.status != 200)
        DataPacket::refuse(QStringLiteral("resultado com o status HTTP %1").arg(e.status));
    return env.result;
}

QVariant TNetConnection::AppServer(const QString& method, const QVariantList& args) {
    if (m_busy)
        throw EZavError(QStringLiteral("Já há uma chamada ao servidor em andamento (%1); aguarde o fim dela.")
                            .arg(method));
    struct BusyScope {
        bool& flag;
        std::shared_ptr<bool> alive;
        ~BusyScope() {
            if (*alive)
                flag = false;
        }
    } busy{m_busy, m_alive};
    m_busy = true;

    const QByteArray body = encodeRequest(m_nextId, method, args);
    const qint64 id = m_nextId++;

    const std::shared_ptr<bool> alive = m_alive;
    const QString errorText = ConnectionErrorText;
    if (!m_connected) {
        const QString cause = connectServer();
        if (!*alive)
            throw EZavError(errorText + u' ' + QStringLiteral("a conexão foi encerrada durante a chamada."));
        if (!cause.isEmpty()) {
            m_lastError = ConnectionErrorText + u' ' + cause;
            throw EZavError(m_lastError);
        }
        m_connected = true;
    }

    QNetworkRequest request{QUrl(EndpointUrl())};
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      UseCbor ? QByteArray(kCborType) : QByteArray(kJsonType) + "; charset=utf-8");
    request.setRawHeader("Accept", UseCbor ? QByteArray(kCborType) + ", " + kJsonType + ";q=0.5" : QByteArray(kJsonType));
    Exchange e = exchange(request, &body, CallTimeout);
    if (!*alive)
        throw EZavError(errorText + u' ' + QStringLiteral("a conexão foi encerrada durante a chamada."));
    if (isTransportError(e.error) || e.status == 0) {
        // The next call connects again, with the address the session then gives.
        m_connected = false;
        m_lastError = ConnectionErrorText + u' ' + transportCause(e);
        throw EZavError(m_lastError);
    }
    return decodeResponse(e, id);
}
