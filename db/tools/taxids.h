#pragma once
// Brazilian registration numbers: CNPJ (legal persons, 14 digits) and CPF
// (natural persons, 11 digits), each ending in two modulo-11 check digits.
#include <QString>

namespace zavdb {

// The 12 (CNPJ) or 9 (CPF) leading digits completed with their check digits.
QString completeCnpj(const QString& twelveDigits);
QString completeCpf(const QString& nineDigits);

bool isValidCnpj(const QString& digits);
bool isValidCpf(const QString& digits);

} // namespace zavdb
