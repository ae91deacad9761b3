#pragma once
// What the server counts for the people running it, read by GET /metrics in
// the Prometheus text exposition format (version 0.0.4): the calls by method
// and outcome with their latency, the cancellations by outcome, the
// authorities' answers by cStat and their latency, the database's errors and
// reconnects, the sign-in failures; and, at each scrape, what is measured then
// (Gauges: batches in flight, breakers, pauses, sessions, certificates).
//
// Counting is cheap where it happens on every call: relaxed atomics in fixed
// arrays, no lock, no allocation. The label sets are bounded: a method the
// server does not have is "other"; an authority's cells (authority × cStat)
// are at most kMaxAuthorityCells, the rest counted under cstat="other".
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace zavserver {

struct LotResult;

class Metrics {
public:
    static constexpr int kMaxMethods = 24;
    static constexpr int kMaxAuthorityCells = 512;
    static constexpr int kMaxAuthorities = 64;

    // The methods the labels name; set once at start, before any call.
    static void setMethods(const QStringList& names);
    // One call answered, as the call log records it: its method (empty when
    // the request named none), its JSON-RPC code (0 for success).
    static void call(const QString& method, int code, double milliseconds);
    // What became of one ticked invoice (its failure row's IDSITUACAO: "C",
    // "P" or "N").
    static void cancellation(const char* situation);
    // One batch exchanged with an authority: each event's answer, and how
    // long the exchange took.
    static void lot(const QString& authority, const LotResult& result, double seconds);
    // A database statement or connection that failed (the connection is then
    // discarded), and a connection opened again after one was discarded.
    static void databaseError();
    static void reconnect();

    // What is measured at the scrape.
    struct Desk {
        QString authority;
        int inFlight = 0;
        bool breakerOpen = false;
    };
    struct Pause {
        QString authority;
        qint64 until = 0; // seconds since 1970
        int status = 0;
    };
    struct Certificate {
        QString file;
        QString serial;
        double daysLeft = 0; // negative once expired
    };
    struct Gauges {
        qint64 now = 0; // seconds since 1970
        bool databaseUp = true;
        int openSessions = -1; // -1: not known (the database did not answer)
        QList<Desk> desks;
        QList<Pause> pauses;
        QList<Certificate> certificates;
        int unreadableCertificates = 0;
        int unavailableTokens = 0; // tokens configured that cannot be listed
    };

    // The exposition: every counter, and the gauges given.
    static QByteArray render(const Gauges& gauges);
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    // The outcome label of a JSON-RPC code.
    static const char* outcomeOf(int code);
    // A label's value as the format writes it (backslash, quote and line end escaped).
    static QByteArray escape(const QString& value);
};

} // namespace zavserver
