// The Properties dialog's fields: showing a definition, the coding-dependent controls and the
// live reactions to what the user types.
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTableWidget>
#include <QToolButton>
#include <algorithm>

#include "catalogue/NumberText.h"
#include "usertags/NewTag.h"
#include "usertags/UserTagTexts.h"

namespace nvds {

namespace {

constexpr int kWidthButtonNarrow = 59;
constexpr int kWidthButtonWide = 200;
const char* const kStringDefault = "Kestrel BLE";

// The first width button is narrow beside its two siblings and wide when it stands alone for
// Bool; never narrower than its caption needs in the current font.
void SetButtonWidth(QRadioButton* button, int width) {
    button->setFixedWidth(std::max(width, button->sizeHint().width()));
}

}  // namespace

void CNewTag::RefreshTagList() {
    m_nSelRow = -1;
    m_pList->setRowCount(0);
    for (uint32_t code = TAG_USER_FIRST; code <= TAG_USER_LAST; ++code) {
        if (!m_tags[code].IsDefined()) {
            continue;
        }
        const int row = m_pList->rowCount();
        m_pList->insertRow(row);
        m_pList->setItem(row, 0, new QTableWidgetItem(QString::number(code)));
        m_pList->setItem(row, 1,
                         new QTableWidgetItem(QString::fromLocal8Bit(m_tags[code].def.label)));
        if (static_cast<int>(code) == m_nTagId) {
            m_nSelRow = row;
        }
    }
    if (m_pList->rowCount() == 0) {
        // A blank Number definition, shown read-only until the user presses New.
        m_nTagId = static_cast<int>(TAG_USER_FIRST);
        m_strName.clear();
        m_strLabel.clear();
        m_strDescription.clear();
        m_nCoding = CODING_NUMBER;
        m_strLength = "0x0";
        m_strDefault.clear();
        m_nNumWidth = 1;
        m_strMin = m_strMax = "0x0";
        ShowCodingControls(CODING_NUMBER);
        LockFields();
        return;
    }
    if (m_nSelRow < 0) {
        m_nSelRow = 0;
    }
    if (!ShowSelectedTag()) {
        return;
    }
    SelectRow(m_nSelRow);
    LockFields();
}

bool CNewTag::ShowSelectedTag() {
    uint32_t code = 0;
    if (!SelectedTag(code)) {
        m_prompter->Message(MSG_ERROR_TAG);
        return false;
    }
    ShowTagDef(code, m_tags[code].def);
    ShowCodingControls(m_tags[code].def.coding);
    return true;
}

bool CNewTag::SelectedTag(uint32_t& code) const {
    const QTableWidgetItem* item =
        m_nSelRow >= 0 && m_nSelRow < m_pList->rowCount() ? m_pList->item(m_nSelRow, 0) : nullptr;
    if (item == nullptr) {
        return false;
    }
    code = StrToUl32(item->text().toStdString());
    return code >= TAG_USER_FIRST && code <= TAG_USER_LAST && m_tags[code].IsDefined();
}

void CNewTag::SelectRow(int row) {
    if (row < 0) {
        m_pList->clearSelection();
        return;
    }
    m_pList->selectRow(row);
}

void CNewTag::ShowTagDef(uint32_t code, const TagDef& def) {
    m_nTagId = static_cast<int>(code);
    m_strName = def.name;
    m_strLabel = def.label;
    m_strDescription = def.description;
    m_nCoding = def.coding;
    m_strLength = HexText(def.length);
    m_strDefault = def.defaultText;
    switch (def.coding) {
        case CODING_NUMBER:
            m_strMin = HexText(def.min);
            m_strMax = HexText(def.max);
            if (m_strLength == "0x1" || m_strLength == "0x2" || m_strLength == "0x4") {
                m_nNumWidth = m_strLength == "0x1" ? 0 : (m_strLength == "0x2" ? 1 : 2);
            } else {
                m_prompter->Message(MSG_ERROR_NUM_DATAS);
            }
            break;
        case CODING_BOOL: {
            m_nNumWidth = 0;
            int index = FindTextInList(BOOL_TEXTS, 2, def.defaultText);
            if (index < 0) {
                m_prompter->Message(MSG_ERROR_BOOL_CODING);
                index = 1;
            }
            m_pDefaultCombo->setCurrentIndex(index);
            m_strMin = m_strMax = "0x0";
            break;
        }
        case CODING_ARRAY_HEX:
        case CODING_STRING_ASCII:
            m_strMin = m_strMax = "0x0";
            break;
        default:
            m_prompter->Message(MSG_USER_CODING_ERROR);
            break;
    }
    ShowFields();
}

void CNewTag::SetCodingDefaults(TagCoding coding) {
    switch (coding) {
        case CODING_ARRAY_HEX:
            m_strMin = m_strMax = "0x0";
            m_strLength = "0x6";
            m_strDefault = "11 22 33 AA BB CC";
            break;
        case CODING_STRING_ASCII:
            m_strMin = m_strMax = "0x0";
            m_strDefault = kStringDefault;
            // The length counts a terminating zero, although none is stored.
            m_strLength = HexText(static_cast<uint32_t>(m_strDefault.size() + 1));
            break;
        case CODING_NUMBER:
            m_strMin = "0x0";
            m_strMax = "0xFFFF";
            m_nNumWidth = 1;
            m_strDefault = "0x60";
            break;
        case CODING_BOOL:
            m_strMin = m_strMax = "0x0";
            m_strLength = "0x1";
            m_nNumWidth = 0;
            m_pDefaultCombo->setCurrentIndex(1);
            m_strDefault = "BOOL";
            break;
        default:
            m_prompter->Message(MSG_USER_CODING_ERROR);
            return;
    }
    ShowCodingControls(coding);
    ShowFields();
}

void CNewTag::ShowCodingControls(TagCoding coding) {
    if (coding < CODING_BD_ADDR) {
        m_pCodingCombo->setCurrentIndex(static_cast<int>(coding));
    }
    m_pDefaultEdit->hide();
    m_pDefaultCombo->hide();
    m_pLengthEdit->hide();
    m_pByteLabel->hide();
    m_pRangeGroup->hide();
    for (QRadioButton* button : m_pWidth) {
        button->hide();
    }
    switch (coding) {
        case CODING_ARRAY_HEX:
        case CODING_STRING_ASCII:
            m_pDefaultEdit->show();
            m_pLengthEdit->show();
            m_pByteLabel->show();
            m_pLengthGroup->setTitle(QStringLiteral("Length"));
            m_pDefaultGroup->setTitle(QStringLiteral("Default value (MSB)"));
            break;
        case CODING_NUMBER:
            m_pDefaultEdit->show();
            m_pRangeGroup->show();
            for (QRadioButton* button : m_pWidth) {
                button->show();
            }
            m_pWidth[0]->setText(QStringLiteral("uint8_t"));
            SetButtonWidth(m_pWidth[0], kWidthButtonNarrow);
            m_pLengthGroup->setTitle(QStringLiteral("Type (little endian)"));
            m_pDefaultGroup->setTitle(QStringLiteral("Default value "));
            break;
        case CODING_BOOL:
            m_pDefaultCombo->show();
            m_pWidth[0]->show();
            m_pWidth[0]->setText(QStringLiteral("bool(1byte)"));
            SetButtonWidth(m_pWidth[0], kWidthButtonWide);
            m_pLengthGroup->setTitle(QStringLiteral("Type"));
            m_pDefaultGroup->setTitle(QStringLiteral("Default value "));
            break;
        default:
            m_prompter->Message(MSG_USER_CODING_ERROR);
            break;
    }
    ShowFields();
}

void CNewTag::LockFields(bool locked) {
    for (QLineEdit* edit : {m_pTagIdEdit, m_pNameEdit, m_pLabelEdit, m_pDefaultEdit, m_pLengthEdit,
                            m_pMinEdit, m_pMaxEdit}) {
        edit->setReadOnly(locked);
    }
    m_pDescriptionEdit->setReadOnly(locked);
    for (QWidget* control :
         {static_cast<QWidget*>(m_pCodingCombo), static_cast<QWidget*>(m_pDefaultCombo),
          static_cast<QWidget*>(m_pSpinUp), static_cast<QWidget*>(m_pSpinDown)}) {
        control->setEnabled(!locked);
    }
    for (QRadioButton* button : m_pWidth) {
        button->setEnabled(!locked);
    }
}

void CNewTag::OnCodingChosen(int index) {
    m_nCoding = static_cast<TagCoding>(index);
    SetCodingDefaults(m_nCoding);
}

void CNewTag::OnDefaultChanged() {
    ReadFields(false);
    if (m_nCoding == CODING_ARRAY_HEX) {
        std::string digits;
        for (char c : m_strDefault) {
            if (c != ' ') {
                digits += c;
            }
        }
        m_strLength = digits.size() % 2 != 0 ? TEXT_INVALID_VALUE
                                             : HexText(static_cast<uint32_t>(digits.size() / 2));
    } else if (m_nCoding == CODING_STRING_ASCII) {
        m_strLength = HexText(static_cast<uint32_t>(m_strDefault.size() + 1));
    } else if (m_nCoding == CODING_NUMBER) {
        const uint32_t value = StrToUl32(m_strDefault);
        if (value == 0xFFFFFFFFu) {
            // Also what an overflow reads as: the value would not fit a uint32_t.
            m_prompter->Message(MSG_NUM_TOO_BIG);
            m_strDefault.assign(1, '0');
        } else if (value > 0xFFFF) {
            m_nNumWidth = 2;
            m_strMax = HexText(0xFFFFFFFFu);
        } else if (value > 0xFF) {
            m_nNumWidth = 1;
            m_strMax = HexText(0xFFFF);
        } else {
            m_nNumWidth = 0;
            m_strMax = HexText(0xFF);
        }
    }
    ShowFields(true);
}

void CNewTag::ApplyWidthLimit(uint32_t limit, int index) {
    if (StrToUl32(m_strDefault) <= limit) {
        m_nNumWidth = index;
        m_strMax = HexText(limit);
    } else {
        m_prompter->Message(MSG_NO_SPACE_FOR_NUMBER);
        m_nNumWidth = 2;
        m_strMax = HexText(0xFFFFFFFFu);
    }
}

void CNewTag::OnWidthClicked(int index) {
    if (index == 0) {
        ApplyWidthLimit(0xFF, 0);
    } else if (index == 1) {
        ApplyWidthLimit(0xFFFF, 1);
    } else {
        m_nNumWidth = 2;
        m_strMax = HexText(0xFFFFFFFFu);
    }
    ShowFields();
}

void CNewTag::SetRowText(int column, const std::string& text) {
    if (m_nSelRow < 0 || m_nSelRow >= m_pList->rowCount()) {
        return;
    }
    QTableWidgetItem* item = m_pList->item(m_nSelRow, column);
    if (item != nullptr) {
        item->setText(QString::fromLocal8Bit(text));
    }
}

void CNewTag::OnTagIdChanged() {
    ReadFields(false);
    SetRowText(0, std::to_string(m_nTagId));
    ShowFields(true);
}

void CNewTag::OnLabelChanged() {
    ReadFields(false);
    SetRowText(1, m_strLabel);
    ShowFields(true);
}

void CNewTag::OnSpin(int step) {
    // The up-down control steps its own position and writes it into the Tag ID box.
    const int next = std::clamp(m_pTagIdEdit->text().toInt() + step,
                                static_cast<int>(TAG_USER_FIRST), static_cast<int>(TAG_USER_LAST));
    m_pTagIdEdit->setText(QString::number(next));
    OnTagIdChanged();
}

}  // namespace nvds
