#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QTableWidget>
#include <QTimer>
#include <memory>

#include "app/ConfigNVDS.h"
#include "app/WindowProbe.h"
#include "common/ScriptedChooser.h"
#include "common/TestFiles.h"
#include "image/StatusText.h"
#include "platform/AppFolder.h"
#include "usertags/NewTag.h"

namespace nvds {
namespace {

using test::NumberTag;
using test::ReadFile;
using test::UserDb;
using test::WriteText;

using test::ScriptedChooser;

// The main window over the shipped system database and a scratch user database.
class WindowUserTags : public ::testing::Test {
protected:
    void Open(const std::string& userElements) {
        setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
        WriteText(dir / "userkey_db.xml", UserDb(userElements));
        window = std::make_unique<CConfigNVDS>(prompter, chooser, GetAppFolder() + "/zbkey_db.xml",
                                               dir / "userkey_db.xml");
        ASSERT_TRUE(window->OnInitDialog());
        ASSERT_TRUE(window->Action(ID_EXPORT_USER)->isEnabled());  // the database loaded
        window->OnResetAll();  // an empty list fills with the defaults without asking
    }

    int RowOf(int tag) { return test::TagRow(*window, tag); }
    QString Value(int tag) { return window->CellText(RowOf(tag), COL_VALUE); }

    test::ScratchDir dir;
    RecordingPrompter prompter;
    ScriptedChooser chooser;
    std::unique_ptr<CConfigNVDS> window;
};

TEST_F(WindowUserTags, PropertiesApplyAdoptsTheNewTagAndKeepsListedValues) {
    Open(NumberTag(100, "kept"));
    window->SetCellText(RowOf(100), COL_VALUE, "0x9");
    QTimer::singleShot(0, [this] {
        CNewTag* dlg = window->m_newTagDlg.get();
        dlg->OnNew();
        dlg->OnNew();
        dlg->OnApply();
    });
    window->OnUserProperties();
    EXPECT_EQ(Value(100), "0x9");
    EXPECT_EQ(Value(101), "0x60");
    EXPECT_TRUE(window->m_tagTable[101].IsDefined());
    EXPECT_EQ(window->m_newTagDlg->result(), QDialog::Accepted);
    // The file written reads back as the dialog's definition.
    TagTable reloaded;
    EXPECT_EQ(CNvdsConfig(prompter, "", "").LoadTagDb(dir / "userkey_db.xml", reloaded), 1);
    EXPECT_TRUE(reloaded[101].def == window->m_newTagDlg->m_tags[101].def);
}

TEST_F(WindowUserTags, ImportShowsTheFileAndExportFollowsTheList) {
    Open(NumberTag(100, "old") + NumberTag(110, "gone"));
    window->SetCellText(RowOf(100), COL_VALUE, "0x7");
    WriteText(dir / "chosen.xml", UserDb(NumberTag(100, "new") + NumberTag(120, "added", "0x3")));
    chooser.next = QString::fromStdString(dir / "chosen.xml");
    window->OnImportUser();
    EXPECT_EQ(chooser.lastFilter, "Configuration Files(*.xml)");
    EXPECT_EQ(window->PaneText(PANE_OPERATION), "Read configuration data from file......");
    EXPECT_EQ(prompter.Texts().back(), "Import configuration file success!");
    EXPECT_EQ(Value(100), "0x7");
    EXPECT_EQ(Value(120), "0x3");
    EXPECT_EQ(RowOf(110), -1);
    EXPECT_TRUE(window->Action(ID_EXPORT_USER)->isEnabled());

    chooser.next = QString::fromStdString(dir / "props");
    window->OnExportUser();
    EXPECT_EQ(window->PaneText(PANE_OPERATION), "Save configuration data to file......");
    EXPECT_EQ(ReadFile(dir / "props.xml"), ReadFile(dir / "chosen.xml"));

    // A file without user tags empties the user range, and with it the export.
    WriteText(dir / "empty.xml", UserDb(""));
    chooser.next = QString::fromStdString(dir / "empty.xml");
    window->OnImportUser();
    EXPECT_FALSE(window->Action(ID_EXPORT_USER)->isEnabled());
}

}  // namespace
}  // namespace nvds
