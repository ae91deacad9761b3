#pragma once
// Registration numbers for the demo and volume data: the CNPJ (companies, 14
// digits) and the CPF (people, 11 digits) completed with their check digits by
// the fiscal rules (cnpjcpf.h); a wrong start is a DatabaseError here, since
// the seed would otherwise write numbers no one accepts.
#include <QString>

namespace zavdb {

// The 12 (CNPJ) or 9 (CPF) leading digits completed with their check digits.
QString completeCnpj(const QString& twelveDigits);
QString completeCpf(const QString& nineDigits);

} // namespace zavdb
