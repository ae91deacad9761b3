#include "rpc/headpolicy.h"

namespace zavserver {

namespace {

// The refusal of a body over the limit.
QString tooLarge(qint64 maxBody) {
    return QStringLiteral("Requisição grande demais: o limite do servidor é de %1 bytes.").arg(maxBody);
}

// The media type of a Content-Type header, without its parameters.
QByteArray mediaType(const QByteArray& contentType) {
    return contentType.split(';').constFirst().trimmed().toLower();
}

QByteArray firstValue(const HeaderList& headers, const char* name) {
    const QList<QByteArray> values = headerValues(headers, name);
    return values.isEmpty() ? QByteArray() : values.first();
}

HeadDecision refused(HeadDecision d, int status, RpcCode code, const QString& message,
                     HeaderList extraHeaders = {}) {
    d.status = status;
    d.code = code;
    d.message = message;
    d.extraHeaders = std::move(extraHeaders);
    return d;
}

// A call's head: its body's type and declared size, its token.
HeadDecision checkCall(const RequestHead& head, const HeadPolicy& policy, HeadDecision d) {
    const QByteArray type = mediaType(firstValue(head.headers, "Content-Type"));
    if (type == "application/cbor")
        d.format = RequestFormat::Cbor;
    else if (type == "application/json")
        d.format = RequestFormat::Json;
    else
        return refused(d, 415, RpcCode::InvalidRequest,
                       QStringLiteral("Tipo de conteúdo não aceito: \"%1\"; use application/json ou "
                                      "application/cbor.")
                           .arg(QString::fromLatin1(type).left(100)));
    bool known = false;
    const QByteArray length = firstValue(head.headers, "Content-Length");
    const qint64 announced = length.trimmed().toLongLong(&known);
    if (known && announced > policy.maxBody)
        return refused(d, 413, RpcCode::InvalidRequest, tooLarge(policy.maxBody));
    d.announced = known ? announced : -1;
    d.chunked = firstValue(head.headers, "Transfer-Encoding").toLower().contains("chunked");
    const QList<QByteArray> authorization = headerValues(head.headers, "Authorization");
    d.hasBearer = !authorization.isEmpty();
    // Two Authorization headers say two things: neither is taken.
    d.bearer = authorization.size() == 1 ? bearerOf(authorization.first())
               : authorization.isEmpty() ? QByteArray()
                                         : QByteArray("?");
    return d;
}

} // namespace

const QList<RouteEntry>& routeTable() {
    static const QList<RouteEntry> table{
        {kHealthPath, {"GET", "HEAD"}, Route::Health},
        {kMetricsPath, {"GET", "HEAD"}, Route::Metrics},
        {kSessionPath, {"POST"}, Route::Session},
        {kEndpointPath, {"POST"}, Route::Call},
    };
    return table;
}

QList<QByteArray> headerValues(const HeaderList& headers, const char* name) {
    QList<QByteArray> values;
    const QByteArray wanted = QByteArray(name).toLower();
    for (const auto& [key, value] : headers)
        if (key.toLower() == wanted)
            values.append(value);
    return values;
}

QByteArray bearerOf(const QByteArray& authorization) {
    const QByteArray value = authorization.trimmed();
    if (value.size() > 7 && value.left(7).toLower() == "bearer ")
        return value.mid(7).trimmed();
    return QByteArray("?");
}

bool prefersCbor(const QByteArray& accept) {
    double cbor = 0.0;
    double json = 0.0;
    for (const QByteArray& range : accept.split(',')) {
        const QList<QByteArray> parts = range.split(';');
        const QByteArray type = parts.first().trimmed().toLower();
        double q = 1.0;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts.at(i).trimmed();
            if (parameter.startsWith("q=")) {
                bool ok = false;
                const double value = parameter.mid(2).toDouble(&ok);
                q = ok ? value : 0.0;
            }
        }
        if (type == "application/cbor")
            cbor = std::max(cbor, q);
        else if (type == "application/json" || type == "application/*" || type == "*/*")
            json = std::max(json, q);
    }
    return cbor > 0.0 && cbor >= json;
}

QString hostOf(const QByteArray& hostHeader) {
    QString host = QString::fromLatin1(hostHeader).trimmed().toLower();
    if (host.startsWith(u'[')) {
        const qsizetype end = host.indexOf(u']');
        return end > 0 ? host.mid(1, end - 1) : QString();
    }
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon >= 0 && host.indexOf(u':') == colon)
        host.truncate(colon);
    return host;
}

HeadDecision checkHead(const RequestHead& head, const HeadPolicy& policy) {
    HeadDecision d;
    // The metrics tell how the server is doing: only to the addresses named
    // for them, before anything else of the request is looked at.
    if (head.path == kMetricsPath && !(policy.metricsAllowed && policy.metricsAllowed(head.from)))
        return refused(d, 403, RpcCode::InvalidRequest,
                       QStringLiteral("As métricas não são servidas a este endereço."));
    d.cbor = prefersCbor(firstValue(head.headers, "Accept"));
    if (policy.stopping)
        return refused(d, 503, RpcCode::ServerError, QStringLiteral("O servidor está sendo encerrado."),
                       {{"Connection", "close"}});
    // A name the server does not answer to is a page reaching it through a
    // name it controls (DNS rebinding): nothing is served to it. Two Host
    // headers name two servers: which one a proxy on the way read is unknown.
    const QList<QByteArray> hosts = headerValues(head.headers, "Host");
    if (hosts.size() > 1)
        return refused(d, 400, RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: mais de um cabeçalho Host."));
    const QString host = hostOf(hosts.isEmpty() ? QByteArray() : hosts.first());
    if (!policy.hostNames.contains(host))
        return refused(d, 421, RpcCode::InvalidRequest,
                       QStringLiteral("Nome de servidor não atendido: \"%1\".").arg(host.left(100)));
    // Browsers send Origin with a page's calls; the screen never does.
    if (!headerValues(head.headers, "Origin").isEmpty())
        return refused(d, 403, RpcCode::InvalidRequest,
                       QStringLiteral("Chamadas de páginas web não são aceitas por este servidor."));
    for (const RouteEntry& entry : routeTable()) {
        if (head.path != entry.path)
            continue;
        d.route = entry.route;
        if (!entry.verbs.contains(head.verb)) {
            const QString hint =
                entry.route == Route::Call
                    ? QStringLiteral("Use POST para chamar os métodos de ZAV50000.rdmCancelaNFE.")
                : entry.route == Route::Session
                    ? QStringLiteral("Use POST em %1 para entrar e sair do sistema.")
                          .arg(QLatin1StringView(entry.path))
                    : QStringLiteral("Use GET para %1.").arg(QLatin1StringView(entry.path));
            return refused(d, 405, RpcCode::InvalidRequest, hint, {{"Allow", entry.verbs.first()}});
        }
        const bool call = entry.route == Route::Call || entry.route == Route::Session;
        return call ? checkCall(head, policy, d) : d;
    }
    return refused(d, 404, RpcCode::MethodNotFound,
                   QStringLiteral("Endereço desconhecido: %1 %2. Os métodos ficam em POST %3.")
                       .arg(QString::fromLatin1(head.verb), QString::fromUtf8(head.path).left(200),
                            QLatin1StringView(kEndpointPath)));
}

} // namespace zavserver
