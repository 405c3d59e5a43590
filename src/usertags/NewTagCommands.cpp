// The Properties dialog's commands: New, Edit, Delete, Apply, Cancel, and storing a tag.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>

#include "catalogue/CatalogueTexts.h"
#include "catalogue/NumberText.h"
#include "usertags/NewTag.h"
#include "usertags/UserTagTexts.h"

namespace nvds {

namespace {

constexpr uint32_t kNumberLengths[3] = {1, 2, 4};

}  // namespace

void CNewTag::SetBrowsing(const char* editCaption) {
    m_pNewButton->setText(QStringLiteral("New"));
    m_pEditButton->setText(QString::fromLatin1(editCaption));
    for (QWidget* control :
         {static_cast<QWidget*>(m_pList), static_cast<QWidget*>(m_pNewButton),
          static_cast<QWidget*>(m_pEditButton), static_cast<QWidget*>(m_pDeleteButton),
          static_cast<QWidget*>(m_pApplyButton), static_cast<QWidget*>(m_pCancelButton)}) {
        control->setEnabled(true);
    }
    m_pSpinUp->setEnabled(false);
    m_pSpinDown->setEnabled(false);
}

void CNewTag::SetAdding() {
    m_pNewButton->setText(QStringLiteral("Confirm"));
    for (QWidget* control :
         {static_cast<QWidget*>(m_pList), static_cast<QWidget*>(m_pEditButton),
          static_cast<QWidget*>(m_pDeleteButton), static_cast<QWidget*>(m_pApplyButton),
          static_cast<QWidget*>(m_pCancelButton)}) {
        control->setEnabled(false);
    }
    m_pSpinUp->setEnabled(true);
    m_pSpinDown->setEnabled(true);
}

void CNewTag::SetEditing() {
    m_pEditButton->setText(QStringLiteral("Confirm"));
    for (QWidget* control :
         {static_cast<QWidget*>(m_pList), static_cast<QWidget*>(m_pNewButton),
          static_cast<QWidget*>(m_pDeleteButton), static_cast<QWidget*>(m_pApplyButton),
          static_cast<QWidget*>(m_pCancelButton), static_cast<QWidget*>(m_pSpinUp),
          static_cast<QWidget*>(m_pSpinDown)}) {
        control->setEnabled(false);
    }
}

bool CNewTag::BuildDef(TagDef& def) {
    def = TagDef{};
    def.name = m_strName;
    def.label = m_strLabel;
    def.description = m_strDescription;
    def.coding = m_nCoding;
    def.show = true;
    switch (m_nCoding) {
        case CODING_STRING_ASCII:
            def.lengthVariable = true;
            [[fallthrough]];
        case CODING_ARRAY_HEX:
            def.length = StrToUl32(m_strLength);
            def.defaultText = m_strDefault;
            def.min = 0;
            def.max = 255;
            return true;
        case CODING_NUMBER:
            if (m_nNumWidth < 0 || m_nNumWidth > 2) {
                m_prompter->Message(MSG_NUM_LENGTH_ERROR);
                return false;
            }
            def.length = kNumberLengths[m_nNumWidth];
            def.defaultText = m_strDefault;
            def.min = StrToUl32(m_strMin);
            def.max = StrToUl32(m_strMax);
            return true;
        case CODING_BOOL:
            def.length = 1;
            def.defaultText = m_pDefaultCombo->currentText().toStdString();
            def.min = 0;
            def.max = 1;
            return true;
        default:
            m_prompter->Message(MSG_USER_CODING_ERROR);
            return false;
    }
}

int CNewTag::CommitTag(CommitMode mode) {
    const bool read = ReadFields();
    if (m_nTagId < static_cast<int>(TAG_USER_FIRST) || m_nTagId > static_cast<int>(TAG_USER_LAST)) {
        m_prompter->Message(MSG_TAG_ERROR);
        return 0;
    }
    if (!read) {
        return 0;  // the exchange prompt has told the user which field to correct
    }
    TagEntry& slot = m_tags[static_cast<size_t>(m_nTagId)];
    if (mode == COMMIT_NEW && slot.IsDefined()) {
        m_prompter->Message(MSG_TAG_OCCUPIED);
        return 0;
    }
    if (mode == COMMIT_EDIT && !slot.IsDefined()) {
        m_prompter->Message(MSG_TAG_INVALID);
        return 0;
    }
    TagDef def;
    if (!BuildDef(def) || !CheckValue(def.defaultText, def, 1)) {
        return 0;
    }
    slot.mark = TAG_ENTRY_MARK;
    slot.def = def;
    ShowTagDef(static_cast<uint32_t>(m_nTagId), slot.def);
    return 1;
}

void CNewTag::OnNew() {
    if (m_pNewButton->text() == QStringLiteral("Confirm")) {
        if (CommitTag(COMMIT_NEW)) {
            RefreshTagList();
            LockFields();
            SetBrowsing(m_pEditButton->text().toLatin1().constData());
        }
        return;
    }
    LockFields(false);
    SetAdding();
    uint32_t code = TAG_USER_FIRST;
    while (code < TAG_USER_LAST && m_tags[code].IsDefined()) {
        ++code;
    }
    m_nTagId = static_cast<int>(code);
    m_strName = "NewName";
    m_strLabel = "New label";
    m_strDescription = "Please add new description";
    m_nCoding = CODING_NUMBER;
    SetCodingDefaults(CODING_NUMBER);
    m_pList->clearSelection();
    const int row = m_pList->rowCount();
    m_pList->insertRow(row);
    m_pList->setItem(row, 0, new QTableWidgetItem(QString::number(m_nTagId)));
    m_pList->setItem(row, 1, new QTableWidgetItem(QString::fromLocal8Bit(m_strLabel)));
    m_nSelRow = row;
    SelectRow(row);
}

void CNewTag::OnEdit() {
    if (m_pEditButton->text() == QStringLiteral("Confirm")) {
        if (CommitTag(COMMIT_EDIT)) {
            LockFields();
            SetBrowsing("Modify");
        }
        return;
    }
    if (m_nSelRow < 0) {
        m_prompter->Message(MSG_NO_SELECTED_TAG);
        return;
    }
    LockFields(false);
    // The code names the slot being edited; it cannot move while editing.
    m_pTagIdEdit->setReadOnly(true);
    SetEditing();
}

void CNewTag::OnDelete() {
    if (m_nSelRow < 0 || m_nSelRow >= m_pList->rowCount()) {
        m_prompter->Message(MSG_NO_SELECTED_TAG);
        return;
    }
    const QString codeText = m_pList->item(m_nSelRow, 0)->text();
    const std::string question = ASK_DELETE_TAG + codeText.toStdString() + " \"" +
                                 m_pLabelEdit->text().toLocal8Bit().toStdString() +
                                 ASK_DELETE_TAG_END;
    if (!m_prompter->Ask(question)) {
        return;
    }
    const uint32_t code = StrToUl32(codeText.toStdString());
    if (code < TAG_TABLE_SIZE) {
        m_tags[code].mark = 0;
    }
    RefreshTagList();
}

void CNewTag::OnApply() {
    // A failed save has shown its own message; the dialog still closes with Apply. The first
    // Apply of a user makes the user's own copy, which is read from then on.
    if (PrepareUserDbSave(nullptr)) {
        SaveUserTagDb(GetUserDbSavePath(), m_tags, *m_prompter);
    } else {
        m_prompter->Message(MSG_SAVE_FAIL);
    }
    m_nSelRow = -1;
    done(QDialog::Accepted);
}

void CNewTag::reject() {
    if (!m_prompter->Ask(ASK_GIVE_UP)) {
        return;
    }
    m_nSelRow = -1;
    QDialog::reject();
}

void CNewTag::OnListClick(int row) {
    m_nSelRow = row;
    SelectRow(row);
    if (row >= 0 && ShowSelectedTag()) {
        LockFields();
    }
}

void CNewTag::OnListDoubleClick(int row) {
    OnListClick(row);
    OnEdit();
}

}  // namespace nvds
