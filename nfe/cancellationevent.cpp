#include "cancellationevent.h"

#include "digits.h"
#include "reasonrule.h"
#include "states.h"

namespace zavnfe {

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

    const zavfiscal::ReasonCheck reason = zavfiscal::checkReason(data.reason);
    if (!reason.ok())
        return fail(reason.message());
    CancellationData normal = data;
    normal.reason = reason.reason;
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
