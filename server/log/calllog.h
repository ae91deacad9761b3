#pragma once
// The server's log: one line per call (time, method, duration, rows, bytes,
// encoding, outcome) and the lines of start and stop. Lines from different
// worker threads never interleave.
#include <QString>

#include <chrono>
#include <cstdio>
#include <mutex>

namespace zavserver {

struct CallOutcome;

class CallLog;

// Lines that anyone who reaches the port can cause, one a connection or a
// request (the HTTP library's: a handshake that failed, a connection that
// broke; a call refused for want of a session): at most kBurst of them in
// each kWindow go to the log, and how many were left out is said before the
// next one written, so that a stranger's flood neither fills the journal nor
// makes it drop the other lines.
class LimitedNotes {
public:
    static constexpr int kBurst = 20;
    static constexpr std::chrono::seconds kWindow{5};

    // leftOut: the line that tells how many were left out (%1) in how many
    // seconds (%2).
    LimitedNotes(CallLog& log, const char* leftOut) : m_log(log), m_leftOutText(leftOut) {}
    void note(const QString& text);

private:
    CallLog& m_log;
    const char* m_leftOutText;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_windowStart;
    int m_written = 0;
    qint64 m_leftOut = 0;
};

class CallLog {
public:
    CallLog() = default; // standard error
    ~CallLog();
    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;

    // Appends to a file instead; false when it cannot be opened.
    bool openFile(const QString& path);

    void call(const CallOutcome& outcome, double milliseconds, qint64 bytes, const char* encoding);
    void note(const QString& text);

private:
    void write(const QString& line);

    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    // The calls refused for want of a session: anyone may make them.
    LimitedNotes m_withoutSession{*this, "%1 chamadas sem sessão omitidas do log em %2 s"};
};

} // namespace zavserver
