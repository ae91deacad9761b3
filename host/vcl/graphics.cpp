#include "graphics.h"
#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

QColor clInfoBk() { return QColor(0xff, 0xff, 0xe1); }
QColor clBtnFace() { return QColor(0xf0, 0xf0, 0xf0); }
QColor clWindow() { return QColor(Qt::white); }
QColor clWindowText() { return QColor(Qt::black); }
QColor clHighlight() { return QColor(0x00, 0x78, 0xd7); }
QColor clBlue() { return QColor(Qt::blue); }
QColor clWhite() { return QColor(Qt::white); }

QString screenFontFamily() {
    static const QString family = [] {
        const QStringList have = QFontDatabase::families();
        for (const char* f : {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"})
            if (have.contains(QLatin1String(f), Qt::CaseInsensitive))
                return QString::fromLatin1(f);
        return QApplication::font().family();
    }();
    return family;
}

QFont screenFont(int pixelHeight, bool bold) {
    QFont f(screenFontFamily());
    f.setPixelSize(pixelHeight);
    f.setBold(bold);
    f.setStyleHint(QFont::SansSerif);
    return f;
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
