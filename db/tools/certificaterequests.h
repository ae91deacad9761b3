#pragma once
// The A1 certificates the registrations (INSCRESTAD) name, as the certificate
// script asks for them: "SERIAL:CNPJ", the CNPJ being that of the
// establishment where the registration is used (its own branch, or the
// branch a company operates at under it), since a company's certificate
// carries its CNPJ and the authority compares its base with the author of
// every event. A serial whose establishments are of no company, or of
// several companies, is given alone.
#include <QSqlDatabase>
#include <QStringList>

namespace zavdb {

// Throws DatabaseError when the registrations cannot be read.
QStringList certificateRequests(QSqlDatabase& db);

} // namespace zavdb
