#include "app/ChoiceEdit.h"

#include <QTimer>

namespace nvds {

CChoiceEdit::CChoiceEdit(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
}

void CChoiceEdit::hidePopup() {
    QComboBox::hidePopup();
    QTimer::singleShot(0, this, &CChoiceEdit::popupClosed);
}

}  // namespace nvds
