// The main window's user-tag and help commands: the Properties dialog, import and export of
// user properties, the manual and the About box.
#include <QTableWidget>

#include "app/ConfigNVDS.h"
#include "catalogue/UserTagMerge.h"
#include "image/ImageTexts.h"
#include "image/StatusText.h"
#include "platform/HelpDocument.h"
#include "usertags/AboutDlg.h"
#include "usertags/NewTag.h"

namespace nvds {

namespace {

const char* const kUserPropertiesFilter = "Configuration Files(*.xml)|*.xml||";

}  // namespace

void CConfigNVDS::OnUserProperties() {
    const bool listed = m_list->rowCount() > 0;
    if (listed && !TakeListValues(m_tagTable)) {
        m_prompter->Message(MSG_SOME_DATA_ERROR);
        return;
    }
    if (!m_newTagDlg) {
        // One dialog for the window's life: its fields keep their values between openings.
        m_newTagDlg = std::make_unique<CNewTag>(*m_prompter, m_strSysDbPath, m_strUserDbPath, this);
    }
    if (m_newTagDlg->exec() != QDialog::Accepted) {
        return;
    }
    CopyUserTags(m_tagTable, m_newTagDlg->m_tags);
    if (listed) {
        ShowTags(m_tagTable, 0);
    }
}

void CConfigNVDS::OnImportUser() {
    const QString path =
        ChoosePath(STATUS_READ_BUSY, false, QtFilterFromPairs(kUserPropertiesFilter));
    if (path.isEmpty()) {
        return;
    }
    // Values typed into the list live there until taken; take them now, so that the refill
    // after the import keeps them. The table's own values stand where the list does not match.
    if (m_list->rowCount() > 0) {
        TakeListValues(m_tagTable);
    }
    if (ImportUserProperties(*this, path.toLocal8Bit().toStdString(), m_tagTable) == IMPORT_OK) {
        ShowTags(m_tagTable, 0);
    }
}

void CConfigNVDS::OnExportUser() {
    const QString path =
        ChoosePath(STATUS_SAVE_BUSY, true, QtFilterFromPairs(kUserPropertiesFilter));
    if (path.isEmpty()) {
        return;
    }
    ExportUserProperties(GetUserDbPath(), path.toLocal8Bit().toStdString(), *m_prompter);
}

void CConfigNVDS::OnHelpContents() {
    OpenHelpContents(*m_prompter);
}

void CConfigNVDS::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

}  // namespace nvds
