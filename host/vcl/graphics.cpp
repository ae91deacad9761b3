#include "graphics.h"
#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QWidget>

QColor clInfoBk() {
    return QColor(0xff, 0xff, 0xe1);
}
QColor clBtnFace() {
    return QColor(0xf0, 0xf0, 0xf0);
}
QColor clWindow() {
    return QColor(Qt::white);
}
QColor clWindowText() {
    return QColor(Qt::black);
}
QColor clHighlight() {
    return QColor(0x00, 0x78, 0xd7);
}
QColor clBlue() {
    return QColor(Qt::blue);
}
QColor clWhite() {
    return QColor(Qt::white);
}

namespace {
// The screens were laid out for an 8-point bitmap sans face at 96 dots per
// inch, whose letters are set a little narrower than those of its metric
// clones: a clone at the same height, narrowed by this much, fits every
// caption in the width it was given.
constexpr int kCloneStretch = 95;
} // namespace

QString screenFontFamily() {
    static const QString family = [] {
        const QStringList have = QFontDatabase::families();
        for (const char* f :
             {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"})
            if (have.contains(QLatin1String(f), Qt::CaseInsensitive))
                return QString::fromLatin1(f);
        return QApplication::font().family();
    }();
    return family;
}

QFont screenFont(int pixelHeight, bool bold) {
    QFont f(screenFontFamily());
    f.setPixelSize(pixelHeight);
    if (!screenFontFamily().contains(QLatin1String("MS Sans Serif"), Qt::CaseInsensitive))
        f.setStretch(kCloneStretch);
    f.setBold(bold);
    f.setStyleHint(QFont::SansSerif);
    return f;
}

QIcon drawnGlyph(const std::function<void(QPainter&)>& draw) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    {
        QPainter p(&pm);
        draw(p);
    }
    return QIcon(pm);
}

void setControlColor(QWidget* w, const QColor& color) {
    QPalette p = w->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Base, color);
        p.setColor(group, QPalette::Window, color);
    }
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void TCanvas::FillRect(const QRect& rect) {
    m_painter->fillRect(rect, BrushColor);
}

void TCanvas::BrushCopy(const QRect& dest, const QImage& image, const QRect& source,
                        const QColor& transparent) {
    // What the source rectangle takes beyond the image is transparent: it
    // shows the brush, not the opaque black QImage::copy would fill it with.
    QImage part(source.size(), QImage::Format_ARGB32);
    part.fill(QColor(transparent.red(), transparent.green(), transparent.blue()));
    const QRect inside = source.intersected(image.rect());
    {
        QPainter p(&part);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(inside.topLeft() - source.topLeft(), image.convertToFormat(QImage::Format_ARGB32),
                    inside);
    }
    const QRgb key = transparent.rgb() & 0xffffff;
    const QRgb brush = BrushColor.rgba();
    for (int y = 0; y < part.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(part.scanLine(y));
        for (int x = 0; x < part.width(); ++x)
            if ((line[x] & 0xffffff) == key)
                line[x] = brush;
    }
    m_painter->drawImage(QRect(dest.topLeft(), part.size()), part);
}
