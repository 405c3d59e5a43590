#include "app/ConnectInterface.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "image/StatusText.h"
#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/LinkConstants.h"
#include "link/LinkFlows.h"

namespace nvds {

namespace {

constexpr const char* CAPTION_CONNECT = "Connect";
constexpr const char* CAPTION_CANCEL = "Cancel";

// The Interface list is listed again each time it drops down, so a port plugged in since the
// dialog opened can be chosen.
class CDropDownCombo : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> onDropDown;

    void showPopup() override {
        if (onDropDown) {
            onDropDown();
        }
        QComboBox::showPopup();
    }
};

// Selects the first entry that begins with `text`, ignoring case. False when none does.
bool SelectText(QComboBox* combo, const std::string& text) {
    int index = combo->findText(QString::fromLocal8Bit(text), Qt::MatchStartsWith);
    if (index < 0) {
        return false;
    }
    combo->setCurrentIndex(index);
    return true;
}

}  // namespace

CConnectInterface::CConnectInterface(QWidget* parent, Prompter& prompter, StatusSink status,
                                     std::shared_ptr<const LinkFactory> links)
    : QDialog(parent),
      m_threadPrompter(prompter),
      m_status(std::move(status)),
      m_links(std::move(links)),
      m_channel(std::make_shared<CGuiChannel>(this)) {
    m_threadPrompter.SetChannel(m_channel);
    setWindowTitle("Connect");
    CreateControls();
}

CConnectInterface::~CConnectInterface() {
    m_channel->Close();
    m_engine.Cancel();
    m_worker.Join();
}

void CConnectInterface::CreateControls() {
    auto* grid = new QGridLayout(this);
    m_cmbCrystal = new QComboBox(this);
    auto* ports = new CDropDownCombo(this);
    ports->onDropDown = [this] { OnInterfaceDropDown(); };
    m_cmbInterface = ports;
    m_cmbBaud = new QComboBox(this);
    m_cmbInterface->setMinimumContentsLength(14);
    grid->addWidget(new QLabel("Crystal:", this), 0, 0);
    grid->addWidget(m_cmbCrystal, 0, 1);
    grid->addWidget(new QLabel("Interface:", this), 1, 0);
    grid->addWidget(m_cmbInterface, 1, 1);
    grid->addWidget(new QLabel("Baudrate:", this), 2, 0);
    grid->addWidget(m_cmbBaud, 2, 1);

    // The progress bar takes the check box's place while a connect runs.
    m_chkAutoConnect = new QCheckBox("Auto connect", this);
    m_chkAutoConnect->setToolTip(TIP_AUTO_CONNECT);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, PROGRESS_RANGE);
    m_progress->setTextVisible(false);
    grid->addWidget(m_chkAutoConnect, 3, 0, 1, 2);
    grid->addWidget(m_progress, 3, 0, 1, 2);

    m_btnConnect = new QPushButton(CAPTION_CONNECT, this);
    m_btnConnect->setDefault(true);
    m_btnConnect->setToolTip(TIP_CONNECT);
    m_btnQuit = new QPushButton("Quit", this);
    m_btnQuit->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_btnConnect);
    buttons->addWidget(m_btnQuit);
    grid->addLayout(buttons, 4, 0, 1, 2);

    connect(m_btnConnect, &QPushButton::clicked, this, &CConnectInterface::OnConnect);
    connect(m_btnQuit, &QPushButton::clicked, this, &CConnectInterface::OnQuit);
    connect(m_cmbInterface, &QComboBox::activated, this, &CConnectInterface::OnInterfaceChanged);
    connect(m_cmbCrystal, &QComboBox::activated, this, &CConnectInterface::OnCrystalChanged);
}

int CConnectInterface::DoModal() {
    // A connect left by Quit stops within milliseconds; its engine must be free again.
    m_worker.WaitPumping();
    m_channel = std::make_shared<CGuiChannel>(this);
    m_threadPrompter.SetChannel(m_channel);
    OnInitDialog();
    return exec();
}

void CConnectInterface::OnInitDialog() {
    ShowConnecting(false);
    m_progress->setValue(0);
    m_chkAutoConnect->setChecked(m_bAutoConnect);

    FillInterfaceList();
    if (m_bRemember && !SelectText(m_cmbInterface, m_strInterface)) {
        m_bRemember = false;
    }
    m_cmbCrystal->clear();
    m_cmbCrystal->addItems({"16MHz", "32MHz"});
    m_cmbCrystal->setCurrentIndex(0);
    if (m_bRemember && !SelectText(m_cmbCrystal, m_strCrystal)) {
        m_bRemember = false;
    }
    FillBaudList();
    if (m_bRemember && !SelectText(m_cmbBaud, m_strBaud)) {
        m_bRemember = false;
    }
    SetStatus(STATUS_CLEAR);
    if (m_bAutoConnect && m_bRemember) {
        OnConnect();
    }
    m_chkAutoConnect->setChecked(m_bAutoConnect);
}

void CConnectInterface::FillInterfaceList() {
    m_ports = m_links->Ports();
    m_cmbInterface->clear();
    for (const ComPortEntry& port : m_ports) {
        m_cmbInterface->addItem(QString::fromLocal8Bit(port.text));
    }
    m_cmbInterface->setCurrentIndex(0);
}

void CConnectInterface::FillBaudList() {
    m_cmbBaud->clear();
    int crystal = m_cmbCrystal->currentIndex() == CRYSTAL_32MHZ ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
    for (int row = 0; row < BAUD_ROW_COUNT; ++row) {
        m_cmbBaud->addItem(QString::number(BaudOfRow(row, crystal)));
    }
    m_cmbBaud->setCurrentIndex(crystal == CRYSTAL_32MHZ ? DEFAULT_BAUD_INDEX_32MHZ
                                                        : DEFAULT_BAUD_INDEX_16MHZ);
    m_cmbBaud->setEnabled(!InterfaceIsSpi());
}

bool CConnectInterface::InterfaceIsSpi() const {
    return m_cmbInterface->currentText() == SPI_ENTRY;
}

void CConnectInterface::SetStatus(int code) {
    if (m_status) {
        m_status(code);
    }
}

void CConnectInterface::ShowConnecting(bool on) {
    m_cmbCrystal->setEnabled(!on);
    m_cmbInterface->setEnabled(!on);
    m_cmbBaud->setEnabled(!on && !InterfaceIsSpi());
    m_chkAutoConnect->setEnabled(!on);
    m_chkAutoConnect->setVisible(!on);
    m_progress->setVisible(on);
    m_btnConnect->setText(on ? CAPTION_CANCEL : CAPTION_CONNECT);
}

void CConnectInterface::OnConnect() {
    m_bAutoConnect = m_chkAutoConnect->isChecked();
    if (m_btnConnect->text() != CAPTION_CANCEL) {
        StartConnect();
    } else {
        StopConnect();
    }
}

void CConnectInterface::StartConnect() {
    ShowConnecting(true);
    std::string port = SPI_ENTRY;
    if (!InterfaceIsSpi()) {
        int entry = m_cmbInterface->currentIndex();
        port = entry >= 0 && entry < static_cast<int>(m_ports.size())
                   ? m_ports[static_cast<size_t>(entry)].path
                   : std::string();
    }
    int crystal = m_cmbCrystal->currentIndex() == CRYSTAL_32MHZ ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
    SetUpLink(m_engine, *m_links, port, crystal, std::max(0, m_cmbBaud->currentIndex()));
    SetStatus(STATUS_RESET_TARGET);
    m_worker.Start([this, channel = m_channel] { ConnectThread(channel); });
}

void CConnectInterface::CloseLink() {
    m_engine.Cancel();
    m_worker.WaitPumping();
    m_engine.ClosePort();
}

void CConnectInterface::StopConnect() {
    m_engine.Cancel();
    m_worker.WaitPumping();
    m_engine.ClosePort();
    ShowConnecting(false);
    SetStatus(STATUS_CLEAR);
}

void CConnectInterface::ConnectThread(const std::shared_ptr<CGuiChannel>& channel) {
    auto progress = [this, channel](int position) {
        channel->Post([this, position] { m_progress->setValue(position); });
    };
    LinkOutcome connected = ConnectTarget(m_engine, progress);
    while (!connected) {
        // The likely cause of a time-out is shown beneath the fixed text.
        if (connected.code == LinkCode::Overtime) {
            m_threadPrompter.Message(connected.message + "\n\n" + connected.cause);
        } else if (!connected.message.empty()) {
            m_threadPrompter.Message(connected.message);
        }
        if (m_engine.Cancelled()) {
            return;
        }
        if (!m_threadPrompter.Ask(MSG_CONNECT_FAIL)) {
            channel->Post([this] { OnConnectDone(0); });
            return;
        }
        connected = ConnectTarget(m_engine, progress);
    }
    channel->Post([this] { OnConnectDone(1); });
}

void CConnectInterface::OnConnectDone(int connected) {
    if (m_engine.Cancelled()) {
        return;  // Cancel was pressed as the connect ended: the user's Cancel wins
    }
    if (connected == 0) {
        m_bRemember = false;
        done(QDialog::Rejected);
        return;
    }
    m_strCrystal = m_cmbCrystal->currentText().toLocal8Bit().toStdString();
    m_strInterface = m_cmbInterface->currentText().toLocal8Bit().toStdString();
    m_strBaud = m_cmbBaud->currentText().toLocal8Bit().toStdString();
    m_bRemember = true;
    done(QDialog::Accepted);
}

void CConnectInterface::OnQuit() {
    m_engine.Cancel();
    m_bRemember = false;
    m_channel->Close();
    done(QDialog::Rejected);
}

void CConnectInterface::reject() {
    OnQuit();
}

void CConnectInterface::OnInterfaceChanged() {
    m_cmbBaud->setEnabled(!InterfaceIsSpi());
}

void CConnectInterface::OnCrystalChanged() {
    FillBaudList();
}

void CConnectInterface::OnInterfaceDropDown() {
    int index = m_cmbInterface->currentIndex();
    FillInterfaceList();
    m_cmbInterface->setCurrentIndex(index < m_cmbInterface->count() ? index : -1);
}

}  // namespace nvds
