#include "ui/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/messages.h"
#include "ui/dialog_layout.h"
#include "ui/dialog_units.h"

namespace tessaro::ui {

AboutBox::AboutBox(QWidget* parent, const QIcon& icon)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName("aboutBox");
    setWindowTitle(message::AboutTitle);
    setFont(DialogFont());
    const DialogUnits units(font());
    setFixedSize(units.Size(AboutWidthUnits, AboutHeightUnits));

    auto* picture = new QLabel(this);
    const QRect iconRect = units.Rect(AboutIconRect);
    const int side = std::min(iconRect.width(), iconRect.height());
    picture->setGeometry(iconRect.x(), iconRect.y(), side, side);
    picture->setPixmap(icon.pixmap(side, side));
    picture->setAccessibleName("Tessaro icon");

    auto* version = new QLabel(message::AboutText, this);
    version->setObjectName("aboutText");
    version->setGeometry(units.Rect(AboutTextRect));

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName(QString::number(AboutOkId));
    ok->setAccessibleName("OK");
    ok->setGeometry(units.Rect(AboutOkRect));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tessaro::ui
