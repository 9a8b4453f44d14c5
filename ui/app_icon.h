#pragma once

#include <QIcon>

namespace tessaro::ui {

// The application icon, drawn from its SVG at the usual icon sizes.
QIcon ApplicationIcon();

}  // namespace tessaro::ui
