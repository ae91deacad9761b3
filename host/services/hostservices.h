#pragma once
// Every modal interaction of a screen goes through one replaceable service, so
// tests answer them without real dialogs while the application shows real Qt
// dialogs. The host application installs QtHostServices (the default); a test
// installs its own and answers from a script.
#include "zavhost_export.h"
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QWidget;
class TDataSet;

// What a lookup button asks the operator to choose from.
struct LookupRequest {
    QWidget* owner = nullptr;    // the screen the dialog belongs to
    QString title;               // the button's Title
    TDataSet* dataSet = nullptr; // rows offered, positioned by the answer
};

class ZAVHOST_EXPORT HostServices {
public:
    virtual ~HostServices();

    // The error display of MensErro: shows a text as an error and returns when
    // the operator has acknowledged it.
    virtual void showError(const QString& text) = 0;
    // A yes-or-no question; true when the operator answers yes. No is the
    // default answer, so Enter or Esc never confirms by accident.
    virtual bool confirm(const QString& text) = 0;
    // The host's general error display, for failures no handler dealt with.
    virtual void showException(const QString& text) = 0;
    // The lookup dialog: returns the 0-based row chosen, or -1 when cancelled.
    virtual int chooseRow(const LookupRequest& request) = 0;
    // The search dialog over a dataset (Procura): may move the dataset's row.
    virtual void search(QWidget* owner, TDataSet* dataSet) = 0;
    // The busy animation over a screen; busyOff is harmless when it is off.
    virtual void busyOn(QWidget* over, int kind) = 0;
    virtual void busyOff() = 0;
    // How far the server says the awaited call has come, shown beside the
    // busy animation's wheel ("n de m", and what they count when unit is
    // given: "240 de 374 notas"); a total of 0 takes it away. Harmless when
    // the animation is off.
    virtual void busyProgress(int done, int total, const QString& unit);
    // The help viewer: help file and context.
    virtual void showHelp(const QString& file, int context) = 0;
    // A text the operator types in a small dialog (a reason for many rows, say):
    // the title, the label before the box, the most characters it takes; the
    // text when the operator confirms, nothing when they cancel (the default:
    // no one to ask).
    virtual std::optional<QString> askText(const QString& title, const QString& label, int maxLength);
    // The host's status line: what a screen last did (the outcome of a call,
    // the size of its list). Harmless without a status line.
    virtual void showStatus(const QString& text);
    // The application server ended the operator's session (why: its words):
    // the same operator signs in again over the open screens, which stay as
    // they are; true once the new session is the host session's. The default
    // (no one to ask) is false.
    virtual bool signInAgain(const QString& why);
};

// The services in force; QtHostServices until someone installs others.
ZAVHOST_EXPORT HostServices& Host();
// Installs services and returns the ones replaced.
ZAVHOST_EXPORT std::unique_ptr<HostServices> SetHostServices(std::unique_ptr<HostServices> services);

// The busy animation a screen shows while it waits for its application server.
inline constexpr int kAviServerCall = 6;

// The screens' names for the services they call.
// The busy animation of a kind over a screen, and its removal (harmless when off).
ZAVHOST_EXPORT void ActiveShowAvi(QWidget* over, int kind);
ZAVHOST_EXPORT void DeactiveShowAvi();
// The busy animation for a block: shown by show(), removed when the block ends
// however it ends (also when show() was never reached: removing is harmless).
class ZAVHOST_EXPORT BusyAnimation {
public:
    BusyAnimation() = default;
    BusyAnimation(const BusyAnimation&) = delete;
    BusyAnimation& operator=(const BusyAnimation&) = delete;
    ~BusyAnimation();
    void show(QWidget* over, int kind = kAviServerCall) { ActiveShowAvi(over, kind); }
};
// The search dialog over a dataset.
ZAVHOST_EXPORT void Procura(QWidget* owner, TDataSet* dataSet);
