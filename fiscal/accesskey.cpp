#include "accesskey.h"

#include "digits.h"

namespace zavfiscal {

namespace {

// The weights of the key's check digit run from 2 to 9 and start again.
constexpr int kMaxWeight = 9;

} // namespace

int accessKeyCheckDigit(QStringView first43) {
    if (first43.size() != kAccessKeySize - 1)
        return -1;
    return modulo11CheckDigit(first43, kMaxWeight);
}

QString completeAccessKey(QStringView first43) {
    const int digit = accessKeyCheckDigit(first43);
    if (digit < 0)
        return {};
    return first43.toString() + QChar(char16_t(u'0' + digit));
}

bool isValidAccessKey(QStringView key) {
    return isDigits(key, kAccessKeySize) &&
           accessKeyCheckDigit(key.first(kAccessKeySize - 1)) == key.at(kAccessKeySize - 1).unicode() - u'0';
}

QString accessKeyStateCode(const QString& key) {
    return key.left(2);
}

QString accessKeyIssuerCnpj(const QString& key) {
    return key.mid(6, 14);
}

} // namespace zavfiscal
