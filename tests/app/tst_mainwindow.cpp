// The host's main window in this process: its status line says who is working,
// where and on which server, and what a screen last said it did.
#include "../../app/mainwindow.h"
#include "services/qthostservices.h"
#include "services/session.h"
#include <QLabel>
#include <QStatusBar>
#include <QTest>

class TestMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusLineSaysWhoIsWorking();
};

void TestMainWindow::statusLineSaysWhoIsWorking() {
    Session::values() = SessionValues();
    Session::values().operador = QStringLiteral("MARIA");
    Session::values().filiProc = QStringLiteral("0002");
    Session::values().webURL = QStringLiteral("srv-fiscal.empresa.lan");
    Session::values().webPort = 8443;
    MainWindow window(QString{});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* who = window.findChild<QLabel*>(QStringLiteral("lblSessao"));
    QVERIFY(who);
    QCOMPARE(who->text(),
             QStringLiteral("Operador: MARIA   Filial: 0002   Servidor: srv-fiscal.empresa.lan:8443"));
    // Shown whole.
    QVERIFY(who->width() >= who->fontMetrics().horizontalAdvance(who->text()));

    // What a screen says goes to the same line, beside it.
    QtHostServices services;
    services.showStatus(QStringLiteral("A lista tem 18 notas."));
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("A lista tem 18 notas."));
    QCOMPARE(who->text().left(15), QStringLiteral("Operador: MARIA"));
    // A confirm's usual line fits beside the session at the window's first
    // size; a longer one is there whole when the pointer rests on the bar.
    const QString usual =
        QStringLiteral("Confirmação concluída: 1 nota cancelada. A lista tem 18 notas, 1 marcada.");
    QVERIFY2(window.statusBar()->fontMetrics().horizontalAdvance(usual) < who->x(),
             qPrintable(QStringLiteral("%1 px beside %2").arg(who->x()).arg(window.width())));
    const QString longer = QStringLiteral("Confirmação concluída: 1.200 notas canceladas, 1 não cancelada, 3 "
                                          "pendentes (confirme de novo). A lista "
                                          "tem 2.000 notas, 1.204 marcadas.");
    services.showStatus(longer);
    QCOMPARE(window.statusBar()->currentMessage(), longer);
    QCOMPARE(window.statusBar()->toolTip(), longer);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
