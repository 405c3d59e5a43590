#include "app/StationBoard.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>
#include <cmath>

#include "app/AppTexts.h"
#include "app/BoardSetup.h"
#include "app/GuiChannel.h"
#include "app/IniOp.h"
#include "app/RunHistoryDialog.h"
#include "app/StationTile.h"
#include "line/OutcomeJournal.h"
#include "line/ProductionRecord.h"
#include "link/BaudTable.h"
#include "platform/Prompter.h"
#include "usertags/AppIcon.h"

namespace nvds {

namespace {

constexpr int SETUP_WIDTH = 440;
constexpr uint64_t LOWER_HALF = 0xFFFFFF;

// The address after `address` in the step's direction; only the lower three pairs move.
uint64_t Stepped(uint64_t address, int step) {
    uint64_t lower = (address + static_cast<uint64_t>(static_cast<int64_t>(step))) & LOWER_HALF;
    return (address & ~LOWER_HALF) | lower;
}

// Columns of a grid that keeps 1 to 16 tiles near square: 1, 2, 2, 2, 3 ... 3, 4 ... 4.
int GridColumns(size_t tiles) {
    return std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(tiles)))));
}

bool Busy(line::StationState state) {
    return state == line::StationState::Burning || state == line::StationState::Verifying;
}

}  // namespace

CStationBoard::CStationBoard(Prompter& prompter, FileChooser& chooser, BoardContext context,
                             QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_prompter(prompter),
      m_chooser(chooser),
      m_context(std::move(context)),
      m_channel(std::make_shared<CGuiChannel>(this)) {
    setWindowTitle(CAPTION);
    setWindowIcon(AppIcon());
    m_setup =
        new CBoardSetup(chooser, m_context.sysDbPath, m_context.userDbPath, m_context.links, this);
    m_setup->setFixedWidth(SETUP_WIDTH);
    m_btnStart = new QPushButton("Start", this);
    m_btnStop = new QPushButton("Stop", this);
    m_btnRecord = new QPushButton("Record...", this);
    m_btnStart->setObjectName("start");
    m_btnStop->setObjectName("stop");
    m_btnRecord->setObjectName("record");
    m_lblSummary = new QLabel(this);
    m_lblSummary->setObjectName("summary");
    QFont summaryFont = m_lblSummary->font();
    summaryFont.setPointSizeF(summaryFont.pointSizeF() * 1.3);
    summaryFont.setBold(true);
    m_lblSummary->setFont(summaryFont);
    m_lblRun = new QLabel(this);
    m_lblRun->setWordWrap(true);
    m_tileArea = new QWidget(this);
    m_grid = new QGridLayout(m_tileArea);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_btnStart);
    buttons->addWidget(m_btnStop);
    buttons->addStretch(1);
    buttons->addWidget(m_btnRecord);
    auto* left = new QVBoxLayout;
    left->addWidget(m_setup, 1);
    left->addLayout(buttons);
    auto* right = new QVBoxLayout;
    right->addWidget(m_lblSummary);
    right->addWidget(m_lblRun);
    right->addWidget(m_tileArea, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left);
    layout->addLayout(right, 1);

    connect(m_btnStart, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_btnStop, &QPushButton::clicked, this, &CStationBoard::OnStop);
    connect(m_btnRecord, &QPushButton::clicked, this, &CStationBoard::OnRecord);
    connect(m_setup, &CBoardSetup::changed, this, &CStationBoard::UpdateButtons);
    if (m_context.ini != nullptr) {
        m_setup->LoadSettings(*m_context.ini, m_context.record);
    } else {
        m_setup->LoadSettings(CIniOp(), m_context.record);
    }
    ShowSummary();
    UpdateButtons();
    resize(1180, 720);
}

CStationBoard::~CStationBoard() {
    m_channel->Close();
    StopLine(false);
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void CStationBoard::UpdateButtons() {
    const bool running = m_bRunning;
    m_btnStart->setEnabled(!running && m_setup->Ready());
    m_btnStop->setEnabled(running);
    m_btnRecord->setEnabled(!m_strRecord.empty());
    m_setup->Lock(running);
}

void CStationBoard::MakeTiles(const line::LineSettings& settings) {
    for (CStationTile* tile : m_tiles) {
        m_grid->removeWidget(tile);
        delete tile;
    }
    m_tiles.clear();
    const int columns = GridColumns(settings.stations.size());
    for (size_t i = 0; i < settings.stations.size(); ++i) {
        line::StationStatus status;
        status.name = settings.stations[i].name;
        status.port = settings.stations[i].path;
        auto* tile = new CStationTile(status, m_tileArea);
        tile->setObjectName(QString::fromStdString("tile:" + status.name));
        m_grid->addWidget(tile, static_cast<int>(i) / columns, static_cast<int>(i) % columns);
        m_tiles.push_back(tile);
    }
}

bool CStationBoard::OnStart() {
    if (m_bRunning || !m_setup->Ready()) {
        return false;
    }
    BoardSetupValues values = m_setup->Values();
    if (m_context.ini != nullptr) {
        m_setup->SaveSettings(*m_context.ini);
    }
    line::LineSettings settings;
    settings.stations = values.stations;
    settings.crystal = values.crystal;
    settings.baudRow = std::max(FindBaudRow(values.baud, values.crystal), 0);
    settings.host = QSysInfo::machineHostName().toStdString();
    settings.lot = values.lot;
    settings.journalPath = line::DefaultJournalPath(values.record);
    MakeTiles(settings);

    m_strRecord = values.record;
    m_strLot = values.lot;
    m_nRun = 0;
    m_nStep = values.step;
    m_bNextKnown = false;
    m_nNext = m_setup->Pool().first;
    m_nLeft = m_setup->AddressesLeft();
    m_tStart = std::chrono::steady_clock::now();
    m_tEnd = {};
    {
        std::lock_guard<std::mutex> lock(m_lineMutex);
        m_bStopAsked = false;
    }
    if (m_worker.joinable()) {
        m_worker.join();  // the last run's worker has posted its end already
    }
    m_bRunning = true;
    m_lblRun->setText("Opening the record...");
    UpdateButtons();
    ShowSummary();
    m_worker = std::thread(&CStationBoard::RunLine, this, std::move(settings), m_setup->Pool(),
                           values.record);
    return true;
}

void CStationBoard::RunLine(line::LineSettings settings, line::AddressPool pool,
                            std::string target) {
    std::shared_ptr<CGuiChannel> channel = m_channel;
    std::string error;
    std::unique_ptr<line::ProductionRecord> record =
        line::OpenProductionRecord(target, pool, error);
    if (!record) {
        channel->Post([this, error] { OnRunEnded(error, false, 0, 0); });
        return;
    }
    uint64_t next = 0;
    uint64_t left = 0;
    if (record->PeekNext(next, left)) {
        channel->Post([this, next, left] {
            m_bNextKnown = true;
            m_nNext = next;
            m_nLeft = left;
            ShowSummary();
        });
    }
    const int64_t run = record->CurrentRun();
    channel->Post([this, run] {
        m_nRun = run;
        m_lblRun->setText("Running. Stop lets every station finish its chip.");
    });
    line::LineListener observer = m_context.observer;
    line::ProductionLine productionLine(
        settings, *record, m_setup->Golden(),
        [channel, observer, this](const line::StationEvent& event,
                                  const line::StationStatus& status) {
            if (observer) {
                observer(event, status);
            }
            channel->Post([this, event, status] { OnEvent(event, status); });
        },
        *m_context.links);
    bool stopAsked;
    {
        std::lock_guard<std::mutex> lock(m_lineMutex);
        stopAsked = m_bStopAsked;
        m_pLine = stopAsked ? nullptr : &productionLine;
    }
    if (!stopAsked) {
        productionLine.Run();
    }
    {
        std::lock_guard<std::mutex> lock(m_lineMutex);
        m_pLine = nullptr;
    }
    bool peeked = record->PeekNext(next, left);
    channel->Post([this, peeked, next, left] { OnRunEnded({}, peeked, next, left); });
}

void CStationBoard::OnEvent(const line::StationEvent& event, line::StationStatus status) {
    bool reserved = false;
    for (CStationTile* tile : m_tiles) {
        if (tile->Status().port != status.port) {
            continue;
        }
        if (status.name.empty()) {
            status.name = tile->Status().name;
        }
        // A reservation shows as the first busy status with a new address: the pool moved on.
        const line::StationStatus& before = tile->Status();
        reserved = Busy(status.state) && status.hasAddress &&
                   !(Busy(before.state) && before.lastAddress == status.lastAddress);
        if (reserved) {
            uint64_t after = Stepped(status.lastAddress, m_nStep);
            bool ahead = m_nStep > 0 ? after > m_nNext : after < m_nNext;
            if (ahead || !m_bNextKnown) {
                m_nNext = after;
            }
            m_bNextKnown = true;
            m_nLeft = m_nLeft > 0 ? m_nLeft - 1 : 0;
        }
        tile->Show(status);
    }
    if (reserved || event.kind == line::StationEvent::Done ||
        event.kind == line::StationEvent::Error || event.kind == line::StationEvent::Stopped) {
        ShowSummary();
    }
}

void CStationBoard::OnRunEnded(const std::string& message, bool peeked, uint64_t next,
                               uint64_t left) {
    m_bRunning = false;
    m_tEnd = std::chrono::steady_clock::now();
    if (peeked) {
        m_bNextKnown = true;
        m_nNext = next;
        m_nLeft = left;
    }
    // A station that never reported its end (the record did not open, or the run was stopped
    // before the stations started) has ended all the same.
    for (CStationTile* tile : m_tiles) {
        if (tile->Status().state != line::StationState::Stopped) {
            line::StationStatus status = tile->Status();
            status.state = line::StationState::Stopped;
            tile->Show(status);
        }
    }
    m_lblRun->setText(message.empty() ? QString("The line has stopped.")
                                      : QString::fromStdString(message));
    ShowSummary();
    UpdateButtons();
    emit runEnded();
    if (m_bCloseWhenDone) {
        m_bCloseWhenDone = false;
        close();
    }
}

void CStationBoard::ShowSummary() {
    int done = 0;
    int failed = 0;
    for (CStationTile* tile : m_tiles) {
        done += tile->Status().done;
        failed += tile->Status().failures;
    }
    auto end = m_bRunning ? std::chrono::steady_clock::now() : m_tEnd;
    double hours = std::chrono::duration<double>(end - m_tStart).count() / 3600.0;
    QString perHour = m_tiles.empty() || hours <= 0
                          ? QString("-")
                          : QString::number(static_cast<int>(std::lround(done / hours)));
    QString yield = done + failed > 0
                        ? QString::number(100.0 * done / (done + failed), 'f', 1) + " %"
                        : QString("-");
    QString next = m_bNextKnown || m_bRunning ? QString::fromStdString(line::AddressText(m_nNext))
                                              : QString("-");
    m_lblSummary->setText(QString("Chips/hour %1    Yield %2    Next %3    Left %4")
                              .arg(perHour, yield, next)
                              .arg(m_tiles.empty() ? QString("-") : QString::number(m_nLeft)));
}

void CStationBoard::StopLine(bool finish) {
    std::lock_guard<std::mutex> lock(m_lineMutex);
    m_bStopAsked = true;
    if (m_pLine != nullptr) {
        finish ? m_pLine->Finish() : m_pLine->Stop();
    }
}

void CStationBoard::OnStop() {
    if (!m_bRunning) {
        return;
    }
    m_lblRun->setText("Stopping: every station finishes its chip.");
    m_btnStop->setEnabled(false);
    StopLine(true);
}

void CStationBoard::OnRecord() {
    if (m_strRecord.empty()) {
        return;
    }
    line::HistoryFilter filter;
    filter.lot = m_strLot;
    if (m_nRun != 0) {
        filter.run = m_nRun;
    }
    CRunHistoryDialog dialog(m_prompter, m_chooser, m_strRecord, filter, this);
    dialog.exec();
}

void CStationBoard::closeEvent(QCloseEvent* event) {
    if (!m_bRunning) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_prompter.Ask(ASK_CLOSE_RUNNING)) {
        m_bCloseWhenDone = true;
        m_lblRun->setText("Stopping...");
        StopLine(false);
    }
}

}  // namespace nvds
