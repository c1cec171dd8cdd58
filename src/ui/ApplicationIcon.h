#pragma once

#include <QIcon>
#include <QImage>

namespace quarnel {

// The program's blue "V", drawn at the given size.
QImage ApplicationIconImage(int size);
// The icon at the sizes a window, a tray and a menu ask for.
QIcon ApplicationIcon();

} // namespace quarnel
