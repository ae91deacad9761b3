#include "digits.h"

#include <algorithm>

namespace zavfiscal {

bool allDigits(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool isDigits(QStringView text, qsizetype size) {
    return text.size() == size && allDigits(text);
}

bool isDigits(QStringView text, qsizetype minSize, qsizetype maxSize) {
    return text.size() >= minSize && text.size() <= maxSize && allDigits(text);
}

int modulo11CheckDigit(QStringView digits, int maxWeight) {
    if (digits.isEmpty() || !allDigits(digits))
        return -1;
    int sum = 0;
    int weight = 2;
    for (qsizetype i = digits.size() - 1; i >= 0; --i) {
        sum += (digits.at(i).unicode() - u'0') * weight;
        weight = weight >= maxWeight ? 2 : weight + 1;
    }
    const int remainder = sum % 11;
    return remainder < 2 ? 0 : 11 - remainder;
}

} // namespace zavfiscal
