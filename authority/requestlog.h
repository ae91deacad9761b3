#pragma once
// RequestLog: one line per request (and the few lines of start and stop),
// with the time in UTC, written whole even when threads log together; to a
// file, or to the standard error when there is none.
#include <QFile>
#include <QString>

#include <mutex>

namespace zavauthority {

class RequestLog {
public:
    bool openFile(const QString& path); // appends
    void line(const QString& text);

private:
    std::mutex m_mutex;
    QFile m_file;
};

} // namespace zavauthority
