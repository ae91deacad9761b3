#include "cancellationevent.h"

#include "digits.h"
#include "states.h"

namespace zavnfe {

namespace {

QString describe(char32_t c) {
    return QStringLiteral("U+%1 “%2”")
        .arg(QString::number(quint32(c), 16).toUpper().rightJustified(4, QLatin1Char('0')),
             QString::fromUcs4(&c, 1));
}

} // namespace

QString CancellationEvent::checkReason(const QString& reason) {
    for (char32_t c : reason.toUcs4()) {
        if (c == U'\n' || c == U'\r')
            return QStringLiteral("A justificativa não pode ter quebras de linha.");
        if (c == U'\t')
            return QStringLiteral("A justificativa não pode ter tabulações.");
        // U+007F to U+009F are control characters: inside the authority's
        // range, but they come only from text decoded with the wrong code
        // page (typographic quotes read as Latin-1), never from an operator.
        if (c < 0x20 || c > 0xFF || (c >= 0x7F && c <= 0x9F))
            return QStringLiteral(
                       "A justificativa tem um caractere não aceito pela SEFAZ (%1): use só letras, "
                       "algarismos, acentos e pontuação comuns, sem aspas curvas, travessões ou emojis.")
                .arg(describe(c));
    }
    if (reason.size() < kReasonMin)
        return QStringLiteral("A justificativa deve ter pelo menos %1 caracteres (tem %2).")
            .arg(kReasonMin)
            .arg(reason.size());
    if (reason.size() > kReasonMax)
        return QStringLiteral("A justificativa deve ter no máximo %1 caracteres (tem %2).")
            .arg(kReasonMax)
            .arg(reason.size());
    return {};
}

std::optional<CancellationEvent> CancellationEvent::create(const CancellationData& data, QString* error) {
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!zavfiscal::isValidAccessKey(data.accessKey) ||
        !zavfiscal::stateByCode(zavfiscal::accessKeyStateCode(data.accessKey)))
        return fail(
            QStringLiteral("Chave de acesso inválida: são 44 algarismos, começando pelo código da UF, com "
                           "dígito verificador correto."));
    if (!zavfiscal::isDigits(data.issuerCnpj, 14))
        return fail(QStringLiteral("CNPJ do emitente inválido: são 14 algarismos."));
    if (!zavfiscal::isDigits(data.authorisationProtocol, 15))
        return fail(QStringLiteral("Protocolo de autorização inválido: são 15 algarismos."));
    if (data.environment != 1 && data.environment != 2)
        return fail(QStringLiteral("Ambiente inválido: 1 (produção) ou 2 (homologação)."));
    if (!data.at.isValid())
        return fail(QStringLiteral("Data e hora do evento inválidas."));
    if (data.stateUtcOffsetSeconds % 3600 != 0 || data.stateUtcOffsetSeconds < -12 * 3600 ||
        data.stateUtcOffsetSeconds > 12 * 3600)
        return fail(QStringLiteral("Fuso horário da UF inválido: só horas inteiras, entre -12:00 e +12:00."));

    CancellationData normal = data;
    normal.reason = data.reason.trimmed();
    const QString why = checkReason(normal.reason);
    if (!why.isEmpty())
        return fail(why);
    normal.at = data.at.toOffsetFromUtc(data.stateUtcOffsetSeconds);
    return CancellationEvent(std::move(normal));
}

QString CancellationEvent::id() const {
    return QStringLiteral("ID%1%2%3")
        .arg(QLatin1StringView(kEventType), m_data.accessKey)
        .arg(kSequence, 2, 10, QLatin1Char('0'));
}

QString CancellationEvent::dateTime() const {
    return zavfiscal::legalDateTime(m_data.at, m_data.stateUtcOffsetSeconds);
}

} // namespace zavnfe
