#include "uitest.h"
#include "vcl/application.h"
#include "vcl/wincontrol.h"
#include <QApplication>
#include <QMdiArea>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <qpa/qwindowsysteminterface.h>

TestHostWindow::TestHostWindow() : mdi(new QMdiArea(this)) {
    setObjectName(QStringLiteral("testHost"));
    setCentralWidget(mdi);
    resize(1000, 640);
    TApplication::setMdiArea(mdi);
    show();
    activateWindow();
    if (!QTest::qWaitForWindowActive(this))
        qWarning("test host window not active");
}

TestHostWindow::~TestHostWindow() {
    TApplication::setMdiArea(nullptr);
}

namespace ui {

bool activate(QWidget* w) {
    QWidget* win = w->window();
    win->activateWindow();
    return QTest::qWaitForWindowActive(win);
}

bool focus(QWidget* w) {
    activate(w);
    QWidget* target = w;
    if (TWinControl* c = TWinControl::of(w))
        target = c->focusTarget();
    target->setFocus(Qt::OtherFocusReason);
    return QTest::qWaitFor([&] { return QApplication::focusWidget() == target; }, 2000);
}

QWidget* focused() {
    return QApplication::focusWidget();
}

QString focusedName() {
    QWidget* f = QApplication::focusWidget();
    // Composite controls (date edits) are named on the control, not its editor.
    for (QWidget* w = f; w; w = w->parentWidget())
        if (TWinControl::of(w))
            return w->objectName();
    return f ? f->objectName() : QString();
}

void type(QWidget* w, const QString& text) {
    QWidget* target = w;
    if (TWinControl* c = TWinControl::of(w))
        target = c->focusTarget();
    QTest::keyClicks(target, text);
}

void key(QWidget* w, int qtKey, Qt::KeyboardModifiers mods) {
    QWidget* target = w;
    if (TWinControl* c = TWinControl::of(w))
        target = c->focusTarget();
    QTest::keyClick(target, Qt::Key(qtKey), mods);
}

void tab(QWidget* w) {
    key(w, Qt::Key_Tab);
}

void queueClick(QWidget* w, QPoint at) {
    if (at == QPoint(-1, -1))
        at = w->rect().center();
    QWindow* window = w->window()->windowHandle();
    const QPointF local = w->mapTo(w->window(), at);
    const QPointF global = w->mapToGlobal(at);
    using Async = QWindowSystemInterface::AsynchronousDelivery;
    QWindowSystemInterface::handleMouseEvent<Async>(window, local, global, Qt::LeftButton, Qt::LeftButton,
                                                    QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<Async>(window, local, global, Qt::NoButton, Qt::LeftButton,
                                                    QEvent::MouseButtonRelease);
}

void queueKey(QWidget* w, int qtKey, const QString& text, Qt::KeyboardModifiers mods) {
    QWindow* window = w->window()->windowHandle();
    using Async = QWindowSystemInterface::AsynchronousDelivery;
    QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyPress, qtKey, mods, text);
    QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyRelease, qtKey, mods, text);
}

} // namespace ui

namespace ui {

struct Gesture::Step {
    enum Kind { Click, Text, Key } kind;
    QPointer<QWidget> widget;
    QPoint at;
    QString text;
    int msPerKey = 0;
    int qtKey = 0;
};

// What sends a gesture: xdotool on X, timers elsewhere.
struct Gesture::Sender {
    QProcess xdotool;
    std::vector<QStringList> runs; // on X: one run of xdotool a step
    bool failed = false;
    QTimer timer;
    std::vector<std::function<void()>> queued; // one entry per paced event
    size_t next = 0;
    bool finished = false;
};

Gesture::Gesture() = default;
Gesture::~Gesture() {
    if (m_sender && m_sender->xdotool.state() != QProcess::NotRunning) {
        m_sender->xdotool.kill();
        m_sender->xdotool.waitForFinished(2000);
    }
}

Gesture& Gesture::click(QWidget* w, QPoint at) {
    m_steps.push_back({Step::Click, w, at, {}, 0, 0});
    return *this;
}

Gesture& Gesture::type(const QString& text, int msPerKey) {
    m_steps.push_back({Step::Text, nullptr, {}, text, msPerKey, 0});
    return *this;
}

Gesture& Gesture::key(int qtKey) {
    m_steps.push_back({Step::Key, nullptr, {}, {}, 0, qtKey});
    return *this;
}

namespace {

QString xKeyName(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Return:
        return QStringLiteral("Return");
    case Qt::Key_Escape:
        return QStringLiteral("Escape");
    case Qt::Key_Tab:
        return QStringLiteral("Tab");
    default:
        return {};
    }
}

// The key Qt reports for a printable ASCII character.
int qtKeyOf(QChar c) {
    return c.isLetter() ? int(c.toUpper().unicode()) : int(c.unicode());
}

// A key press and release for whichever window has the keyboard now.
void keyToFocusWindow(int qtKey, const QString& text) {
    QWindow* window = QGuiApplication::focusWindow();
    if (!window)
        return;
    using Async = QWindowSystemInterface::AsynchronousDelivery;
    const Qt::KeyboardModifiers mods =
        text.size() == 1 && text.at(0).isUpper() ? Qt::ShiftModifier : Qt::NoModifier;
    QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyPress, qtKey, mods, text);
    QWindowSystemInterface::handleKeyEvent<Async>(window, QEvent::KeyRelease, qtKey, mods, text);
}

} // namespace

bool Gesture::start(QString* why) {
    m_sender = std::make_unique<Sender>();
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (program.isEmpty()) {
            *why = QStringLiteral("xdotool is not installed (scripts/deps.sh installs it)");
            return false;
        }
        // One run of xdotool a step, one after the other: its "type" takes
        // every argument after it as text.
        for (const Step& s : m_steps) {
            QStringList args;
            switch (s.kind) {
            case Step::Click: {
                if (!s.widget) {
                    *why = QStringLiteral("the widget to click is gone");
                    return false;
                }
                const QPoint global = s.widget->mapToGlobal(s.at);
                args << QStringLiteral("mousemove") << QStringLiteral("--sync") << QString::number(global.x())
                     << QString::number(global.y()) << QStringLiteral("click") << QStringLiteral("1");
                break;
            }
            case Step::Text:
                args << QStringLiteral("type") << QStringLiteral("--delay") << QString::number(s.msPerKey)
                     << s.text;
                break;
            case Step::Key:
                args << QStringLiteral("key") << xKeyName(s.qtKey);
                break;
            }
            m_sender->runs.push_back(args);
        }
        Sender& sender = *m_sender;
        const auto runNext = [&sender, program] {
            if (sender.next >= sender.runs.size() || sender.failed) {
                sender.finished = true;
                return;
            }
            sender.xdotool.start(program, sender.runs[sender.next++]);
        };
        QObject::connect(&sender.xdotool, &QProcess::finished,
                         [&sender, runNext](int code, QProcess::ExitStatus st) {
                             if (code != 0 || st != QProcess::NormalExit)
                                 sender.failed = true;
                             runNext();
                         });
        QObject::connect(&sender.xdotool, &QProcess::errorOccurred, [&sender](QProcess::ProcessError) {
            sender.failed = true;
            sender.finished = true;
        });
        runNext();
        return true;
    }
    // Each event at its moment, from one timer: a click at once, then the
    // keys at their pace.
    Sender& sender = *m_sender;
    std::vector<int> delays;
    for (const Step& s : m_steps) {
        switch (s.kind) {
        case Step::Click: {
            QPointer<QWidget> w = s.widget;
            const QPoint at = s.at;
            sender.queued.push_back([w, at] {
                if (w)
                    queueClick(w, at);
            });
            delays.push_back(0);
            break;
        }
        case Step::Text:
            for (const QChar c : s.text) {
                sender.queued.push_back([c] { keyToFocusWindow(qtKeyOf(c), QString(c)); });
                delays.push_back(s.msPerKey);
            }
            break;
        case Step::Key: {
            const int k = s.qtKey;
            sender.queued.push_back(
                [k] { keyToFocusWindow(k, k == Qt::Key_Return ? QStringLiteral("\r") : QString()); });
            delays.push_back(0);
            break;
        }
        }
    }
    sender.timer.setSingleShot(true);
    QObject::connect(&sender.timer, &QTimer::timeout, [&sender, delays] {
        if (sender.next < sender.queued.size())
            sender.queued[sender.next++]();
        if (sender.next >= sender.queued.size()) {
            sender.finished = true;
            return;
        }
        sender.timer.start(delays[sender.next]);
    });
    sender.timer.start(delays.empty() ? 0 : delays.front());
    return true;
}

bool Gesture::sent() const {
    return m_sender && m_sender->finished;
}

bool Gesture::wait(int timeoutMs) {
    if (!m_sender)
        return false;
    Sender& sender = *m_sender;
    return QTest::qWaitFor([&] { return sender.finished; }, timeoutMs) && !sender.failed;
}

} // namespace ui
