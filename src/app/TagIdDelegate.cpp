#include "app/TagIdDelegate.h"

#include <qdrawutil.h>
#include <QApplication>
#include <QPainter>

namespace nvds {

void TagIdDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    const QPalette& palette = QApplication::palette();
    QRect face = option.rect.adjusted(0, 0, 0, -1);
    qDrawShadePanel(painter, face, palette, false, 1, &palette.brush(QPalette::Button));
    painter->save();
    painter->setPen(palette.color(QPalette::WindowText));
    painter->setFont(option.font);
    painter->drawText(face.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                      "  " + index.data().toString());
    painter->restore();
}

}  // namespace nvds
