#pragma once
// The database connection of the calling thread. Qt SQL connections belong to
// the thread that opened them, so each worker thread opens its own, on its
// first call, under a name of its own; it is closed when the thread ends.
#include <QSqlDatabase>
#include <QString>

namespace zavserver {

class ThreadDatabase {
public:
    // The connection text every thread opens (zavdb::open); set once at start.
    static void configure(const QString& connectionText);

    // Opens the thread's connection when it has none; throws
    // zavdb::DatabaseError when the database cannot be reached.
    static QSqlDatabase& get();

    // Drops the thread's connection after a failure, so that the next call
    // opens a fresh one instead of failing on a dead connection forever.
    static void discard();
};

} // namespace zavserver
