#pragma once
// Brazilian registration numbers: the CNPJ of a company (14 digits) and the
// CPF of a person (11 digits), each ending in two modulo-11 check digits, the
// second computed over the first.
#include <QString>
#include <QStringView>

namespace zavfiscal {

// The 12 (CNPJ) or 9 (CPF) leading digits followed by their check digits;
// empty when the text is not that many digits.
QString completeCnpj(QStringView twelveDigits);
QString completeCpf(QStringView nineDigits);

// Whole numbers, digits only, with their check digits right. Eleven equal
// digits pass the CPF's arithmetic but are no CPF.
bool isValidCnpj(QStringView digits);
bool isValidCpf(QStringView digits);

} // namespace zavfiscal
