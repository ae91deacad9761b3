#pragma once
// The screen opened as an operator finds it, for the widget tests: a host
// window with an MDI area, host services answered from a script, the host
// database and the session (the application server at a given port).
#include "Cli_Zav50000.h"
#include "data/dtmdbgeral.h"
#include "recordingservices.h"
#include "serverprocess.h"
#include "services/session.h"
#include "uitest.h"
#include <QLineEdit>
#include <QTest>
#include <memory>

class ScreenSession {
public:
    ~ScreenSession() { close(); }

    // The screen on the database, its calls going to the server on the port
    // under the session of the token (the operator's, signed in).
    TfrmCancelaNFE* open(const QString& connection, int port = 8211, const QByteArray& token = {},
                         const QString& operatorCode = QStringLiteral("OPER1")) {
        close();
        dtmDBGeral::open(connection);
        m_rec = std::make_unique<ScopedRecording>();
        m_host = std::make_unique<TestHostWindow>();
        Session::values() = SessionValues();
        Session::setDataProcLookup(nullptr);
        Session::values().webURL = QStringLiteral("127.0.0.1");
        Session::values().webPort = port;
        // The test servers on loopback speak plain HTTP, as asked for here.
        Session::values().webPlainHttp = true;
        if (!token.isEmpty()) {
            Session::values().webToken = QString::fromLatin1(token);
            Session::values().operador = operatorCode;
        }
        IniProc();
        ui::activate(frmCancelaNFE);
        return frmCancelaNFE;
    }
    // Starts the server on the database, with the arguments, and opens the
    // screen on it; null, with why, when the server does not come up.
    // The operator is signed in at the server (made when absent).
    TfrmCancelaNFE* openOnServer(ServerProcess& server, const QString& connection,
                                 const QStringList& serverArguments, QString* why,
                                 const QString& operatorCode = QStringLiteral("OPER1")) {
        if (!server.start(connection, serverArguments, why))
            return nullptr;
        const QByteArray token = server.signIn(connection, operatorCode, why);
        if (token.isEmpty())
            return nullptr;
        return open(connection, server.port(), token, operatorCode);
    }
    void close() {
        if (boIdCriado) {
            frmCancelaNFE->Close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        m_host.reset();
        m_rec.reset();
        dtmDBGeral::close();
    }
    RecordingServices& svc() { return **m_rec; }

    // Types into a box (it gets the focus first, its text replaced) and leaves
    // it with Tab.
    static void typeAndTab(QWidget* box, const QString& text) {
        if (!ui::focus(box))
            QTest::qFail("the box does not take the focus", __FILE__, __LINE__);
        if (auto* e = qobject_cast<QLineEdit*>(box)) {
            e->selectAll();
            QTest::keyClick(e, Qt::Key_Delete);
            e->home(false);
        }
        ui::type(box, text);
        ui::tab(ui::focused());
    }

private:
    std::unique_ptr<ScopedRecording> m_rec;
    std::unique_ptr<TestHostWindow> m_host;
};
