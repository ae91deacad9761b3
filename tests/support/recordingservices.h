#pragma once
// Host services for tests: every modal interaction is recorded and answered
// from a script instead of a dialog.
#include "services/hostservices.h"
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class RecordingServices : public HostServices {
public:
    QStringList errors;     // texts shown by MensErro, in order
    QStringList exceptions; // texts of the general error display
    QList<QPair<QString, int>> helps;
    QStringList lookups;   // titles of the lookup dialogs opened
    QStringList questions; // texts of the yes-or-no questions asked
    // Answers to the questions, in order; once they run out, confirmByDefault.
    QList<bool> confirmAnswers;
    bool confirmByDefault = true;
    int searches = 0;
    int busyOns = 0;
    int busyOffs = 0;
    bool busy = false;
    // How far the calls said they had come while the busy animation showed,
    // "done/total", each change once, in order.
    QStringList progress;
    // Answers of the lookup dialog, in order: a row index, or -1 to cancel.
    QList<int> lookupAnswers;
    // Runs when an error is shown (a test may act "while the box is open").
    std::function<void(const QString&)> onError;
    // Why the host was asked to sign the operator in again, in order; how it
    // answers (the operator signing in, or not): false when unset.
    QStringList signInRequests;
    // The texts asked for ("title|label|maxLength"), and the answers, in order
    // (nothing: the operator cancelled); once they run out, cancelled.
    QStringList textRequests;
    QList<std::optional<QString>> textAnswers;
    // What the status line said, in order.
    QStringList statuses;
    // What the progress counted (the unit), last told.
    QString progressUnit;
    std::function<bool(const QString&)> onSignInAgain;

    void showError(const QString& text) override;
    void showException(const QString& text) override;
    bool confirm(const QString& text) override;
    int chooseRow(const LookupRequest& request) override;
    void search(QWidget* owner, TDataSet* dataSet) override;
    void busyOn(QWidget* over, int kind) override;
    void busyOff() override;
    void busyProgress(int done, int total, const QString& unit) override;
    std::optional<QString> askText(const QString& title, const QString& label, int maxLength) override;
    void showStatus(const QString& text) override;
    void showHelp(const QString& file, int context) override;
    bool signInAgain(const QString& why) override;

    void clear();
    // Every text shown to the operator, errors and general errors alike.
    QStringList shown() const { return errors + exceptions; }
};

// Installs recording services for the lifetime of the object.
class ScopedRecording {
public:
    ScopedRecording();
    ~ScopedRecording();
    RecordingServices* operator->() const { return m_services; }
    RecordingServices& operator*() const { return *m_services; }

private:
    RecordingServices* m_services;
    std::unique_ptr<HostServices> m_previous;
};
