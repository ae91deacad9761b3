// The workstation's dialogs as an operator reads and uses them, through the
// window system (queued input offscreen, xdotool on X): the date edits'
// calendar from the keyboard and as it is drawn, the sign-in dialog's texts
// whole and its library words kept to a detail, and the help window inside
// the screen. Offscreen the screen is a small one (640 × 480), where a window
// sized for a big screen would not fit.
#include "components/dateeditplus.h"
#include "services/hosttexts.h"
#include "services/logindialog.h"
#include "services/qthostservices.h"
#include "services/session.h"
#include "uitest.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

namespace {

bool onX() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// Keys as the window system hands them to whichever window has the keyboard:
// through the X server's test extension on X, queued for the focus window
// elsewhere; returns once they have been delivered.
QString xName(int key) {
    switch (key) {
    case Qt::Key_Left:
        return QStringLiteral("Left");
    case Qt::Key_Right:
        return QStringLiteral("Right");
    case Qt::Key_Up:
        return QStringLiteral("Up");
    case Qt::Key_Down:
        return QStringLiteral("Down");
    case Qt::Key_PageUp:
        return QStringLiteral("Prior");
    case Qt::Key_PageDown:
        return QStringLiteral("Next");
    case Qt::Key_Home:
        return QStringLiteral("Home");
    case Qt::Key_End:
        return QStringLiteral("End");
    case Qt::Key_Return:
        return QStringLiteral("Return");
    case Qt::Key_Escape:
        return QStringLiteral("Escape");
    case Qt::Key_F4:
        return QStringLiteral("F4");
    default:
        return {};
    }
}

bool pressKeys(const QList<int>& keys, QString* why) {
    if (onX()) {
        const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (xdotool.isEmpty()) {
            *why = QStringLiteral("xdotool is not installed (scripts/deps.sh installs it)");
            return false;
        }
        QStringList args{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60")};
        for (const int k : keys)
            args << xName(k);
        QProcess p;
        p.start(xdotool, args);
        // The keys reach Qt through its event loop, which runs meanwhile.
        if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 10000) || p.exitCode() != 0) {
            *why = QStringLiteral("xdotool failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
            return false;
        }
        QTest::qWait(150);
        return true;
    }
    for (const int k : keys) {
        QWindow* window = QGuiApplication::focusWindow();
        if (!window) {
            *why = QStringLiteral("no window has the keyboard");
            return false;
        }
        const QString text = k == Qt::Key_Return ? QStringLiteral("\r") : QString();
        using Async = QWindowSystemInterface::AsynchronousDelivery;
        QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyPress, k, Qt::NoModifier, text);
        QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyRelease, k, Qt::NoModifier, text);
        QTest::qWait(20);
    }
    return true;
}

// Whether a label shows all of its text: its lines wrapped at its width take
// no more height than it has, and no word is wider than it is.
QString cutText(const QLabel* label) {
    if (!label->isVisible())
        return {};
    const int width = label->contentsRect().width();
    const int needed = label->heightForWidth(label->width());
    if (needed > label->height())
        return QStringLiteral("%1 needs %2 px of height, has %3")
            .arg(label->objectName())
            .arg(needed)
            .arg(label->height());
    const QFontMetrics fm(label->font());
    for (const QString& word :
         label->text().split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        if (fm.horizontalAdvance(word) > width)
            return QStringLiteral("%1: \"%2\" needs %3 px, the label has %4")
                .arg(label->objectName(), word)
                .arg(fm.horizontalAdvance(word))
                .arg(width);
    return {};
}

QString picturesDir() {
    return qEnvironmentVariable("ZAV_TEST_PICTURES");
}

void savePicture(QWidget* w, const QString& name) {
    const QString dir = picturesDir();
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    w->grab().save(
        QDir(dir).filePath(name + u'-' + QGuiApplication::platformName() + QStringLiteral(".png")));
}

QRect available(const QWidget* w) {
    return (w->screen() ? w->screen() : QGuiApplication::primaryScreen())->availableGeometry();
}

// The window as the window system placed and framed it.
bool framedInside(QWidget* w, QString* why) {
    if (onX()) // the frame comes from the window manager a moment later
        (void)QTest::qWaitFor([&] { return w->frameGeometry() != w->geometry(); }, 2000);
    const QRect frame = w->frameGeometry();
    const QRect room = available(w);
    if (room.contains(frame))
        return true;
    *why = QStringLiteral("%1 at %2,%3 %4x%5 is not inside the screen's %6,%7 %8x%9")
               .arg(w->objectName())
               .arg(frame.x())
               .arg(frame.y())
               .arg(frame.width())
               .arg(frame.height())
               .arg(room.x())
               .arg(room.y())
               .arg(room.width())
               .arg(room.height());
    return false;
}

// A peer that accepts a connection and answers something that is no TLS: the
// connection's library words (OpenSSL's through libcurl) are what fails.
class NotTlsPeer : public QTcpServer {
public:
    NotTlsPeer() {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                s->write("220 this is no TLS server\r\n");
                s->disconnectFromHost();
            }
        });
        listen(QHostAddress::LocalHost);
    }
};

quint16 closedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    const quint16 port = s.serverPort();
    s.close();
    return port;
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
    SessionValues m_session;

private Q_SLOTS:
    void initTestCase();
    void init();
    void calendarFromTheKeyboard_data();
    void calendarFromTheKeyboard();
    void calendarDrawnInOrder();
    void signInTextsAreWhole_data();
    void signInTextsAreWhole();
    void signInFailureTellsWhatToDo_data();
    void signInFailureTellsWhatToDo();
    void signInHasNoMinimiseOrMaximise();
    void helpWindowFitsTheScreen();
};

void TestDialogs::initTestCase() {
    m_session = Session::values();
    QApplication::setCursorFlashTime(0);
    if (!onX()) // the small screen main() asked for
        QCOMPARE(QGuiApplication::primaryScreen()->availableGeometry().size(), QSize(640, 480));
}

void TestDialogs::init() {
    Session::values() = m_session;
}

void TestDialogs::calendarFromTheKeyboard_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QString>("result"); // empty: the box as it was
    QTest::addColumn<int>("changes");
    const QString today = QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy"));
    QTest::newRow("left") << "15/12/2026" << QList<int>{Qt::Key_Left, Qt::Key_Return} << "14/12/2026" << 1;
    QTest::newRow("right twice") << "15/12/2026" << QList<int>{Qt::Key_Right, Qt::Key_Right, Qt::Key_Return}
                                 << "17/12/2026" << 1;
    QTest::newRow("up a week") << "15/12/2026" << QList<int>{Qt::Key_Up, Qt::Key_Return} << "08/12/2026" << 1;
    QTest::newRow("down into the next month")
        << "29/12/2026" << QList<int>{Qt::Key_Down, Qt::Key_Return} << "05/01/2027" << 1;
    QTest::newRow("page up") << "15/12/2026" << QList<int>{Qt::Key_PageUp, Qt::Key_Return} << "15/11/2026"
                             << 1;
    QTest::newRow("page down into the next year")
        << "15/12/2026" << QList<int>{Qt::Key_PageDown, Qt::Key_Return} << "15/01/2027" << 1;
    QTest::newRow("page up to a shorter month")
        << "31/03/2026" << QList<int>{Qt::Key_PageUp, Qt::Key_Return} << "28/02/2026" << 1;
    QTest::newRow("home") << "15/12/2026" << QList<int>{Qt::Key_Home, Qt::Key_Return} << "01/12/2026" << 1;
    QTest::newRow("end") << "15/02/2028" << QList<int>{Qt::Key_End, Qt::Key_Return} << "29/02/2028" << 1;
    QTest::newRow("enter keeps the day shown")
        << "15/12/2026" << QList<int>{Qt::Key_Return} << "15/12/2026" << 0;
    QTest::newRow("esc after moving")
        << "15/12/2026" << QList<int>{Qt::Key_Left, Qt::Key_PageUp, Qt::Key_End, Qt::Key_Escape} << QString()
        << 0;
    QTest::newRow("esc on an empty box") << "" << QList<int>{Qt::Key_Right, Qt::Key_Escape} << QString() << 0;
    QTest::newRow("enter on an empty box: today") << "" << QList<int>{Qt::Key_Return} << today << 1;
}

void TestDialogs::calendarFromTheKeyboard() {
    QFETCH(QString, start);
    QFETCH(QList<int>, keys);
    QFETCH(QString, result);
    QFETCH(int, changes);
    QWidget form;
    form.setObjectName(QStringLiteral("form"));
    auto* date = new TDateEditPlus(&form);
    date->setObjectName(QStringLiteral("depData"));
    date->setGeometry(20, 40, 120, 21);
    form.resize(300, 120);
    form.show();
    if (!start.isEmpty())
        date->SetDate(QDateTime(QDate::fromString(start, QStringLiteral("dd/MM/yyyy")), QTime(0, 0)));
    int changed = 0;
    date->OnChange = [&changed](QObject*) { ++changed; };
    QVERIFY(ui::focus(date));
    // F4 opens it, as the operator does.
    QString why;
    QVERIFY2(pressKeys({Qt::Key_F4}, &why), qPrintable(why));
    QTRY_VERIFY(date->calendarPopup() && date->calendarPopup()->isVisible());
    QTRY_VERIFY(QGuiApplication::focusWindow() == date->calendarPopup()->windowHandle());
    QVERIFY2(pressKeys(keys, &why), qPrintable(why));
    QTRY_VERIFY(!date->calendarPopup()->isVisible());
    QCOMPARE(date->Text(), result.isEmpty() ? start : result);
    QCOMPARE(changed, changes);
    QTRY_COMPARE(ui::focusedName(), QStringLiteral("depData"));
}

void TestDialogs::calendarDrawnInOrder() {
    QWidget form;
    auto* date = new TDateEditPlus(&form);
    auto* label = new QLabel(QStringLiteral("Período:"), &form);
    label->setGeometry(20, 20, 120, 16);
    date->setGeometry(20, 40, 120, 21);
    form.resize(300, 120);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    date->SetDate(QDateTime(QDate(2026, 12, 15), QTime(0, 0)));
    date->DropDown();
    QWidget* popup = date->calendarPopup();
    QTRY_VERIFY(popup->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(popup));
    // The popup does not cover the label above the box.
    QVERIFY(!QRect(popup->mapToGlobal(QPoint(0, 0)), popup->size())
                 .intersects(QRect(label->mapToGlobal(QPoint(0, 0)), label->size())));

    auto* navigation = popup->findChild<QWidget*>(QStringLiteral("navigation"));
    auto* caption = popup->findChild<QLabel*>(QStringLiteral("monthCaption"));
    auto* weekdays = popup->findChild<QWidget*>(QStringLiteral("weekdays"));
    auto* calendar = popup->findChild<QCalendarWidget*>(QStringLiteral("calendar"));
    QVERIFY(navigation && caption && weekdays && calendar);
    QCOMPARE(caption->text(), QStringLiteral("Dezembro de 2026"));
    // From the top: the month, the names of the days, the days, none over another.
    QVERIFY2(navigation->geometry().bottom() < weekdays->geometry().top(), "the month over the weekday row");
    QVERIFY2(weekdays->geometry().bottom() < calendar->geometry().top(), "the weekday row over the days");
    auto* days = calendar->findChild<QTableView*>();
    QVERIFY(days);
    const QStringList names = date->NomeSemana;
    QCOMPARE(names.size(), 7);
    for (int c = 0; c < 7; ++c) {
        auto* name = weekdays->findChild<QLabel*>(names[c]);
        QVERIFY(name);
        QCOMPARE(name->text(), names[c].left(3));
        const QString cut = cutText(name);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
        // Each name over its column of days.
        const int centre = name->mapTo(popup, name->rect().center()).x();
        const int left = days->viewport()->mapTo(popup, QPoint(days->columnViewportPosition(c), 0)).x();
        QVERIFY2(centre >= left && centre < left + days->columnWidth(c),
                 qPrintable(QStringLiteral("%1 at %2, its column from %3 to %4")
                                .arg(names[c])
                                .arg(centre)
                                .arg(left)
                                .arg(left + days->columnWidth(c))));
    }
    savePicture(popup, QStringLiteral("calendar"));
    popup->close();
}

void TestDialogs::signInTextsAreWhole_data() {
    QTest::addColumn<QString>("why");
    QTest::addColumn<QStringList>("problems");
    QTest::newRow("nothing to tell") << QString() << QStringList();
    QTest::newRow("the session ended, at length")
        << QString::fromUtf8(
               "A sessão do operador OPERADOR foi encerrada pelo administrador do sistema às 14:05 "
               "porque o limite de tempo ocioso configurado para esta filial foi atingido.")
        << QStringList();
    QTest::newRow("configuration faults with a long path")
        << QString()
        << QStringList{
               QString::fromUtf8("Valor inválido para ModuloAtiv em linha de comando: \"x\" (número do "
                                 "módulo)."),
               QString::fromUtf8("Valor inválido para FiliProc em /etc/zav/estacoes/caixa-03/"
                                 "configuracao-da-estacao-de-trabalho.ini: \"00001\" (até 4 letras ou "
                                 "dígitos).")};
}

void TestDialogs::signInTextsAreWhole() {
    QFETCH(QString, why);
    QFETCH(QStringList, problems);
    TLoginDialog d(QStringLiteral("OPERADOR"));
    d.tellConfigurationProblems(problems);
    if (!why.isEmpty())
        d.signInAgain(why);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    if (!why.isEmpty()) {
        QVERIFY(d.lblMensagem->text().startsWith(why));
        QVERIFY(d.edtOperador->isReadOnly());
        QCOMPARE(d.edtOperador->text(), QStringLiteral("OPERADOR"));
    }
    QCOMPARE(d.lblConfiguracao->isVisible(), !problems.isEmpty());
    for (const QString& p : problems)
        QVERIFY(d.lblConfiguracao->text().contains(p));
    for (const QLabel* label : {d.lblConfiguracao, d.lblMensagem, d.lblDetalhe}) {
        const QString cut = cutText(label);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
    }
    // The title fits beside the window system's icon and buttons (a window
    // manager shows three and cuts a title that does not fit), whatever is
    // shown or hidden.
    QFont title = QApplication::font();
    title.setBold(true);
    QVERIFY(d.width() >=
            QFontMetrics(title).horizontalAdvance(d.windowTitle()) + 8 * d.fontMetrics().height());
    // Telling a message of ordinary words does not widen it.
    const int width = d.width();
    d.signInAgain(QStringLiteral("A sessão terminou."));
    QCOMPARE(d.width(), width);
    QString why2;
    QVERIFY2(framedInside(&d, &why2), qPrintable(why2));
    savePicture(&d,
                QStringLiteral("signin-") + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-'));
}

void TestDialogs::signInFailureTellsWhatToDo_data() {
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("closed");
    QTest::newRow("nobody at the port") << false << true;
    QTest::newRow("a peer that speaks no TLS") << true << false;
}

void TestDialogs::signInFailureTellsWhatToDo() {
    QFETCH(bool, tls);
    QFETCH(bool, closed);
    NotTlsPeer peer;
    QVERIFY(peer.isListening());
    Session::values().webURL = QStringLiteral("127.0.0.1");
    Session::values().webPort = closed ? closedPort() : peer.serverPort();
    Session::values().webPlainHttp = !tls;
    TLoginDialog d(QStringLiteral("OPERADOR"));
    d.show();
    QVERIFY(ui::activate(&d));
    d.edtSenha->setText(QStringLiteral("segredo"));
    d.btnEntrar->click();
    QTRY_VERIFY(d.lblMensagem->isVisible());
    const QString server = QStringLiteral("127.0.0.1:%1").arg(Session::values().webPort);
    // What the operator reads first is ours, in Portuguese, and says what to do.
    QCOMPARE(d.lblMensagem->text(), HostText::text(HostText::SignInNoServer).arg(server));
    // The connection's own words come after it, in parentheses.
    QVERIFY(d.lblDetalhe->isVisible());
    QVERIFY2(d.lblDetalhe->text().startsWith(u'(') && d.lblDetalhe->text().endsWith(u')'),
             qPrintable(d.lblDetalhe->text()));
    QVERIFY2(d.lblDetalhe->text().contains(server), qPrintable(d.lblDetalhe->text()));
    if (tls) // libcurl's or OpenSSL's words, English, only in the detail
        QVERIFY2(d.lblDetalhe->text().contains(QRegularExpression(QStringLiteral("SSL|TLS"))),
                 qPrintable(d.lblDetalhe->text()));
    QVERIFY(d.isVisible());
    QVERIFY(d.edtSenha->text().isEmpty());
    for (const QLabel* label : {d.lblMensagem, d.lblDetalhe}) {
        const QString cut = cutText(label);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
    }
    QString why;
    QVERIFY2(framedInside(&d, &why), qPrintable(why));
    savePicture(&d, tls ? QStringLiteral("signin-tls") : QStringLiteral("signin-refused"));
}

void TestDialogs::signInHasNoMinimiseOrMaximise() {
    TLoginDialog d(QStringLiteral("OPERADOR"));
    QVERIFY(!(d.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    if (!onX())
        return;
    // What the window manager lets the operator do with it.
    QString actions;
    (void)QTest::qWaitFor(
        [&] {
            QProcess p;
            p.start(QStringLiteral("xprop"),
                    {QStringLiteral("-id"), QString::number(d.winId()),
                     QStringLiteral("_NET_WM_ALLOWED_ACTIONS"), QStringLiteral("_MOTIF_WM_HINTS")});
            p.waitForFinished(5000);
            actions = QString::fromLocal8Bit(p.readAllStandardOutput());
            return actions.contains(QLatin1String("_NET_WM_ACTION_CLOSE"));
        },
        3000);
    QVERIFY2(actions.contains(QLatin1String("_NET_WM_ACTION_CLOSE")), qPrintable(actions));
    // The window asks for neither: its Motif functions (the second value)
    // leave out minimise (8) and maximise (16). The window manager leaves
    // out maximise on its own for a window of fixed size; openbox keeps its
    // minimise whatever the window asks ("don't let mwm hints kill any
    // buttons", its policy), so only the request is checked for that.
    const QRegularExpression motif(QStringLiteral("_MOTIF_WM_HINTS\\S* = (0x[0-9a-f]+), (0x[0-9a-f]+)"));
    const QRegularExpressionMatch hints = motif.match(actions);
    QVERIFY2(hints.hasMatch(), qPrintable(actions));
    bool ok = false;
    const uint flags = hints.captured(1).toUInt(&ok, 16);
    const uint functions = hints.captured(2).toUInt(&ok, 16);
    QVERIFY2((flags & 1) && !(functions & 1) && !(functions & 8) && !(functions & 16), qPrintable(actions));
    QVERIFY2(!actions.contains(QLatin1String("_NET_WM_ACTION_MAXIMIZE")), qPrintable(actions));
}

void TestDialogs::helpWindowFitsTheScreen() {
    QtHostServices services;
    QWidget owner;
    owner.resize(500, 300);
    owner.show();
    QVERIFY(ui::activate(&owner));
    services.showHelp(QStringLiteral("ZAVHELP.HLP"), 10914000);
    QTextBrowser* viewer = nullptr;
    QTRY_VERIFY((viewer = qobject_cast<QTextBrowser*>([] {
                     for (QWidget* w : QApplication::topLevelWidgets())
                         if (w->objectName() == QLatin1String("HelpViewer") && w->isVisible())
                             return w;
                     return static_cast<QWidget*>(nullptr);
                 }())));
    QVERIFY(QTest::qWaitForWindowExposed(viewer));
    QString why;
    QVERIFY2(framedInside(viewer, &why), qPrintable(why));
    // Still a page one can read.
    QVERIFY(viewer->width() >= 400 && viewer->height() >= 300);
    viewer->close();
}

// Offscreen, a screen as small as an old notebook's.
int main(int argc, char** argv) {
    QTemporaryDir dir;
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen")) {
        const QString config = dir.filePath(QStringLiteral("screens.json"));
        QFile f(config);
        if (f.open(QIODevice::WriteOnly))
            f.write(R"({"screens":[{"name":"small","x":0,"y":0,"width":640,"height":480,"logicalDpi":96}]})");
        f.close();
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + QFile::encodeName(config));
    }
    QApplication app(argc, argv);
    TestDialogs test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dialogs.moc"
