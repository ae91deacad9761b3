// zav: the MDI host application. Reads its configuration, opens the ERP
// database, and opens screens from their packages through the menu or --open.
#include "batchservices.h"
#include "data/dtmdbgeral.h"
#include "hostconfig.h"
#include "mainwindow.h"
#include "services/exceptions.h"
#include "services/guard.h"
#include "services/hosttexts.h"
#include "services/logindialog.h"
#include "services/signin.h"
#include "vcl/form.h"
#include <QApplication>
#include <QIcon>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

// The product's icon, drawn for it in every size a window system asks for;
// every window of the host (the screens' too) carries it.
QIcon productIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/zav-%1.png").arg(size), QSize(size, size));
    return icon;
}

bool haveDisplay() {
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY") ||
           qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

void writeScreenshot(MainWindow& w, const QString& file) {
    QMdiSubWindow* sub = w.mdiArea()->activeSubWindow();
    if (!sub && !w.mdiArea()->subWindowList().isEmpty())
        sub = w.mdiArea()->subWindowList().first();
    QWidget* what = sub ? static_cast<QWidget*>(sub) : static_cast<QWidget*>(&w);
    const bool ok = what->grab().save(file, "PNG");
    std::fprintf(stderr, ok ? "zav: imagem gravada em %s\n" : "zav: não foi possível gravar %s\n",
                 file.toLocal8Bit().constData());
    QCoreApplication::exit(ok ? 0 : 1);
}

// A message and, on a second line in parentheses, the words of the library
// or server it came from, when there are any.
QString withDetail(const QString& message, const QString& detail) {
    return detail.isEmpty() ? message : message + QStringLiteral("\n(") + detail + u')';
}

// Faults of the configuration are told before anything is tried with it; the
// exit status when the program must end there (the server's address or trust
// is not the configured one: no password goes anywhere else).
std::optional<int> tellConfiguration(const HostConfig& config, bool dialogWillTell) {
    if (config.problems.isEmpty())
        return std::nullopt;
    if (config.serverSettingsFaulty()) {
        Host().showException(config.problems.join(u'\n') + u'\n' +
                             HostText::text(HostText::ConfigServerFaulty));
        return 3;
    }
    // The sign-in dialog shows them above its fields.
    if (!dialogWillTell)
        Host().showException(config.problems.join(u'\n'));
    return std::nullopt;
}

// The screens look their data up in the workstation's database: without it
// open no screen is, and the host ends once the operator has read why.
std::optional<int> openWorkstationDatabase(const HostConfig& config) {
    QString failure;
    try {
        dtmDBGeral::open(config.database);
    } catch (const EDatabaseOpenError& e) {
        failure = withDetail(e.text(), e.detail());
    }
    if (failure.isEmpty())
        return std::nullopt;
    Host().showException(failure);
    return 4;
}

// Nobody works unsigned: the operator signs in at the application server
// before any screen opens. The exit status when the program must end there.
std::optional<int> signInOperator(const HostConfig& config, bool batch) {
    if (!config.passwordFile.isEmpty()) {
        QString password;
        QString refusal;
        try {
            password = ReadPasswordFile(config.passwordFile);
        } catch (const EZavError& e) {
            refusal = e.text();
        }
        if (refusal.isEmpty()) {
            try {
                SignIn(Session::values().operador, password);
            } catch (const EZavError& e) {
                const SignInFailure told = SignInFailure::of(e);
                refusal = withDetail(told.message, told.detail);
            }
        }
        if (!refusal.isEmpty()) {
            std::fprintf(stderr, "zav: %s\n", refusal.toLocal8Bit().constData());
            return 3;
        }
    } else if (batch) {
        std::fprintf(stderr, "zav: sem --password-file não há como entrar no sistema sem perguntar.\n");
        return 3;
    } else {
        TLoginDialog login(Session::values().operador);
        login.tellConfigurationProblems(config.problems);
        if (login.exec() != QDialog::Accepted)
            return 0;
    }
    return std::nullopt;
}

// The screen asked for with --open; false when it did not open.
bool openRequestedScreen(MainWindow& window, const QString& screen) {
    QString error;
    bool opened = false;
    zav::guarded([&] { opened = window.openScreen(screen, &error); });
    if (!opened && !error.isEmpty())
        Host().showException(error);
    return opened;
}

} // namespace

int main(int argc, char** argv) {
    if (!haveDisplay()) {
        std::fprintf(stderr, "zav: nenhuma tela disponível (DISPLAY não definido).\n"
                             "     Rode com 'xvfb-run -a' para uma tela virtual, ou grave uma imagem:\n"
                             "     QT_QPA_PLATFORM=offscreen zav --open ZAV50000 --screenshot tela.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zav"));
    HostConfig config = HostConfig::fromArguments(QApplication::arguments());
    if (config.help) {
        std::fprintf(stdout, "%s", HostConfig::usage().toLocal8Bit().constData());
        return 0;
    }
    const bool batch = !config.screenshot.isEmpty();
    if (batch) {
        QApplication::setCursorFlashTime(0);
        SetHostServices(std::make_unique<BatchServices>());
    }
    Session::values() = config.session;
    QApplication::setWindowIcon(productIcon());

    // What this workstation is configured with, then its database, then the
    // operator: each told, in that order, before the next is tried.
    const bool signInDialog = !batch && config.passwordFile.isEmpty();
    if (const std::optional<int> end = tellConfiguration(config, signInDialog))
        return *end;
    if (const std::optional<int> end = openWorkstationDatabase(config))
        return *end;
    if (const std::optional<int> end = signInOperator(config, batch))
        return *end;

    MainWindow window(config.packageDir);
    window.show();

    if (!config.open.isEmpty() && !openRequestedScreen(window, config.open) && batch)
        return 1;
    if (batch) {
        // Once the screen has been shown and painted.
        QTimer::singleShot(300, &window, [&] { writeScreenshot(window, config.screenshot); });
    }
    const int status = app.exec();
    SignOut();
    return status;
}
