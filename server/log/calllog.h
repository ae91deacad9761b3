#pragma once
// The server's log: one line per call (time, method, duration, rows, bytes,
// encoding, outcome) and the lines of start and stop. Lines from different
// worker threads never interleave.
#include <QString>
#include <cstdio>
#include <mutex>

namespace zavserver {

struct CallOutcome;

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
};

} // namespace zavserver
