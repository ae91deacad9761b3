#include "store/threaddatabase.h"

#include "metrics/metrics.h"

#include "database.h"

#include <QSqlDriver>

#include <libpq-fe.h>

#include <atomic>
#include <optional>
#include <utility>

namespace zavserver {

namespace {

QString& connectionText() {
    static QString text;
    return text;
}

std::atomic<int> g_nextConnection{0};

class Holder {
public:
    Holder() = default;
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    ~Holder() { close(); }

    QSqlDatabase& get() {
        if (!m_db) {
            const QString name = QStringLiteral("zav50000-server-%1").arg(++g_nextConnection);
            try {
                m_db = zavdb::open(connectionText(), name);
            } catch (...) {
                // A failed attempt leaves no connection behind; the next call
                // tries again under a new name.
                QSqlDatabase::removeDatabase(name);
                throw;
            }
            m_name = name;
            if (std::exchange(m_opened, true))
                Metrics::reconnect();
        }
        return *m_db;
    }

    bool broken() const {
        if (!m_db)
            return false;
        if (!m_db->isOpen())
            return true;
        const QVariant handle = m_db->driver()->handle();
        const char* type = handle.typeName();
        if (!type || (qstrcmp(type, "PGconn*") != 0 && qstrcmp(type, "pg_conn*") != 0))
            return false;
        auto* connection = *static_cast<PGconn* const*>(handle.data());
        return !connection || PQstatus(connection) != CONNECTION_OK;
    }

    void close() {
        if (!m_db)
            return;
        m_db->close();
        m_db.reset();
        QSqlDatabase::removeDatabase(m_name);
    }

private:
    std::optional<QSqlDatabase> m_db;
    QString m_name;
    bool m_opened = false; // this thread had a connection before
};

thread_local Holder t_holder;

} // namespace

void ThreadDatabase::configure(const QString& text) {
    connectionText() = text;
}

QSqlDatabase& ThreadDatabase::get() {
    return t_holder.get();
}

void ThreadDatabase::discard() {
    Metrics::databaseError();
    t_holder.close();
}

bool ThreadDatabase::broken() {
    return t_holder.broken();
}

} // namespace zavserver
