#pragma once

#include <QDialog>
#include <QMap>
#include <functional>
#include <memory>
#include <optional>

#include "app/ConnectInterface.h"
#include "app/FileChooser.h"
#include "app/IniOp.h"
#include "app/WorkerThread.h"
#include "catalogue/BdAddr.h"
#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"
#include "image/NvdsImage.h"
#include "line/ProductionRecord.h"
#include "link/AreaTransfer.h"
#include "link/BurnOptions.h"

class QAction;
class QActionGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QStatusBar;
class QTableWidget;

namespace nvds {

class CChoiceEdit;
class CNewTag;
class CStationBoard;

/// Command ids of the menu items and buttons.
enum CommandId : int {
    ID_FILE_OPEN = 32775,
    ID_FILE_SAVE_AS = 32772,
    ID_QUIT = 2,
    ID_CONNECT_TARGET = 32781,
    ID_BURN = 32788,
    ID_DUMP = 32789,
    ID_BDADDR_CUSTOM = 32806,
    ID_BDADDR_RANDOM = 32807,
    ID_BDADDR_INCREASE = 32808,
    ID_BDADDR_DECREASE = 32809,
    ID_RESET_TAG = 32790,
    ID_RESET_ALL = 32786,
    ID_CLEAR_ALL = 32803,
    ID_USER_PROPERTIES = 32800,
    ID_IMPORT_USER = 32801,
    ID_EXPORT_USER = 32802,
    ID_PRODUCTION_RECORD = 32810,
    ID_PRODUCTION_LINE = 32811,
    ID_HELP_CONTENTS = 32804,
    ID_ABOUT = 32782,
};

/// Opens the production record at a target (file path or server connection text); null with
/// `error` on failure.
using RecordOpener = std::function<std::unique_ptr<line::ProductionRecord>(
    const std::string& target, std::string& error)>;

/// The question asked before burning an address the record holds as maybe on a chip: it
/// names the state and where and when (local time) the record last saw the address.
std::string MayBeOnChipQuestion(uint64_t address, const line::AddressInfo& info);

/// The record's name as the status bar shows it: a file's name, or a server's connection text
/// without its password.
std::string RecordDisplayName(const std::string& target);

/// List columns.
enum ListColumn : int { COL_TAG = 0, COL_LABEL = 1, COL_TYPE = 2, COL_VALUE = 3 };

/// The main window: the tag list with its in-place editors, the file and tag commands, the
/// status bar and the settings. It is the catalogue too, so CheckValue messages go through the
/// same prompter as the window's own.
class CConfigNVDS : public QDialog, public CNvdsConfig {
    Q_OBJECT

public:
    static constexpr const char* CAPTION = "ZB446x NVDS Configurator";

    /// Every link the window and its board use comes from `links`.
    CConfigNVDS(Prompter& prompter, FileChooser& chooser,
                std::shared_ptr<const LinkFactory> links = std::make_shared<LinkFactory>());
    /// Databases at given paths (tests).
    CConfigNVDS(Prompter& prompter, FileChooser& chooser, std::string sysDbPath,
                std::string userDbPath,
                std::shared_ptr<const LinkFactory> links = std::make_shared<LinkFactory>());
    ~CConfigNVDS() override;

    /// Runs OnInitDialog and, when it succeeds, the modal loop; QDialog::Rejected otherwise.
    int DoModal();
    /// Loads the catalogue, builds the window and reads the settings. False when the system
    /// database cannot be read (the message has been shown, nothing is written).
    bool OnInitDialog();

    // Window state and layout.
    void OnSize(int cx, int cy);
    /// Width of the first three columns with the list's frame and scroll bar; "Value" gets
    /// the rest of the list's width.
    int FixedColumnsWidth() const;
    void OnQuit();
    void OnOK();
    void EnableResetTag(bool on);
    void EnableTargetCommands(bool on);
    void LoadSettings();
    void SaveSettings();
    QAction* Action(int id) const { return m_actions.value(id); }

    // Status bar and file commands.
    void SetStatus(int code);
    QString PaneText(int pane) const;
    /// Shows `busy`, then the open (or save) dialog; the path chosen, empty when cancelled.
    QString ChoosePath(int busy, bool save, const QString& filter);
    void ShowTags(TagTable& table, int useDefaults);
    int TakeListValues(TagTable& table);
    void OnFileOpen();
    void OnFileSaveAs();
    /// Reads and shows an image file as "Open..." does after its dialog.
    void OpenImagePath(const std::string& path);

    // Tag list.
    void BeginCellEdit(int row, int column);
    bool TakeClickedCell(int row, int column);
    void EndCellEdit();
    void OnComboSelChange();
    void OnListClick(int row, int column);
    void OnListRightClick(int row, int column, const QPoint& globalPos);
    /// True when the character may be typed into the value of the tag in m_nTag.
    bool AcceptsChar(QChar c) const;
    int TextLimit(const TagDef& def);
    QString CellText(int row, int column) const;
    void SetCellText(int row, int column, const QString& text);
    /// The current tag description, with line breaks the tooltip shows.
    QString ToolTipText() const { return m_strToolTip; }
    bool ToolTipActive() const { return m_bToolTipActive; }

    // Tag commands.
    void OnResetTag();
    void OnResetAll();
    void OnClearAll();
    void OnBdAddrCustom();
    void OnBdAddrRandom();
    void OnBdAddrIncrease();
    void OnBdAddrDecrease();
    BdAddrHalves ReadBdAddr() const;

    // Target commands.
    /// Opens the connect dialog; true when the chip is connected.
    bool EstablishLink();
    void OnConnectTarget();
    void OnBurn();
    void OnDump();
    /// Sets the start-up timer whose first tick opens the connect dialog.
    void StartConnectTimer();
    void OnTimer(int timerId);

    // Production record.
    /// Chooses the record every burn is written to, or turns it off.
    void OnProductionRecord();
    /// The status bar's record pane: empty without a record.
    QString RecordPaneText() const;
    /// Shows the record's name in the status bar with `detail` after it (what the record last
    /// did); hides the pane when no record is set.
    void ShowRecordPane(const QString& detail);
    /// Opens the station board (a window of its own, kept for the window's life).
    void OnProductionLine();
    std::unique_ptr<CStationBoard> m_board;

    // User tags and help.
    void OnUserProperties();
    void OnImportUser();
    void OnExportUser();
    void OnHelpContents();
    void OnAbout();
    /// The Properties dialog, created at its first opening and kept for the window's life.
    std::unique_ptr<CNewTag> m_newTagDlg;
    void WriteBdAddr(uint32_t upper, uint32_t lower);
    void AdvanceBdAddr();

    QMenu* m_pPopupMenu = nullptr;
    QLineEdit* m_edit = nullptr;
    QTableWidget* m_list = nullptr;
    CChoiceEdit* m_combo = nullptr;
    int m_nItem = -1;
    int m_nSubItem = -1;
    uint32_t m_nTag = 0;
    QStatusBar* m_statusBar = nullptr;
    bool m_bConnected = false;
    TagTable m_tagTable;
    NvdsImage m_image;
    QPushButton* m_btnBurn = nullptr;
    QPushButton* m_btnConnect = nullptr;
    QPushButton* m_btnResetTag = nullptr;
    QPushButton* m_btnResetAll = nullptr;
    QMenuBar* m_pMainMenu = nullptr;
    CIniOp m_ini;
    int m_nBdAddrMode = 0;
    /// The production record (SQLite file or server connection text); empty: none.
    std::string m_strRecordTarget;
    /// Opens the record; the real back ends unless a test puts a stand-in here.
    RecordOpener m_openRecord;
    /// The record opened for m_strRecordOpened, kept for the window's session (one run of the
    /// record) and dropped after a failed call so that the next burn opens it afresh.
    std::unique_ptr<line::ProductionRecord> m_record;
    std::string m_strRecordOpened;
    /// The connect dialog with the protocol engine, for the window's whole life.
    std::unique_ptr<CConnectInterface> m_connectDlg;
    int m_nTimerId = 0;
    /// Dump and burn run here while the window keeps painting.
    CWorkerThread m_transfer;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void reject() override;
    void timerEvent(QTimerEvent* event) override;

private:
    void CreateEditors();
    void CreateList();
    void CreateMenus();
    void CreateButtons();
    void CreateStatusBar();
    QAction* AddCommand(QMenu* menu, const char* text, int id, void (CConfigNVDS::*handler)());
    void SetBdAddrMode(int mode);
    void SetExportEnabled(bool on);
    bool ListMouseEvent(QEvent* event);
    bool EditKeyEvent(QKeyEvent* event);
    void RelayToolTip(QMouseEvent* event);
    uint32_t RowTag(int row) const;
    void FillRow(int row, const TagEntry& entry, int useDefaults);
    LinkOutcome RunTransfer(
        const std::function<LinkOutcome(const TransferStatus&, const PageProgress&)>& transfer);
    void ShowMessages(const std::vector<std::string>& texts);
    bool DumpToImage();
    bool BurnBuiltImage(const NvdsImage& image);
    bool RepeatWhileLost(const std::function<bool()>& transfer);
    void ShowPageCount(int pagesDone);
    void BurnWithRecord(const NvdsImage& image);
    bool RunRecordCall(const std::function<bool(line::ProductionRecord&)>& call);
    bool OpenRecord();
    void DropRecord();
    BurnOutcome BurnAndVerify(const NvdsImage& image);

    FileChooser& m_chooser;
    std::shared_ptr<const LinkFactory> m_links;
    QWidget* m_client = nullptr;
    QLabel* m_paneLink = nullptr;
    QLabel* m_paneOperation = nullptr;
    QMap<int, QAction*> m_actions;
    QAction* m_popupReset = nullptr;
    QActionGroup* m_bdAddrGroup = nullptr;
    QString m_strToolTip;
    bool m_bToolTipActive = false;
    /// The last "Tag ID" click came while the window was inactive; its activation follows.
    bool m_bTipAwaitsActivation = false;
    bool m_bClosing = false;
    /// A double-click opened the choice editor; its list drops down at the click's release.
    bool m_bDropChoiceOnRelease = false;
    QLabel* m_pageCounter = nullptr;
    QLabel* m_paneRecord = nullptr;
};

}  // namespace nvds
