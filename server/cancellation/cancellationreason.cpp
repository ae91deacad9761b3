#include "cancellation/cancellationreason.h"

#include <QList>

namespace zavserver {

std::optional<CancellationOutcome> CancellationReason::check(const QString& reason, QString* accepted) {
    const QString trimmed = reason.trimmed();
    // Characters, not UTF-16 units: a character outside the BMP counts once.
    const QList<uint> characters = trimmed.toUcs4();
    if (characters.size() < kMinimum)
        return CancellationOutcome::byKey("Motivo_Min");
    if (characters.size() > kMaximum)
        return CancellationOutcome::byText(
            QStringLiteral("Motivo do cancelamento deve conter no máximo %1 caracteres.").arg(kMaximum),
            "Motivo_Min");
    for (const uint c : characters) {
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            return CancellationOutcome::byText(QStringLiteral(
                "Motivo do cancelamento não pode conter quebras de linha, tabulações nem caracteres "
                "de controle."));
        if (c > 0xff) {
            const char32_t one = c;
            return CancellationOutcome::byText(
                QStringLiteral("Motivo do cancelamento contém caractere não aceito na NF-e: \"%1\".")
                    .arg(QString::fromUcs4(&one, 1)));
        }
    }
    *accepted = trimmed;
    return std::nullopt;
}

} // namespace zavserver
