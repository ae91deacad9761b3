#include "log/calllog.h"
#include "metrics/metrics.h"
#include "rpc/rpcdispatcher.h"
#include "rpc/rpcerror.h"

#include <QDateTime>
#include <QFile>

namespace zavserver {

CallLog::~CallLog() {
    if (m_file)
        std::fclose(m_file);
}

bool CallLog::openFile(const QString& path) {
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "a");
    if (!file)
        return false;
    std::lock_guard lock(m_mutex);
    if (m_file)
        std::fclose(m_file);
    m_file = file;
    return true;
}

void CallLog::call(const CallOutcome& outcome, double milliseconds, qint64 bytes, const char* encoding) {
    Metrics::call(outcome.method, outcome.code, milliseconds);
    QString line = QStringLiteral("%1 %2ms")
                       .arg(outcome.method.isEmpty() ? QStringLiteral("-") : outcome.method)
                       .arg(milliseconds, 0, 'f', 1);
    line += outcome.rows >= 0 ? QStringLiteral(" rows=%1").arg(outcome.rows) : QStringLiteral(" rows=-");
    line += QStringLiteral(" bytes=%1 %2").arg(bytes).arg(QLatin1StringView(encoding));
    if (!outcome.from.isEmpty())
        line += QStringLiteral(" from=") + outcome.from;
    if (!outcome.by.isEmpty())
        line += QStringLiteral(" by=") + outcome.by;
    if (!outcome.tried.isEmpty() && outcome.code != 0)
        line += QStringLiteral(" tried=") + outcome.tried;
    if (outcome.code == 0) {
        line += QStringLiteral(" ok");
    } else {
        QString message = outcome.message;
        message.replace(u'\n', u' ');
        line += QStringLiteral(" erro %1 \"%2\"").arg(outcome.code).arg(message);
    }
    if (outcome.code == int(RpcCode::Unauthorized))
        m_withoutSession.note(line);
    else
        write(line);
}

void CallLog::note(const QString& text) {
    write(text);
}

void LimitedNotes::note(const QString& text) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (now - m_windowStart >= kWindow) {
        if (m_leftOut > 0)
            m_log.note(
                QString::fromUtf8(m_leftOutText)
                    .arg(m_leftOut)
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(now - m_windowStart).count()));
        m_windowStart = now;
        m_written = 0;
        m_leftOut = 0;
    }
    if (m_written < kBurst) {
        ++m_written;
        m_log.note(text);
    } else {
        ++m_leftOut;
    }
}

void CallLog::write(const QString& line) {
    const QByteArray text =
        (QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + u' ' + line + u'\n').toUtf8();
    std::lock_guard lock(m_mutex);
    std::FILE* out = m_file ? m_file : stderr;
    std::fwrite(text.constData(), 1, size_t(text.size()), out);
    std::fflush(out);
}

} // namespace zavserver
