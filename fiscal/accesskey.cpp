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

QString composeAccessKey(const AccessKeyParts& p) {
    const auto fits = [](qint64 value, qint64 below) { return value >= 0 && value < below; };
    if (!isDigits(p.stateCode, 2) || !p.issued.isValid() || !isDigits(p.issuerCnpj, 14) ||
        !fits(p.model, 100) || !fits(p.series, 1000) || !fits(p.number, 1000000000) || !fits(p.form, 10) ||
        !fits(p.code, 100000000))
        return {};
    const auto digits = [](qint64 value, int width) {
        return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
    };
    return completeAccessKey(p.stateCode + p.issued.toString(QStringLiteral("yyMM")) + p.issuerCnpj +
                             digits(p.model, 2) + digits(p.series, 3) + digits(p.number, 9) +
                             digits(p.form, 1) + digits(p.code, 8));
}

QString accessKeyStateCode(const QString& key) {
    return key.left(2);
}

QString accessKeyIssuerCnpj(const QString& key) {
    return key.mid(6, 14);
}

} // namespace zavfiscal
