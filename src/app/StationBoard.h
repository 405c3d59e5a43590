#pragma once

#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line/ProductionLine.h"
#include "link/ComPorts.h"

class QGridLayout;
class QLabel;
class QPushButton;

namespace nvds {

class CBoardSetup;
class CGuiChannel;
class CIniOp;
class CStationTile;
class FileChooser;
class Prompter;

/// What the board is built on besides the window's prompter and file chooser.
struct BoardContext {
    std::string sysDbPath;
    std::string userDbPath;
    const CIniOp* ini = nullptr;  // the settings file; none: nothing is read or written
    std::string record;           // the window's production record, offered first
    /// The interfaces the set-up offers and the stations' links.
    std::shared_ptr<const LinkFactory> links;
    /// Called on a station's thread with every event before the board sees it (tests play the
    /// operator who swaps chips here).
    line::LineListener observer;
};

/// The station board: a set-up pane, one tile per station and a line summary, over the same
/// line core as `nvds line`. The line runs on a worker thread; its events reach the tiles as
/// queued calls, so no link or record call ever runs on the window's thread.
class CStationBoard : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* CAPTION = "Production line";

    CStationBoard(Prompter& prompter, FileChooser& chooser, BoardContext context,
                  QWidget* parent = nullptr);
    /// Stops a run still going and waits for its stations.
    ~CStationBoard() override;

    /// Starts the stations with the set-up shown (Start); false when the set-up is incomplete.
    bool OnStart();
    /// Lets every station finish its chip and stop (Stop).
    void OnStop();
    /// Shows this run's history rows (Record...).
    void OnRecord();
    bool Running() const { return m_bRunning; }

    CBoardSetup* m_setup = nullptr;
    QPushButton* m_btnStart = nullptr;
    QPushButton* m_btnStop = nullptr;
    QPushButton* m_btnRecord = nullptr;
    QLabel* m_lblSummary = nullptr;
    QLabel* m_lblRun = nullptr;  // what the run is doing or why it ended
    std::vector<CStationTile*> m_tiles;

signals:
    /// The run's worker has ended (the stations stopped or the record did not open).
    void runEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct RunTotals;
    void UpdateButtons();
    void MakeTiles(const line::LineSettings& settings);
    void RunLine(line::LineSettings settings, line::AddressPool pool, std::string target);
    void OnEvent(const line::StationEvent& event, line::StationStatus status);
    void OnRunEnded(const std::string& message, bool peeked, uint64_t next, uint64_t left);
    void ShowSummary();
    void StopLine(bool finish);

    Prompter& m_prompter;
    FileChooser& m_chooser;
    BoardContext m_context;
    QWidget* m_tileArea = nullptr;
    QGridLayout* m_grid = nullptr;

    std::shared_ptr<CGuiChannel> m_channel;
    std::thread m_worker;
    std::atomic<bool> m_bRunning{false};
    bool m_bCloseWhenDone = false;
    std::mutex m_lineMutex;  // the line the worker runs, for Stop and Finish from this thread
    line::ProductionLine* m_pLine = nullptr;
    bool m_bStopAsked = false;  // under m_lineMutex: Stop came before the line was made

    // This run, on the window's thread.
    std::string m_strRecord;
    std::string m_strLot;
    int64_t m_nRun = 0;
    int m_nStep = 1;
    bool m_bNextKnown = false;
    uint64_t m_nNext = 0;
    uint64_t m_nLeft = 0;
    std::chrono::steady_clock::time_point m_tStart{};
    std::chrono::steady_clock::time_point m_tEnd{};
};

}  // namespace nvds
