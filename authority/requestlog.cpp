#include "requestlog.h"

#include <QDateTime>

#include <cstdio>

namespace zavauthority {

bool RequestLog::openFile(const QString& path) {
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

void RequestLog::line(const QString& text) {
    const QByteArray bytes =
        (QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + u' ' + text + u'\n').toUtf8();
    std::lock_guard lock(m_mutex);
    if (m_file.isOpen()) {
        m_file.write(bytes);
        m_file.flush();
    } else {
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }
}

} // namespace zavauthority
