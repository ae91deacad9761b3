#include "session.h"
#include "database.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char* const kHostConnection = "adcGeral";
const char* const kSelectDataProc = "SELECT DTPROC FROM ZAVDATAPROC WHERE CDFILIAL = :CDFILIAL";

QDate dataProcFromDatabase(const QString& branch) {
    const QDate today = QDate::currentDate();
    if (!QSqlDatabase::contains(QLatin1String(kHostConnection)))
        return today;
    QSqlDatabase db = QSqlDatabase::database(QLatin1String(kHostConnection), false);
    if (!db.isOpen())
        return today;
    QSqlQuery q(db);
    if (!q.prepare(QLatin1String(kSelectDataProc)))
        return today;
    q.bindValue(QStringLiteral(":CDFILIAL"), branch);
    if (!q.exec() || !q.next())
        return today;
    const QDate d = zavdb::dateValue(q.value(0));
    return d.isValid() ? d : today;
}

Session::DataProcLookup& lookup() {
    static Session::DataProcLookup l = dataProcFromDatabase;
    return l;
}

} // namespace

SessionValues& Session::values() {
    static SessionValues v;
    return v;
}

void Session::setDataProcLookup(DataProcLookup l) {
    lookup() = l ? std::move(l) : dataProcFromDatabase;
}

QDate Session::lookupDataProc(const QString& branch) {
    return lookup()(branch);
}

bool ModuFili() {
    return Session::values().moduFili;
}
QString FiliProc() {
    return Session::values().filiProc;
}
QString FiliProcFat() {
    return Session::values().filiProcFat;
}
int ModuloAtiv() {
    return Session::values().moduloAtiv;
}
QDateTime DataProc(const QString& branch) {
    return QDateTime(Session::lookupDataProc(branch), QTime(0, 0));
}
QString Operador() {
    return Session::values().operador;
}
QString WebURL() {
    return Session::values().webURL;
}
int WebPort() {
    return Session::values().webPort;
}
