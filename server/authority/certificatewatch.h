#pragma once
// What the people running the server must hear of its certificates: an A1
// file or a token's certificate that expires within 30 days or has expired,
// an A1 file that cannot be opened (a wrong password, a password file others
// can read), a token absent, its PIN refused or locked, a token's certificate
// whose key does not sign. Said in the log at start and in every /health
// answer; the folder and the tokens are read again at most once an hour, so
// that a busy health check neither opens every file nor lists every token
// each time (a listing makes the token open again on its next signature).
#include "certificatestore.h"
#include "tokenset.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <mutex>

namespace zavserver {

class CertificateWatch {
public:
    static constexpr std::chrono::hours kRereadEvery{1};
    static constexpr int kWarningDays = 30;

    // One token as last listed, with what a look-up of each of its
    // certificates said (empty when it can sign).
    struct Token {
        zavnfe::TokenEntry entry;
        QStringList problems; // one per certificate, in entry.certificates' order
    };

    CertificateWatch(QString folder, QByteArray password, std::shared_ptr<zavnfe::TokenSet> tokens = {})
        : m_folder(std::move(folder)), m_password(std::move(password)), m_tokenSet(std::move(tokens)) {}

    // The warnings at `now`; none without a folder or tokens.
    QStringList warnings(const QDateTime& now = QDateTime::currentDateTimeUtc());

    // The folder's files as last read (read again as warnings() does), and
    // what is wrong with the folder itself.
    QList<zavnfe::CertificateEntry> entries(QString* folderProblem = nullptr,
                                            const QDateTime& now = QDateTime::currentDateTimeUtc());
    // The tokens as last listed (listed again as warnings() does).
    QList<Token> tokens(const QDateTime& now = QDateTime::currentDateTimeUtc());
    // The tokens for /health: module, slot, label, serial, state and each
    // certificate with its serial as it carries it and its validity.
    QJsonArray tokensJson(const QDateTime& now = QDateTime::currentDateTimeUtc());

    // The warnings of a folder's files at `now`, in Portuguese.
    static QStringList warningsOf(const QList<zavnfe::CertificateEntry>& entries, const QDateTime& now);
    // The warnings of the tokens at `now`, in Portuguese.
    static QStringList warningsOf(const QList<Token>& tokens, const QDateTime& now);

private:
    // Reads the folder and lists the tokens again when an hour has passed;
    // under m_mutex.
    void refresh(const QDateTime& now);

    const QString m_folder;
    const QByteArray m_password;
    const std::shared_ptr<zavnfe::TokenSet> m_tokenSet;
    std::mutex m_mutex;
    QDateTime m_readAt;
    QList<zavnfe::CertificateEntry> m_entries;
    QString m_folderProblem;
    QList<Token> m_tokens;
};

} // namespace zavserver
