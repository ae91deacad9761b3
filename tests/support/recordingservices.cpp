#include "recordingservices.h"

void RecordingServices::showError(const QString& text) {
    errors << text;
    if (onError)
        onError(text);
}
void RecordingServices::showException(const QString& text) {
    exceptions << text;
}
bool RecordingServices::confirm(const QString& text) {
    questions << text;
    return confirmAnswers.isEmpty() ? confirmByDefault : confirmAnswers.takeFirst();
}
int RecordingServices::chooseRow(const LookupRequest& request) {
    lookups << request.title;
    return lookupAnswers.isEmpty() ? -1 : lookupAnswers.takeFirst();
}
void RecordingServices::search(QWidget*, TDataSet*) {
    ++searches;
}
void RecordingServices::busyOn(QWidget*, int) {
    ++busyOns;
    busy = true;
}
void RecordingServices::busyOff() {
    ++busyOffs;
    busy = false;
}
void RecordingServices::busyProgress(int done, int total, const QString& unit) {
    if (total > 0)
        progressUnit = unit;
    const QString now = QStringLiteral("%1/%2").arg(done).arg(total);
    if (busy && total > 0 && (progress.isEmpty() || progress.constLast() != now))
        progress.append(now);
}
void RecordingServices::showHelp(const QString& file, int context) {
    helps.append({file, context});
}

std::optional<QString> RecordingServices::askText(const QString& title, const QString& label, int maxLength) {
    textRequests.append(QStringLiteral("%1|%2|%3").arg(title, label).arg(maxLength));
    return textAnswers.isEmpty() ? std::nullopt : textAnswers.takeFirst();
}

void RecordingServices::showStatus(const QString& text) {
    statuses.append(text);
}

bool RecordingServices::signInAgain(const QString& why) {
    signInRequests.append(why);
    return onSignInAgain && onSignInAgain(why);
}

void RecordingServices::clear() {
    errors.clear();
    exceptions.clear();
    helps.clear();
    lookups.clear();
    questions.clear();
    progress.clear();
    signInRequests.clear();
    textRequests.clear();
    statuses.clear();
    searches = busyOns = busyOffs = 0;
}

ScopedRecording::ScopedRecording() {
    auto s = std::make_unique<RecordingServices>();
    m_services = s.get();
    m_previous = SetHostServices(std::move(s));
}

ScopedRecording::~ScopedRecording() {
    SetHostServices(std::move(m_previous));
}
