#include "certificaterequests.h"

#include "database.h"

#include <QMap>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

namespace zavdb {

namespace {

// Every serial with each CNPJ of the establishments its registration serves
// (NULL when it serves none).
const char* const kRegistrationCnpjsSql = R"(
SELECT I.NRSERIECERTIFIC, F.NRCNPJFILIAL
FROM INSCRESTAD I
JOIN FILIAL F ON F.CDEMPRESA = I.CDEMPRESA AND F.CDINSCESTA = I.CDINSCESTA
WHERE I.NRSERIECERTIFIC IS NOT NULL
UNION
SELECT I.NRSERIECERTIFIC, F.NRCNPJFILIAL
FROM INSCRESTAD I
JOIN EMPRCNTRFIL EC ON EC.CDEMPRESA = I.CDEMPRESA AND EC.CDINSCESTA = I.CDINSCESTA
JOIN FILIAL F ON F.CDFILIAL = EC.CDFILIAL
WHERE I.NRSERIECERTIFIC IS NOT NULL
UNION
SELECT I.NRSERIECERTIFIC, NULL
FROM INSCRESTAD I
WHERE I.NRSERIECERTIFIC IS NOT NULL
)";

} // namespace

QStringList certificateRequests(QSqlDatabase& db) {
    QSqlQuery q(db);
    if (!q.exec(QString::fromLatin1(kRegistrationCnpjsSql)))
        throw DatabaseError(
            QStringLiteral("Não foi possível ler as inscrições estaduais: %1").arg(q.lastError().text()));
    QMap<QString, QSet<QString>> cnpjs; // ordered by serial
    while (q.next()) {
        const QString serial = q.value(0).toString().trimmed();
        if (serial.isEmpty())
            continue;
        QSet<QString>& found = cnpjs[serial];
        const QString cnpj = q.value(1).toString().trimmed();
        if (!cnpj.isEmpty())
            found.insert(cnpj);
    }
    QStringList requests;
    for (auto it = cnpjs.cbegin(); it != cnpjs.cend(); ++it) {
        QSet<QString> bases;
        for (const QString& cnpj : it.value())
            bases.insert(cnpj.left(8));
        if (bases.size() != 1) {
            requests.append(it.key());
            continue;
        }
        // The lowest of the company's CNPJs: its head office when it is there.
        QStringList sorted(it.value().cbegin(), it.value().cend());
        sorted.sort();
        requests.append(it.key() + u':' + sorted.constFirst());
    }
    return requests;
}

} // namespace zavdb
