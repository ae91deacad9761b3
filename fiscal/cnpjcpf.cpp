#include "cnpjcpf.h"

#include "digits.h"

namespace zavfiscal {

namespace {

// The CNPJ's weights run from 2 to 9 and start again, as the access key's;
// the CPF's run from 2 up to 11 without starting again.
constexpr int kCnpjMaxWeight = 9;
constexpr int kCpfMaxWeight = 11;

// The digits followed by two check digits, the second over the first.
QString withTwoCheckDigits(QStringView digits, int maxWeight) {
    QString number = digits.toString();
    for (int i = 0; i < 2; ++i)
        number += QChar(char16_t(u'0' + modulo11CheckDigit(number, maxWeight)));
    return number;
}

} // namespace

QString completeCnpj(QStringView twelveDigits) {
    if (!isDigits(twelveDigits, 12))
        return {};
    return withTwoCheckDigits(twelveDigits, kCnpjMaxWeight);
}

QString completeCpf(QStringView nineDigits) {
    if (!isDigits(nineDigits, 9))
        return {};
    return withTwoCheckDigits(nineDigits, kCpfMaxWeight);
}

bool isValidCnpj(QStringView digits) {
    return isDigits(digits, 14) && completeCnpj(digits.first(12)) == digits;
}

bool isValidCpf(QStringView digits) {
    if (!isDigits(digits, 11) || digits.count(digits.at(0)) == digits.size())
        return false;
    return completeCpf(digits.first(9)) == digits;
}

} // namespace zavfiscal
