#include "methods/handlers.h"

#include <array>

namespace zavserver {

namespace {

const std::array<PacketField, 3> kProgressFields{{
    {QStringLiteral("SITUACAO"), FieldType::String, 12},
    {QStringLiteral("FEITAS"), FieldType::Float, 0},
    {QStringLiteral("TOTAL"), FieldType::Float, 0},
}};

QUtf8StringView stateName(CallRegistry::State state) {
    switch (state) {
    case CallRegistry::State::Running:
        return "andamento";
    case CallRegistry::State::Ended:
        return "encerrada";
    case CallRegistry::State::Unknown:
        break;
    }
    return "desconhecida";
}

} // namespace

void progressoChamada(const CallRegistry& calls, const Call& call, ResponseEncoder& out) {
    const Arguments& a = call.arguments;
    const QCborValue id = a.value(1);
    if (!id.isString())
        a.reject(1, QStringLiteral("id da chamada"), QStringLiteral("esperado um texto"));
    if (!CallRegistry::acceptableId(id.toString()))
        a.reject(1, QStringLiteral("id da chamada"),
                 QStringLiteral("deve ter de 1 a %1 letras, dígitos, '-', '_' ou '.'")
                     .arg(CallRegistry::kMaxIdLength));
    const CallRegistry::Snapshot seen = calls.look(CallRegistry::digestOf(call.caller.bearer), id.toString());
    out.beginPacket(kProgressFields);
    out.beginRow();
    out.text(stateName(seen.state));
    out.number(seen.done);
    out.number(seen.total);
    out.endRow();
    out.endPacket();
}

} // namespace zavserver
