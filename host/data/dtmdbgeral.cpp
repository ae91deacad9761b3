#include "dtmdbgeral.h"

#include "connectiontext.h"
#include "database.h"
#include "services/guard.h"
#include "services/hosttexts.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

const char* const dtmDBGeral::ConnectionName = "adcGeral";

namespace {

// A reference table every screen's lookups read, and that the workstation's
// role may read on PostgreSQL: a database where it cannot be read is not the
// ERP's, whatever else it holds.
const char* const kProbe = "SELECT COUNT(*) FROM FILIAL WHERE 1 = 0";

QString serverOf(const zavdb::ConnectionParts& parts) {
    return QStringLiteral("%1:%2").arg(parts.host.isEmpty() ? QStringLiteral("localhost") : parts.host,
                                       parts.port == -1 ? QStringLiteral("5432")
                                                        : QString::number(parts.port));
}

bool saysAny(const QString& detail, std::initializer_list<const char*> phrases) {
    for (const char* phrase : phrases)
        if (detail.contains(QLatin1StringView(phrase), Qt::CaseInsensitive))
            return true;
    return false;
}

// What is wrong, in the operator's words, from what the driver or the server
// said (libpq's own words, which name the cause well enough to choose).
QString causeOf(const zavdb::ConnectionParts& parts, const QString& detail) {
    using namespace HostText;
    if (saysAny(detail, {"driver"}) && saysAny(detail, {"não está instalado"}))
        return text(DbDriverMissing);
    if (parts.dialect == zavdb::Dialect::SQLite)
        return text(DbFileNotDatabase).arg(parts.path);
    const QString server = serverOf(parts);
    if (saysAny(detail, {"password authentication failed", "authentication failed", "no password supplied",
                         "password is required", "role \"", "pg_hba.conf"}))
        return text(DbRefusedUser).arg(server, parts.user);
    if (saysAny(detail, {"database \""}) && saysAny(detail, {"does not exist"}))
        return text(DbNoSuchDatabase).arg(parts.database, server);
    if (saysAny(detail, {"could not translate host name", "Name or service not known",
                         "Temporary failure in name resolution"}))
        return text(DbServerNotFound).arg(parts.host);
    if (saysAny(detail, {"Connection refused", "could not connect", "timeout expired", "No route to host",
                         "Network is unreachable", "server closed the connection", "the database system is"}))
        return text(DbServerDown).arg(server);
    return text(DbCannotOpen).arg(zavdb::describe(parts));
}

[[noreturn]] void refuse(const QString& cause, const QString& detail) {
    throw EDatabaseOpenError(cause + u' ' + HostText::text(HostText::DbWhatToDo), detail);
}

// The reference tables can be read through the open connection.
void probe(const zavdb::ConnectionParts& parts, const QSqlDatabase& db) {
    QSqlQuery q(db);
    if (q.exec(QLatin1StringView(kProbe)))
        return;
    const QString detail = q.lastError().text().trimmed();
    QString cause;
    if (parts.dialect == zavdb::Dialect::SQLite)
        cause = saysAny(detail, {"no such table"})
                    ? HostText::text(HostText::DbNotTheErp).arg(parts.path)
                    : HostText::text(HostText::DbFileNotDatabase).arg(parts.path);
    else
        cause = HostText::text(HostText::DbCannotRead).arg(zavdb::describe(parts));
    refuse(cause, detail);
}

} // namespace

EDatabaseOpenError::EDatabaseOpenError(const QString& text, const QString& detail)
    : EDatabaseError(text), m_detail(detail) {}

dtmDBGeral::dtmDBGeral() {
    setObjectName(QStringLiteral("dtmDBGeral"));
    m_dtbGeral.setObjectName(QStringLiteral("dtbGeral"));
    m_ibtGeral.setObjectName(QStringLiteral("ibtGeral"));
    m_dtbGeral.SetConnectionName(QLatin1String(ConnectionName));
    m_ibtGeral.SetDefaultDatabase(&m_dtbGeral);
}

dtmDBGeral& dtmDBGeral::instance() {
    static dtmDBGeral module;
    return module;
}

void dtmDBGeral::open(const QString& connectionText) {
    close();
    if (connectionText.trimmed().isEmpty())
        refuse(HostText::text(HostText::DbNotConfigured), QString());
    zavdb::ConnectionParts parts;
    try {
        parts = zavdb::parseConnectionText(connectionText);
    } catch (const zavdb::DatabaseError& e) {
        refuse(HostText::text(HostText::DbBadConnectionText), e.text());
    }
    // SQLite makes a new, empty file for a name that is not there: a
    // workstation pointed at the wrong path would look up nothing in it.
    if (parts.dialect == zavdb::Dialect::SQLite && parts.path != QLatin1StringView(":memory:")) {
        const QFileInfo file(parts.path);
        if (!file.exists())
            refuse(HostText::text(HostText::DbFileMissing).arg(file.absoluteFilePath()), QString());
        if (!file.isFile() || !file.isReadable())
            refuse(HostText::text(HostText::DbFileNotDatabase).arg(parts.path), QString());
    }
    try {
        zavdb::open(connectionText, QLatin1String(ConnectionName));
    } catch (const zavdb::DatabaseError& e) {
        refuse(causeOf(parts, e.text()), e.text());
    }
    // Until the probe has read the reference tables the connection is not
    // the module's: however the probe ends short of that, it is closed.
    bool readable = false;
    const zav::Finally closeUnlessReadable([&] {
        if (!readable)
            close();
    });
    probe(parts, instance().adcGeral());
    readable = true;
}

void dtmDBGeral::close() {
    if (!QSqlDatabase::contains(QLatin1String(ConnectionName)))
        return;
    QSqlDatabase::database(QLatin1String(ConnectionName), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(ConnectionName));
}

bool dtmDBGeral::isOpen() {
    return instance().m_dtbGeral.Connected();
}

QSqlDatabase dtmDBGeral::adcGeral() const {
    if (!QSqlDatabase::contains(QLatin1String(ConnectionName)))
        return {};
    return QSqlDatabase::database(QLatin1String(ConnectionName), false);
}
