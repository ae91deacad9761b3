#pragma once
// The host session: who is signed in, at which branch, in which module, and
// where the application server is. The host application fills it from its
// configuration file and command line; tests set it directly.
#include "zavhost_export.h"
#include <QDate>
#include <QDateTime>
#include <QString>
#include <functional>

struct ZAVHOST_EXPORT SessionValues {
    bool moduFili = false;                        // the branch is fixed by the session
    QString filiProc = QStringLiteral("0001");    // session branch
    QString filiProcFat = QStringLiteral("0001"); // billing branch
    int moduloAtiv = 13;                          // active module of the host
    QString operador = QStringLiteral("OPERADOR");
    QString webURL = QStringLiteral("127.0.0.1");
    int webPort = 8211;
    // How the application server is reached: HTTPS, its certificate verified
    // against this CA file (the system's trust when empty); plain HTTP only when
    // asked for, and then only to a loopback address.
    QString webCaFile;
    bool webPlainHttp = false;
    // The session the application server opened at sign-in: sent with every
    // call ("Authorization: Bearer ..."); empty before signing in.
    QString webToken;
};

class ZAVHOST_EXPORT Session {
public:
    static SessionValues& values();
    // How DataProc finds a branch's processing date. The default asks the host
    // database (table ZAVDATAPROC through the host connection) and falls back to
    // today when there is no database, no row or an error.
    using DataProcLookup = std::function<QDate(const QString& branch)>;
    static void setDataProcLookup(DataProcLookup lookup);
    static QDate lookupDataProc(const QString& branch);
};

ZAVHOST_EXPORT bool ModuFili();
ZAVHOST_EXPORT QString FiliProc();
ZAVHOST_EXPORT QString FiliProcFat();
ZAVHOST_EXPORT int ModuloAtiv();
ZAVHOST_EXPORT QDateTime DataProc(const QString& branch);
ZAVHOST_EXPORT QString Operador();
ZAVHOST_EXPORT QString WebURL();
ZAVHOST_EXPORT int WebPort();
