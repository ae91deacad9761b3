#pragma once
// What became of one ticked invoice: cancelled, or the reason it was not, as
// the failure row of Cancela_NotaFiscal carries it: a key of the screen's
// message catalogue (CDERRO) and/or a Portuguese text (DSERRO) that the screen
// shows instead of the key's text when it is not empty. A cancelled invoice
// with a text gets a row too: what the operator must know of it (found
// already cancelled at the authority).
#include <QString>

namespace zavserver {

// The size of a failure row's text (DSERRO).
constexpr qsizetype kFailureText = 100;

// A text cut to the failure row's size, an ellipsis marking the cut.
inline QString fitFailure(const QString& text, qsizetype size = kFailureText) {
    return text.size() <= size ? text : text.left(size - 1) + QChar(0x2026);
}

struct CancellationOutcome {
    bool cancelled = false;
    QString key;  // CDERRO
    QString text; // DSERRO
    // Not cancelled yet, but under way: its event went to the authority (by
    // this call or another) and its answer is still to be had; confirming
    // again concludes it.
    bool pending = false;

    static CancellationOutcome done() { return {true, {}, {}}; }
    // A reason the catalogue's text says in full.
    static CancellationOutcome byKey(const char* key) { return {false, QLatin1StringView(key), {}}; }
    // A reason in words, under a key when one fits.
    static CancellationOutcome byText(QString text, const char* key = "") {
        return {false, QLatin1StringView(key), std::move(text)};
    }
    // A cancellation under way, said in words.
    static CancellationOutcome awaiting(QString text, const char* key = "") {
        return {false, QLatin1StringView(key), std::move(text), true};
    }
    // What the failure row says of it (IDSITUACAO): cancelled (with a note),
    // pending, or not cancelled.
    const char* situation() const { return cancelled ? "C" : pending ? "P" : "N"; }
};

} // namespace zavserver
