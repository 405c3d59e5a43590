// The editors, menus and captions driven with real X input (XTEST through xdotool) on a private
// X server without a window manager: the events arrive as a user's would, with the server's own
// press, release and double-click timing, which synthetic Qt events skip.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <filesystem>
#include <utility>
#include <vector>

#include <xcb/xcb.h>

#include "app/ChoiceEdit.h"
#include "app/ConfigNVDS.h"
#include "app/WindowProbe.h"
#include "app/XInput.h"
#include "common/ScriptedChooser.h"
#include "usertags/NewTag.h"

namespace fs = std::filesystem;
using namespace nvds;

namespace {

using test::Xdo;

using test::AppData;

// The sizes of the icons a window offers the window manager (_NET_WM_ICON: width, height and
// the pixels of each icon in turn), read from the X server.
std::vector<std::pair<uint32_t, uint32_t>> WindowIconSizes(QWidget* window) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11->connection();
    const char name[] = "_NET_WM_ICON";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    xcb_get_property_reply_t* property = xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, static_cast<xcb_window_t>(window->winId()), atom->atom,
                         XCB_ATOM_CARDINAL, 0, 1 << 20),
        nullptr);
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    if (property != nullptr) {
        const auto* words = static_cast<const uint32_t*>(xcb_get_property_value(property));
        const int count = xcb_get_property_value_length(property) / 4;
        for (int at = 0; at + 2 <= count; at += 2 + static_cast<int>(words[at] * words[at + 1])) {
            sizes.emplace_back(words[at], words[at + 1]);
        }
    }
    free(property);
    free(atom);
    return sizes;
}

class XvfbWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        m_dir = fs::temp_directory_path() / ("nvds_xvfb_" + std::to_string(getpid()));
        fs::create_directories(m_dir);
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
        m_window = std::make_unique<CConfigNVDS>(m_prompter, m_chooser, AppData("sys_db.xml"),
                                                 AppData("user_db.xml"));
        ASSERT_TRUE(m_window->OnInitDialog());
        m_window->move(0, 0);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        m_window->OnResetAll();
    }
    void TearDown() override {
        m_window.reset();
        fs::remove_all(m_dir);
    }

    QTableWidget* List() { return m_window->m_list; }
    int RowOf(int tag) { return test::TagRow(*m_window, tag); }
    QPoint CellOnScreen(int row, int column) {
        QPoint centre = List()->visualItemRect(List()->item(row, column)).center();
        return List()->viewport()->mapToGlobal(centre);
    }
    void ClickAt(QPoint at, int count = 1) { m_releases.ClickAt(at, count); }
    void Keys(const QStringList& keys) { Xdo(QStringList{"key", "--delay", "30"} + keys); }

    fs::path m_dir;
    RecordingPrompter m_prompter;
    test::ScriptedChooser m_chooser;
    std::unique_ptr<CConfigNVDS> m_window;
    test::ReleaseCounter m_releases;
};

TEST_F(XvfbWindow, BoolChoiceOpensOnDoubleClickAndClosesOnAPickOrAClickElsewhere) {
    const int row = RowOf(4);
    ASSERT_EQ(m_window->CellText(row, COL_VALUE), "False");
    CChoiceEdit* combo = m_window->m_combo;

    ClickAt(CellOnScreen(row, COL_VALUE), 2);
    // Both releases handled: the list is still down and nothing was picked.
    ASSERT_TRUE(combo->isVisible());
    ASSERT_TRUE(combo->view()->isVisible());
    EXPECT_EQ(m_window->CellText(row, COL_VALUE), "False");

    QAbstractItemView* view = combo->view();
    QRect trueEntry = view->visualRect(view->model()->index(1, 0));
    ClickAt(view->viewport()->mapToGlobal(trueEntry.center()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return combo->isHidden(); }, 5000));
    EXPECT_EQ(m_window->CellText(row, COL_VALUE), "True");

    // Opened again, a click on the status bar closes it and the value stays.
    ClickAt(CellOnScreen(row, COL_VALUE), 2);
    ASSERT_TRUE(view->isVisible());
    QStatusBar* status = m_window->m_statusBar;
    ClickAt(status->mapToGlobal(status->rect().center()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return combo->isHidden(); }, 5000));
    EXPECT_FALSE(view->isVisible());
    EXPECT_EQ(m_window->CellText(row, COL_VALUE), "True");
}

struct KeyStep {
    QStringList keys;
    const char* text;  // the editor's text afterwards
};

// Each filtered editor drops what its coding refuses as it is typed, while Delete, Backspace,
// the caret keys and key-made selections still edit: a dictionary ("01"), a Number (which takes
// "x" and "-"), and the hex-typed codings, which also refuse letters beyond F, "x", "-" and ":".
TEST_F(XvfbWindow, FilteredCellsTakeOnlyTheirCharactersAndTheEditingKeys) {
    QLineEdit* edit = m_window->m_edit;
    const struct {
        int tag;
        std::vector<KeyStep> steps;
        const char* value;  // the cell after Return
    } cases[] = {
        {7,
         {{{"End", "BackSpace"}, "010"},
          {{"Home", "Delete", "2", "a"}, "10"},
          {{"Right", "1"}, "110"},
          {{"End", "0"}, "1100"}},
         "1100"},
        {3,
         {{{"1", "2", "3", "4"}, "1234"},            // typing replaces the selected value
          {{"Left", "BackSpace"}, "124"},            // Backspace before the caret
          {{"Home", "Delete"}, "24"},                // Delete after the caret
          {{"g", "plus", "x", "minus"}, "x-24"},     // the filter drops g and +
          {{"End", "shift+Left", "Delete"}, "x-2"},  // a selection made with the keys
          {{"ctrl+a", "Delete"}, ""},
          {{"0", "x", "1", "f", "4", "1"}, "0x1f41"},
          {{"BackSpace"}, "0x1f4"}},
         "0x1F4"},
        {5,
         {{{"ctrl+a", "Delete"}, ""},
          {{"a", "g", "b"}, "ab"},
          {{"space", "z", "x", "c", "colon", "d"}, "ab cd"},
          {{"space", "1", "k", "2", "minus", "space", "3", "4"}, "ab cd 12 34"}},
         "AB CD 12 34"},
        {1,
         {{{"ctrl+a", "Delete"}, ""},
          {{"c", "0", "h", "space", "x", "1", "1"}, "c0 11"},
          {{"space", "2", "2", "space", "3", "3", "space", "4", "4", "space", "5", "g", "6"},
           "c0 11 22 33 44 56"}},
         "C0 11 22 33 44 56"},
    };
    for (const auto& c : cases) {
        const int row = RowOf(c.tag);
        ClickAt(CellOnScreen(row, COL_VALUE), 2);
        ASSERT_TRUE(QTest::qWaitFor([&] { return edit->hasFocus(); }, 5000)) << c.tag;
        for (const auto& step : c.steps) {
            Keys(step.keys);
            EXPECT_TRUE(QTest::qWaitFor([&] { return edit->text() == step.text; }, 5000))
                << c.tag << ": " << step.keys.join(' ').toStdString() << " gave \""
                << edit->text().toStdString() << "\"";
        }
        Keys({"Return"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return edit->isHidden(); }, 5000)) << c.tag;
        EXPECT_EQ(m_window->CellText(row, COL_VALUE).toStdString(), c.value);
    }
    EXPECT_TRUE(m_prompter.Texts().empty()) << m_prompter.Texts().front();
}

TEST_F(XvfbWindow, TagDescriptionShowsAtTheClickOnATagIdCell) {
    ClickAt(CellOnScreen(RowOf(3), COL_TAG));
    // The press and the release have been handled, and the mouse has not moved since.
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(),
              "Description: \nPeriod in ms.\n\nCoding: Number (little endian)\n"
              "Type  : uint16_t\nRange : 0x0 ~ 0x1F4\nReset : 0x10");

    // After a dialog closed, the first click reactivates the window as well: the description
    // outlives that activation.
    QTimer::singleShot(0, [this] {
        QWidget* about = nullptr;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                about = QApplication::activeModalWidget();
                return about != nullptr && about->isActiveWindow();
            },
            5000));
        Keys({"Return"});
    });
    m_window->OnAbout();
    ClickAt(CellOnScreen(RowOf(4), COL_TAG));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_window->isActiveWindow(); }, 5000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_TRUE(QToolTip::text().startsWith("Description: \nSwitch.\n"))
        << QToolTip::text().toStdString();
}

TEST_F(XvfbWindow, AltLetterOpensTheMenus) {
    const struct {
        const char* keys;
        int menu;  // index in the menu bar
    } cases[] = {{"alt+f", 0}, {"alt+o", 1}, {"alt+h", 2}};
    for (const auto& c : cases) {
        QMenu* menu = m_window->m_pMainMenu->actions().at(c.menu)->menu();
        Keys({c.keys});
        EXPECT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 5000)) << c.keys;
        Keys({"Escape"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->isVisible(); }, 5000)) << c.keys;
        Keys({"Escape"});  // leaves the menu bar, whose letter navigation Escape ends
    }
    // Inside the Operate menu, "a" picks "Reset all tag" (the list is already full, so it asks).
    QMenu* operate = m_window->m_pMainMenu->actions().at(1)->menu();
    m_prompter.answers = {false};
    Keys({"alt+o"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return operate->isVisible(); }, 5000));
    Keys({"a"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !m_prompter.shown.empty(); }, 5000));
}

TEST_F(XvfbWindow, WindowIconAndPlainDialogCaptions) {
    using Sizes = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(WindowIconSizes(m_window.get()),
              (Sizes{{16, 16}, {24, 24}, {32, 32}, {48, 48}, {64, 64}}));
    EXPECT_EQ(Xdo({"getwindowname", QString::number(m_window->winId())}),
              "ZB446x NVDS Configurator");

    CNewTag properties(m_prompter, AppData("sys_db.xml"), AppData("user_db.xml"), m_window.get());
    properties.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&properties));
    EXPECT_EQ(Xdo({"getwindowname", QString::number(properties.winId())}), "Properties");
}

}  // namespace
