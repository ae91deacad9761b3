#pragma once
// Numbers written as text: keys, registrations, protocols and batch numbers
// hold the digits 0 to 9 and nothing else. QChar::isDigit is not the test: it
// also takes the digits of other scripts, which no authority accepts.
#include <QStringView>

namespace zavfiscal {

// Every character one of 0 to 9 (an empty text has no other).
bool allDigits(QStringView text);
// Exactly size characters, each one of 0 to 9.
bool isDigits(QStringView text, qsizetype size);
// From minSize to maxSize characters, each one of 0 to 9.
bool isDigits(QStringView text, qsizetype minSize, qsizetype maxSize);

// The modulo-11 check digit of digits, as the access key, the CNPJ and the
// CPF compute theirs: weights 2, 3, ... from the rightmost digit, back to 2
// after maxWeight; a remainder of 0 or 1 gives 0, any other r gives 11 - r.
// -1 when digits is empty or holds anything but 0 to 9.
int modulo11CheckDigit(QStringView digits, int maxWeight);

} // namespace zavfiscal
