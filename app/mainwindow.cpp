#include "mainwindow.h"
#include "services/hostservices.h"
#include "services/hosttexts.h"
#include "services/session.h"
#include "vcl/application.h"
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QMdiArea>
#include <QMenuBar>
#include <QStatusBar>

namespace {

struct ScreenEntry {
    const char* code;
    const char* menuText;
    const char* library;
};

// The screens this host knows: code, menu entry, package file.
const ScreenEntry kScreens[] = {
    {"ZAV50000", "Cancelamento de Notas Fiscais Eletrônicas (ZAV50000)", "libPkg_Zav50000.so"},
};

const char* const kNoScreen = "Tela desconhecida: %1.";
const char* const kNoPackage = "Não foi possível carregar o pacote %1: %2";
const char* const kNoEntry = "O pacote %1 não exporta a entrada %2: %3";

} // namespace

MainWindow::MainWindow(const QString& packageDir, QWidget* parent)
    : QMainWindow(parent), m_mdi(new QMdiArea(this)), m_session(new QLabel(this)), m_packageDir(packageDir) {
    setObjectName(QStringLiteral("zavMainWindow"));
    setWindowTitle(QStringLiteral("ZAV - Sistema de Gestão"));
    m_mdi->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(m_mdi);
    TApplication::setMdiArea(m_mdi);
    resize(1024, 640);
    // What the screens say they did on the left, who is working on the right.
    statusBar()->setObjectName(QStringLiteral("stbPrincipal"));
    m_session->setObjectName(QStringLiteral("lblSessao"));
    statusBar()->addPermanentWidget(m_session);
    showSession();

    QMenu* telas = menuBar()->addMenu(QStringLiteral("&Telas"));
    telas->setObjectName(QStringLiteral("mnuTelas"));
    for (const ScreenEntry& s : kScreens) {
        QAction* a = telas->addAction(QString::fromUtf8(s.menuText));
        a->setObjectName(QStringLiteral("mnu") + QLatin1String(s.code));
        const QString code = QLatin1String(s.code);
        connect(a, &QAction::triggered, this, [this, code] {
            QString error;
            if (!openScreen(code, &error))
                Host().showException(error);
        });
    }
    telas->addSeparator();
    QAction* quit = telas->addAction(QStringLiteral("Sai&r"));
    quit->setObjectName(QStringLiteral("mnuSair"));
    connect(quit, &QAction::triggered, this, &QWidget::close);
}

void MainWindow::showSession() {
    m_session->setText(
        HostText::text(HostText::WorkingAs)
            .arg(Operador(), FiliProc(), QStringLiteral("%1:%2").arg(WebURL()).arg(WebPort())));
}

bool MainWindow::event(QEvent* event) {
    // The session may have changed while the window was away (signed in again).
    if (event->type() == QEvent::WindowActivate)
        showSession();
    return QMainWindow::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    m_mdi->closeAllSubWindows();
    if (!m_mdi->subWindowList().isEmpty()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

MainWindow::~MainWindow() {
    // Screens go before their packages are unloaded.
    m_mdi->closeAllSubWindows();
    for (QMdiSubWindow* w : m_mdi->subWindowList())
        delete w;
    for (auto& p : m_packages)
        if (p.finalize)
            p.finalize();
}

MainWindow::Package* MainWindow::package(const QString& code, QString* error) {
    for (auto& p : m_packages)
        if (p.code == code)
            return &p;
    const ScreenEntry* entry = nullptr;
    for (const ScreenEntry& s : kScreens)
        if (code == QLatin1String(s.code))
            entry = &s;
    if (!entry) {
        if (error)
            *error = QString::fromUtf8(kNoScreen).arg(code);
        return nullptr;
    }
    const QString file = QDir(m_packageDir).filePath(QLatin1String(entry->library));
    auto lib = std::make_unique<QLibrary>(file);
    if (!lib->load()) {
        if (error)
            *error = QString::fromUtf8(kNoPackage).arg(file, lib->errorString());
        return nullptr;
    }
    auto resolve = [&](const char* name) -> void (*)() {
        auto f = reinterpret_cast<void (*)()>(lib->resolve(name));
        if (!f && error)
            *error = QString::fromUtf8(kNoEntry).arg(file, QLatin1String(name), lib->errorString());
        return f;
    };
    auto init = resolve("Initialize");
    auto fin = init ? resolve("Finalize") : nullptr;
    auto ini = fin ? resolve("IniProc") : nullptr;
    if (!ini) {
        lib->unload();
        return nullptr;
    }
    init();
    m_packages.push_back({code, std::move(lib), ini, fin});
    return &m_packages.back();
}

bool MainWindow::openScreen(const QString& code, QString* error) {
    Package* p = package(code, error);
    if (!p)
        return false;
    p->entry();
    return true;
}
