#include "batchservices.h"
#include <cstdio>

namespace {
void say(const char* kind, const QString& text) {
    std::fprintf(stderr, "zav: %s: %s\n", kind, text.toLocal8Bit().constData());
}
} // namespace

void BatchServices::showError(const QString& text) {
    say("erro", text);
}
void BatchServices::showException(const QString& text) {
    say("erro", text);
}
bool BatchServices::confirm(const QString& text) {
    say("pergunta", text + QStringLiteral(" (sim)"));
    return true;
}
int BatchServices::chooseRow(const LookupRequest&) {
    return -1;
}
void BatchServices::search(QWidget*, TDataSet*) {}
void BatchServices::busyOn(QWidget*, int) {}
void BatchServices::busyOff() {}
void BatchServices::showHelp(const QString& file, int context) {
    say("ajuda", QStringLiteral("%1, tópico %2").arg(file).arg(context));
}
