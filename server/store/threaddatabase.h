#pragma once
// The database connection of the calling thread. Qt SQL connections belong to
// the thread that opened them, so each worker thread opens its own, on its
// first call, under a name of its own; it is closed when the thread ends.
#include "database.h"

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

    // Whether the thread's connection is known to be broken: on PostgreSQL,
    // the server closed it (a restart, say). Qt SQL's driver keeps such a
    // connection open and fails every later statement on it.
    static bool broken();

    // Runs a read (or a write that may safely run twice, as renewing a
    // session); when it fails because the connection broke, the connection is
    // opened again and the read runs once more. Any other failure discards
    // the connection too (the next use opens a fresh one) and is thrown.
    template <typename Read> static auto readWithRetry(Read&& read) -> decltype(read()) {
        try {
            return read();
        } catch (const zavdb::DatabaseError&) {
            const bool wasBroken = broken();
            discard();
            if (!wasBroken)
                throw;
        }
        return read();
    }
};

} // namespace zavserver
