#pragma once
// Dialog units to pixels for one font: a horizontal unit is a quarter of
// the font's average character width, a vertical one an eighth of its
// height, so a layout given in dialog units follows the font and the
// display's scaling.

#include <QFont>
#include <QRect>
#include <QSize>

#include "ui/dialog_layout.h"

namespace tessaro::ui {

// "Microsoft Sans Serif" at 8 points where it is installed, otherwise the
// nearest sans-serif face at the same size.
QFont DialogFont();

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect Rect(const DialogUnitRect& rect) const;
    QSize Size(int widthUnits, int heightUnits) const;

    int baseWidth() const { return baseWidth_; }
    int baseHeight() const { return baseHeight_; }

private:
    int baseWidth_;
    int baseHeight_;
};

}  // namespace tessaro::ui
