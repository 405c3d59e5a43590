#pragma once

#include <QIcon>
#include <QPixmap>

namespace nvds {

/// The program's icon drawn at the given size: a chip with a flash sector and a radio arc,
/// the same picture as the packaged SVG icon.
QPixmap MakeAppIcon(int size);

/// The program's window icon: the picture at the small (16, 24) and big (32, 48, 64) sizes the
/// window system asks for.
QIcon AppIcon();

}  // namespace nvds
