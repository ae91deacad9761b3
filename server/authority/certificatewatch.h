#pragma once
// What the people running the server must hear of its A1 certificates: one
// that expires within 30 days or has expired, one that cannot be opened (a
// wrong password, a password file others can read). Said in the log at start
// and in every /health answer; the folder is read again at most once an hour,
// so that a busy health check does not open every file each time.
#include "certificatestore.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <mutex>

namespace zavserver {

class CertificateWatch {
public:
    static constexpr int kWarningDays = 30;
    static constexpr qint64 kRereadSeconds = 3600;

    CertificateWatch(QString folder, QByteArray password)
        : m_folder(std::move(folder)), m_password(std::move(password)) {}

    // The warnings at `now`; none without a folder.
    QStringList warnings(const QDateTime& now = QDateTime::currentDateTimeUtc());

    // The folder's files as last read (read again as warnings() does), and
    // what is wrong with the folder itself.
    QList<zavnfe::CertificateEntry> entries(QString* folderProblem = nullptr,
                                            const QDateTime& now = QDateTime::currentDateTimeUtc());

    // The warnings of a folder's files at `now`, in Portuguese.
    static QStringList warningsOf(const QList<zavnfe::CertificateEntry>& entries, const QDateTime& now);

private:
    // Reads the folder again when an hour has passed; under m_mutex.
    void refresh(const QDateTime& now);

    const QString m_folder;
    const QByteArray m_password;
    std::mutex m_mutex;
    QDateTime m_readAt;
    QList<zavnfe::CertificateEntry> m_entries;
    QString m_folderProblem;
};

} // namespace zavserver
