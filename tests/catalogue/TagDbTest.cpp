#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "catalogue/NvdsConfig.h"
#include "catalogue/ValueCodec.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<uint32_t> DefinedCodes(const TagTable& table) {
    std::vector<uint32_t> codes;
    for (uint32_t code = 0; code < TAG_TABLE_SIZE; ++code) {
        if (table[code].IsDefined()) {
            codes.push_back(code);
        }
    }
    return codes;
}

class TagDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "tagdb.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path Write(const std::string& name, const std::string& text) {
        fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static fs::path Sample(const std::string& name) {
        return fs::path(std::getenv("NVDS_TEST_DATA")) / "catalogue" / name;
    }
    int Load(const fs::path& path) {
        prompter.Clear();
        return config.LoadTagDb(path.string(), table);
    }

    fs::path dir;
    RecordingPrompter prompter;
    CNvdsConfig config{prompter, "", ""};
    TagTable table;
};

const char* const kUserForms = R"(<?xml version="1.0"?>
<USERTAG_DATABASE>
  <!-- comments and white space between elements are harmless -->
  <USERTAG NAME="HEX_CODE" TAG="0x64" CODE="hex" LENGTH="4" READONLY="TRUE" SHOW="FALSE" DICT="0123">
    <DEFAULTVALUE> 1122 </DEFAULTVALUE>
    <LABEL> Label kept </LABEL>
    <DESCRIPTION>
      Trimmed.
    </DESCRIPTION>
  </USERTAG>
  <USERTAG NAME="WIDE" TAG="101" CODE="NUM" LENGTH="4" MIN="0" MAX="-1" READONLY="1" SHOW="0">
    <DEFAULTVALUE>4294967295</DEFAULTVALUE><LABEL>w</LABEL><DESCRIPTION>d</DESCRIPTION>
  </USERTAG>
  <USERTAG NAME="LONGEST" TAG="254" CODE="ascii" LENGTH="4096" LENGTH_VARIABLE="tRuE">
    <DEFAULTVALUE><![CDATA[a<b]]></DEFAULTVALUE><LABEL>l</LABEL><DESCRIPTION>d</DESCRIPTION>
  </USERTAG>
  <USERTAG NAME="FLAG" TAG="102" CODE="Bool" LENGTH="9" MIN="5" MAX="2">
    <DEFAULTVALUE>true</DEFAULTVALUE><LABEL>b</LABEL><DESCRIPTION>d</DESCRIPTION>
  </USERTAG>
  <USERTAG NAME="ADDR" TAG="103" CODE="addr">
    <DEFAULTVALUE>aabbccddeeff</DEFAULTVALUE><LABEL>a</LABEL><DESCRIPTION>d</DESCRIPTION>
  </USERTAG>
</USERTAG_DATABASE>
)";

TEST_F(TagDbTest, ReadsEveryAttributeForm) {
    ASSERT_EQ(Load(Write("forms.xml", kUserForms)), 1);
    EXPECT_TRUE(prompter.Texts() ==
                std::vector<std::string>{"The current hex length is less than force length, and "
                                         "0x00 will be filled in the current data behind"});
    EXPECT_EQ(DefinedCodes(table), (std::vector<uint32_t>{100, 101, 102, 103, 254}));

    const TagEntry& hex = table[100];
    EXPECT_EQ(hex.tag, 100u);
    EXPECT_EQ(hex.valueText, " 1122 ");  // as read; the definition holds the normalised text
    EXPECT_EQ(hex.def.defaultText, "11 22 00 00");
    EXPECT_EQ(hex.def.coding, CODING_ARRAY_HEX);
    EXPECT_EQ(hex.def.max, 255u);
    EXPECT_TRUE(hex.def.readOnly);
    EXPECT_FALSE(hex.def.show);
    EXPECT_EQ(hex.def.dict, "0123");
    EXPECT_EQ(hex.def.label, " Label kept ");
    EXPECT_EQ(hex.def.description, "Trimmed.");

    const TagDef& wide = table[101].def;
    EXPECT_EQ(wide.coding, CODING_NUMBER);
    EXPECT_EQ(wide.max, 0xFFFFFFFFu);
    EXPECT_EQ(wide.defaultText, "0xFFFFFFFF");
    EXPECT_FALSE(wide.readOnly);
    EXPECT_TRUE(wide.show);

    EXPECT_EQ(table[254].def.length, 4096u);
    EXPECT_TRUE(table[254].def.lengthVariable);
    EXPECT_EQ(table[254].def.defaultText, "a<b");

    // Bool and BD Addr take their sizes from the coding, whatever the element says.
    const TagDef& flag = table[102].def;
    EXPECT_EQ(std::tie(flag.length, flag.min, flag.max), std::make_tuple(1u, 0u, 1u));
    EXPECT_EQ(flag.defaultText, "True");
    EXPECT_EQ(table[103].def.length, 6u);
    EXPECT_EQ(table[103].def.defaultText, "AA BB CC DD EE FF");
}

// A database of one Bool element with the given code.
std::string OneBoolTag(const std::string& prefix, const std::string& tag) {
    return "<" + prefix + "TAG_DATABASE><" + prefix + "TAG NAME=\"N\" TAG=\"" + tag +
           "\" CODE=\"Bool\"><DEFAULTVALUE>True</DEFAULTVALUE><LABEL>l</LABEL>"
           "<DESCRIPTION>d</DESCRIPTION></" +
           prefix + "TAG></" + prefix + "TAG_DATABASE>";
}

TEST_F(TagDbTest, CodesMustLieInTheRangeOfTheirFile) {
    EXPECT_EQ(Load(Write("octal.xml", OneBoolTag("ZB", "010"))), 1);
    EXPECT_EQ(DefinedCodes(table), (std::vector<uint32_t>{8}));
    EXPECT_EQ(Load(Write("top.xml", OneBoolTag("ZB", "99"))), 1);
    EXPECT_EQ(Load(Write("user.xml", OneBoolTag("USER", "100"))), 1);
    EXPECT_EQ(DefinedCodes(table), (std::vector<uint32_t>{99, 100}));
    for (const char* tag : {"0", "100", "x1", "-1"}) {
        EXPECT_EQ(Load(Write("bad.xml", OneBoolTag("ZB", tag))), 0) << tag;
        EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Config file damage"}) << tag;
    }
    for (const char* tag : {"99", "255", "0x100"}) {
        EXPECT_EQ(Load(Write("bad.xml", OneBoolTag("USER", tag))), 0) << tag;
        EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Config file damage"}) << tag;
    }
    EXPECT_TRUE(DefinedCodes(table).empty());
}

TEST_F(TagDbTest, MissingAttributesAndChildrenAreDamage) {
    const std::string good =
        R"(<ZBTAG NAME="N" TAG="5" CODE="Number" LENGTH="2" MIN="1" MAX="9"><DEFAULTVALUE>3</DEFAULTVALUE><LABEL>l</LABEL><DESCRIPTION>d</DESCRIPTION></ZBTAG>)";
    auto without = [&](const std::string& part) {
        std::string element = good;
        element.erase(element.find(part), part.size());
        return "<ZBTAG_DATABASE>" + element + "</ZBTAG_DATABASE>";
    };
    ASSERT_EQ(Load(Write("good.xml", without(""))), 1);
    for (const char* part : {" NAME=\"N\"", " TAG=\"5\"", " CODE=\"Number\"", " LENGTH=\"2\"",
                             " MIN=\"1\"", " MAX=\"9\"", "<DEFAULTVALUE>3</DEFAULTVALUE>",
                             "<LABEL>l</LABEL>", "<DESCRIPTION>d</DESCRIPTION>"}) {
        EXPECT_EQ(Load(Write("cut.xml", without(part))), 0) << part;
        EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Config file damage"}) << part;
        EXPECT_TRUE(DefinedCodes(table).empty()) << part;
    }
}

struct HostileCase {
    const char* file;
    std::vector<std::string> messages;
    const char* cleared;            // range emptied before reading: "system", "user" or ""
    std::vector<uint32_t> defined;  // slots of that range read before the damage
};

TEST_F(TagDbTest, HostileFilesReportDamageAndKeepOnlyWhatWasRead) {
    const std::vector<HostileCase> cases = {
        {"wrong_root.xml", {}, "", {}},
        {"random.bin", {}, "", {}},
        {"missing.xml", {}, "", {}},
        {"user_element_in_system.xml", {"Config file damage"}, "system", {1}},
        {"duplicate_code.xml", {"Config file damage"}, "user", {105}},
        {"code_outside_range.xml", {"Config file damage"}, "user", {}},
        {"bad_code.xml", {"Config file damage"}, "system", {}},
        {"length_too_big.xml", {"Config file damage"}, "system", {}},
        {"max_below_min.xml", {"Config file damage"}, "system", {}},
        {"default_rejected.xml",
         {"Num Type error, current value is 0x3", "Config file damage"},
         "system",
         {4}},
        {"truncated.xml", {"Config file damage"}, "system", {1, 2, 3, 4, 5}},
    };
    const fs::path shipped = fs::path(std::getenv("NVDS_TEST_DATA")) / ".." / ".." / "data";
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.file);
        table = TagTable{};
        ASSERT_EQ(Load(shipped / "zbkey_db.xml"), 1);
        ASSERT_EQ(Load(shipped / "userkey_db.xml"), 1);
        std::vector<uint32_t> expected;
        for (uint32_t code : DefinedCodes(table)) {
            const char* range = code < TAG_USER_FIRST ? "system" : "user";
            if (std::string(range) != c.cleared) {
                expected.push_back(code);
            }
        }
        expected.insert(expected.end(), c.defined.begin(), c.defined.end());
        std::sort(expected.begin(), expected.end());

        EXPECT_EQ(Load(Sample(c.file)), 0);
        EXPECT_EQ(prompter.Texts(), c.messages);
        EXPECT_EQ(DefinedCodes(table), expected);
    }
    // Of two elements with the same code the first is kept.
    EXPECT_EQ(Load(Sample("duplicate_code.xml")), 0);
    EXPECT_EQ(table[105].def.name, "FIRST");
}

TagEntry UserTag(TagCoding coding, const std::string& name, const std::string& value) {
    TagEntry entry;
    entry.mark = TAG_ENTRY_MARK;
    entry.valueText = "current value, never written";
    entry.def.coding = coding;
    entry.def.name = name;
    entry.def.defaultText = value;
    entry.def.label = name + " label";
    entry.def.description = "About " + name;
    entry.def.show = true;
    entry.def.length = 1;
    entry.def.max = coding == CODING_BOOL ? 1 : 255;
    return entry;
}

TEST_F(TagDbTest, SavedUserDatabaseReadsBackTheSameDefinitions) {
    TagTable saved;
    saved[5] = UserTag(CODING_BOOL, "SYSTEM_SLOT", "True");  // outside the user range
    saved[100] = UserTag(CODING_BOOL, "FLAG", "False");
    saved[100].def.show = false;  // neither SHOW nor DICT is written
    saved[100].def.dict = "TF";
    saved[120] = UserTag(CODING_NUMBER, "WIDE", "0x80000005");
    saved[120].def.length = 4;
    saved[120].def.min = 0x80000000;
    saved[120].def.max = 0xFFFFFFFF;
    saved[120].def.readOnly = true;
    saved[200] = UserTag(CODING_STRING_ASCII, "TEXT", "a<b&c\"d'");
    saved[200].def.length = 0x20;
    saved[200].def.lengthVariable = true;
    saved[200].def.label = "tab\there\nnew line";
    saved[200].def.description = "caf\xC3\xA9 \xE4\xB8\xAD";  // UTF-8 as the library hands it out
    saved[254] = UserTag(CODING_ARRAY_HEX, "KEY", "01 02 03 04");
    saved[254].def.length = 4;

    const fs::path path = dir / "user.xml";
    ASSERT_EQ(CNvdsConfig::SaveUserTagDb(path.string(), saved, prompter), 1);
    EXPECT_TRUE(prompter.shown.empty());
    const std::string text = ReadFile(path);
    EXPECT_NE(
        text.find(
            R"(<USERTAG MIN="-2147483648" MAX="-1" LENGTH="0x4" LENGTH_VARIABLE="False" )"
            R"(READONLY="True" CODE="Number" TAG="120" NAME="WIDE"><DEFAULTVALUE>0x80000005</)"
            R"(DEFAULTVALUE><LABEL>WIDE label</LABEL><DESCRIPTION>About WIDE</)"
            R"(DESCRIPTION></USERTAG>)"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find(R"(<USERTAG LENGTH_VARIABLE="False" READONLY="False" CODE="Bool" TAG="100")"),
        std::string::npos);

    ASSERT_EQ(Load(path), 1) << ::testing::PrintToString(prompter.Texts()) << text;
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_EQ(DefinedCodes(table), (std::vector<uint32_t>{100, 120, 200, 254}));
    saved[100].def.show = true;
    saved[100].def.dict.clear();
    for (uint32_t code : {100u, 120u, 200u, 254u}) {
        EXPECT_EQ(table[code].def, saved[code].def) << code;
        EXPECT_EQ(table[code].valueText, saved[code].def.defaultText) << code;
    }
}

TEST_F(TagDbTest, WriterReproducesShippedUserDatabaseAndEmptyRange) {
    const fs::path shipped =
        fs::path(std::getenv("NVDS_TEST_DATA")) / ".." / ".." / "data" / "userkey_db.xml";
    ASSERT_EQ(Load(shipped), 1);
    ASSERT_EQ(CNvdsConfig::SaveUserTagDb((dir / "copy.xml").string(), table, prompter), 1);
    EXPECT_EQ(ReadFile(dir / "copy.xml"), ReadFile(shipped));

    CNvdsConfig::ClearTagRange(TAGDB_USER, table);
    ASSERT_EQ(CNvdsConfig::SaveUserTagDb((dir / "empty.xml").string(), table, prompter), 1);
    EXPECT_EQ(ReadFile(dir / "empty.xml"), "<?xml version=\"1.0\"?>\n<USERTAG_DATABASE/>\n");
    EXPECT_EQ(Load(dir / "empty.xml"), 1);
}

TEST_F(TagDbTest, RefusedSaveLeavesTheOldFileAlone) {
    const fs::path path = Write("user.xml", "old contents");
    TagTable saved;
    saved[100] = UserTag(CODING_BOOL, "FLAG", "True");
    saved[101] = UserTag(CODING_BD_ADDR, "ADDR", "11 22 33 44 55 66");
    EXPECT_EQ(CNvdsConfig::SaveUserTagDb(path.string(), saved, prompter), 0);
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Error coding"});

    // Texts an XML file cannot hold would not read back: refused as a failed save.
    saved[101] = UserTag(CODING_BOOL, "CTRL\x01", "True");
    prompter.Clear();
    EXPECT_EQ(CNvdsConfig::SaveUserTagDb(path.string(), saved, prompter), 0);
    saved[101] = UserTag(CODING_STRING_ASCII, "LATIN1", "caf\xE9");
    EXPECT_EQ(CNvdsConfig::SaveUserTagDb(path.string(), saved, prompter), 0);
    saved[101].def.defaultText = "cafe";
    EXPECT_EQ(CNvdsConfig::SaveUserTagDb((dir / "no" / "dir.xml").string(), saved, prompter), 0);
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>(3, "Save fail!!"));

    EXPECT_EQ(ReadFile(path), "old contents");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(TagDbTest, ShippedSystemCatalogueIsComplete) {
    const fs::path shipped =
        fs::path(std::getenv("NVDS_TEST_DATA")) / ".." / ".." / "data" / "zbkey_db.xml";
    ASSERT_EQ(Load(shipped), 1);
    EXPECT_TRUE(prompter.shown.empty());
    const std::vector<uint32_t> codes = DefinedCodes(table);
    EXPECT_GE(codes.size(), 20u);
    EXPECT_LE(codes.size(), 30u);
    EXPECT_EQ(table[1].def.coding, CODING_BD_ADDR);
    EXPECT_TRUE(table[1].def.show);
    EXPECT_EQ(table[2].def.coding, CODING_STRING_ASCII);
    EXPECT_TRUE(table[2].def.lengthVariable);
    std::set<uint32_t> codings, numberLengths;
    int readOnly = 0, hidden = 0, withDict = 0;
    for (uint32_t code : codes) {
        const TagDef& def = table[code].def;
        codings.insert(def.coding);
        if (def.coding == CODING_NUMBER) {
            numberLengths.insert(def.length);
        }
        readOnly += def.readOnly;
        hidden += !def.show;
        withDict += !def.dict.empty();
        // Every default must become bytes, as a burn of the defaults needs.
        std::vector<uint8_t> bytes(def.length);
        EXPECT_GE(TextToBytes(def.coding, def.defaultText, bytes.data(), def.length), 0) << code;
    }
    EXPECT_EQ(codings.size(), 5u);
    EXPECT_EQ(numberLengths, (std::set<uint32_t>{1, 2, 4}));
    EXPECT_GE(readOnly, 1);
    EXPECT_GE(hidden, 1);
    EXPECT_GE(withDict, 1);
}

}  // namespace
}  // namespace nvds
