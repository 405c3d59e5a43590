// Drives the main window as a user would: open, edit in the list, save, reset, step the
// address, quit. Message boxes go to a recording prompter and file dialogs to a scripted
// chooser, so nothing modal ever opens.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "app/ChoiceEdit.h"
#include "app/ConfigNVDS.h"
#include "app/WindowProbe.h"
#include "common/NvdsRun.h"
#include "common/ScriptedChooser.h"
#include "image/StatusText.h"
#include "platform/Clock.h"

namespace fs = std::filesystem;
using namespace nvds;

namespace {

using nvds::test::ScriptedChooser;

// Records, with each message, what the operation pane showed while it was up.
struct PanePrompter : RecordingPrompter {
    void Message(const std::string& text) override {
        if (pane) {
            panes.push_back(pane().toStdString());
        }
        RecordingPrompter::Message(text);
    }
    std::function<QString()> pane;
    std::vector<std::string> panes;
};

using test::AppData;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("nvds_gui_" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    void TearDown() override {
        m_window.reset();
        fs::remove_all(m_dir);
    }

    bool Open(const std::string& sysDb = AppData("sys_db.xml")) {
        m_window =
            std::make_unique<CConfigNVDS>(m_prompter, m_chooser, sysDb, AppData("user_db.xml"));
        if (!m_window->OnInitDialog()) {
            return false;
        }
        m_window->show();
        return QTest::qWaitForWindowExposed(m_window.get());
    }
    fs::path Settings() const { return m_dir / "ZB446x NVDS Configurator_config" / "config.ini"; }
    void WriteSettings(const std::string& text) {
        fs::create_directories(Settings().parent_path());
        std::ofstream(Settings()) << text;
    }
    QTableWidget* List() { return m_window->m_list; }
    QPoint CellCentre(int row, int column) {
        return List()->visualItemRect(List()->item(row, column)).center();
    }
    void DoubleClick(int row, int column) {
        QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, CellCentre(row, column));
    }
    void Click(int row, int column) {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, CellCentre(row, column));
    }
    int RowOf(int tag) { return test::TagRow(*m_window, tag); }
    QString Value(int tag) { return m_window->CellText(RowOf(tag), COL_VALUE); }
    // Double-clicks the value of a tag, replaces its text by typing, and presses Enter.
    void TypeValue(int tag, const QString& keys) {
        DoubleClick(RowOf(tag), COL_VALUE);
        QLineEdit* edit = m_window->m_edit;
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, keys);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    std::string WriteImage(const std::string& name, const std::string& bytes) {
        fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    fs::path m_dir;
    PanePrompter m_prompter;
    ScriptedChooser m_chooser;
    std::unique_ptr<CConfigNVDS> m_window;
};

TEST_F(WindowTest, StartUpStatesAndAMissingSystemDatabase) {
    WriteSettings("[Setting]\nBDADDR_TYPE=7\n");
    EXPECT_FALSE(Open(AppData("missing.xml")));
    EXPECT_EQ(m_prompter.Texts(),
              std::vector<std::string>{"Config file damage, Please re-install the application"});
    EXPECT_EQ(test::ReadFile(Settings()), "[Setting]\nBDADDR_TYPE=7\n");

    m_prompter.Clear();
    ASSERT_TRUE(Open());
    EXPECT_EQ(m_window->windowTitle(), "ZB446x NVDS Configurator");
    EXPECT_EQ(List()->rowCount(), 0);
    EXPECT_FALSE(m_window->Action(ID_FILE_SAVE_AS)->isEnabled());
    EXPECT_FALSE(m_window->Action(ID_RESET_TAG)->isEnabled());
    EXPECT_FALSE(m_window->Action(ID_BURN)->isEnabled());
    EXPECT_FALSE(m_window->m_btnBurn->isEnabled());
    // The user database loaded, so its export is offered before anything is listed.
    EXPECT_TRUE(m_window->Action(ID_EXPORT_USER)->isEnabled());
    EXPECT_TRUE(m_window->m_btnResetAll->isVisible());
    EXPECT_FALSE(m_window->m_btnConnect->isVisible());
    EXPECT_TRUE(m_window->Action(ID_BDADDR_CUSTOM)->isChecked());  // 7 is no mode
    EXPECT_EQ(m_window->m_nBdAddrMode, 0);
    // The value column follows the width of the window.
    m_window->resize(m_window->width() + 100, m_window->height());
    EXPECT_EQ(List()->columnWidth(COL_VALUE), List()->width() - m_window->FixedColumnsWidth());
    EXPECT_TRUE(m_prompter.shown.empty());
}

TEST_F(WindowTest, QuitWritesTheSixKeysAndEnterWritesNothing) {
    WriteSettings(
        "[Setting]\nOSC=32MHz\nBAUDRATE=9600\nHAND=1\nAUTO_CONNECT=true\n"
        "BDADDR_TYPE=2\n[Extra]\nX=1\n");
    ASSERT_TRUE(Open());
    EXPECT_TRUE(m_window->Action(ID_BDADDR_INCREASE)->isChecked());
    EXPECT_TRUE(m_window->m_connectDlg->m_bAutoConnect);
    EXPECT_FALSE(m_window->m_connectDlg->m_bRemember);
    std::string before = test::ReadFile(Settings());
    QTest::keyClick(List(), Qt::Key_Return);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(m_window->result(), QDialog::Accepted);
    EXPECT_EQ(test::ReadFile(Settings()), before);

    ASSERT_TRUE(Open());
    m_window->Action(ID_BDADDR_DECREASE)->trigger();
    QTest::keyClick(List(), Qt::Key_Escape);
    EXPECT_EQ(test::ReadFile(Settings()),
              "[Setting]\nOSC=32MHz\nINTERFACE=\nBAUDRATE=9600\nREMEBER_CONNECT=False\n"
              "AUTO_CONNECT=True\nBDADDR_TYPE=3\n");

    // Escape inside the cell editor is Quit as well.
    fs::remove(Settings());
    ASSERT_TRUE(Open());
    m_window->OnResetAll();
    DoubleClick(RowOf(2), COL_VALUE);
    ASSERT_TRUE(m_window->m_edit->isVisible());
    QTest::keyClick(m_window->m_edit, Qt::Key_Escape);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_NE(test::ReadFile(Settings()).find("BDADDR_TYPE=0"), std::string::npos);

    // So is Escape in the field of the choice editor, and the close box.
    for (bool closeBox : {false, true}) {
        fs::remove(Settings());
        ASSERT_TRUE(Open());
        m_window->OnResetAll();
        DoubleClick(RowOf(4), COL_VALUE);
        m_window->m_combo->hidePopup();
        QCoreApplication::processEvents();
        if (closeBox) {
            m_window->close();
        } else {
            DoubleClick(RowOf(4), COL_VALUE);
            m_window->m_combo->hidePopup();
            QTest::keyClick(m_window->m_combo->lineEdit(), Qt::Key_Escape);
        }
        EXPECT_FALSE(m_window->isVisible());
        EXPECT_EQ(m_window->result(), QDialog::Rejected);
        EXPECT_TRUE(fs::exists(Settings()) && fs::file_size(Settings()) > 0) << closeBox;
    }
}

TEST_F(WindowTest, ListShowsListedTagsInOrderWithTheirColours) {
    ASSERT_TRUE(Open());
    m_window->OnResetAll();  // empty list: no question
    EXPECT_TRUE(m_prompter.shown.empty());
    ASSERT_EQ(List()->rowCount(), 8);  // tag 8 is not shown
    EXPECT_EQ(List()->item(7, COL_TAG)->text(), "100");
    EXPECT_EQ(List()->item(2, COL_TYPE)->text(), "Number");
    EXPECT_EQ(List()->item(2, COL_LABEL)->text(), "Period");
    EXPECT_TRUE(m_window->Action(ID_FILE_SAVE_AS)->isEnabled());
    EXPECT_EQ(List()->item(RowOf(6), COL_VALUE)->foreground().color(), QColor(180, 180, 255));
    EXPECT_EQ(List()->item(RowOf(6), COL_LABEL)->foreground().color(), QColor(0, 0, 255));
    EXPECT_EQ(List()->item(RowOf(2), COL_VALUE)->foreground().color(), QColor(0, 0, 255));
    EXPECT_EQ(List()->item(RowOf(100), COL_VALUE)->foreground().style(), Qt::NoBrush);
}

TEST_F(WindowTest, CellEditingValidatesAndNormalises) {
    ASSERT_TRUE(Open());
    m_window->OnResetAll();

    TypeValue(3, "20");
    EXPECT_EQ(Value(3), "0x14");
    TypeValue(3, "0x1F5");  // above the maximum: message, old value kept
    EXPECT_EQ(Value(3), "0x14");
    ASSERT_EQ(m_prompter.shown.size(), 1u);
    m_prompter.Clear();

    DoubleClick(RowOf(3), COL_VALUE);
    EXPECT_EQ(m_window->m_edit->maxLength(), 6);
    // Clicking another row first checks and rejects the open edit.
    m_window->m_edit->setText("0x200");
    Click(RowOf(5), COL_LABEL);
    EXPECT_FALSE(m_window->m_edit->isVisible());
    EXPECT_EQ(Value(3), "0x14");
    EXPECT_EQ(m_prompter.shown.size(), 1u);
    // What each coding lets through as it is typed is checked with real keys on an X server.
    DoubleClick(RowOf(5), COL_VALUE);
    EXPECT_EQ(m_window->m_edit->maxLength(), 11);
}

TEST_F(WindowTest, EditorLimitsReadOnlyRowsAndTheChoiceEditor) {
    ASSERT_TRUE(Open());
    m_window->OnResetAll();
    DoubleClick(RowOf(1), COL_VALUE);
    EXPECT_EQ(m_window->m_edit->maxLength(), 17);
    QTest::keyClick(m_window->m_edit, Qt::Key_Return);
    DoubleClick(RowOf(2), COL_VALUE);
    EXPECT_EQ(m_window->m_edit->maxLength(), 7);  // variable length 8
    QTest::keyClick(m_window->m_edit, Qt::Key_Return);

    DoubleClick(RowOf(6), COL_VALUE);  // read-only
    EXPECT_FALSE(m_window->m_edit->isVisible());
    DoubleClick(RowOf(2), COL_LABEL);
    EXPECT_FALSE(m_window->m_edit->isVisible());
    EXPECT_TRUE(m_window->Action(ID_RESET_TAG)->isEnabled());

    DoubleClick(RowOf(4), COL_VALUE);
    ASSERT_TRUE(m_window->m_combo->isVisible());
    EXPECT_EQ(m_window->m_combo->count(), 2);
    m_window->m_combo->setCurrentIndex(1);
    emit m_window->m_combo->activated(1);  // a pick ends the edit at once
    m_window->m_combo->hidePopup();
    EXPECT_FALSE(m_window->m_combo->isVisible());
    EXPECT_EQ(Value(4), "True");
    QCoreApplication::processEvents();
    // Text typed into the choice field is taken as it stands when its list closes.
    DoubleClick(RowOf(4), COL_VALUE);
    ASSERT_TRUE(m_window->m_combo->isVisible());
    m_window->m_combo->setEditText("maybe");
    m_window->m_combo->hidePopup();
    QCoreApplication::processEvents();
    EXPECT_FALSE(m_window->m_combo->isVisible());
    EXPECT_EQ(Value(4), "maybe");
    EXPECT_TRUE(m_prompter.shown.empty());
}

TEST_F(WindowTest, OpenAndSaveRoundTripAndFailuresLoseNothing) {
    ASSERT_TRUE(Open());
    m_window->OnResetAll();
    TypeValue(2, "hello");
    m_chooser.next = QString::fromStdString((m_dir / "cfg").string());
    m_window->OnFileSaveAs();
    EXPECT_EQ(m_chooser.lastFilter, "Configuration Files(*.nvds)");
    fs::path saved = m_dir / "cfg.nvds";
    ASSERT_EQ(fs::file_size(saved), 4096u);
    EXPECT_EQ(m_window->PaneText(PANE_OPERATION), "Save configuration data to file: success");

    m_window->OnClearAll();
    m_chooser.next = QString::fromStdString(saved.string());
    m_window->OnFileOpen();
    EXPECT_EQ(Value(2), "hello");
    EXPECT_EQ(m_window->PaneText(PANE_OPERATION), "Read configuration data from file: success");

    // A save into a folder that does not exist fails and leaves the old file as it was.
    std::string before = test::ReadFile(saved);
    TypeValue(2, "other");
    m_chooser.next = QString::fromStdString((m_dir / "none" / "cfg.nvds").string());
    m_window->OnFileSaveAs();
    EXPECT_EQ(m_prompter.Texts().back(), "Open file error!!");
    EXPECT_EQ(m_window->PaneText(PANE_OPERATION), "Save configuration data to file: error");
    EXPECT_EQ(test::ReadFile(saved), before);

    // A file too big is refused under the progress text; one that is no image clears that text
    // before its message. Both end with the error text.
    m_prompter.pane = [this] { return m_window->PaneText(PANE_OPERATION); };
    m_chooser.next = QString::fromStdString(WriteImage("big.nvds", std::string(4097, 'N')));
    m_window->OnFileOpen();
    EXPECT_EQ(m_prompter.Texts().back(), "This file is too big! Please select valid file!");
    EXPECT_EQ(m_window->PaneText(PANE_OPERATION), "Read configuration data from file: error");
    m_chooser.next = QString::fromStdString(WriteImage("bad.nvds", "XVDS"));
    m_window->OnFileOpen();
    EXPECT_EQ(m_prompter.Texts().back(),
              "This file doesn't contain valid NVDS data! Please select valid file!");
    EXPECT_EQ(m_window->PaneText(PANE_OPERATION), "Read configuration data from file: error");
    EXPECT_EQ(m_prompter.panes,
              (std::vector<std::string>{"Read configuration data from file......", ""}));
    EXPECT_EQ(Value(2), "other");
    m_chooser.next.clear();
    m_window->OnFileOpen();
    EXPECT_EQ(m_window->PaneText(PANE_OPERATION), "");
}

TEST_F(WindowTest, TagCommandsAskAndStepTheAddress) {
    ASSERT_TRUE(Open());
    m_window->OnBdAddrIncrease();
    m_window->OnResetAll();
    EXPECT_EQ(Value(1), "00 11 22 33 45 00");  // default plus one

    TypeValue(1, "AA BB CC 00 00 00");
    m_window->OnBdAddrDecrease();
    m_prompter.answers = {true};
    Click(RowOf(1), COL_VALUE);
    m_window->OnResetTag();
    EXPECT_EQ(Value(1), "00 11 22 33 44 FE");
    m_prompter.answers = {false};
    TypeValue(3, "0x20");
    m_window->OnResetTag();
    EXPECT_EQ(Value(3), "0x20");
    m_prompter.answers = {true};
    m_window->OnResetTag();
    EXPECT_EQ(Value(3), "0x10");
    EXPECT_EQ(Value(1), "00 11 22 33 44 FE");

    m_window->OnBdAddrRandom();
    EXPECT_TRUE(m_window->Action(ID_BDADDR_RANDOM)->isChecked());
    QString random = Value(1);
    EXPECT_TRUE(random.startsWith("00 11 22 "));
    EXPECT_LE(random.mid(12, 2).toUInt(nullptr, 16), 0x7Fu);

    m_prompter.Clear();
    m_prompter.answers = {true, true};
    m_window->OnClearAll();
    EXPECT_EQ(List()->rowCount(), 0);
    EXPECT_FALSE(m_window->Action(ID_FILE_SAVE_AS)->isEnabled());
    m_window->OnClearAll();  // asked again on an empty list
    EXPECT_EQ(m_prompter.shown.size(), 2u);
    m_window->OnBdAddrRandom();
    EXPECT_EQ(List()->rowCount(), 0);
}

// Two random addresses drawn within one second differ, whether chosen from the menu or
// stepped after a burn: the second seed counts milliseconds. Each pair is drawn at least 2 ms
// apart; a pair that straddles a second is drawn again.
TEST_F(WindowTest, RandomAddressesDrawnInOneSecondDiffer) {
    ASSERT_TRUE(Open());
    m_window->OnResetAll();
    const std::function<void()> draws[] = {[this] { m_window->OnBdAddrRandom(); },
                                           [this] { m_window->AdvanceBdAddr(); }};
    for (const auto& draw : draws) {
        bool drawn = false;
        for (int pair = 0; pair < 20 && !drawn; ++pair) {
            const std::time_t second = std::time(nullptr);
            draw();
            const QString first = Value(1);
            const uint64_t drawnAt = Ticks();
            while (Ticks() < drawnAt + 2) {
                SleepMs(1);
            }
            draw();
            if (std::time(nullptr) == second) {
                EXPECT_NE(Value(1).toStdString(), first.toStdString());
                drawn = true;
            }
        }
        EXPECT_TRUE(drawn) << "no two draws within one second";
    }
}

// A job that ended before its wait began leaves its "finished" queued; the next job's wait
// still pumps events until that job has ended, so the window never stops answering.
TEST(WorkerThread, WaitPumpsUntilItsOwnJobHasEnded) {
    CWorkerThread worker;
    std::atomic<bool> quick{false};
    worker.Start([&] { quick = true; });
    while (worker.Running()) {
        SleepMs(1);
    }
    worker.WaitPumping();
    ASSERT_TRUE(quick);

    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (++ticks == 10) {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
            changed.notify_all();
        }
    });
    ticker.start(5);
    worker.Start([&] {
        std::unique_lock<std::mutex> lock(mutex);
        // Bounded, so that a wait that stops pumping fails the test instead of hanging it.
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
    });
    worker.WaitPumping();
    ticker.stop();
    EXPECT_GE(ticks, 10);
}

TEST_F(WindowTest, RightClickMenuAndTagDescription) {
    ASSERT_TRUE(Open());
    m_window->OnResetAll();
    QTest::mouseClick(List()->viewport(), Qt::RightButton, {}, CellCentre(RowOf(3), COL_VALUE));
    EXPECT_TRUE(m_window->m_pPopupMenu->isVisible());
    EXPECT_TRUE(m_window->m_pPopupMenu->actions().at(0)->isEnabled());
    m_window->m_pPopupMenu->hide();
    QTest::mouseClick(List()->viewport(), Qt::RightButton, {}, QPoint(5, List()->height() - 30));
    EXPECT_FALSE(m_window->Action(ID_RESET_TAG)->isEnabled());

    Click(RowOf(3), COL_TAG);
    EXPECT_TRUE(m_window->ToolTipActive());
    const QString period =
        "Description: \nPeriod in ms.\n\nCoding: Number (little endian)\n"
        "Type  : uint16_t\nRange : 0x0 ~ 0x1F4\nReset : 0x10";
    EXPECT_EQ(m_window->ToolTipText(), period);
    Click(RowOf(4), COL_VALUE);  // a value cell leaves the text alone
    EXPECT_EQ(m_window->ToolTipText(), period);
    Click(RowOf(4), COL_TAG);
    EXPECT_TRUE(m_window->ToolTipText().contains("Range : False or True\nReset : False"));
    // A long description is broken between words into lines of at most 400 pixels.
    Click(RowOf(5), COL_TAG);
    const QStringList lines = m_window->ToolTipText().split('\n');
    const QFontMetrics metrics(QToolTip::font());
    for (const QString& line : lines) {
        EXPECT_LE(metrics.horizontalAdvance(line), 400) << line.toStdString();
    }
    const qsizetype blank = lines.indexOf(QString());
    ASSERT_GT(blank, 2);  // the description took more than one line
    EXPECT_EQ(lines.mid(1, blank - 1).join(' '),
              "Key bytes that the chip mixes into every pairing it makes, written once at the "
              "factory and never read back over the air by any peer.");

    // A drag that leaves the list silences the description until the next "Tag ID" click.
    QWidget* viewport = List()->viewport();
    QPoint outside = viewport->mapFromGlobal(m_window->m_btnResetAll->mapToGlobal(QPoint(5, 5)));
    QMouseEvent drag(QEvent::MouseMove, outside, viewport->mapToGlobal(outside), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drag);
    EXPECT_FALSE(m_window->ToolTipActive());
    Click(RowOf(4), COL_VALUE);
    EXPECT_FALSE(m_window->ToolTipActive());
    Click(RowOf(1), COL_TAG);
    EXPECT_TRUE(m_window->ToolTipActive());
}

TEST_F(WindowTest, WithoutTheUserDatabaseOnlySystemTagsAreListed) {
    m_window = std::make_unique<CConfigNVDS>(m_prompter, m_chooser, AppData("sys_db.xml"),
                                             AppData("missing_user.xml"));
    ASSERT_TRUE(m_window->OnInitDialog());
    EXPECT_FALSE(m_window->Action(ID_EXPORT_USER)->isEnabled());
    m_window->OnResetAll();
    EXPECT_EQ(List()->rowCount(), 7);
    EXPECT_FALSE(m_window->Action(ID_EXPORT_USER)->isEnabled());
    EXPECT_TRUE(m_prompter.shown.empty());
}

}  // namespace
