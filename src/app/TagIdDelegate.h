#pragma once

#include <QStyledItemDelegate>

namespace nvds {

/// Draws the "Tag ID" cell as a raised button face with the code text after two spaces.
class TagIdDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

}  // namespace nvds
