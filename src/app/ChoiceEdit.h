#pragma once

#include <QComboBox>

namespace nvds {

/// The in-place choice editor for Bool values. It reports when its list closes; the report is
/// queued so that a pick (activated) is handled before the close.
class CChoiceEdit : public QComboBox {
    Q_OBJECT

public:
    explicit CChoiceEdit(QWidget* parent);
    void hidePopup() override;

signals:
    void popupClosed();
};

}  // namespace nvds
