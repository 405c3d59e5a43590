#pragma once

#include <QPixmap>

namespace nvds {

/// The program's icon drawn at the given size: a chip with a flash sector and a radio arc,
/// the same picture as the packaged SVG icon.
QPixmap MakeAppIcon(int size);

}  // namespace nvds
