#include "signin.h"

#include "data/datapacket.h"
#include "exceptions.h"
#include "hosttexts.h"
#include "net/jsonrpccodec.h"
#include "net/netconnection.h"
#include "paths.h"
#include "secretfile.h"
#include "session.h"

namespace {

TNetConnection* connectionToServer(TNetConnection& c) {
    c.ServerName = QLatin1StringView(zavwire::kSessionPath).sliced(1); // the path without its slash
    c.Host = WebURL();
    c.Port = WebPort();
    c.ThrowException = true;
    c.CallTimeout = 30000;
    return &c;
}

QString cell(const DataPacket& p, const char* field) {
    const int column = p.indexOf(QLatin1String(field));
    if (p.rowCount() != 1 || column < 0)
        throw EZavError(
            QStringLiteral("O servidor de aplicação respondeu à entrada sem %1.").arg(QLatin1String(field)));
    return p.value(0, column).toString();
}

} // namespace

void SignIn(const QString& operatorCode, const QString& password) {
    TNetConnection c;
    const QVariant answer =
        connectionToServer(c)->AppServer(QStringLiteral("Login"), {operatorCode, password});
    if (!answer.canConvert<DataPacket>())
        throw EZavError(QStringLiteral("O servidor de aplicação respondeu à entrada sem a sessão."));
    const DataPacket session = answer.value<DataPacket>();
    const QString code = cell(session, "OPERADOR");
    const QString token = cell(session, "TOKEN");
    if (code.isEmpty() || token.isEmpty())
        throw EZavError(QStringLiteral("O servidor de aplicação respondeu à entrada sem a sessão."));
    Session::values().operador = code;
    Session::values().webToken = token;
}

SignInFailure SignInFailure::of(const EZavError& e) {
    if (dynamic_cast<const ERpcError*>(&e))
        return {e.text(), QString()};
    const QString server = QStringLiteral("%1:%2").arg(WebURL()).arg(WebPort());
    return {HostText::text(HostText::SignInNoServer).arg(server), e.text()};
}

void SignOut() {
    if (Session::values().webToken.isEmpty())
        return;
    try {
        TNetConnection c;
        connectionToServer(c)->CallTimeout = 5000;
        c.AppServer(QStringLiteral("Logout"), {});
    } catch (const std::exception&) {
        // The session ends by its expiry.
    }
    Session::values().webToken.clear();
}

QString ReadPasswordFile(const QString& path) {
    QString message;
    const std::optional<QString> password = zavcommon::readPasswordFile(path, &message);
    if (!password)
        throw EZavError(message);
    return *password;
}
