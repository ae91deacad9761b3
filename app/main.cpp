// zav: the MDI host application. Reads its configuration, opens the ERP
// database, and opens screens from their packages through the menu or --open.
#include "batchservices.h"
#include "data/dtmdbgeral.h"
#include "exceptions.h"
#include "guard.h"
#include "hostconfig.h"
#include "logindialog.h"
#include "mainwindow.h"
#include "signin.h"
#include "vcl/form.h"
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

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

// Nobody works unsigned: the operator signs in at the application server
// before any screen opens. The exit status when the program must end there.
std::optional<int> signInOperator(const HostConfig& config, bool batch) {
    if (!config.passwordFile.isEmpty()) {
        QString refusal;
        try {
            SignIn(Session::values().operador, ReadPasswordFile(config.passwordFile));
        } catch (const EZavError& e) {
            refusal = e.text();
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

    if (const std::optional<int> end = signInOperator(config, batch))
        return *end;

    if (!config.database.isEmpty()) {
        zav::guarded([&] { dtmDBGeral::open(config.database); });
    }

    MainWindow window(config.packageDir);
    window.show();
    if (!config.problems.isEmpty())
        Host().showException(config.problems.join(QLatin1Char('\n')));

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
