#include "secretfile.h"

#include <QFile>
#include <QFileInfo>

namespace zavcommon {

std::optional<QByteArray> readSecretLine(const QString& path, SecretFault* fault, QString* why) {
    QFile file(path);
    if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                              QFileDevice::WriteOther)) {
        *fault = SecretFault::OpenToOthers;
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *fault = SecretFault::Unreadable;
        if (why)
            *why = file.errorString();
        return std::nullopt;
    }
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

std::optional<QString> readPasswordFile(const QString& path, QString* message) {
    if (!QFileInfo(path).isFile()) {
        *message = QStringLiteral("Arquivo de senha não encontrado: %1.").arg(path);
        return std::nullopt;
    }
    SecretFault fault{};
    const std::optional<QByteArray> line = readSecretLine(path, &fault);
    if (line)
        return QString::fromUtf8(*line);
    const QString text =
        fault == SecretFault::OpenToOthers
            ? QStringLiteral("O arquivo de senha %1 pode ser lido por outros usuários; use chmod 600.")
            : QStringLiteral("Não foi possível ler o arquivo de senha %1.");
    *message = text.arg(path);
    return std::nullopt;
}

} // namespace zavcommon
