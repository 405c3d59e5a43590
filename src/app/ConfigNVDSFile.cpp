// The status bar and the File menu: opening an image into the list and saving the list.
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableWidget>

#include "app/ConfigNVDS.h"
#include "image/BuildImage.h"
#include "image/ImageFile.h"
#include "image/ImageTexts.h"
#include "image/StatusText.h"
#include "platform/AtomicFile.h"

namespace nvds {

namespace {

const QString FILE_FILTER = QtFilterFromPairs("Configuration Files(*.nvds)|*.nvds||");

}  // namespace

void CConfigNVDS::SetStatus(int code) {
    QLabel* pane = nullptr;
    switch (StatusPane(code)) {
        case PANE_LINK:
            pane = m_paneLink;
            break;
        case PANE_OPERATION:
            pane = m_paneOperation;
            break;
        default:
            return;
    }
    pane->setText(StatusText(code));
    pane->repaint();
}

QString CConfigNVDS::PaneText(int pane) const {
    if (pane == PANE_LINK) {
        return m_paneLink->text();
    }
    return pane == PANE_OPERATION ? m_paneOperation->text() : QString();
}

QString CConfigNVDS::ChoosePath(int busy, bool save, const QString& filter) {
    SetStatus(busy);
    const QString path = save ? m_chooser.SavePath(this, filter) : m_chooser.OpenPath(this, filter);
    m_pMainMenu->update();
    return path;
}

void CConfigNVDS::OnFileOpen() {
    const QString path = ChoosePath(STATUS_READ_BUSY, false, FILE_FILTER);
    if (path.isEmpty()) {
        SetStatus(STATUS_CLEAR);
        return;
    }
    OpenImagePath(path.toLocal8Bit().toStdString());
}

void CConfigNVDS::OpenImagePath(const std::string& path) {
    // A refused file leaves the table as it was; a file that is no image first clears the
    // progress text.
    const ImageCheck check = OpenImageFile(path, m_image, m_tagTable);
    if (check.file == ImageFileResult::NotImage) {
        SetStatus(STATUS_CLEAR);
    }
    ShowMessages(check.Messages());
    if (check.file != ImageFileResult::Ok) {
        SetStatus(STATUS_READ_ERROR);
        return;
    }
    ShowTags(m_tagTable, 0);
    SetStatus(STATUS_READ_OK);
}

void CConfigNVDS::OnFileSaveAs() {
    const QString chosen = ChoosePath(STATUS_SAVE_BUSY, true, FILE_FILTER);
    if (chosen.isEmpty()) {
        SetStatus(STATUS_CLEAR);
        return;
    }
    std::string path = AddDefaultExtension(chosen.toLocal8Bit().toStdString(), ".nvds");
    // Values are taken and the image built before the file is touched, and the file is
    // replaced whole by a rename, so a bad value or a failed write leaves the old file as it was.
    if (TakeListValues(m_tagTable) == 0) {
        m_prompter->Message(MSG_SOME_DATA_ERROR);
        SetStatus(STATUS_SAVE_ERROR);
        return;
    }
    std::string error;
    if (BuildImage(m_tagTable, m_image, error) == 0) {
        m_prompter->Message(error);
        SetStatus(STATUS_SAVE_ERROR);
        return;
    }
    if (!WriteFileAtomically(path, m_image.data(), m_image.size())) {
        m_prompter->Message(MSG_SAVE_OPEN_ERROR);
        SetStatus(STATUS_SAVE_ERROR);
        return;
    }
    SetStatus(STATUS_SAVE_OK);
}

}  // namespace nvds
