#include "taxids.h"

#include "database.h"
#include "digits.h"

namespace zavdb {
namespace {

// Weights run from `first` down to 2; the CNPJ's wrap back to 9 after 2.
QChar checkDigit(const QString& digits, int first, bool wrapAtNine) {
    int sum = 0;
    int weight = first;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        sum += digits.at(i).digitValue() * weight;
        --weight;
        if (weight < 2)
            weight = wrapAtNine ? 9 : 2;
    }
    const int rest = sum % 11;
    return QChar(u'0' + (rest < 2 ? 0 : 11 - rest));
}

void require(const QString& digits, qsizetype count, const char* what) {
    if (!zavfiscal::isDigits(digits, count))
        throw DatabaseError(QStringLiteral("%1 precisa de %2 dígitos: \"%3\".")
                                .arg(QLatin1String(what), QString::number(count), digits));
}

} // namespace

QString completeCnpj(const QString& twelveDigits) {
    require(twelveDigits, 12, "A raiz e a ordem do CNPJ");
    QString s = twelveDigits;
    s += checkDigit(s, 5, true);
    s += checkDigit(s, 6, true);
    return s;
}

QString completeCpf(const QString& nineDigits) {
    require(nineDigits, 9, "O número do CPF");
    QString s = nineDigits;
    s += checkDigit(s, 10, false);
    s += checkDigit(s, 11, false);
    return s;
}

bool isValidCnpj(const QString& digits) {
    return zavfiscal::isDigits(digits, 14) && completeCnpj(digits.left(12)) == digits;
}

bool isValidCpf(const QString& digits) {
    if (!zavfiscal::isDigits(digits, 11))
        return false;
    // Eleven equal digits pass the arithmetic but are no CPF.
    if (digits.count(digits.at(0)) == digits.size())
        return false;
    return completeCpf(digits.left(9)) == digits;
}

} // namespace zavdb
