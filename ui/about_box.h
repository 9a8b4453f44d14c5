#pragma once
// "About Tessaro": the icon, the version line and OK.

#include <QDialog>

namespace tessaro::ui {

class AboutBox : public QDialog {
public:
    AboutBox(QWidget* parent, const QIcon& icon);
};

}  // namespace tessaro::ui
