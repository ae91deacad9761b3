#pragma once
// AuthorityPause: the pauses the tax authorities ask for, kept in the
// database (SEFAZPAUSA) so that every server honours them. An authority that
// answers 656 (consumo indevido) blocks the client for an hour; 108 and 109
// say its service is paused. Nothing is sent to a paused authority before
// the pause ends. Runs on the caller's connection; throws zavdb::DatabaseError.
#include <QSqlDatabase>
#include <QString>
#include <QUrl>

#include <optional>

namespace zavserver {

struct TransmissionResult;

class AuthorityPause {
public:
    // How long each answer pauses the authority.
    static constexpr int kConsumptionMinutes = 60; // 656
    static constexpr int kPausedMinutes = 5;       // 108: paused for a moment
    static constexpr int kStoppedMinutes = 15;     // 109: paused with no forecast

    struct Pause {
        qint64 until = 0; // seconds since 1970 UTC
        int status = 0;
        QString statusText;
    };

    // The minutes an answer's status pauses the authority for; 0 for the others.
    static int minutesFor(int status);

    // The authority as the pause names it: its event service's host and port.
    static QString nameOf(const QUrl& eventUrl);

    explicit AuthorityPause(QSqlDatabase& db) : m_db(db) {}

    // The pause in force for an authority at `now`, if any.
    std::optional<Pause> current(const QString& authority, qint64 now);
    // Records the pause an answer asks for (status with minutesFor > 0), in
    // its own transaction; a longer pause in force stays.
    void record(const QString& authority, int status, const QString& statusText, qint64 now);

    // "SEFAZ ... pediu pausa (656 - ...) até 14:05: a nota fiscal não foi
    // enviada.", the failure text of an invoice not sent because of it.
    static QString notSent(const Pause& pause, int utcOffsetSeconds);

private:
    QSqlDatabase& m_db;
};

} // namespace zavserver
