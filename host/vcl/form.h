#pragma once
// A screen window: its controls, its active control and focus tracker, the
// key preview, and the create/show/close events of the toolkit.
#include "keys.h"
#include "wincontrol.h"
#include "zavhost_export.h"
#include <QPointer>
#include <QWidget>
#include <functional>

class FocusTracker;
#include <QMdiSubWindow>

enum class TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(QObject* sender, TCloseAction& action)>;
using TCloseQueryEvent = std::function<void(QObject* sender, bool& canClose)>;
using TKeyEvent = std::function<void(QObject* sender, TKey& key, TShiftState shift)>;

class ZAVHOST_EXPORT TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget* parent = nullptr);
    ~TForm() override;

    static TForm* formOf(QWidget* w);

    QString Caption() const { return windowTitle(); }
    void SetCaption(const QString& caption) { setWindowTitle(caption); }
    void SetClientSize(int width, int height);

    // The control that holds the focus as the form sees it; during a focus
    // move, already the control being entered.
    TWinControl* ActiveControl() const;
    // Before the form is shown: the control that gets the focus first.
    void SetActiveControl(TWinControl* control);

    bool KeyPreview = false;
    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;
    // Asked first whenever the window is about to close; false keeps it open.
    TCloseQueryEvent OnCloseQuery;
    TCloseEvent OnClose;
    TKeyEvent OnKeyDown;
    QString HelpFile;
    int HelpContext = 0;
    bool VisibleAtCreation = true;

    // Closes the window through its close event.
    void Close();
    // Restores a minimised or maximised window.
    void SetWindowStateNormal();
    // Brings the window to the front and activates it.
    void ShowAndActivate();
    QMdiSubWindow* subWindow() const { return m_subWindow; }

    // Moves the focus to the next (or previous) control in tab order, as Tab does.
    void SelectNext(bool forward = true);
    // The focusable controls in tab order.
    QList<TWinControl*> tabOrderControls() const;

    FocusTracker* focusTracker() const { return m_tracker; }
    void focusRequested(TWinControl* control);
    void setActiveControlDuringMove(TWinControl* control);

    // Called by the form factory once every component exists.
    void loaded(QMdiSubWindow* subWindow);
    void runCreate();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void applyTabOrder();

    FocusTracker* m_tracker;
    QPointer<QWidget> m_active;
    QPointer<QWidget> m_initial;
    QPointer<QMdiSubWindow> m_subWindow;
    bool m_shown = false;
};
