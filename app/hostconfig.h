#pragma once
// The host's configuration: the session values, the database and the
// application server's address, read from an INI file and overridable on the
// command line. A bad value is reported (with its source and the reason) and
// the default is kept, so the host always starts.
#include "session.h"
#include <QString>
#include <QStringList>

struct HostConfig {
    SessionValues session;
    QString database;   // connection text of the ERP database
    QString packageDir; // where the screen packages are
    QString open;       // screen to open at start ("ZAV50000")
    QString screenshot; // write a PNG of the opened screen and quit
    // Sign in as the session's operator with the password of this file (only
    // its owner may read it), without asking: for unattended runs and tests.
    QString passwordFile;
    QString configFile;
    QStringList problems; // Portuguese, one line each
    bool help = false;

    static HostConfig fromArguments(const QStringList& arguments);
    static QString usage();
};
