#include "app/ConfigNVDS.h"

#include <QAction>
#include <QActionGroup>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "app/BoardSetup.h"
#include "app/ChoiceEdit.h"
#include "app/StationBoard.h"
#include "app/TagIdDelegate.h"
#include "catalogue/CatalogueTexts.h"
#include "usertags/AppIcon.h"
#include "usertags/NewTag.h"

namespace nvds {

namespace {

// Column widths for an 8-point dialog font; wider fonts widen them in proportion.
constexpr int TAG_WIDTH = 50;
constexpr int LABEL_WIDTH = 140;
constexpr int TYPE_WIDTH = 70;
// The shipped labels run longer than the original ones; a little more room keeps most whole.
constexpr double LABEL_EXTRA = 1.2;
// What the frame and the vertical scroll bar took beside the three columns.
constexpr int FRAME_WIDTH = 6;
constexpr int STATUS_HEIGHT = 20;
constexpr int BUTTON_WIDTH = 70;
constexpr int BUTTON_HEIGHT = 22;

}  // namespace

CConfigNVDS::CConfigNVDS(Prompter& prompter, FileChooser& chooser,
                         std::shared_ptr<const LinkFactory> links)
    : CConfigNVDS(prompter, chooser, {}, {}, std::move(links)) {}

CConfigNVDS::CConfigNVDS(Prompter& prompter, FileChooser& chooser, std::string sysDbPath,
                         std::string userDbPath, std::shared_ptr<const LinkFactory> links)
    : QDialog(nullptr, Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      CNvdsConfig(prompter),
      m_image(ErasedImage()),
      m_openRecord([](const std::string& target, std::string& error) {
          return line::OpenProductionRecord(target, line::AddressPool{}, error);
      }),
      m_chooser(chooser),
      m_links(std::move(links)) {
    m_connectDlg = std::make_unique<CConnectInterface>(
        this, prompter, [this](int code) { SetStatus(code); }, m_links);
    if (!sysDbPath.empty()) {
        m_strSysDbPath = std::move(sysDbPath);
        m_strUserDbPath = std::move(userDbPath);
    }
    setWindowTitle(CAPTION);
    setWindowIcon(AppIcon());
    setSizeGripEnabled(true);
}

CConfigNVDS::~CConfigNVDS() = default;

int CConfigNVDS::DoModal() {
    if (!OnInitDialog()) {
        return QDialog::Rejected;
    }
    StartConnectTimer();
    return exec();
}

bool CConfigNVDS::OnInitDialog() {
    if (!LoadTagDb(m_strSysDbPath, m_tagTable)) {
        m_prompter->Message(MSG_CONFIG_REINSTALL);
        return false;
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_client = new QWidget(this);
    layout->addWidget(m_client);
    m_client->installEventFilter(this);

    CreateList();
    CreateEditors();
    CreateMenus();
    layout->setMenuBar(m_pMainMenu);
    // Export copies the user database file, so it is offered as soon as that file loaded;
    // from then on every refill of the list decides by whether it lists a user tag.
    SetExportEnabled(LoadUserTagDb(GetUserDbPath(), m_tagTable) == 1);
    CreateStatusBar();
    CreateButtons();
    m_connectDlg->Engine().StartReceiveDispatchThread();
    EnableResetTag(false);
    EnableTargetCommands(false);
    Action(ID_FILE_SAVE_AS)->setEnabled(false);
    resize(720, 440);

    m_ini.IniInit(windowTitle().toLocal8Bit().toStdString());
    LoadSettings();
    if (m_nBdAddrMode < BDADDR_RANDOM || m_nBdAddrMode > BDADDR_DECREASE) {
        m_nBdAddrMode = BDADDR_CUSTOM;
    }
    SetBdAddrMode(m_nBdAddrMode);
    return true;
}

void CConfigNVDS::CreateList() {
    m_list = new QTableWidget(0, 4, m_client);
    m_list->setObjectName("m_list");
    m_list->setHorizontalHeaderLabels({"Tag ID", "Label", "Data Type", "Value"});
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->verticalHeader()->hide();
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 8);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setShowGrid(true);
    m_list->setWordWrap(false);
    // The widths were made for a font whose "String(Ascii)" is about 64 pixels wide.
    double scale = std::max(
        1.0, (m_list->fontMetrics().horizontalAdvance("String(Ascii)") + 6) / (TYPE_WIDTH - 6.0));
    m_list->setColumnWidth(COL_TAG, static_cast<int>(TAG_WIDTH * scale));
    m_list->setColumnWidth(COL_LABEL, static_cast<int>(LABEL_WIDTH * scale * LABEL_EXTRA));
    m_list->setColumnWidth(COL_TYPE, static_cast<int>(TYPE_WIDTH * scale));
    m_list->setItemDelegateForColumn(COL_TAG, new TagIdDelegate(m_list));
    m_list->viewport()->installEventFilter(this);
    m_list->viewport()->setMouseTracking(true);
}

void CConfigNVDS::CreateEditors() {
    m_combo = new CChoiceEdit(m_list->viewport());
    m_combo->setObjectName("m_combo");
    m_combo->hide();
    connect(m_combo, &QComboBox::activated, this, [this] { OnComboSelChange(); });
    connect(m_combo, &CChoiceEdit::popupClosed, this, [this] { EndCellEdit(); });

    m_edit = new QLineEdit(m_list->viewport());
    m_edit->setObjectName("m_edit");
    m_edit->hide();
    m_edit->installEventFilter(this);
}

QAction* CConfigNVDS::AddCommand(QMenu* menu, const char* text, int id,
                                 void (CConfigNVDS::*handler)()) {
    QAction* action = menu->addAction(text);
    m_actions.insert(id, action);
    if (handler != nullptr) {
        connect(action, &QAction::triggered, this, handler);
    } else {
        action->setEnabled(false);  // its command is not available in this version
    }
    return action;
}

void CConfigNVDS::CreateMenus() {
    m_pMainMenu = new QMenuBar(this);
    QMenu* file = m_pMainMenu->addMenu("&File");
    AddCommand(file, "&Open...", ID_FILE_OPEN, &CConfigNVDS::OnFileOpen);
    AddCommand(file, "&Save as...", ID_FILE_SAVE_AS, &CConfigNVDS::OnFileSaveAs);
    file->addSeparator();
    AddCommand(file, "&Quit", ID_QUIT, &CConfigNVDS::OnQuit);

    QMenu* operate = m_pMainMenu->addMenu("&Operate");
    AddCommand(operate, "&Connect to target", ID_CONNECT_TARGET, &CConfigNVDS::OnConnectTarget);
    operate->addSeparator();
    AddCommand(operate, "&Burn to target", ID_BURN, &CConfigNVDS::OnBurn);
    AddCommand(operate, "&Dump from target", ID_DUMP, &CConfigNVDS::OnDump);
    operate->addSeparator();
    QMenu* bdAddr = operate->addMenu("BD Add&ress");
    m_bdAddrGroup = new QActionGroup(this);
    const struct {
        const char* text;
        int id;
        void (CConfigNVDS::*handler)();
    } modes[] = {{"&Custom", ID_BDADDR_CUSTOM, &CConfigNVDS::OnBdAddrCustom},
                 {"&Random", ID_BDADDR_RANDOM, &CConfigNVDS::OnBdAddrRandom},
                 {"&Increase", ID_BDADDR_INCREASE, &CConfigNVDS::OnBdAddrIncrease},
                 {"&Decrease", ID_BDADDR_DECREASE, &CConfigNVDS::OnBdAddrDecrease}};
    for (const auto& mode : modes) {
        QAction* action = AddCommand(bdAddr, mode.text, mode.id, mode.handler);
        action->setCheckable(true);
        m_bdAddrGroup->addAction(action);
    }
    operate->addSeparator();
    AddCommand(operate, "Reset &tag", ID_RESET_TAG, &CConfigNVDS::OnResetTag);
    AddCommand(operate, "Reset &all tag", ID_RESET_ALL, &CConfigNVDS::OnResetAll);
    AddCommand(operate, "C&lear all tag", ID_CLEAR_ALL, &CConfigNVDS::OnClearAll);
    operate->addSeparator();
    AddCommand(operate, "Add/&Edit user's Properties", ID_USER_PROPERTIES,
               &CConfigNVDS::OnUserProperties);
    AddCommand(operate, "&Import user properties", ID_IMPORT_USER, &CConfigNVDS::OnImportUser);
    AddCommand(operate, "E&xport user properties", ID_EXPORT_USER, &CConfigNVDS::OnExportUser);
    operate->addSeparator();
    AddCommand(operate, "&Production record...", ID_PRODUCTION_RECORD,
               &CConfigNVDS::OnProductionRecord);
    AddCommand(operate, "Production li&ne...", ID_PRODUCTION_LINE, &CConfigNVDS::OnProductionLine);

    QMenu* help = m_pMainMenu->addMenu("&Help");
    AddCommand(help, "&Contents...", ID_HELP_CONTENTS, &CConfigNVDS::OnHelpContents);
    AddCommand(help, "&About", ID_ABOUT, &CConfigNVDS::OnAbout);

    m_pPopupMenu = new QMenu("Config NVDS", this);
    m_popupReset = m_pPopupMenu->addAction("&Reset", this, &CConfigNVDS::OnResetTag);
    m_pPopupMenu->addAction("Reset &all", this, &CConfigNVDS::OnResetAll);
}

void CConfigNVDS::CreateButtons() {
    auto button = [this](const char* text) {
        auto* b = new QPushButton(text, m_client);
        b->setAutoDefault(false);
        return b;
    };
    m_btnBurn = button("Burn");
    m_btnConnect = button("Connect");
    m_btnConnect->hide();  // the connect dialog is reached through the menu only
    connect(m_btnBurn, &QPushButton::clicked, this, &CConfigNVDS::OnBurn);
    connect(m_btnConnect, &QPushButton::clicked, this, &CConfigNVDS::OnConnectTarget);
    m_btnResetTag = button("Reset Tag");
    m_btnResetAll = button("Reset All");
    connect(m_btnResetTag, &QPushButton::clicked, this, &CConfigNVDS::OnResetTag);
    connect(m_btnResetAll, &QPushButton::clicked, this, &CConfigNVDS::OnResetAll);
}

void CConfigNVDS::CreateStatusBar() {
    m_statusBar = new QStatusBar(m_client);
    m_statusBar->setSizeGripEnabled(false);
    m_paneLink = new QLabel("Connecting............");
    m_paneOperation = new QLabel("Writeing NVDS datas to target......");
    m_statusBar->addWidget(m_paneLink, 0);
    m_statusBar->addWidget(m_paneOperation, 1);
    m_paneRecord = new QLabel;
    m_paneRecord->setObjectName("m_paneRecord");
    m_statusBar->addPermanentWidget(m_paneRecord);
    m_paneRecord->hide();
}

void CConfigNVDS::OnSize(int cx, int cy) {
    if (m_statusBar != nullptr) {
        m_statusBar->setGeometry(0, cy - STATUS_HEIGHT, cx, STATUS_HEIGHT);
    }
    if (m_list != nullptr) {
        m_list->setGeometry(0, 0, cx, cy - 58);
        m_list->setColumnWidth(COL_VALUE, cx - FixedColumnsWidth());
    }
    if (m_btnBurn && m_btnConnect && m_btnResetTag && m_btnResetAll) {
        m_btnBurn->setGeometry(cx - 80, cy - 50, BUTTON_WIDTH, BUTTON_HEIGHT);
        m_btnConnect->setGeometry(cx - 160, cy - 50, BUTTON_WIDTH, BUTTON_HEIGHT);
        m_btnResetTag->setGeometry(10, cy - 50, BUTTON_WIDTH, BUTTON_HEIGHT);
        m_btnResetAll->setGeometry(90, cy - 50, BUTTON_WIDTH, BUTTON_HEIGHT);
    }
}

int CConfigNVDS::FixedColumnsWidth() const {
    int scrollBar = m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_list);
    return m_list->columnWidth(COL_TAG) + m_list->columnWidth(COL_LABEL) +
           m_list->columnWidth(COL_TYPE) + 2 * m_list->frameWidth() + scrollBar + FRAME_WIDTH;
}

void CConfigNVDS::OnQuit() {
    if (m_bClosing) {
        return;
    }
    m_bClosing = true;
    SaveSettings();
    done(QDialog::Rejected);
}

void CConfigNVDS::OnOK() {
    if (m_bClosing) {
        return;
    }
    m_bClosing = true;
    done(QDialog::Accepted);
}

void CConfigNVDS::reject() {
    OnQuit();
}

void CConfigNVDS::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            OnOK();
            break;
        case Qt::Key_Escape:
            OnQuit();
            break;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CConfigNVDS::EnableResetTag(bool on) {
    Action(ID_RESET_TAG)->setEnabled(on);
    m_popupReset->setEnabled(on);
    m_btnResetTag->setEnabled(on);
}

void CConfigNVDS::SetExportEnabled(bool on) {
    Action(ID_EXPORT_USER)->setEnabled(on);
}

void CConfigNVDS::SetBdAddrMode(int mode) {
    m_nBdAddrMode = mode;
    Action(ID_BDADDR_CUSTOM + mode)->setChecked(true);
}

void CConfigNVDS::LoadSettings() {
    m_connectDlg->m_strCrystal = m_ini.IniGetString("OSC", "");
    m_connectDlg->m_strInterface = m_ini.IniGetString("INTERFACE", "");
    m_connectDlg->m_strBaud = m_ini.IniGetString("BAUDRATE", "");
    m_connectDlg->m_bRemember = m_ini.IniGetBool("REMEBER_CONNECT");
    m_connectDlg->m_bAutoConnect = m_ini.IniGetBool("AUTO_CONNECT");
    m_nBdAddrMode = m_ini.IniGetInt("BDADDR_TYPE", 0);
    m_strRecordTarget = m_ini.IniGetString("PRODUCTION_RECORD", "");
    ShowRecordPane({});
}

void CConfigNVDS::SaveSettings() {
    // Everything else the file held (hand-added keys, other sections) is dropped.
    auto flag = [](bool on) { return std::string(on ? "True" : "False"); };
    std::vector<std::pair<std::string, std::string>> keys = {
        {"OSC", m_connectDlg->m_strCrystal},
        {"INTERFACE", m_connectDlg->m_strInterface},
        {"BAUDRATE", m_connectDlg->m_strBaud},
        {"REMEBER_CONNECT", flag(m_connectDlg->m_bRemember)},
        {"AUTO_CONNECT", flag(m_connectDlg->m_bAutoConnect)},
        {"BDADDR_TYPE", std::to_string(m_nBdAddrMode)}};
    // Written only while a record is set, so the file of a user who never chose one keeps
    // its six lines.
    if (!m_strRecordTarget.empty()) {
        keys.emplace_back("PRODUCTION_RECORD", m_strRecordTarget);
    }
    // The station board's keys, present only once the board was used, are kept as they are.
    for (auto& key : StoredBoardSettings(m_ini)) {
        keys.push_back(std::move(key));
    }
    m_ini.IniWriteSection(keys);
}

bool CConfigNVDS::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_client && event->type() == QEvent::Resize) {
        OnSize(m_client->width(), m_client->height());
    } else if (m_list != nullptr && watched == m_list->viewport()) {
        return ListMouseEvent(event);
    } else if (watched == m_edit && event->type() == QEvent::KeyPress) {
        return EditKeyEvent(static_cast<QKeyEvent*>(event));
    } else if (watched == m_edit && event->type() == QEvent::FocusOut) {
        EndCellEdit();
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace nvds
