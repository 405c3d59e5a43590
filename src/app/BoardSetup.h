#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"
#include "line/ProductionLine.h"
#include "line/ProductionRecord.h"
#include "link/ComPorts.h"
#include "link/LinkFactory.h"
#include "platform/Prompter.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace nvds {

class CIniOp;
class FileChooser;

/// What the operator set up for a run, as the set-up pane holds it.
struct BoardSetupValues {
    std::string image;  // the golden image file
    std::string first;  // address texts as typed
    std::string last;   // empty: up to the end of the lower three pairs
    int step = 1;
    std::string record;  // SQLite file or PostgreSQL connection text
    std::string lot;
    int crystal = 0;  // CRYSTAL_16MHZ or CRYSTAL_32MHZ
    uint32_t baud = 115200;
    std::vector<line::StationPort> stations;  // the ticked interfaces, with their names
};

/// Why a run cannot start with `values` ("" when it can): the golden image did not load
/// (`goldenError`), an address or the range is wrong, no record, no station ticked, a station
/// name or port given twice, a rate the crystal does not have. On success `pool` holds the range
/// and `left` the number of addresses in it.
std::string SetupProblem(const BoardSetupValues& values, bool goldenLoaded,
                         const std::string& goldenError, line::AddressPool& pool, uint64_t& left);

/// The keys the board keeps in the settings file; the main window carries them over when it
/// rewrites the file.
const std::vector<std::string>& BoardSettingKeys();

/// Of the board's keys, those the settings file holds now, in the order of BoardSettingKeys.
std::vector<std::pair<std::string, std::string>> StoredBoardSettings(const CIniOp& ini);

/// The set-up pane of the station board: golden image, address range, record, lot, crystal and
/// rate, and the stations (every interface the port list offers, ticked on or off, with an
/// editable name). Loads the golden image the way the line does and says why Start is not
/// possible yet.
class CBoardSetup : public QWidget {
    Q_OBJECT

public:
    /// The catalogue is read from `sysDbPath` and `userDbPath` into a configuration of the
    /// board's own, so checks made by station threads never reach the window's prompter.
    CBoardSetup(FileChooser& chooser, std::string sysDbPath, std::string userDbPath,
                std::shared_ptr<const LinkFactory> links, QWidget* parent = nullptr);
    ~CBoardSetup() override;

    BoardSetupValues Values() const;
    /// Fills the fields from the settings file (keys of BoardSettingKeys); `record` when the
    /// file names no record of the board's own.
    void LoadSettings(const CIniOp& ini, const std::string& record);
    void SaveSettings(const CIniOp& ini) const;

    /// Loads `path` as the golden image and shows its name, digest and device address.
    void LoadGolden(const std::string& path);
    /// Lists the interfaces again, keeping ticks and names of those still there.
    void RefreshPorts();
    /// Ticks or unticks the station on `path`, setting its name when `name` is not empty.
    bool TickStation(const std::string& path, bool on, const std::string& name = {});

    /// The golden image of the last successful load (valid while Ready()).
    const line::GoldenImage& Golden() const { return *m_golden; }
    /// The pool of the range shown; valid while Ready().
    const line::AddressPool& Pool() const { return m_pool; }
    uint64_t AddressesLeft() const { return m_nLeft; }
    bool Ready() const { return m_strProblem.empty(); }
    const std::string& Problem() const { return m_strProblem; }
    /// Fields cannot be changed while a run uses them.
    void Lock(bool locked);

    QLineEdit* m_editImage = nullptr;
    QPushButton* m_btnImage = nullptr;
    QLabel* m_lblGolden = nullptr;
    QLineEdit* m_editFirst = nullptr;
    QLineEdit* m_editLast = nullptr;
    QComboBox* m_cmbStep = nullptr;
    QLabel* m_lblLeft = nullptr;
    QLineEdit* m_editRecord = nullptr;
    QPushButton* m_btnRecord = nullptr;
    QLineEdit* m_editLot = nullptr;
    QComboBox* m_cmbCrystal = nullptr;
    QComboBox* m_cmbBaud = nullptr;
    QTableWidget* m_stations = nullptr;
    QPushButton* m_btnPorts = nullptr;
    QLabel* m_lblProblem = nullptr;

signals:
    /// The set-up changed; Ready() and Problem() tell whether a run may start.
    void changed();

private:
    void Revalidate();
    void FillBaudList(uint32_t keep);

    FileChooser& m_chooser;
    RecordingPrompter m_prompter;  // the board's catalogue messages, never shown as boxes
    CNvdsConfig m_config;
    TagTable m_catalogue{};
    bool m_bCatalogue = false;
    std::unique_ptr<line::GoldenImage> m_golden;
    std::string m_strGoldenError;
    std::shared_ptr<const LinkFactory> m_links;
    line::AddressPool m_pool;
    uint64_t m_nLeft = 0;
    std::string m_strProblem;
};

}  // namespace nvds
