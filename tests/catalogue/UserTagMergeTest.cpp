#include "catalogue/UserTagMerge.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/TestFiles.h"
#include "platform/AppFolder.h"
#include "platform/Prompter.h"

namespace nvds {
namespace {

using test::NumberTag;
using test::ReadFile;
using test::UserDb;
using test::WriteText;

std::unique_ptr<TagTable> TableWith(uint32_t code, const TagDef& def, const std::string& value) {
    auto table = std::make_unique<TagTable>();
    (*table)[code].mark = TAG_ENTRY_MARK;
    (*table)[code].tag = code;
    (*table)[code].def = def;
    (*table)[code].valueText = value;
    return table;
}

TagDef Number(uint32_t max, const std::string& def, const std::string& label = "L") {
    TagDef d;
    d.coding = CODING_NUMBER;
    d.length = 1;
    d.max = max;
    d.defaultText = def;
    d.label = label;
    d.show = true;
    return d;
}

TEST(CopyUserTags, CurrentValueSurvivesOnlyWhileTheShapeStays) {
    auto main = TableWith(100, Number(0xFF, "0x1"), "0x7");
    (*main)[101] = (*TableWith(101, Number(0xFF, "0x1"), "0x8"))[101];
    (*main)[102] = (*TableWith(102, Number(0xFF, "0x1"), "0x9"))[102];
    (*main)[5] = (*TableWith(5, Number(0xFF, "0x1"), "0x5"))[5];

    auto dialog = TableWith(100, Number(0xFF, "0x2", "new label"), "");
    (*dialog)[101] = (*TableWith(101, Number(0x7F, "0x3"), ""))[101];  // max changed
    (*dialog)[130] = (*TableWith(130, Number(0xFF, "0x4"), ""))[130];  // new tag
    CopyUserTags(*main, *dialog);

    EXPECT_EQ((*main)[100].valueText, "0x7");
    EXPECT_EQ((*main)[100].def.label, "new label");
    EXPECT_EQ((*main)[101].valueText, "0x3");
    EXPECT_FALSE((*main)[102].IsDefined());
    EXPECT_EQ((*main)[102].valueText, "");
    EXPECT_TRUE((*main)[130].IsDefined());
    EXPECT_EQ((*main)[130].valueText, "0x4");
    EXPECT_EQ((*main)[5].valueText, "0x5");  // system range untouched
}

class ImportExport : public ::testing::Test {
protected:
    ImportExport() : config(prompter, dir / "zbkey_db.xml", dir / "userkey_db.xml") {
        WriteText(config.GetUserDbPath(), userDb);
        main = TableWith(100, Number(0xFF, "0x1", "old"), "0x7");
        (*main)[110] = (*TableWith(110, Number(0xFF, "0x1"), "0x8"))[110];
    }

    test::ScratchDir dir;
    RecordingPrompter prompter;
    CNvdsConfig config;
    std::unique_ptr<TagTable> main;
    const std::string userDb = UserDb(NumberTag(100, "old") + NumberTag(110, "gone"));
};

// Tag 100 as a 16-bit number: a new shape, yet the import keeps its current value.
const char* const kRedefined100 =
    "<USERTAG MIN=\"0\" MAX=\"0xFFFF\" LENGTH=\"0x2\" CODE=\"Number\" TAG=\"100\" NAME=\"R\">"
    "<DEFAULTVALUE>0x2</DEFAULTVALUE><LABEL>redefined</LABEL><DESCRIPTION>d</DESCRIPTION>"
    "</USERTAG>";

TEST_F(ImportExport, ImportReplacesTheDatabaseAndKeepsCurrentValues) {
    // A comment travels with the file: the copy is byte for byte.
    const std::string chosen =
        UserDb(std::string("<!-- kept -->") + kRedefined100 + NumberTag(120, "added", "0x3"));
    WriteText(dir / "chosen.xml", chosen);

    EXPECT_EQ(ImportUserProperties(config, dir / "chosen.xml", *main), IMPORT_OK);
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Import configuration file success!"});
    EXPECT_EQ(ReadFile(config.GetUserDbPath()), chosen);
    EXPECT_EQ((*main)[100].valueText, "0x7");
    EXPECT_EQ((*main)[100].def.label, "redefined");
    EXPECT_EQ((*main)[120].valueText, "0x3");
    EXPECT_FALSE((*main)[110].IsDefined());
    EXPECT_EQ((*main)[110].valueText, "");
}

TEST_F(ImportExport, RefusedImportsChangeNothing) {
    const auto before = std::make_unique<TagTable>(*main);
    WriteText(dir / "system.xml",
              "<ZBTAG_DATABASE><ZBTAG LENGTH=\"0x6\" CODE=\"BD Addr\" TAG=\"1\" NAME=\"A\">"
              "<DEFAULTVALUE>11 22 33 44 55 66</DEFAULTVALUE><LABEL>a</LABEL>"
              "<DESCRIPTION>d</DESCRIPTION></ZBTAG></ZBTAG_DATABASE>");
    // A system database without the address tag is still no user database.
    WriteText(dir / "system_without_address.xml",
              "<ZBTAG_DATABASE><ZBTAG LENGTH=\"0x1\" CODE=\"Number\" TAG=\"3\" NAME=\"B\">"
              "<DEFAULTVALUE>0x1</DEFAULTVALUE><LABEL>b</LABEL>"
              "<DESCRIPTION>d</DESCRIPTION></ZBTAG></ZBTAG_DATABASE>");
    WriteText(dir / "damaged.xml", UserDb(NumberTag(99, "system code under a user root")));
    WriteText(dir / "notxml.xml", "just text");
    // A well-formed user database that declares a DTD would otherwise replace the database.
    WriteText(dir / "dtd.xml",
              "<?xml version=\"1.0\"?>\n<!DOCTYPE USERTAG_DATABASE "
              "[<!ENTITY x \"y\">]>\n<USERTAG_DATABASE>" +
                  NumberTag(130, "&x;") + "</USERTAG_DATABASE>\n");

    EXPECT_EQ(ImportUserProperties(config, dir / "system.xml", *main), IMPORT_SYSTEM_DB);
    EXPECT_EQ(ImportUserProperties(config, dir / "system_without_address.xml", *main),
              IMPORT_SYSTEM_DB);
    EXPECT_EQ(ImportUserProperties(config, dir / "damaged.xml", *main), IMPORT_DAMAGED);
    EXPECT_EQ(ImportUserProperties(config, dir / "notxml.xml", *main), IMPORT_DAMAGED);
    EXPECT_EQ(ImportUserProperties(config, dir / "missing.xml", *main), IMPORT_DAMAGED);
    EXPECT_EQ(ImportUserProperties(config, dir / "dtd.xml", *main), IMPORT_DAMAGED);
    const std::string damage = "Import configuration file fail! The file damage!";
    EXPECT_EQ(prompter.Texts(),
              (std::vector<std::string>{
                  "Import configuration file fail! The file is system configuration!",
                  "Import configuration file fail! The file is system configuration!",
                  "Config file damage", damage, damage, damage, "Config file damage", damage}));
    EXPECT_EQ(ReadFile(config.GetUserDbPath()), userDb);
    for (uint32_t code = 0; code < TAG_TABLE_SIZE; ++code) {
        EXPECT_EQ((*main)[code].mark, (*before)[code].mark);
        EXPECT_EQ((*main)[code].valueText, (*before)[code].valueText);
        EXPECT_TRUE((*main)[code].def == (*before)[code].def);
    }
}

TEST_F(ImportExport, ExportAddsXmlOnlyWhenThePathHasNoDot) {
    std::filesystem::create_directory(dir.Path() / "v1.2");
    EXPECT_TRUE(ExportUserProperties(config.GetUserDbPath(), dir / "props", prompter));
    EXPECT_TRUE(ExportUserProperties(config.GetUserDbPath(), dir / "props.txt", prompter));
    EXPECT_TRUE(ExportUserProperties(config.GetUserDbPath(), dir / "v1.2/props", prompter));
    EXPECT_EQ(ReadFile(dir / "props.xml"), userDb);
    EXPECT_EQ(ReadFile(dir / "props.txt"), userDb);
    EXPECT_EQ(ReadFile(dir / "v1.2/props"), userDb);

    prompter.Clear();
    EXPECT_FALSE(ExportUserProperties(config.GetUserDbPath(), dir / "no/such/folder/p", prompter));
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Export configuration file fail!"});
}

// Where the user's own copy of the user database lies, and what is read and written when no
// database is named.
TEST(PerUserDatabase, TheCopyFollowsXdgDataHomeOrElseHome) {
    const std::string shipped = GetAppFolder() + "/userkey_db.xml";
    const struct {
        const char* dataHome;  // nullptr: unset
        const char* home;
        std::string copy;
    } cases[] = {
        {"/x/data", "/h", "/x/data/zb446x-nvds-configurator/userkey_db.xml"},
        {nullptr, "/h", "/h/.local/share/zb446x-nvds-configurator/userkey_db.xml"},
        {"", "/h", "/h/.local/share/zb446x-nvds-configurator/userkey_db.xml"},
        {"relative/data", "/h", "/h/.local/share/zb446x-nvds-configurator/userkey_db.xml"},
        {nullptr, nullptr, ""},
    };
    RecordingPrompter prompter;
    for (const auto& c : cases) {
        test::ScopedEnv data("XDG_DATA_HOME", c.dataHome);
        test::ScopedEnv home("HOME", c.home);
        EXPECT_EQ(CNvdsConfig::UserDbCopyPath(), c.copy) << c.copy;
        // No copy exists at any of these places: the shipped file is read.
        CNvdsConfig config(prompter);
        EXPECT_EQ(config.GetUserDbPath(), shipped) << c.copy;
        EXPECT_EQ(config.GetUserDbSavePath(), c.copy.empty() ? shipped : c.copy);
    }
    // A database named on purpose is read and written there, whatever the environment.
    CNvdsConfig named(prompter, "sys.xml", "/p/user.xml");
    EXPECT_EQ(named.GetUserDbPath(), "/p/user.xml");
    EXPECT_EQ(named.GetUserDbSavePath(), "/p/user.xml");
}

TEST(PerUserDatabase, FirstImportMakesTheCopyWhichIsReadFromThenOn) {
    test::ScratchDir dir;
    test::ScopedEnv data("XDG_DATA_HOME", (dir / "data").c_str());
    const std::string shipped = GetAppFolder() + "/userkey_db.xml";
    const std::string shippedText = ReadFile(shipped);
    const std::string copy = dir / "data/zb446x-nvds-configurator/userkey_db.xml";
    RecordingPrompter prompter;
    CNvdsConfig config(prompter);
    CNvdsConfig otherWindow(prompter);

    WriteText(dir / "chosen.xml", UserDb(NumberTag(120, "mine")));
    auto main = std::make_unique<TagTable>();
    ASSERT_EQ(ImportUserProperties(config, dir / "chosen.xml", *main), IMPORT_OK);
    EXPECT_EQ(ReadFile(copy), ReadFile(dir / "chosen.xml"));
    EXPECT_EQ(ReadFile(shipped), shippedText);  // the program's own file is never written
    EXPECT_EQ(config.GetUserDbPath(), copy);
    EXPECT_EQ(otherWindow.GetUserDbPath(), copy);

    // A folder that cannot be made (a file stands in its way) fails the import and says why.
    test::ScopedEnv blocked("XDG_DATA_HOME", (dir / "chosen.xml").c_str());
    prompter.Clear();
    EXPECT_EQ(ImportUserProperties(config, dir / "chosen.xml", *main), IMPORT_COPY_FAILED);
    EXPECT_EQ(prompter.Texts(),
              std::vector<std::string>{"Import configuration file fail! Cannot create " +
                                       (dir / "chosen.xml/zb446x-nvds-configurator") +
                                       ": Not a directory"});
    EXPECT_EQ(ReadFile(shipped), shippedText);
}

}  // namespace
}  // namespace nvds
