#include "rpc/arguments.h"
#include "rpc/rpcerror.h"

#include <QRegularExpression>

namespace zavserver {

namespace {

QString describe(const QCborValue& value) {
    switch (value.type()) {
    case QCborValue::Integer:
    case QCborValue::Double:
        return QStringLiteral("um número");
    case QCborValue::False:
    case QCborValue::True:
        return QStringLiteral("um valor lógico");
    case QCborValue::Null:
    case QCborValue::Undefined:
        return QStringLiteral("nulo");
    case QCborValue::Array:
        return QStringLiteral("uma lista");
    case QCborValue::Map:
        return QStringLiteral("um objeto");
    case QCborValue::String:
        return QStringLiteral("um texto");
    default:
        return QStringLiteral("um valor de outro tipo");
    }
}

} // namespace

Arguments::Arguments(QString method, const QCborArray& params)
    : m_method(std::move(method)), m_params(params) {}

// Positions are counted from 1, as the operator's messages count them.
QCborValue Arguments::at(int position) const {
    if (position < 1 || position > m_params.size())
        return QCborValue(QCborValue::Undefined);
    return m_params.at(position - 1);
}

void Arguments::reject(int position, const QString& label, const QString& why) const {
    throw RpcError(RpcCode::InvalidParams,
                   QStringLiteral("Argumento %1 (%2) inválido: %3").arg(position).arg(label, why));
}

QString Arguments::text(int position, const QString& label, qsizetype maxLength, Presence presence) const {
    const QCborValue value = at(position);
    if (!value.isString())
        reject(position, label, QStringLiteral("esperado um texto, recebido %1").arg(describe(value)));
    QString text = value.toString().trimmed();
    // No database keeps a NUL in a text: an argument refusal, not a database failure.
    if (text.contains(QChar(0)))
        reject(position, label, QStringLiteral("caracteres de controle não são aceitos"));
    if (text.size() > maxLength)
        reject(position, label,
               QStringLiteral("no máximo %1 caracteres, recebidos %2").arg(maxLength).arg(text.size()));
    if (presence == Presence::Required && text.isEmpty())
        reject(position, label, QStringLiteral("deve ser informado"));
    return text;
}

QDate Arguments::date(int position, const QString& label) const {
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    const QCborValue value = at(position);
    const QString text = value.isString() ? value.toString() : QString();
    const QDate day = shape.match(text).hasMatch() ? QDate::fromString(text, Qt::ISODate) : QDate();
    if (!day.isValid())
        reject(position, label, QStringLiteral("esperado uma data AAAA-MM-DD"));
    return day;
}

} // namespace zavserver
