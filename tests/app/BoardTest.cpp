// The station board offscreen: the set-up's verdicts, what a tile shows, the history as CSV,
// the board's settings beside the window's, and closing the board while stations run, with
// in-process simulated chips.

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "app/BoardScratch.h"
#include "app/BoardSetup.h"
#include "app/ConfigNVDS.h"
#include "app/IniOp.h"
#include "app/RunHistoryDialog.h"
#include "app/StationBoard.h"
#include "app/StationTile.h"
#include "common/NvdsRun.h"
#include "common/ScriptedChooser.h"
#include "link/LinkConstants.h"
#include "platform/IniFile.h"
#include "sim/InProcessLink.h"

namespace nvds {
namespace {

using line::StationState;

struct SetupCase {
    const char* what;
    BoardSetupValues values;
    bool golden;
    std::string problem;  // "" when the set-up is complete
    uint64_t left;
};

TEST(BoardSetupTest, TellsWhyARunCannotStartAndCountsTheRange) {
    BoardSetupValues good;
    good.image = "golden.nvds";
    good.first = "C0 11 22 00 00 01";
    good.last = "C0 11 22 00 00 10";
    good.record = "record.db";
    good.stations = {{"A", "/dev/pts/1"}, {"B", "/dev/pts/2"}};
    auto with = [&good](auto change) {
        BoardSetupValues values = good;
        change(values);
        return values;
    };
    const std::vector<SetupCase> cases = {
        {"complete", good, true, "", 16},
        {"no last address: up to the end of the lower pairs",
         with([](auto& v) { v.first = "C0 11 22 FF FF F0", v.last.clear(); }), true, "", 16},
        {"stepping down to the start of the lower pairs",
         with([](auto& v) { v.first = "C0 11 22 00 00 0F", v.last.clear(), v.step = -1; }), true,
         "", 16},
        {"one address", with([](auto& v) { v.last = v.first; }), true, "", 1},
        {"no image", with([](auto& v) { v.image.clear(); }), false, "Choose the golden image.", 0},
        {"refused golden", good, false, "The golden image does not load.", 0},
        {"bad first", with([](auto& v) { v.first = "C0 11 22 00 00"; }), true,
         "The first address is not a device address (six hex pairs).", 0},
        {"bad last", with([](auto& v) { v.last = "C0 11 22 00 00 0G"; }), true,
         "The last address is not a device address (six hex pairs).", 0},
        {"last behind the step", with([](auto& v) { v.last = "C0 11 22 00 00 00"; }), true,
         "address pool: the last address C0 11 22 00 00 00 cannot be reached from C0 11 22 00 00 "
         "01 by stepping the lower three pairs up",
         0},
        {"no record", with([](auto& v) { v.record.clear(); }), true,
         "Choose the production record.", 16},
        {"no station", with([](auto& v) { v.stations.clear(); }), true,
         "Tick at least one station.", 16},
        {"unnamed", with([](auto& v) { v.stations[1].name.clear(); }), true,
         "Give the station on /dev/pts/2 a name.", 16},
        {"same name", with([](auto& v) { v.stations[1].name = "A"; }), true,
         "Two stations are named \"A\".", 16},
        {"same port", with([](auto& v) { v.stations[1].path = "/dev/pts/1"; }), true,
         "The port /dev/pts/1 is ticked twice.", 16},
        {"rate of the other crystal", with([](auto& v) { v.baud = 12345; }), true,
         "The baud rate is not a rate of the chosen crystal.", 16},
        {"no rate for the bridge alone", with([](auto& v) {
             v.baud = 12345, v.stations = {{"S", SPI_ENTRY}};
         }),
         true, "", 16},
    };
    for (const SetupCase& c : cases) {
        SCOPED_TRACE(c.what);
        line::AddressPool pool;
        uint64_t left = 99;
        EXPECT_EQ(SetupProblem(c.values, c.golden, "", pool, left), c.problem);
        EXPECT_EQ(left, c.left);
    }
    line::AddressPool pool;
    uint64_t left = 0;
    EXPECT_EQ(SetupProblem(good, false, "golden.nvds: refused", pool, left),
              "golden.nvds: refused");
    // A record that would not last (a folder) is refused before anything opens it.
    BoardSetupValues folder = good;
    folder.record = "/tmp";
    EXPECT_NE(SetupProblem(folder, true, "", pool, left), "");
}

TEST(StationTileTest, ShowsPassAndFailUntilTheNextChipAndTheOtherStates) {
    using line::ChipResult;
    line::StationStatus status;
    status.hasAddress = true;
    status.lastAddress = 0xC01122000007;
    status.page = 5;
    const char* address = "C0 11 22 00 00 07";
    const char* failure = "Verify failed: page 3, offset 0x0380";
    const struct {
        StationState state;
        const char* phase;
        ChipResult last;
        const char* message;
        const char* headline;
        const char* detail;  // not checked when null
    } cases[] = {
        {StationState::Waiting, "", ChipResult::None, "", "waiting", nullptr},
        {StationState::Burning, "", ChipResult::None, "", "burning", address},
        {StationState::Burning, "verify", ChipResult::None, "", "verifying", address},
        // Waiting for the next chip, the last one's PASS and its address, or FAIL and why, stay;
        // the message of an older chip's failure does not show under a PASS.
        {StationState::Waiting, "verify", ChipResult::Pass, failure, "PASS", address},
        {StationState::Waiting, "verify", ChipResult::Fail, failure, "FAIL", failure},
        {StationState::PortLost, "", ChipResult::Fail, "", "port lost", nullptr},
        {StationState::RecordUnavailable, "", ChipResult::Fail, "", "record unavailable", nullptr},
        {StationState::Stopped, "", ChipResult::Fail, "Stopped", "stopped",
         "Stopped\nlast chip FAIL"},
        {StationState::Stopped, "", ChipResult::Pass, "Stopped", "stopped",
         "Stopped\nlast chip PASS C0 11 22 00 00 07"},
    };
    std::map<std::string, QString> colours;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headline);
        status.state = c.state;
        status.phase = c.phase;
        status.lastResult = c.last;
        status.message = c.message;
        const TileFace face = FaceOf(status);
        EXPECT_EQ(face.headline, c.headline);
        if (c.detail != nullptr) {
            EXPECT_EQ(face.detail, c.detail);
        }
        EXPECT_EQ(face.progress, c.state == StationState::Burning);
        EXPECT_EQ(face.page, c.state == StationState::Burning ? 5 : 0);
        colours[c.headline] = face.colour;
    }
    EXPECT_NE(colours["FAIL"], colours["PASS"]);

    status.done = 3;
    status.failures = 1;
    CStationTile tile(status);
    EXPECT_EQ(tile.m_lblCounters->text(), "pass 3   fail 1   yield 75.0 %");
}

TEST(RunHistoryTest, CsvHasAHeaderAndQuotesWhatNeedsIt) {
    line::HistoryRow row;
    row.address = 0xC01122000001;
    row.outcome = line::RECORD_FAILED;
    row.context.station = {"bench", "A"};
    row.context.lot = "lot, \"7\"";
    row.endedAtMs = 1796621400123;  // 2026-12-07 05:30:00.123 UTC
    row.utcOffsetMinutes = 60;
    row.reason = "Verify failed: page 3, offset 0x0380";
    row.seconds = 1.5;
    std::string csv = HistoryCsv({row});
    std::istringstream lines(csv);
    std::string header;
    std::string first;
    std::getline(lines, header);
    std::getline(lines, first);
    EXPECT_EQ(header,
              "Ended,Address,Station,Host,Lot,Outcome,Reason,Seconds,Golden,Golden "
              "SHA-256,Image SHA-256\r");
    EXPECT_EQ(first,
              "2026-12-07T06:30:00.123+01:00,C0 11 22 00 00 01,A,bench,\"lot, \"\"7\"\"\","
              "failed,\"Verify failed: page 3, offset 0x0380\",1.50,,,\r");
    EXPECT_FALSE(std::getline(lines, first));
}

// Two stations A and B on in-process chips, each with one chip in its socket.
class BoardRun : public ::testing::Test {
protected:
    void SetUp() override {
        m_golden = m_scratch.Golden();
        for (const char* port : {"A", "B"}) {
            SimOptions options;
            options.eraseMs = 0;
            options.programMs = 0;
            m_chips[port] = std::make_shared<CSimLine>(options);
        }
        m_ini.IniInit("board test");
    }

    BoardContext Context() {
        BoardContext context;
        context.sysDbPath = test::SYS_DB;
        context.userDbPath = test::USER_DB;
        context.ini = &m_ini;
        context.links = std::make_shared<CInProcessLinks>(m_chips);
        // The operator takes every burned chip out and puts nothing back.
        context.observer = [this](const line::StationEvent& event, const line::StationStatus&) {
            ++m_events;
            if ((event.kind == line::StationEvent::Done ||
                 event.kind == line::StationEvent::Error) &&
                event.hasAddress) {
                m_chips.at(event.port)->TakeOut();
            }
        };
        return context;
    }

    void SetUpBoard(CStationBoard& board) {
        CBoardSetup& setup = *board.m_setup;
        setup.LoadGolden(m_golden);
        setup.m_editFirst->setText("C0 11 22 00 00 01");
        setup.m_editRecord->setText(QString::fromStdString(m_scratch.Path("record.db")));
        setup.m_editLot->setText("L1");
        ASSERT_TRUE(setup.TickStation("A", true, "left; =socket"));
        ASSERT_TRUE(setup.TickStation("B", true, "right"));
        ASSERT_TRUE(setup.Ready()) << setup.Problem();
    }

    test::BoardScratch m_scratch{"run"};
    std::string m_golden;
    std::map<std::string, std::shared_ptr<CSimLine>> m_chips;
    CIniOp m_ini;
    std::atomic<int> m_events{0};  // seen by the operator, on the stations' threads
    RecordingPrompter m_prompter;
    test::ScriptedChooser m_chooser;
};

TEST_F(BoardRun, SettingsAreWrittenOnlyOnceUsedAndTheWindowKeepsThem) {
    auto fileText = [this] { return test::ReadFile(m_ini.m_szPath); };
    {
        CStationBoard board(m_prompter, m_chooser, Context());
        SetUpBoard(board);
    }
    EXPECT_EQ(fileText(), "") << "a board never started writes nothing";

    {
        CStationBoard board(m_prompter, m_chooser, Context());
        SetUpBoard(board);
        QSignalSpy ended(&board, &CStationBoard::runEnded);
        ASSERT_TRUE(board.OnStart());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return board.m_tiles.size() == 2 && board.m_tiles[0]->Status().done == 1 &&
                       board.m_tiles[1]->Status().done == 1;
            },
            60000));
        board.OnStop();
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() > 0; }, 60000));
    }
    // The window rewrites the file with its own keys and carries the board's over.
    RecordingPrompter windowPrompter;
    CConfigNVDS window(windowPrompter, m_chooser, test::SYS_DB, test::USER_DB);
    window.m_ini = m_ini;
    window.SaveSettings();
    EXPECT_NE(fileText().find("LINE_STATIONS=A=left%3B %3Dsocket;B=right"), std::string::npos)
        << fileText();

    CStationBoard again(m_prompter, m_chooser, Context());
    BoardSetupValues values = again.m_setup->Values();
    EXPECT_EQ(values.image, m_golden);
    EXPECT_EQ(values.first, "C0 11 22 00 00 01");
    EXPECT_EQ(values.lot, "L1");
    ASSERT_EQ(values.stations.size(), 2u);
    EXPECT_EQ(values.stations[0].name, "left; =socket");
    EXPECT_EQ(values.stations[1].name, "right");
    EXPECT_TRUE(again.m_setup->Ready()) << again.m_setup->Problem();
}

TEST_F(BoardRun, ClosingWhileStationsRunAsksFirstAndStopsThemOnYes) {
    CStationBoard board(m_prompter, m_chooser, Context());
    SetUpBoard(board);
    m_chips.at("A")->TakeOut();  // both stations wait for a chip that does not come
    m_chips.at("B")->TakeOut();
    board.show();
    QSignalSpy ended(&board, &CStationBoard::runEnded);
    ASSERT_TRUE(board.OnStart());
    // Both stations look for a chip.
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_events >= 2; }, 60000));

    m_prompter.answers = {false};
    EXPECT_FALSE(board.close());
    EXPECT_TRUE(board.isVisible());
    EXPECT_TRUE(board.Running());
    EXPECT_EQ(
        m_prompter.Texts(),
        std::vector<std::string>{"Stations are running. Stop them at once and close the board?"});

    m_prompter.answers = {true};
    board.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() > 0; }, 60000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !board.isVisible(); }, 10000));
    EXPECT_FALSE(board.Running());
    for (CStationTile* tile : board.m_tiles) {
        EXPECT_EQ(tile->m_lblState->text(), "stopped");
    }
}

TEST(BoardMenuTest, OperateMenuOpensTheBoardWithTheWindowsRecord) {
    test::BoardScratch scratch("menu");
    RecordingPrompter prompter;
    test::ScriptedChooser chooser;
    CConfigNVDS window(prompter, chooser, test::SYS_DB, test::USER_DB);
    ASSERT_TRUE(window.OnInitDialog());
    window.m_strRecordTarget = scratch.Path("window.db");
    window.Action(ID_PRODUCTION_LINE)->trigger();
    ASSERT_TRUE(window.m_board);
    EXPECT_TRUE(window.m_board->isVisible());
    EXPECT_EQ(window.m_board->m_setup->Values().record, scratch.Path("window.db"));
    EXPECT_FALSE(window.m_board->m_btnStart->isEnabled());
    EXPECT_EQ(window.m_board->m_setup->m_lblProblem->text(), "Choose the golden image.");
}

}  // namespace
}  // namespace nvds
