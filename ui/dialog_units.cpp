#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace tessaro::ui {
namespace {

// a * b / c rounded to nearest, as dialog-unit conversions round.
int MulDiv(int a, int b, int c) { return (a * b + c / 2) / c; }

}  // namespace

QFont DialogFont() {
    QFont font;
    // Liberation Sans and Arial share the metrics of the classic dialog face
    // closely enough that the layout keeps its proportions.
    font.setFamilies(
        {"Microsoft Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans", "Sans Serif"});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the 52 letters, rounded up to the nearest half
    // and halved, as the classic base-unit rule computes it.
    const int letters =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseWidth_ = (letters / 26 + 1) / 2;
    baseHeight_ = metrics.height();
}

int DialogUnits::X(int units) const { return MulDiv(units, baseWidth_, 4); }
int DialogUnits::Y(int units) const { return MulDiv(units, baseHeight_, 8); }

QRect DialogUnits::Rect(const DialogUnitRect& rect) const {
    const int left = X(rect.x);
    const int top = Y(rect.y);
    // Edges are converted, not sizes, so neighbours meet where they should.
    return QRect(left, top, X(rect.x + rect.width) - left, Y(rect.y + rect.height) - top);
}

QSize DialogUnits::Size(int widthUnits, int heightUnits) const {
    return QSize(X(widthUnits), Y(heightUnits));
}

}  // namespace tessaro::ui
