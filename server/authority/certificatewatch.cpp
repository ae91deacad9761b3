#include "authority/certificatewatch.h"

#include <QJsonObject>

namespace zavserver {

namespace {

// The expiry warning of one certificate, or nothing: `what` names it.
QString expiryWarning(const QString& what, const QDateTime& notAfter, const QDateTime& now) {
    const QString day = notAfter.toString(QStringLiteral("dd/MM/yyyy"));
    const qint64 seconds = now.secsTo(notAfter);
    if (seconds < 0)
        return QStringLiteral("%1 venceu em %2.").arg(what, day);
    if (seconds <= qint64{CertificateWatch::kWarningDays} * 86400)
        return QStringLiteral("%1 vence em %2 (em %3 dias).").arg(what, day).arg(seconds / 86400);
    return {};
}

QString dayText(const QDateTime& at) {
    return at.isValid() ? at.toString(Qt::ISODate) : QString();
}

} // namespace

QStringList CertificateWatch::warningsOf(const QList<zavnfe::CertificateEntry>& entries,
                                         const QDateTime& now) {
    QStringList warnings;
    for (const zavnfe::CertificateEntry& e : entries) {
        if (e.serial.isEmpty()) {
            warnings.append(QStringLiteral("Certificado A1 %1 não abre: %2.").arg(e.file, e.error));
            continue;
        }
        const QString warning =
            expiryWarning(QStringLiteral("Certificado A1 %1 (%2)").arg(e.serial, e.file), e.notAfter, now);
        if (!warning.isEmpty())
            warnings.append(warning);
    }
    return warnings;
}

QStringList CertificateWatch::warningsOf(const QList<Token>& tokens, const QDateTime& now) {
    QStringList warnings;
    for (const Token& t : tokens) {
        if (!t.entry.error.isEmpty()) {
            warnings.append(QStringLiteral("Token A3 [%1]: %2").arg(t.entry.name, t.entry.error));
            continue;
        }
        for (qsizetype i = 0; i < t.entry.certificates.size(); ++i) {
            const zavnfe::CertificateEntry& c = t.entry.certificates.at(i);
            const QString problem = t.problems.value(i);
            // An expired certificate is said once, by its expiry.
            const QString warning = expiryWarning(
                QStringLiteral("Certificado A3 %1 (token [%2])").arg(c.serialText, t.entry.name), c.notAfter,
                now);
            if (!warning.isEmpty())
                warnings.append(warning);
            else if (!problem.isEmpty())
                warnings.append(QStringLiteral("Certificado A3 %1 (token [%2]): %3")
                                    .arg(c.serialText, t.entry.name, problem));
        }
    }
    return warnings;
}

QStringList CertificateWatch::warnings(const QDateTime& now) {
    if (m_folder.isEmpty() && !m_tokenSet)
        return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    refresh(now);
    QStringList all;
    if (!m_folderProblem.isEmpty())
        all.append(m_folderProblem);
    else
        all = warningsOf(m_entries, now);
    all += warningsOf(m_tokens, now);
    return all;
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

QList<CertificateWatch::Token> CertificateWatch::tokens(const QDateTime& now) {
    if (!m_tokenSet)
        return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    refresh(now);
    return m_tokens;
}

QJsonArray CertificateWatch::tokensJson(const QDateTime& now) {
    QJsonArray list;
    for (const Token& t : tokens(now)) {
        QJsonObject token{{QStringLiteral("nome"), t.entry.name},
                          {QStringLiteral("modulo"), t.entry.module},
                          {QStringLiteral("slot"), t.entry.slot},
                          {QStringLiteral("rotulo"), t.entry.label},
                          {QStringLiteral("serie"), t.entry.serial},
                          {QStringLiteral("situacao"), t.entry.error.isEmpty()
                                                           ? QStringLiteral("presente")
                                                           : QStringLiteral("indisponível")}};
        if (!t.entry.error.isEmpty())
            token.insert(QStringLiteral("erro"), t.entry.error);
        QJsonArray certificates;
        for (qsizetype i = 0; i < t.entry.certificates.size(); ++i) {
            const zavnfe::CertificateEntry& c = t.entry.certificates.at(i);
            QJsonObject certificate{{QStringLiteral("serie"), c.serialText},
                                    {QStringLiteral("titular"), c.subject},
                                    {QStringLiteral("validoDe"), dayText(c.notBefore)},
                                    {QStringLiteral("validoAte"), dayText(c.notAfter)},
                                    {QStringLiteral("diasRestantes"), now.secsTo(c.notAfter) / 86400}};
            if (!t.problems.value(i).isEmpty())
                certificate.insert(QStringLiteral("erro"), t.problems.value(i));
            certificates.append(certificate);
        }
        token.insert(QStringLiteral("certificados"), certificates);
        list.append(token);
    }
    return list;
}

void CertificateWatch::refresh(const QDateTime& now) {
    if (m_readAt.isValid() && m_readAt.secsTo(now) < std::chrono::seconds(kRereadEvery).count() &&
        now >= m_readAt)
        return;
    m_folderProblem.clear();
    m_entries = m_folder.isEmpty() ? QList<zavnfe::CertificateEntry>{}
                                   : zavnfe::CertificateStore(m_folder).entries(m_password, &m_folderProblem);
    m_tokens.clear();
    if (m_tokenSet)
        for (const zavnfe::TokenEntry& entry : m_tokenSet->entries()) {
            Token token{entry, {}};
            // Each certificate looked up as a signature would: a PIN the
            // token refused is not tried again (TokenSet keeps it), a locked
            // one not at all.
            for (const zavnfe::CertificateEntry& c : entry.certificates) {
                const zavnfe::CertificateLookup lookup = m_tokenSet->find(c.serial, now);
                token.problems.append(lookup.found() ? QString() : lookup.error);
            }
            m_tokens.append(token);
        }
    m_readAt = now;
}

} // namespace zavserver
