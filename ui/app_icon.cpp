#include "ui/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resources live in a static library: the linker keeps them only when
// they are initialised by name, outside any namespace.
static void InitialiseIconResource() { Q_INIT_RESOURCE(tessaro); }

namespace tessaro::ui {

QIcon ApplicationIcon() {
    InitialiseIconResource();
    QSvgRenderer renderer(QStringLiteral(":/tessaro.svg"));
    QIcon icon;
    if (!renderer.isValid()) return icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace tessaro::ui
