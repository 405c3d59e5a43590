#include "usertags/NewTag.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "common/TestFiles.h"
#include "platform/AppFolder.h"

namespace nvds {
namespace {

using test::NumberTag;
using test::ReadFile;
using test::UserDb;
using test::WriteText;

class NewTagDialog : public ::testing::Test {
protected:
    /// Opens the dialog on a user database with the given elements.
    void Open(const std::string& elements) {
        WriteText(dir / "userkey_db.xml", UserDb(elements));
        dlg = std::make_unique<CNewTag>(prompter, dir / "zbkey_db.xml", dir / "userkey_db.xml");
        dlg->OnInitDialog();
    }

    void Type(QLineEdit* edit, const char* text) {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QString::fromLatin1(text));
    }

    std::string Text(QLineEdit* edit) { return edit->text().toStdString(); }
    int Rows() { return dlg->m_pList->rowCount(); }
    bool Adding() { return dlg->m_pNewButton->text() == "Confirm"; }

    test::ScratchDir dir;
    RecordingPrompter prompter;
    std::unique_ptr<CNewTag> dlg;
};

TEST_F(NewTagDialog, EmptyDatabaseShowsBlankNumberAndNewProposes100) {
    Open("");
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Text(dlg->m_pTagIdEdit), "100");
    EXPECT_EQ(dlg->m_pCodingCombo->currentText(), "Number");
    EXPECT_EQ(Text(dlg->m_pMinEdit), "0x0");
    EXPECT_EQ(Text(dlg->m_pMaxEdit), "0x0");
    EXPECT_TRUE(dlg->m_pLabelEdit->isReadOnly());
    EXPECT_FALSE(dlg->m_pCodingCombo->isEnabled());

    dlg->OnNew();
    EXPECT_TRUE(Adding());
    EXPECT_EQ(Text(dlg->m_pTagIdEdit), "100");
    EXPECT_EQ(Text(dlg->m_pDefaultEdit), "0x60");
    EXPECT_FALSE(dlg->m_pApplyButton->isEnabled());
    EXPECT_FALSE(dlg->m_pList->isEnabled());
    EXPECT_TRUE(dlg->m_pSpinUp->isEnabled());
    EXPECT_EQ(Rows(), 1);

    dlg->OnNew();  // Confirm
    EXPECT_FALSE(Adding());
    EXPECT_TRUE(dlg->m_tags[100].IsDefined());
    EXPECT_EQ(dlg->m_tags[100].def.max, 0xFFFFu);
    EXPECT_EQ(dlg->m_tags[100].def.length, 2u);
    EXPECT_TRUE(dlg->m_pApplyButton->isEnabled());
    EXPECT_TRUE(prompter.Texts().empty());
}

TEST_F(NewTagDialog, NewFillsTheFirstGapAndReportsAFullRange) {
    Open(NumberTag(100, "a") + NumberTag(101, "b") + NumberTag(103, "c"));
    dlg->OnNew();
    EXPECT_EQ(Text(dlg->m_pTagIdEdit), "102");
    dlg->reject();  // Cancel is disabled while adding, but Esc still asks
    ASSERT_EQ(prompter.Texts(),
              std::vector<std::string>{"Do you sure give up these user configuration?"});
    dlg->OnNew();  // Confirm 102
    ASSERT_TRUE(dlg->m_tags[102].IsDefined());

    for (uint32_t code = 100; code <= 253; ++code) {
        dlg->m_tags[code] = dlg->m_tags[100];
    }
    dlg->RefreshTagList();
    dlg->OnNew();
    EXPECT_EQ(Text(dlg->m_pTagIdEdit), "254");
    dlg->OnNew();
    EXPECT_TRUE(dlg->m_tags[254].IsDefined());
    dlg->OnNew();
    dlg->OnNew();
    EXPECT_EQ(prompter.Texts().back(),
              "this tag position has been occupied ! Please select other tag!");
    EXPECT_TRUE(Adding());
}

TEST_F(NewTagDialog, StringAndHexDefaultsDriveTheLength) {
    Open("");
    dlg->OnNew();
    dlg->OnCodingChosen(CODING_STRING_ASCII);
    EXPECT_EQ(Text(dlg->m_pDefaultEdit), "Kestrel BLE");
    EXPECT_EQ(Text(dlg->m_pLengthEdit), "0xC");
    dlg->OnNew();
    const TagDef def = dlg->m_tags[100].def;
    EXPECT_EQ(def.length, 12u);
    EXPECT_TRUE(def.lengthVariable);
    std::string shorter = "twelve chars";
    EXPECT_EQ(dlg->CheckValue(shorter, def, 0), 1);

    dlg->OnNew();
    dlg->OnCodingChosen(CODING_ARRAY_HEX);
    Type(dlg->m_pDefaultEdit, "11 22 3zq");  // letters beyond hex are swallowed
    EXPECT_EQ(Text(dlg->m_pDefaultEdit), "11 22 3");
    EXPECT_EQ(Text(dlg->m_pLengthEdit), "Invalid value !");
    dlg->OnNew();
    EXPECT_EQ(prompter.Texts().back(), "Hex array is invalid");
    EXPECT_TRUE(Adding());
    EXPECT_FALSE(dlg->m_tags[101].IsDefined());
    Type(dlg->m_pDefaultEdit, "11 22 33");
    EXPECT_EQ(Text(dlg->m_pLengthEdit), "0x3");
}

TEST_F(NewTagDialog, NumberWidthFollowsTheDefaultAndGuardsTheRange) {
    Open("");
    dlg->OnNew();
    Type(dlg->m_pDefaultEdit, "0x1234");
    EXPECT_TRUE(dlg->m_pWidth[1]->isChecked());
    EXPECT_EQ(Text(dlg->m_pMaxEdit), "0xFFFF");
    dlg->m_pWidth[0]->click();
    EXPECT_EQ(prompter.Texts().back(), "There is not enough space to store this number!!");
    EXPECT_TRUE(dlg->m_pWidth[2]->isChecked());
    EXPECT_EQ(Text(dlg->m_pMaxEdit), "0xFFFFFFFF");

    Type(dlg->m_pDefaultEdit, "0x5");
    EXPECT_EQ(Text(dlg->m_pMaxEdit), "0xFF");
    Type(dlg->m_pMinEdit, "0x10");
    Type(dlg->m_pMaxEdit, "0x20");
    dlg->OnNew();
    EXPECT_EQ(prompter.Texts().back(),
              "Num value is invalid, range must be: 0x10 ~ 0x20, but current value is 0x5");
    EXPECT_TRUE(Adding());
    Type(dlg->m_pDefaultEdit, "0xFFFFFFFF");
    EXPECT_EQ(prompter.Texts().back(), "Num is too Big!");
    EXPECT_EQ(Text(dlg->m_pDefaultEdit), "0");
}

TEST_F(NewTagDialog, DeleteAsksWithCodeAndLabelThenSelectsTheFirstRow) {
    Open(NumberTag(100, "First") + NumberTag(101, "Second"));
    dlg->OnListClick(1);
    prompter.answers = {false, true};
    dlg->OnDelete();
    EXPECT_EQ(Rows(), 2);
    dlg->OnDelete();
    EXPECT_EQ(prompter.Texts(),
              std::vector<std::string>(2, "Are you sure want to delete tag:101 \"Second\" ?"));
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(dlg->m_nSelRow, 0);
    EXPECT_EQ(Text(dlg->m_pLabelEdit), "First");
    EXPECT_FALSE(dlg->m_tags[101].IsDefined());
}

TEST_F(NewTagDialog, EditClearsHiddenFlagsAndBecomesModify) {
    Open(NumberTag(100, "a", "0x1", " READONLY=\"true\" SHOW=\"false\" DICT=\"01\""));
    dlg->OnListDoubleClick(0);
    EXPECT_TRUE(dlg->m_pTagIdEdit->isReadOnly());
    EXPECT_FALSE(dlg->m_pLabelEdit->isReadOnly());
    EXPECT_FALSE(dlg->m_pNewButton->isEnabled());
    Type(dlg->m_pLabelEdit, "renamed");
    EXPECT_EQ(dlg->m_pList->item(0, 1)->text(), "renamed");
    dlg->OnEdit();
    EXPECT_EQ(dlg->m_pEditButton->text(), "Modify");
    const TagDef& def = dlg->m_tags[100].def;
    EXPECT_FALSE(def.readOnly);
    EXPECT_TRUE(def.show);
    EXPECT_EQ(def.dict, "");
    EXPECT_EQ(def.label, "renamed");

    Open("");
    dlg->OnEdit();
    EXPECT_EQ(prompter.Texts().back(), "There has no seleted tag!");
}

// Installed for every user, the program folder is not writable: the first Apply makes the user's
// own copy, the dialog reads it from then on, and the shipped file stays as it was.
TEST_F(NewTagDialog, ApplyWithoutANamedDatabaseWritesTheUsersCopy) {
    test::ScopedEnv data("XDG_DATA_HOME", (dir / "data").c_str());
    const std::string shipped = GetAppFolder() + "/userkey_db.xml";
    const std::string shippedText = ReadFile(shipped);
    dlg = std::make_unique<CNewTag>(prompter, GetAppFolder() + "/zbkey_db.xml", "");
    dlg->OnInitDialog();
    dlg->OnNew();
    Type(dlg->m_pTagIdEdit, "254");
    dlg->OnNew();
    dlg->OnApply();

    RecordingPrompter quiet;
    CNvdsConfig reader(quiet, "", "");
    TagTable copy;
    EXPECT_EQ(reader.LoadTagDb(dir / "data/zb446x-nvds-configurator/userkey_db.xml", copy), 1);
    EXPECT_TRUE(copy[254].IsDefined());
    EXPECT_EQ(ReadFile(shipped), shippedText);
    dlg->OnInitDialog();  // the next opening reads the copy
    EXPECT_TRUE(dlg->m_tags[254].IsDefined());
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(NewTagDialog, CancelAnsweredNoStaysAndYesLeavesTheFileAlone) {
    Open(NumberTag(100, "a"));
    const std::string before = ReadFile(dir / "userkey_db.xml");
    dlg->show();
    dlg->OnNew();
    prompter.answers = {false};
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(Adding());
    prompter.answers = {true};
    dlg->close();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(ReadFile(dir / "userkey_db.xml"), before);
}

TEST_F(NewTagDialog, BdAddrUserTagShowsErrorCodingAndApplyKeepsTheFile) {
    Open(
        "<USERTAG CODE=\"BD Addr\" TAG=\"100\" NAME=\"B\"><DEFAULTVALUE>11 22 33 44 55 66"
        "</DEFAULTVALUE><LABEL>bd</LABEL><DESCRIPTION>d</DESCRIPTION></USERTAG>");
    const std::string before = ReadFile(dir / "userkey_db.xml");
    EXPECT_EQ(Rows(), 1);
    ASSERT_FALSE(prompter.Texts().empty());
    EXPECT_EQ(prompter.Texts().front(), "error coding");
    prompter.Clear();
    dlg->OnApply();
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Error coding"});
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(ReadFile(dir / "userkey_db.xml"), before);
}

}  // namespace
}  // namespace nvds
