#pragma once
// The host's main window: the MDI area where screens open and the menu that
// opens them. Screens come in packages loaded at run time.
#include <QLibrary>
#include <QMainWindow>
#include <memory>
#include <vector>

class QLabel;
class QMdiArea;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const QString& packageDir, QWidget* parent = nullptr);
    ~MainWindow() override;

    QMdiArea* mdiArea() const { return m_mdi; }
    // The status line's standing part: the operator, the branch and the
    // server of the host session, as they are now.
    void showSession();
    // Loads a screen's package (once) and calls its entry; false with a message
    // naming the cause when the package or its entry cannot be had.
    bool openScreen(const QString& code, QString* error = nullptr);

protected:
    bool event(QEvent* event) override;
    // Closing the host closes every screen first; a screen that stays open
    // (its operator chose to keep unsent work) keeps the host open too.
    void closeEvent(QCloseEvent* event) override;

private:
    struct Package {
        QString code;
        std::unique_ptr<QLibrary> library;
        void (*entry)() = nullptr;
        void (*finalize)() = nullptr;
    };
    Package* package(const QString& code, QString* error);

    QMdiArea* m_mdi;
    QLabel* m_session;
    QString m_packageDir;
    std::vector<Package> m_packages;
};
