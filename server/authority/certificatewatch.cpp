#include "authority/certificatewatch.h"

namespace zavserver {

QStringList CertificateWatch::warningsOf(const QList<zavnfe::CertificateEntry>& entries,
                                         const QDateTime& now) {
    QStringList warnings;
    for (const zavnfe::CertificateEntry& e : entries) {
        if (e.serial.isEmpty()) {
            warnings.append(QStringLiteral("Certificado A1 %1 não abre: %2.").arg(e.file, e.error));
            continue;
        }
        const QString day = e.notAfter.toString(QStringLiteral("dd/MM/yyyy"));
        const qint64 seconds = now.secsTo(e.notAfter);
        if (seconds < 0)
            warnings.append(
                QStringLiteral("Certificado A1 %1 (%2) venceu em %3.").arg(e.serial, e.file, day));
        else if (seconds <= qint64{kWarningDays} * 86400)
            warnings.append(QStringLiteral("Certificado A1 %1 (%2) vence em %3 (em %4 dias).")
                                .arg(e.serial, e.file, day)
                                .arg(seconds / 86400));
    }
    return warnings;
}

QStringList CertificateWatch::warnings(const QDateTime& now) {
    if (m_folder.isEmpty())
        return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    refresh(now);
    if (!m_folderProblem.isEmpty())
        return {m_folderProblem};
    return warningsOf(m_entries, now);
}

QList<zavnfe::CertificateEntry> CertificateWatch::entries(QString* folderProblem, const QDateTime& now) {
    if (m_folder.isEmpty())
        return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    refresh(now);
    if (folderProblem)
        *folderProblem = m_folderProblem;
    return m_entries;
}

void CertificateWatch::refresh(const QDateTime& now) {
    if (!m_readAt.isValid() || m_readAt.secsTo(now) >= kRereadSeconds || now < m_readAt) {
        m_folderProblem.clear();
        m_entries = zavnfe::CertificateStore(m_folder).entries(m_password, &m_folderProblem);
        m_readAt = now;
    }
}

} // namespace zavserver
