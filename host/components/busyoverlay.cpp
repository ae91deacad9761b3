#include "busyoverlay.h"
#include "services/hosttexts.h"
#include "vcl/graphics.h"
#include <QEvent>
#include <QPainter>
#include <QTimer>

BusyOverlay::BusyOverlay(QWidget* over, int kind) : QWidget(over), m_kind(kind), m_timer(new QTimer(this)) {
    setObjectName(QStringLiteral("BusyOverlay"));
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(over->rect());
    over->installEventFilter(this);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_frame = (m_frame + 1) % 12;
        update();
    });
    m_timer->start(80);
    show();
    raise();
}

bool BusyOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return false;
}

void BusyOverlay::setProgressText(const QString& text) {
    if (text == m_progress)
        return;
    m_progress = text;
    update();
}

void BusyOverlay::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(255, 255, 255, 140));
    const QRect box(width() / 2 - 110, height() / 2 - 40, 220, 80);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.setBrush(clBtnFace());
    p.drawRoundedRect(box, 6, 6);
    const QPointF c(box.left() + 36, box.center().y());
    for (int i = 0; i < 12; ++i) {
        const int age = (m_frame - i + 12) % 12;
        p.save();
        p.translate(c);
        p.rotate(i * 30.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0x50, 0xa0, 255 - age * 18));
        p.drawRoundedRect(QRectF(-2, -16, 4, 9), 2, 2);
        p.restore();
    }
    p.setPen(Qt::black);
    p.setFont(screenFont(11, true));
    const QRect words = box.adjusted(64, 0, -8, 0);
    if (m_progress.isEmpty()) {
        p.drawText(words, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap,
                   HostText::text(HostText::Busy));
        return;
    }
    const int half = words.height() / 2;
    p.drawText(words.adjusted(0, 0, 0, -half), Qt::AlignBottom | Qt::AlignLeft | Qt::TextWordWrap,
               HostText::text(HostText::Busy));
    p.setFont(screenFont(11, false));
    p.drawText(words.adjusted(0, half + 4, 0, 0), Qt::AlignTop | Qt::AlignLeft, m_progress);
}
