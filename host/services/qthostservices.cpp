#include "qthostservices.h"
#include "components/busyoverlay.h"
#include "components/lookupdialog.h"
#include "components/messagedialog.h"
#include "data/dataset.h"
#include "guard.h"
#include "hosttexts.h"
#include "logindialog.h"
#include "session.h"
#include "vcl/application.h"
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMainWindow>
#include <QMdiArea>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QWidget* dialogParent() {
    return QApplication::activeWindow();
}

// An error shown in a modal box; name is the box's object name.
void showCritical(const QString& text, const QString& name) {
    MessageDialog box(QMessageBox::Critical, HostText::text(HostText::ErrorTitle), text, dialogParent());
    box.setStandardButtons(QMessageBox::Ok);
    box.setObjectName(name);
    box.exec();
}

} // namespace

HostServices::~HostServices() = default;

void HostServices::busyProgress(int, int, const QString&) {}

std::optional<QString> HostServices::askText(const QString&, const QString&, int) {
    return std::nullopt;
}

void HostServices::showStatus(const QString&) {}

bool HostServices::signInAgain(const QString&) {
    return false;
}

namespace {
std::unique_ptr<HostServices>& installed() {
    static std::unique_ptr<HostServices> s;
    return s;
}
} // namespace

HostServices& Host() {
    if (!installed())
        installed() = std::make_unique<QtHostServices>();
    return *installed();
}

std::unique_ptr<HostServices> SetHostServices(std::unique_ptr<HostServices> services) {
    std::unique_ptr<HostServices> old = std::move(installed());
    installed() = std::move(services);
    return old;
}

void ActiveShowAvi(QWidget* over, int kind) {
    Host().busyOn(over, kind);
}
void DeactiveShowAvi() {
    Host().busyOff();
}
BusyAnimation::~BusyAnimation() {
    zav::guarded([] { DeactiveShowAvi(); });
}
void Procura(QWidget* owner, TDataSet* dataSet) {
    Host().search(owner, dataSet);
}

QtHostServices::QtHostServices() = default;
QtHostServices::~QtHostServices() = default;

void QtHostServices::showError(const QString& text) {
    showCritical(text, QStringLiteral("ErrorDisplay"));
}

bool QtHostServices::confirm(const QString& text) {
    MessageDialog box(QMessageBox::Question, HostText::text(HostText::QuestionTitle), text, dialogParent());
    box.setObjectName(QStringLiteral("QuestionDisplay"));
    QPushButton* yes = box.addButton(HostText::text(HostText::Yes), QMessageBox::YesRole);
    QPushButton* no = box.addButton(HostText::text(HostText::No), QMessageBox::NoRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void QtHostServices::showException(const QString& text) {
    showCritical(text, QStringLiteral("GeneralErrorDisplay"));
}

int QtHostServices::chooseRow(const LookupRequest& request) {
    if (!request.dataSet)
        return -1;
    LookupDialog dialog(request.title, request.dataSet,
                        request.owner ? request.owner->window() : dialogParent());
    dialog.exec();
    return dialog.chosenRow();
}

void QtHostServices::search(QWidget* owner, TDataSet* dataSet) {
    if (!dataSet || !dataSet->Active() || dataSet->IsEmpty())
        return;
    LookupDialog dialog(HostText::text(HostText::SearchTitle), dataSet,
                        owner ? owner->window() : dialogParent());
    dialog.exec();
    if (const int row = dialog.chosenRow(); row >= 0)
        dataSet->SetRecNo(row + 1);
}

void QtHostServices::busyOn(QWidget* over, int kind) {
    busyOff();
    if (over)
        m_busy = new BusyOverlay(over, kind);
}

void QtHostServices::busyProgress(int done, int total, const QString& unit) {
    auto* overlay = qobject_cast<BusyOverlay*>(m_busy.data());
    if (!overlay)
        return;
    overlay->setProgressText(total > 0 ? progressText(done, total, unit) : QString());
}

std::optional<QString> QtHostServices::askText(const QString& title, const QString& label, int maxLength) {
    QDialog dialog(dialogParent());
    dialog.setObjectName(QStringLiteral("TextDialog"));
    dialog.setWindowTitle(title);
    dialog.setWindowFlags(dialog.windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* caption = new QLabel(label, &dialog);
    caption->setWordWrap(true);
    auto* edit = new QLineEdit(&dialog);
    edit->setObjectName(QStringLiteral("edtTexto"));
    edit->setMaxLength(maxLength);
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('M')) * std::min(maxLength, 40));
    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* ok = buttons->addButton(HostText::text(HostText::TextOk), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("btnOk"));
    ok->setDefault(true);
    QPushButton* cancel =
        buttons->addButton(HostText::text(HostText::SignInCancel), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("btnCancelar"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(caption);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    edit->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return edit->text();
}

void QtHostServices::showStatus(const QString& text) {
    // The status line of the window the screens open in.
    QMdiArea* area = TApplication::mdiArea();
    auto* window = area ? qobject_cast<QMainWindow*>(area->window()) : nullptr;
    if (!window)
        return;
    // A line longer than the room beside the session is cut off by the bar:
    // the whole of it is a hover away.
    window->statusBar()->showMessage(text);
    window->statusBar()->setToolTip(text);
}

QString progressText(int done, int total, const QString& unit) {
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    const QString counted =
        HostText::text(HostText::BusyProgress).arg(brazil.toString(done), brazil.toString(total));
    return unit.isEmpty() ? counted : counted + u' ' + unit;
}

void QtHostServices::busyOff() {
    if (m_busy)
        delete m_busy.data();
}

bool QtHostServices::signInAgain(const QString& why) {
    TLoginDialog login(Session::values().operador, dialogParent());
    login.signInAgain(why);
    return login.exec() == QDialog::Accepted;
}

void QtHostServices::showHelp(const QString& file, int context) {
    const QString page =
        QStringLiteral(":/help/%1/%2.html").arg(QFileInfo(file).completeBaseName().toLower()).arg(context);
    QFile f(page);
    if (!f.open(QIODevice::ReadOnly)) {
        showError(HostText::text(HostText::HelpMissing).arg(file).arg(context));
        return;
    }
    auto* viewer = new QTextBrowser;
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setObjectName(QStringLiteral("HelpViewer"));
    viewer->setWindowTitle(HostText::text(HostText::HelpTitle));
    viewer->setHtml(QString::fromUtf8(f.readAll()));
    // As big as a page reads well, but never past the screen the operator
    // works on: the whole window, its frame and title included, inside the
    // screen's free area (the panels left out), over the active window.
    const QWidget* over = dialogParent();
    const QScreen* screen = over ? over->screen() : QGuiApplication::primaryScreen();
    const QRect room = screen ? screen->availableGeometry() : QRect(0, 0, 720, 560);
    // What the window system adds around the page, before it has said.
    constexpr int kFrameAllowance = 48;
    const QSize size(std::min(720, room.width() - kFrameAllowance),
                     std::min(560, room.height() - kFrameAllowance));
    viewer->resize(size.expandedTo(QSize(200, 150)));
    const QPoint centre = over ? over->frameGeometry().center() : room.center();
    QRect place(QPoint(0, 0), viewer->size());
    place.moveCenter(centre);
    place.moveLeft(std::clamp(place.left(), room.left(),
                              std::max(room.left(), room.right() - place.width() - kFrameAllowance / 2)));
    place.moveTop(std::clamp(place.top(), room.top(),
                             std::max(room.top(), room.bottom() - place.height() - kFrameAllowance)));
    viewer->move(place.topLeft());
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), viewer);
    QObject::connect(close, &QShortcut::activated, viewer, &QWidget::close);
    viewer->show();
}
