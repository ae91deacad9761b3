#pragma once
// The host's configuration: the session values, the database and the
// application server's address, read from an INI file and overridable on the
// command line. A bad value is reported (with its source and the reason) and
// the default is kept; a value given again, and well, later (the command line
// over the file) is the one in force. Where the application server is and how
// it is trusted is never guessed: while one of those values in force is not
// the one configured (or the file itself could not be read), the operator's
// password is not sent anywhere (serverSettingsFaulty).
#include "services/session.h"
#include <QSet>
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
    // The configuration file named could not be found or read.
    bool fileFault = false;
    // The keys whose value in force is a default that stands for a bad one.
    QSet<QString> badKeys;

    // Whether signing in would go to a server, or trust a certificate, other
    // than the configured ones.
    bool serverSettingsFaulty() const;

    static HostConfig fromArguments(const QStringList& arguments);
    static QString usage();
};
