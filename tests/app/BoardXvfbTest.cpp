// The station board driven with real X input (xdotool) on a private X server: stations on
// simulated chips behind pseudo-terminals, listed as `nvds ports` lists them, set up and
// started with the mouse and the keyboard; an operator takes each burned chip out and puts a
// fresh one in. What was burned is read from the record, not from the screen.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include <xcb/xcb.h>

#include "app/BoardScratch.h"
#include "app/BoardSetup.h"
#include "app/IniOp.h"
#include "app/RunHistoryDialog.h"
#include "app/StationBoard.h"
#include "app/StationTile.h"
#include "app/XInput.h"
#include "common/PgServer.h"
#include "common/ScriptedChooser.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

using test::Xdo;

// The X server's clock, read with a round trip of a connection of its own: a property changed
// on a window of its own comes back as an event stamped with the server's time.
class ServerClock {
public:
    ServerClock() : m_connection(xcb_connect(nullptr, nullptr)) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_window = xcb_generate_id(m_connection);
        const uint32_t events[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          events);
        xcb_flush(m_connection);
    }
    ~ServerClock() { xcb_disconnect(m_connection); }
    ServerClock(const ServerClock&) = delete;
    ServerClock& operator=(const ServerClock&) = delete;

    uint32_t Now() {
        xcb_change_property(m_connection, XCB_PROP_MODE_APPEND, m_window, XCB_ATOM_WM_NAME,
                            XCB_ATOM_STRING, 8, 0, nullptr);
        xcb_flush(m_connection);
        while (xcb_generic_event_t* event = xcb_wait_for_event(m_connection)) {
            const bool property = (event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY;
            const uint32_t time = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
            free(event);
            if (property) {
                return time;
            }
        }
        return 0;
    }

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_window = 0;
};

// Counts the mouse releases that reach the program; for each press, how long it waited between
// the X server and the window's thread.
class ClickWatch : public test::ReleaseCounter {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched->isWindowType() && event->type() == QEvent::MouseButtonPress) {
            auto stamp = static_cast<uint32_t>(static_cast<QInputEvent*>(event)->timestamp());
            lastWaitMs = static_cast<int64_t>(m_server.Now() - stamp);
        }
        return ReleaseCounter::eventFilter(watched, event);
    }
    int64_t lastWaitMs = 0;
    ServerClock m_server;
};

// One station: a simulated chip on a pty behind a link named after the station, and how many
// chips must pass there before the operator stops putting fresh ones in (a chip that fails,
// the machine being slow, is replaced too, up to a bound).
struct SimStation {
    std::unique_ptr<CSimLink> sim;
    std::string link;
    int toPass = 1;
    int putIn = 0;
};
constexpr int MAX_EXTRA_CHIPS = 6;

class BoardXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        m_golden = m_scratch.Golden();
        m_ini.IniInit("board xvfb");
    }
    void TearDown() override {
        m_board.reset();
        for (auto& [name, station] : m_stations) {
            station.sim->Stop();
        }
    }

    // A station whose socket holds one chip; fresh ones follow until `toPass` chips passed.
    // (Again for a station already there: its adapter plugged back in.)
    void AddStation(const std::string& name, SimOptions options, int toPass) {
        options.linkPath = m_scratch.Path(name);
        auto sim = std::make_unique<CSimLink>(options);
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;
        std::lock_guard<std::mutex> lock(m_simMutex);  // the operator may be looking
        SimStation& station = m_stations[name];
        station.link = options.linkPath;
        station.sim = std::move(sim);
        station.toPass = toPass;
    }

    SimStation* StationOn(const std::string& port) {
        for (auto& [name, station] : m_stations) {
            if (station.link == port) {
                return &station;
            }
        }
        return nullptr;
    }

    void OpenBoard() {
        std::string extra;
        for (auto& [name, station] : m_stations) {
            extra += (extra.empty() ? "" : ":") + station.link;
        }
        BoardContext context;
        context.links = std::make_shared<LinkFactory>(LinkEnvironment{"", {}, extra});
        context.sysDbPath = test::SYS_DB;
        context.userDbPath = test::USER_DB;
        context.ini = &m_ini;
        // The operator: a chip whose burn ended comes out; a fresh one goes in when the
        // station looks for the next, while there are any.
        context.observer = [this](const line::StationEvent& event,
                                  const line::StationStatus& status) {
            std::lock_guard<std::mutex> lock(m_simMutex);
            SimStation* station = StationOn(event.port);
            if (station == nullptr) {
                return;
            }
            if ((event.kind == line::StationEvent::Done ||
                 event.kind == line::StationEvent::Error) &&
                event.hasAddress) {
                station->sim->TakeOut();
            } else if (event.kind == line::StationEvent::Connecting && station->sim->Absent() &&
                       status.done < station->toPass &&
                       station->putIn < station->toPass + MAX_EXTRA_CHIPS) {
                ++station->putIn;
                station->sim->PutIn();
            }
        };
        m_board = std::make_unique<CStationBoard>(m_prompter, m_chooser, std::move(context));
        m_board->move(0, 0);
        m_board->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_board.get()));
        m_board->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_board.get()));
    }

    void ClickOn(QWidget* widget) {
        m_clicks.ClickAt(widget->mapToGlobal(widget->rect().center()));
    }
    void TypeInto(QLineEdit* edit, const QString& text) {
        ClickOn(edit);
        Xdo({"key", "ctrl+a", "BackSpace"});
        Xdo({"type", "--delay", "15", text});
        ASSERT_TRUE(QTest::qWaitFor([&] { return edit->text() == text; }, 10000))
            << edit->text().toStdString();
    }

    // Ticks the station on `link` with a click on its tick box and names it by typing.
    void TickWithMouse(const std::string& link, const QString& name) {
        QTableWidget* table = m_board->m_setup->m_stations;
        int row = -1;
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->item(r, 0)->data(Qt::UserRole).toString().toStdString() == link) {
                row = r;
            }
        }
        ASSERT_GE(row, 0) << link << " is not listed";
        QStyleOptionViewItem option;
        option.initFrom(table->viewport());
        option.rect = table->visualItemRect(table->item(row, 0));
        option.features =
            QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.text = table->item(row, 0)->text();
        QRect box =
            table->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, table);
        m_clicks.ClickAt(table->viewport()->mapToGlobal(box.center()));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return table->item(row, 0)->checkState() == Qt::Checked; }, 10000));
        QRect nameCell = table->visualItemRect(table->item(row, 1));
        m_clicks.ClickAt(table->viewport()->mapToGlobal(nameCell.center()), 2);
        // The name's editor has the focus.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                QWidget* focus = QApplication::focusWidget();
                return qobject_cast<QLineEdit*>(focus) != nullptr && table->isAncestorOf(focus);
            },
            10000));
        Xdo({"key", "ctrl+a", "BackSpace"});
        Xdo({"type", "--delay", "15", name});
        Xdo({"key", "Return"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return table->item(row, 1)->text() == name; }, 10000));
    }

    // Golden image, first address, record and the stations, all with the mouse and keys.
    void SetUpWithMouse(const std::vector<std::pair<std::string, QString>>& stations) {
        CBoardSetup& setup = *m_board->m_setup;
        m_chooser.next = QString::fromStdString(m_golden);
        ClickOn(setup.m_btnImage);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !setup.m_lblGolden->text().isEmpty(); }, 10000));
        TypeInto(setup.m_editFirst, "C0 11 22 00 00 01");
        TypeInto(setup.m_editRecord, QString::fromStdString(m_record));
        for (const auto& [link, name] : stations) {
            TickWithMouse(link, name);
        }
        ASSERT_TRUE(setup.Ready()) << setup.Problem();
        ASSERT_TRUE(m_board->m_btnStart->isEnabled());
    }

    CStationTile* Tile(int i) { return m_board->m_tiles.at(static_cast<size_t>(i)); }
    // What the tiles show, for a failure's message.
    std::string Shown() {
        std::string shown;
        for (CStationTile* tile : m_board->m_tiles) {
            shown += (tile->m_lblName->text() + ": " + tile->m_lblState->text() + " " +
                      tile->m_lblDetail->text() + " " + tile->m_lblCounters->text() + "\n")
                         .toStdString();
        }
        return shown;
    }

    test::BoardScratch m_scratch{"xvfb"};
    std::string m_golden;
    std::string m_record = m_scratch.Path("record.db");
    CIniOp m_ini;
    std::mutex m_simMutex;  // the stations' chips, between the test and the operator
    std::map<std::string, SimStation> m_stations;
    RecordingPrompter m_prompter;
    test::ScriptedChooser m_chooser;
    ClickWatch m_clicks;
    std::unique_ptr<CStationBoard> m_board;
};

SimOptions FastChip() {
    SimOptions options;
    options.eraseMs = 0;
    options.programMs = 0;
    return options;
}

TEST_F(BoardXvfb, TwoStationsStartedWithTheMouseBothPassWithTheirOwnAddresses) {
    AddStation("left", FastChip(), 2);
    AddStation("right", FastChip(), 2);
    OpenBoard();
    SetUpWithMouse({{m_stations["left"].link, "Left"}, {m_stations["right"].link, "Right"}});
    QSignalSpy ended(m_board.get(), &CStationBoard::runEnded);
    ClickOn(m_board->m_btnStart);
    ASSERT_EQ(m_board->m_tiles.size(), 2u);

    // Two chips pass at each, then the sockets stay empty; PASS stays on both tiles meanwhile.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Tile(0)->Status().done == 2 && Tile(1)->Status().done == 2; }, 90000))
        << Shown();
    for (int i : {0, 1}) {
        EXPECT_EQ(Tile(i)->m_lblState->text(), "PASS");
    }
    EXPECT_EQ(Tile(0)->m_lblName->text(), "Left");
    ClickOn(m_board->m_btnStop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() > 0; }, 60000));
    EXPECT_TRUE(m_board->m_btnStart->isEnabled());

    // Record... shows this run's four history rows; Export CSV writes them under a header.
    const std::string csv = m_scratch.Path("run.csv");
    m_chooser.next = QString::fromStdString(csv);
    int shown = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<CRunHistoryDialog*>(QApplication::activeModalWidget());
        if (dialog != nullptr && dialog->Loaded()) {
            poll.stop();
            shown = dialog->m_table->rowCount();
            dialog->OnExport();
            dialog->accept();
        }
    });
    poll.start(50);
    ClickOn(m_board->m_btnRecord);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown >= 0; }, 60000));
    std::vector<line::RecordRow> rows = test::BoardScratch::Rows(m_record);
    EXPECT_EQ(shown, static_cast<int>(rows.size()));
    std::ifstream exported(csv);
    int lines = 0;
    for (std::string line; std::getline(exported, line);) {
        ++lines;
    }
    EXPECT_EQ(lines, shown + 1);

    // Four verified chips, two per station, and no address handed out twice.
    std::set<uint64_t> addresses;
    std::map<std::string, int> verified;
    for (const line::RecordRow& row : rows) {
        EXPECT_TRUE(addresses.insert(row.address).second) << line::AddressText(row.address);
        if (row.state == line::RECORD_VERIFIED) {
            ++verified[row.station.port];
        }
    }
    EXPECT_EQ(verified, (std::map<std::string, int>{{"Left", 2}, {"Right", 2}}));
    // The summary's next address is the first one never handed out; the range ends at FF FF FF.
    const uint64_t next = *addresses.rbegin() + 1;
    EXPECT_TRUE(m_board->m_lblSummary->text().endsWith(
        QString::fromStdString("Next " + line::AddressText(next) + "    Left " +
                               std::to_string(0xC01122FFFFFF - next + 1))))
        << m_board->m_lblSummary->text().toStdString();
    // Each tile's PASS names the last address its station recorded.
    for (int i : {0, 1}) {
        const line::StationStatus& status = Tile(i)->Status();
        auto last = std::find_if(rows.rbegin(), rows.rend(),
                                 [&](const auto& row) { return row.station.port == status.name; });
        ASSERT_NE(last, rows.rend());
        EXPECT_EQ(status.lastAddress, last->address);
    }
}

TEST_F(BoardXvfb, AWeakPageChipShowsFailWithItsReason) {
    SimOptions weak = FastChip();
    weak.weakPage = 3;
    AddStation("good", FastChip(), 1);
    AddStation("weak", weak, 0);
    OpenBoard();
    SetUpWithMouse({{m_stations["good"].link, "Good"}, {m_stations["weak"].link, "Weak"}});
    QSignalSpy ended(m_board.get(), &CStationBoard::runEnded);
    ClickOn(m_board->m_btnStart);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Tile(0)->Status().done == 1 && Tile(1)->Status().failures == 1; }, 90000));
    EXPECT_EQ(Tile(0)->m_lblState->text(), "PASS");
    EXPECT_EQ(Tile(1)->m_lblState->text(), "FAIL");
    EXPECT_EQ(Tile(1)->m_lblDetail->text(), "Verify failed: page 3, offset 0x0380");
    EXPECT_EQ(Tile(1)->m_lblCounters->text(), "pass 0   fail 1   yield 0.0 %");
    ClickOn(m_board->m_btnStop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() > 0; }, 60000));

    std::map<std::string, line::RecordState> states;
    for (const line::RecordRow& row : test::BoardScratch::Rows(m_record)) {
        states[row.station.port] = row.state;
    }
    // The record knows the stations by the names given on the board.
    EXPECT_EQ(states, (std::map<std::string, line::RecordState>{{"Good", line::RECORD_VERIFIED},
                                                                {"Weak", line::RECORD_FAILED}}));
}

TEST_F(BoardXvfb, StopWithAChipInProgressFinishesThatChipFirst) {
    SimOptions slow = FastChip();
    slow.programMs = 250;  // 16 pages: four seconds of burning
    AddStation("slow", slow, 0);
    OpenBoard();
    SetUpWithMouse({{m_stations["slow"].link, "Slow"}});
    QSignalSpy ended(m_board.get(), &CStationBoard::runEnded);
    ClickOn(m_board->m_btnStart);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Tile(0)->m_lblState->text() == "burning" && Tile(0)->Status().page >= 2; },
        90000));
    ClickOn(m_board->m_btnStop);
    EXPECT_FALSE(m_board->m_btnStop->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() > 0; }, 60000));
    EXPECT_EQ(Tile(0)->m_lblState->text(), "stopped");
    EXPECT_FALSE(m_board->Running());

    // The chip in progress was finished and recorded; the tile says so.
    std::vector<line::RecordRow> rows = test::BoardScratch::Rows(m_record);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, line::RECORD_VERIFIED);
    EXPECT_TRUE(Tile(0)->m_lblDetail->text().endsWith("last chip PASS C0 11 22 00 00 01"))
        << Tile(0)->m_lblDetail->text().toStdString();
}

TEST_F(BoardXvfb, APulledPortShowsPortLostAndTheStationGoesOnWhenItIsBack) {
    AddStation("plug", FastChip(), 1);
    OpenBoard();
    SetUpWithMouse({{m_stations["plug"].link, "Plug"}});
    ClickOn(m_board->m_btnStart);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Tile(0)->Status().done == 1; }, 90000));
    {
        std::lock_guard<std::mutex> lock(m_simMutex);
        m_stations["plug"].sim->Stop();  // the adapter is pulled: the pty and its link go
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return Tile(0)->m_lblState->text() == "port lost"; }, 60000));
    AddStation("plug", FastChip(), 2);  // plugged back at the same path, a fresh chip in it
    ASSERT_TRUE(QTest::qWaitFor([&] { return Tile(0)->Status().done == 2; }, 90000));
    EXPECT_EQ(Tile(0)->m_lblState->text(), "PASS");
    ClickOn(m_board->m_btnStop);
}

// Clicks on the board, each timed from the X server's stamp on the press until the window's
// thread handles it: with the line idle; while four stations burn at 921600 Bd with a real
// chip's flash times on a record on a PostgreSQL server; while that server is stopped; and once
// it runs again. Prints the figures; fails only when the window's thread is held
// for a second or more (as a join on a station or a record call on it would hold it).
TEST_F(BoardXvfb, ClicksAreAnsweredWhileFourStationsBurnAndTheServerStops) {
    std::string error;
    test::PgServer* server = test::SharedPgServer(error);
    ASSERT_NE(server, nullptr) << error;
    const std::string db = test::NewDatabaseName();
    ASSERT_EQ(server->Sql("postgres", "CREATE DATABASE " + db), std::vector<std::string>{});
    m_record = server->Uri(db);

    SimOptions paced;
    paced.pace = true;
    for (const char* name : {"s1", "s2", "s3", "s4"}) {
        AddStation(name, paced, 1000);
    }
    OpenBoard();
    CBoardSetup& setup = *m_board->m_setup;
    setup.LoadGolden(m_golden);
    setup.m_editFirst->setText("C0 11 22 00 00 01");
    setup.m_editRecord->setText(QString::fromStdString(m_record));
    setup.m_cmbBaud->setCurrentText("921600");
    for (const char* name : {"s1", "s2", "s3", "s4"}) {
        ASSERT_TRUE(setup.TickStation(m_stations[name].link, true, name));
    }
    ASSERT_TRUE(setup.Ready()) << setup.Problem();

    struct Figures {
        const char* when;
        std::vector<int64_t> ms;
    };
    std::vector<Figures> figures;
    auto measure = [&](const char* when, QWidget* target, int clicks) {
        Figures f{when, {}};
        for (int i = 0; i < clicks; ++i) {
            ClickOn(target);
            f.ms.push_back(m_clicks.lastWaitMs);
        }
        std::sort(f.ms.begin(), f.ms.end());
        figures.push_back(f);
    };
    measure("idle", m_board->m_lblSummary, 10);
    QSignalSpy ended(m_board.get(), &CStationBoard::runEnded);
    ASSERT_TRUE(m_board->OnStart());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return std::all_of(m_board->m_tiles.begin(), m_board->m_tiles.end(),
                               [](CStationTile* tile) { return tile->Status().done >= 1; });
        },
        120000));
    measure("4 stations burning", Tile(0), 20);
    ASSERT_TRUE(server->Stop("immediate"));
    measure("record server stopped", Tile(1), 10);
    ASSERT_TRUE(server->StartAgain());
    measure("record server back", Tile(2), 10);
    int chips = 0;
    for (CStationTile* tile : m_board->m_tiles) {
        chips += tile->Status().done;
    }
    for (const Figures& f : figures) {
        std::printf("click latency, %s: median %lld ms, max %lld ms\n", f.when,
                    static_cast<long long>(f.ms[f.ms.size() / 2]),
                    static_cast<long long>(f.ms.back()));
        EXPECT_LT(f.ms.back(), 1000) << f.when;
    }
    std::printf("%d chips passed\n", chips);
    m_board->OnStop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() > 0; }, 60000));
}

}  // namespace
}  // namespace nvds
