#include "standinauthority.h"

#include "brazilianstates.h"

namespace zavserver {

namespace {

bool digitsOnly(const QString& text, qsizetype size) {
    if (text.size() != size)
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

// Modulo 11 over the first 43 digits, weights 2 to 9 from the right; a
// remainder of 0 or 1 gives 0.
bool validAccessKey(const QString& key) {
    if (!digitsOnly(key, 44))
        return false;
    int sum = 0;
    int weight = 2;
    for (qsizetype i = 42; i >= 0; --i) {
        sum += (key.at(i).unicode() - u'0') * weight;
        weight = weight == 9 ? 2 : weight + 1;
    }
    const int remainder = sum % 11;
    return key.at(43).unicode() - u'0' == (remainder < 2 ? 0 : 11 - remainder);
}

AuthorityAnswer rejection(int status, const char* text) {
    AuthorityAnswer answer;
    answer.answered = true;
    answer.status = status;
    answer.statusText = QString::fromUtf8(text);
    answer.application = QLatin1StringView(StandInAuthority::kApplication);
    return answer;
}

// A sequence that does not repeat within one server's life nor across its
// restarts (it starts from the clock); the real numbers come from the authority.
std::atomic<quint64>& sequence() {
    static std::atomic<quint64> next{quint64(QDateTime::currentMSecsSinceEpoch())};
    return next;
}

} // namespace

QString StandInAuthority::nextProtocol(const QString& stateCode, const QDateTime& at) {
    const quint64 n = sequence().fetch_add(1) % 10000000000ull;
    return QStringLiteral("9") + stateCode + at.toString(QStringLiteral("yy")) +
           QStringLiteral("%1").arg(n, 10, 10, QLatin1Char('0'));
}

AuthorityAnswer StandInAuthority::cancel(const CancellationEvent& event) {
    const BrazilianState* state = validAccessKey(event.accessKey) ? BrazilianStates::byCode(event.accessKey.left(2))
                                                                  : nullptr;
    if (!state)
        return rejection(236, "Rejeição: Chave de Acesso com dígito verificador inválido");
    if (!digitsOnly(event.authorisationProtocol, 15))
        return rejection(222, "Rejeição: Protocolo de Autorização de Uso difere do cadastrado");
    if (event.environment != u"1" && event.environment != u"2")
        return rejection(252, "Rejeição: Ambiente informado diverge do Ambiente de recebimento");

    const QDateTime now = QDateTime::currentDateTimeUtc().toOffsetFromUtc(state->utcOffsetSeconds);
    AuthorityAnswer answer;
    answer.answered = true;
    answer.status = 135;
    answer.statusText = QStringLiteral("Evento registrado e vinculado a NF-e");
    answer.protocol = nextProtocol(QLatin1StringView(state->code), now);
    answer.registeredAt = now.toString(Qt::ISODate);
    answer.application = QLatin1StringView(kApplication);
    return answer;
}

} // namespace zavserver
