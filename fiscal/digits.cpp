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

} // namespace zavfiscal
