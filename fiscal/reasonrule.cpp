#include "reasonrule.h"

#include <QList>

namespace zavfiscal {

namespace {

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// "U+201C “““": the code point always, the character itself only when it can
// be shown (a control character would travel raw inside the message).
QString describe(char32_t c) {
    QString point = QStringLiteral("U+%1").arg(
        QString::number(quint32(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
    if (isControl(c))
        return point;
    return QStringLiteral("%1 “%2”").arg(point, QString::fromUcs4(&c, 1));
}

} // namespace

ReasonCheck checkReason(const QString& reason) {
    ReasonCheck check;
    check.reason = reason.trimmed();
    const QList<uint> characters = check.reason.toUcs4();
    check.length = characters.size();
    if (check.length == 0) {
        check.fault = ReasonFault::Empty;
        return check;
    }
    if (check.length < kReasonMinimum) {
        check.fault = ReasonFault::TooShort;
        return check;
    }
    if (check.length > kReasonMaximum) {
        check.fault = ReasonFault::TooLong;
        return check;
    }
    for (const uint c : characters) {
        if (c == U'\n' || c == U'\r')
            check.fault = ReasonFault::LineBreak;
        else if (c == U'\t')
            check.fault = ReasonFault::Tab;
        else if (isControl(c) || c > 0xFF)
            check.fault = ReasonFault::BadCharacter;
        else
            continue;
        check.character = c;
        return check;
    }
    return check;
}

QString ReasonCheck::message() const {
    switch (fault) {
    case ReasonFault::None:
        return {};
    case ReasonFault::Empty:
        return QStringLiteral("Motivo do cancelamento deve ser informado.");
    case ReasonFault::TooShort:
        return QStringLiteral("Motivo do cancelamento deve conter no mínimo de %1 caracteres.")
            .arg(kReasonMinimum);
    case ReasonFault::TooLong:
        return QStringLiteral("A justificativa deve ter no máximo %1 caracteres (tem %2).")
            .arg(kReasonMaximum)
            .arg(length);
    case ReasonFault::LineBreak:
        return QStringLiteral("A justificativa não pode ter quebras de linha.");
    case ReasonFault::Tab:
        return QStringLiteral("A justificativa não pode ter tabulações.");
    case ReasonFault::BadCharacter:
        return QStringLiteral("A justificativa tem um caractere não aceito pela SEFAZ (%1).")
            .arg(describe(character));
    }
    return {};
}

} // namespace zavfiscal
