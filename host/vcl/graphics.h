#pragma once
// Colours and fonts of the screens, by the toolkit's names.
#include "zavhost_export.h"
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QRect>
#include <QString>
#include <functional>

class QPainter;

ZAVHOST_EXPORT QColor clInfoBk();  // the system's info (tooltip) background
ZAVHOST_EXPORT QColor clBtnFace(); // button face
ZAVHOST_EXPORT QColor clWindow();  // window (edit) background
ZAVHOST_EXPORT QColor clWindowText();
ZAVHOST_EXPORT QColor clHighlight(); // selection
ZAVHOST_EXPORT QColor clBlue();
ZAVHOST_EXPORT QColor clWhite();

// The screens' font, "MS Sans Serif" where the machine has it, else the closest
// sans-serif face, at a height in pixels (11 px is 8 points at 96 dpi).
ZAVHOST_EXPORT QFont screenFont(int pixelHeight = 11, bool bold = false);
ZAVHOST_EXPORT QString screenFontFamily();

// A button's 16x16 glyph, painted by draw on a transparent ground.
ZAVHOST_EXPORT QIcon drawnGlyph(const std::function<void(QPainter&)>& draw);

// Paints a widget's background (and edit base) in a colour, in every state.
class QWidget;
ZAVHOST_EXPORT void setControlColor(QWidget* w, const QColor& color);

// A drawing surface with a brush, as a grid hands it to the screen that
// paints over a cell: the grid has set the brush to the cell's background (or
// the selection colour for the current cell).
class ZAVHOST_EXPORT TCanvas {
public:
    explicit TCanvas(QPainter* painter, const QColor& brush) : m_painter(painter), BrushColor(brush) {}
    QPainter* painter() const { return m_painter; }
    void FillRect(const QRect& rect);
    // Copies part of an image; its pixels of the transparent colour are
    // painted in the brush colour instead.
    void BrushCopy(const QRect& dest, const QImage& image, const QRect& source, const QColor& transparent);

private:
    QPainter* m_painter;

public:
    QColor BrushColor;
};
