#include "secretfile.h"

#include <QFile>

namespace zavfiscal {

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

} // namespace zavfiscal
