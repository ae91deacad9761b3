#include "taxids.h"

#include "cnpjcpf.h"
#include "database.h"
#include "digits.h"

namespace zavdb {
namespace {

void require(const QString& digits, qsizetype count, const char* what) {
    if (!zavfiscal::isDigits(digits, count))
        throw DatabaseError(QStringLiteral("%1 precisa de %2 dígitos: \"%3\".")
                                .arg(QLatin1String(what), QString::number(count), digits));
}

} // namespace

QString completeCnpj(const QString& twelveDigits) {
    require(twelveDigits, 12, "A raiz e a ordem do CNPJ");
    return zavfiscal::completeCnpj(twelveDigits);
}

QString completeCpf(const QString& nineDigits) {
    require(nineDigits, 9, "O número do CPF");
    return zavfiscal::completeCpf(nineDigits);
}

} // namespace zavdb
