#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/GuiChannel.h"
#include "app/ThreadPrompter.h"
#include "app/WorkerThread.h"
#include "link/ComPorts.h"
#include "link/LinkFactory.h"
#include "link/LinkTexts.h"
#include "link/ProgstarDlg.h"

class QCheckBox;
class QComboBox;
class QProgressBar;
class QPushButton;

namespace nvds {

/// The "Connect" dialog: crystal, interface and working rate of the target, and the connect
/// procedure on a thread of its own. It owns the protocol engine every target operation of the
/// main window goes through, so it lives as long as the main window and is opened again for
/// every connect.
class CConnectInterface : public QDialog {
    Q_OBJECT

public:
    /// Shows a status code in the main window's status bar.
    using StatusSink = std::function<void(int code)>;

    static constexpr const char* TIP_AUTO_CONNECT =
        "If check, the selected interface will be re-used automatically the next time";
    static constexpr const char* TIP_CONNECT =
        "After pressed this button, you should restart the target.";
    static constexpr const char* MSG_CONNECT_FAIL = nvds::MSG_CONNECT_FAIL;

    /// Connects over the links `links` makes, to the interfaces it lists.
    CConnectInterface(QWidget* parent, Prompter& prompter, StatusSink status,
                      std::shared_ptr<const LinkFactory> links);
    /// Stops a connect still running and waits for its thread.
    ~CConnectInterface() override;

    /// Prepares the lists, connects at once when asked to, and runs the dialog modally.
    /// QDialog::Accepted when the chip is connected (the port then stays open at the working
    /// rate), QDialog::Rejected otherwise.
    int DoModal();
    /// Fills the lists, restores the remembered texts and starts an auto connect.
    void OnInitDialog();
    /// The Connect/Cancel button.
    void OnConnect();
    /// End of the connect thread: 1 connected, 0 the user gave up.
    void OnConnectDone(int connected);
    /// Quit, Escape and the close box: ends the dialog at once; a running connect stops by
    /// itself within a few milliseconds.
    void OnQuit();
    void OnInterfaceChanged();
    void OnCrystalChanged();
    /// Lists the ports again and selects the same index (not the same text).
    void OnInterfaceDropDown();
    /// The 16 rates of the selected crystal, 115200 selected.
    void FillBaudList();
    /// Stops a connect thread left running by Quit (it has ended when this returns) and
    /// closes the link.
    void CloseLink();
    /// True while a connect thread runs.
    bool Connecting() const { return m_worker.Running(); }

    CProgstarDlg& Engine() { return m_engine; }
    const std::vector<ComPortEntry>& Ports() const { return m_ports; }

    // The five values kept in the settings file.
    bool m_bAutoConnect = false;
    std::string m_strCrystal;
    std::string m_strInterface;
    std::string m_strBaud;
    bool m_bRemember = false;

    QComboBox* m_cmbCrystal = nullptr;
    QComboBox* m_cmbInterface = nullptr;
    QComboBox* m_cmbBaud = nullptr;
    QCheckBox* m_chkAutoConnect = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_btnConnect = nullptr;
    QPushButton* m_btnQuit = nullptr;

protected:
    void reject() override;

private:
    void CreateControls();
    void FillInterfaceList();
    void StartConnect();
    void StopConnect();
    void ConnectThread(const std::shared_ptr<CGuiChannel>& channel);
    void ShowConnecting(bool on);
    bool InterfaceIsSpi() const;
    void SetStatus(int code);

    CThreadPrompter m_threadPrompter;
    CProgstarDlg m_engine;
    StatusSink m_status;
    std::shared_ptr<const LinkFactory> m_links;
    std::shared_ptr<CGuiChannel> m_channel;
    std::vector<ComPortEntry> m_ports;
    CWorkerThread m_worker;  // last member: joined before the engine goes
};

}  // namespace nvds
