#pragma once
// The cancellation event the NF-e library's tests sign, validate and compare:
// for the access key and issuer given, authorised under one fixed protocol,
// in homologation, on 8 December 2026 at 10:00 in São Paulo. Header only: the
// programs that use it link the NF-e library themselves.
#include "cancellationevent.h"

#include <QDateTime>
#include <QString>

namespace zavtest {

inline zavnfe::CancellationData sampleCancellation(const QString& accessKey, const QString& issuerCnpj,
                                                   const QString& reason) {
    zavnfe::CancellationData data;
    data.accessKey = accessKey;
    data.issuerCnpj = issuerCnpj;
    data.authorisationProtocol = QStringLiteral("135260000012345");
    data.environment = 2;
    data.reason = reason;
    data.at = QDateTime(QDate(2026, 12, 8), QTime(13, 0, 0), Qt::UTC);
    data.stateUtcOffsetSeconds = -3 * 3600;
    return data;
}

} // namespace zavtest
