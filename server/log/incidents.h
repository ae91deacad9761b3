#pragma once
// What went wrong inside the server (a database's or a driver's text, with
// its SQL) is for the server's log, not for the caller: the caller gets a
// Portuguese sentence and a correlation id that finds the details in the log.
#include <QString>

namespace zavserver {

class CallLog;

class Incidents {
public:
    // Where the details go; set once at start (standard error until then).
    static void setLog(CallLog* log);
    // Logs the details under a new id and returns the id (8 hex digits).
    static QString record(const QString& details);
    // "what (ocorrência ID)" for the caller, the details logged under ID.
    static QString report(const QString& what, const QString& details);
};

} // namespace zavserver
