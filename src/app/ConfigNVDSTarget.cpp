// Target commands: connect, dump and burn, the start-up connect, and the transfers run on a
// worker thread while the window keeps painting.
#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTimerEvent>

#include "app/AppTexts.h"
#include "app/ConfigNVDS.h"
#include "image/BuildImage.h"
#include "image/CheckImage.h"
#include "image/ImageTexts.h"
#include "image/StatusText.h"
#include "link/LinkConstants.h"
#include "link/LinkFlows.h"
#include "link/LinkTexts.h"

namespace nvds {

namespace {

constexpr int CONNECT_TIMER_MS = 200;

}  // namespace

void CConfigNVDS::EnableTargetCommands(bool on) {
    Action(ID_BURN)->setEnabled(on);
    Action(ID_DUMP)->setEnabled(on);
    m_btnBurn->setEnabled(on);
}

void CConfigNVDS::StartConnectTimer() {
    m_nTimerId = startTimer(CONNECT_TIMER_MS);
}

void CConfigNVDS::timerEvent(QTimerEvent* event) {
    OnTimer(event->timerId());
    QDialog::timerEvent(event);
}

void CConfigNVDS::OnTimer(int timerId) {
    if (timerId != 0 && timerId == m_nTimerId) {
        killTimer(m_nTimerId);
        m_nTimerId = 0;
        OnConnectTarget();
    }
}

bool CConfigNVDS::EstablishLink() {
    // A connect thread left by an earlier Quit may still be inside the link: it ends first.
    m_connectDlg->CloseLink();
    SetStatus(STATUS_CONNECTING);
    if (m_connectDlg->DoModal() == QDialog::Accepted) {
        m_bConnected = true;
        SetStatus(STATUS_CONNECTED);
    } else {
        m_bConnected = false;
        EnableTargetCommands(false);
        SetStatus(STATUS_DISCONNECTED);
    }
    SetStatus(STATUS_CLEAR);
    return m_bConnected;
}

void CConfigNVDS::OnConnectTarget() {
    if (!EstablishLink()) {
        return;
    }
    EnableTargetCommands(true);
    if (!DumpToImage()) {
        m_prompter->Message(MSG_FIRST_DUMP_FAIL);
        return;
    }
    const ImageCheck check = CheckImage(m_tagTable, m_image);
    ShowMessages(check.Messages());
    if (check.result == 0) {
        // An erased NVDS sector: offer the catalogue's defaults.
        SetStatus(STATUS_CLEAR);
        if (m_prompter->Ask(MSG_EMPTY_TARGET)) {
            ShowTags(m_tagTable, 1);
            OnBurn();
        }
        return;
    }
    ShowTags(m_tagTable, 0);
}

void CConfigNVDS::OnBurn() {
    if (!m_bConnected) {
        m_prompter->Message(MSG_TARGET_DISCONNECT);
        return;
    }
    if (TakeListValues(m_tagTable) == 0) {
        m_prompter->Message(MSG_SOME_DATA_ERROR);
        return;
    }
    // Built aside: a value that does not convert leaves the working image as it was.
    NvdsImage built = ErasedImage();
    std::string error;
    if (BuildImage(m_tagTable, built, error) == 0) {
        m_prompter->Message(error);
        return;
    }
    if (!m_strRecordTarget.empty()) {
        BurnWithRecord(built);
        return;
    }
    m_image = built;
    // A re-connect burns this same image; the list is not read again.
    if (!RepeatWhileLost([this, built] { return BurnBuiltImage(built); })) {
        return;
    }
    AdvanceBdAddr();
}

void CConfigNVDS::OnDump() {
    if (!m_bConnected) {
        m_prompter->Message(MSG_TARGET_DISCONNECT);
        return;
    }
    if (!RepeatWhileLost([this] { return DumpToImage(); })) {
        return;
    }
    const ImageCheck check = CheckDumpedImage(m_tagTable, m_image);
    if (check.result == 0) {
        SetStatus(STATUS_CLEAR);
    }
    ShowMessages(check.Messages());
    if (check.result == 0) {
        return;
    }
    ShowTags(m_tagTable, 0);
}

// Repeats a failed transfer after a re-connect until it succeeds, the connect is refused or
// the user stops asking. False when it did not succeed.
bool CConfigNVDS::RepeatWhileLost(const std::function<bool()>& transfer) {
    while (!transfer()) {
        if (!m_prompter->Ask(MSG_LINK_LOST)) {
            SetStatus(STATUS_DISCONNECTED);
            m_bConnected = false;
            return false;
        }
        if (!EstablishLink()) {
            return false;
        }
    }
    return true;
}

bool CConfigNVDS::DumpToImage() {
    // The worker fills a copy; m_image changes only when every page arrived.
    NvdsImage dumped = m_image;
    const LinkOutcome result =
        RunTransfer([&](const TransferStatus& status, const PageProgress& pages) {
            return DumpImage(m_connectDlg->Engine(), m_bConnected, dumped, status, pages);
        });
    if (result) {
        m_image = dumped;
    }
    return result.Ok();
}

bool CConfigNVDS::BurnBuiltImage(const NvdsImage& image) {
    return RunTransfer([&](const TransferStatus& status, const PageProgress& pages) {
               return BurnImage(m_connectDlg->Engine(), m_bConnected, image, status, pages);
           })
        .Ok();
}

void CConfigNVDS::ShowMessages(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        m_prompter->Message(text);
    }
}

// Runs the transfer on the worker while the window keeps painting; its fixed text, if any, is
// shown once it has ended.
LinkOutcome CConfigNVDS::RunTransfer(
    const std::function<LinkOutcome(const TransferStatus&, const PageProgress&)>& transfer) {
    auto channel = std::make_shared<CGuiChannel>(this);
    TransferStatus status = [this, channel](int code) {
        channel->Post([this, code] { SetStatus(code); });
    };
    PageProgress pages = [this, channel](int done) {
        channel->Post([this, done] { ShowPageCount(done); });
    };
    LinkOutcome result;
    ShowPageCount(0);
    m_transfer.Start([&] { result = transfer(status, pages); });
    m_transfer.WaitPumping();
    channel->Close();
    m_pageCounter->hide();
    if (!result.message.empty()) {
        m_prompter->Message(result.message);
    }
    return result;
}

void CConfigNVDS::ShowPageCount(int pagesDone) {
    if (m_pageCounter == nullptr) {
        m_pageCounter = new QLabel(m_statusBar);
        m_pageCounter->setObjectName("m_pageCounter");
        m_statusBar->addPermanentWidget(m_pageCounter);
    }
    m_pageCounter->setText(QString("Page %1/%2").arg(pagesDone).arg(NVDS_PAGE_COUNT));
    m_pageCounter->show();
}

}  // namespace nvds
