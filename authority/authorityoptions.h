#pragma once
// The command line of zav-authority, checked before anything starts.
#include <QString>
#include <QStringList>

namespace zavauthority {

struct AuthorityOptions {
    QString host;
    int port = 0; // 0: any free port
    QString certificate, key, clientCa;
    // The CA(s) the TLS handshake trusts for client certificates: clientCa
    // unless another is named, to play an authority that does not trust the
    // company's chain.
    QString tlsClientCa;
    QString database;   // the ERP database (connection text)
    QString recordFile; // empty: everything in memory
    int ordinaryHours = 24;
    int lateHours = 0;   // from the authorisation
    int environment = 2; // tpAmb served: 1 production, 2 homologation
    int delayMs = 0;
    int dropAnswers = 0;
    int dropRequests = 0;
    int paused = 0; // 108 or 109: the event, protocol query and service status services answer so
    // 656 to every request of the event service and the protocol query.
    bool excessiveUse = false;
    // Every request read and then held without an answer, the connection
    // closed after hangMs (0: until the client gives up or the authority stops).
    bool hang = false;
    int hangMs = 0;
    QString logFile;

    // Empty and *options filled, or the reason the command line is refused.
    // *help is set (and nothing else checked) for --help.
    static QString parse(const QStringList& arguments, AuthorityOptions* options, QString* help);
};

} // namespace zavauthority
