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

} // namespace zavfiscal
