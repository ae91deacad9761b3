#pragma once
// The NF-e access key (chNFe): 44 digits, the state's IBGE code (2), the year
// and month of issue (4), the issuer's CNPJ (14), the model (2), the series
// (3), the number (9), the form of issue (1), a code of the issuer's (8) and
// the check digit (1), modulo 11 over the other 43.
#include <QDate>
#include <QString>
#include <QStringView>

namespace zavfiscal {

inline constexpr qsizetype kAccessKeySize = 44;

// The check digit of a key's first 43 digits; -1 when they are not 43 digits.
int accessKeyCheckDigit(QStringView first43);
// The whole key: the 43 digits followed by their check digit (empty when they
// are not 43 digits).
QString completeAccessKey(QStringView first43);
// 44 digits whose last is the check digit of the others. Whether the first
// two name a state is stateByCode's to say.
bool isValidAccessKey(QStringView key);

// What a key is made of, in its order.
struct AccessKeyParts {
    QString stateCode;  // cUF, two digits
    QDate issued;       // its year and month (AAMM)
    QString issuerCnpj; // 14 digits
    int model = 55;     // 55: NF-e
    int series = 0;     // 0 to 999
    qint64 number = 0;  // nNF, 1 to 999,999,999
    int form = 1;       // tpEmis: 1 normal
    int code = 0;       // cNF, eight digits (0 to 99,999,999)
};
// The whole key of those parts, its check digit last; empty when a part does
// not fit its digits.
QString composeAccessKey(const AccessKeyParts& parts);

// The state's IBGE code (cUF, the cOrgao of its events) and the issuer's CNPJ
// as a key carries them; the key's validity is not checked here.
QString accessKeyStateCode(const QString& key);
QString accessKeyIssuerCnpj(const QString& key);

} // namespace zavfiscal
