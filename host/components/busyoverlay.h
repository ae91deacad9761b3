#pragma once
// The busy animation: a translucent layer over a screen with a turning wheel
// and a caption, repainted by a timer while a server call runs.
#include "zavhost_export.h"
#include <QWidget>

class QTimer;

class ZAVHOST_EXPORT BusyOverlay : public QWidget {
    Q_OBJECT
public:
    BusyOverlay(QWidget* over, int kind);
    int kind() const { return m_kind; }
    int frame() const { return m_frame; }
    // How far the awaited call has come ("n de m"), under the caption beside
    // the wheel; empty: nothing.
    void setProgressText(const QString& text);
    QString progressText() const { return m_progress; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int m_kind;
    int m_frame = 0;
    QTimer* m_timer;
    QString m_progress;
};
