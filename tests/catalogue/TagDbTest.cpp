#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "catalogue/NvdsConfig.h"
#include "common/TestFiles.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

using test::ReadFile;

std::vector<uint32_t> DefinedCodes(const TagTable& table) {
    std::vector<uint32_t> codes;
    for (uint32_t code = 0; code < TAG_TABLE_SIZE; ++code) {
        if (table[code].IsDefined()) {
            codes.push_back(code);
        }
    }
    return codes;
}

const fs::path kData = std::getenv("NVDS_TEST_DATA");
const fs::path kShipped = kData / ".." / ".." / "data";
const std::vector<std::string> kDamage = {"Config file damage"};

class TagDbTest : public ::testing::Test {
protected:
    int LoadText(const std::string& xml) {
        std::ofstream(dir / "db.xml", std::ios::binary) << xml;
        return Load(dir / "db.xml");
    }
    int Load(const fs::path& path) {
        prompter.Clear();
        return config.LoadTagDb(path.string(), table);
    }
    int Save(const fs::path& path, const TagTable& from) {
        prompter.Clear();
        return CNvdsConfig::SaveUserTagDb(path.string(), from, prompter);
    }

    test::ScratchDir scratch;
    const fs::path dir = scratch.Path();
    RecordingPrompter prompter;
    CNvdsConfig config{prompter, "", ""};
    TagTable table;
};

// A database of one element: prefix "ZB" or "USER", then attributes and children.
std::string OneTag(const std::string& prefix, const std::string& attributes,
                   const std::string& children =
                       "<DEFAULTVALUE>True</DEFAULTVALUE><LABEL>l</LABEL><DESCRIPTION>d"
                       "</DESCRIPTION>") {
    return "<" + prefix + "TAG_DATABASE>\n <!-- c -->\n <" + prefix + "TAG " + attributes + ">" +
           children + "</" + prefix + "TAG>\n</" + prefix + "TAG_DATABASE>";
}

TEST_F(TagDbTest, ReadsAttributeFormsAndCodeRanges) {
    ASSERT_EQ(
        LoadText(OneTag(
            "USER",
            R"(NAME="H" TAG="0x64" CODE="hex" LENGTH="4" READONLY="TRUE" SHOW="FALSE" DICT="01")",
            "<DEFAULTVALUE> 1122 </DEFAULTVALUE><LABEL> l </LABEL>"
            "<DESCRIPTION>\n  d  \n</DESCRIPTION>")),
        1);
    const TagEntry& hex = table[100];
    EXPECT_EQ(hex.valueText, " 1122 ");  // as read; the definition holds the normalised text
    EXPECT_EQ(hex.def.defaultText, "11 22 00 00");
    EXPECT_EQ(std::tie(hex.def.coding, hex.def.max, hex.def.readOnly, hex.def.show),
              std::make_tuple(CODING_ARRAY_HEX, 255u, true, false));
    EXPECT_EQ(std::tie(hex.def.dict, hex.def.label, hex.def.description),
              std::make_tuple("01", " l ", "d"));

    ASSERT_EQ(
        LoadText(OneTag(
            "USER",
            R"(NAME="W" TAG="254" CODE="NUM" LENGTH="4" MIN="0" MAX="-1" READONLY="1" SHOW="0")",
            "<DEFAULTVALUE>4294967295</DEFAULTVALUE><LABEL/><DESCRIPTION/>")),
        1);
    EXPECT_EQ(DefinedCodes(table), std::vector<uint32_t>{254});  // the earlier load is gone
    const TagDef& wide = table[254].def;
    EXPECT_EQ(std::tie(wide.coding, wide.max, wide.defaultText, wide.readOnly, wide.show),
              std::make_tuple(CODING_NUMBER, 0xFFFFFFFFu, "0xFFFFFFFF", false, true));

    ASSERT_EQ(LoadText(OneTag("ZB", R"(NAME="B" TAG="010" CODE="bool")")), 1);
    EXPECT_EQ(DefinedCodes(table), (std::vector<uint32_t>{8, 254}));  // octal code
}

TEST_F(TagDbTest, MissingOrWrongPartsAreDamage) {
    // Replaces a part of a good Number element, in its attributes or its children.
    auto with = [](const std::string& part, const std::string& by) {
        std::string attributes = R"(NAME="N" TAG="5" CODE="Number" LENGTH="2" MIN="1" MAX="9")";
        std::string children =
            "<DEFAULTVALUE>3</DEFAULTVALUE><LABEL>l</LABEL><DESCRIPTION>d</DESCRIPTION>";
        for (std::string* text : {&attributes, &children}) {
            if (size_t at = text->find(part); at != std::string::npos) {
                text->replace(at, part.size(), by);
            }
        }
        return OneTag("ZB", attributes, children);
    };
    ASSERT_EQ(LoadText(with("N", "N")), 1);
    // clang-format off
    const std::vector<std::pair<const char*, const char*>> damage = {
        {"NAME=\"N\"", ""}, {"TAG=\"5\"", ""}, {"CODE=\"Number\"", ""}, {"LENGTH=\"2\"", ""},
        {"MIN=\"1\"", ""}, {"MAX=\"9\"", ""}, {"<DEFAULTVALUE>3</DEFAULTVALUE>", ""},
        {"<LABEL>l</LABEL>", ""}, {"<DESCRIPTION>d</DESCRIPTION>", ""},
        {"TAG=\"5\"", "TAG=\"0\""}, {"TAG=\"5\"", "TAG=\"100\""}, {"TAG=\"5\"", "TAG=\"x5\""},
        {"CODE=\"Number\"", "CODE=\"Integer\""}, {"LENGTH=\"2\"", "LENGTH=\"5\""},
        {"MAX=\"9\"", "MAX=\"0\""}};
    // clang-format on
    for (const auto& [part, by] : damage) {
        EXPECT_EQ(LoadText(with(part, by)), 0) << part << " -> " << by;
        EXPECT_EQ(prompter.Texts(), kDamage) << part;
        EXPECT_TRUE(DefinedCodes(table).empty()) << part;
    }
    const std::string text = R"x(NAME="S" TAG="2" CODE="String(Ascii)" LENGTH_VARIABLE="true" )x";
    EXPECT_EQ(LoadText(OneTag("ZB", text + "LENGTH=\"4096\"")), 1);
    EXPECT_EQ(LoadText(OneTag("ZB", text + "LENGTH=\"0x1001\"")), 0);
}

TEST_F(TagDbTest, HostileFilesReportDamageAndKeepOnlyWhatWasRead) {
    struct Case {
        const char* file;
        int result;
        std::vector<std::string> messages;
        const char* cleared;            // range emptied before reading: "system", "user", ""
        std::vector<uint32_t> defined;  // slots of that range read before the damage
    };
    const std::vector<std::string> rejected = {"Num Type error, current value is 0x3",
                                               "Config file damage"};
    // clang-format off
    const std::vector<Case> cases = {
        {"wrong_root.xml", 0, {}, "", {}},
        {"random.bin", 0, {}, "", {}},
        {"missing.xml", 0, {}, "", {}},
        {"user_element_in_system.xml", 0, kDamage, "system", {1}},
        {"duplicate_code.xml", 0, kDamage, "user", {105}},
        {"code_outside_range.xml", 0, kDamage, "user", {}},
        {"bad_code.xml", 0, kDamage, "system", {}},
        {"length_too_big.xml", 0, kDamage, "system", {}},
        {"max_below_min.xml", 0, kDamage, "system", {}},
        {"default_rejected.xml", 0, rejected, "system", {4}},
        // Cut inside the fifth tag's closing tags: recover mode repairs it, so it reads.
        {"truncated.xml", 1, {}, "system", {1, 2, 3, 4, 5}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        table = TagTable{};
        ASSERT_EQ(Load(kShipped / "zbkey_db.xml") + Load(kShipped / "userkey_db.xml"), 2);
        std::vector<uint32_t> expected = c.defined;
        for (uint32_t code : DefinedCodes(table)) {
            if ((code < TAG_USER_FIRST ? "system" : "user") != std::string(c.cleared)) {
                expected.push_back(code);
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Load(kData / "catalogue" / c.file), c.result);
        EXPECT_EQ(prompter.Texts(), c.messages);
        EXPECT_EQ(DefinedCodes(table), expected);
    }
    EXPECT_EQ(Load(kData / "catalogue" / "duplicate_code.xml"), 0);
    EXPECT_EQ(table[105].def.name, "FIRST");  // of two equal codes the first is kept
}

TEST_F(TagDbTest, SavedUserDatabaseReadsBackTheSameDefinitions) {
    TagTable saved;
    for (uint32_t code : {5u, 120u, 200u, 254u}) {  // 5 lies outside the user range
        saved[code].mark = TAG_ENTRY_MARK;
    }
    auto def = [](const char* name, TagCoding coding, const char* value, uint32_t length) {
        TagDef d;
        d.name = name;
        d.coding = coding;
        d.defaultText = value;
        d.length = length;
        d.max = 255;
        d.show = true;
        return d;
    };
    saved[5].def = def("SYS", CODING_BOOL, "True", 1);
    saved[120].def = def("WIDE", CODING_NUMBER, "0x80000005", 4);
    saved[120].def.min = 0x80000000;
    saved[120].def.max = 0xFFFFFFFF;
    saved[120].def.readOnly = true;
    saved[120].def.label = "wide";
    saved[120].def.description = "About";
    saved[200].def = def("TEXT", CODING_STRING_ASCII, "a<b&c\"d'", 32);
    saved[200].def.lengthVariable = true;
    saved[200].def.label = "tab\there\nnew line";
    saved[200].def.description = "caf\xC3\xA9 \xE4\xB8\xAD";  // UTF-8, as libxml2 hands out
    saved[254].def = def("KEY", CODING_ARRAY_HEX, "01 02 03 04", 4);

    const fs::path path = dir / "user.xml";
    ASSERT_EQ(Save(path, saved), 1);
    EXPECT_NE(ReadFile(path).find(
                  R"(<USERTAG MIN="-2147483648" MAX="-1" LENGTH="0x4" LENGTH_VARIABLE="False" )"
                  R"(READONLY="True" CODE="Number" TAG="120" NAME="WIDE"><DEFAULTVALUE>0x80000005)"
                  R"(</DEFAULTVALUE><LABEL>wide</LABEL><DESCRIPTION>About</DESCRIPTION>)"),
              std::string::npos);
    ASSERT_EQ(Load(path), 1);
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_EQ(DefinedCodes(table), (std::vector<uint32_t>{120, 200, 254}));
    for (uint32_t code : {120u, 200u, 254u}) {
        EXPECT_EQ(table[code].def, saved[code].def) << code;
    }

    // The shipped user database is exactly what the writer makes of it.
    ASSERT_EQ(Load(kShipped / "userkey_db.xml"), 1);
    ASSERT_EQ(Save(path, table), 1);
    EXPECT_EQ(ReadFile(path), ReadFile(kShipped / "userkey_db.xml"));
    CNvdsConfig::ClearTagRange(TAGDB_USER, table);
    ASSERT_EQ(Save(path, table), 1);
    EXPECT_EQ(ReadFile(path), "<?xml version=\"1.0\"?>\n<USERTAG_DATABASE/>\n");
}

TEST_F(TagDbTest, RefusedSaveLeavesTheOldFileAlone) {
    const fs::path path = dir / "user.xml";
    std::ofstream(path) << "old";
    TagTable saved;
    saved[100].mark = saved[101].mark = TAG_ENTRY_MARK;
    saved[100].def = TagDef{"F", "True", 0, 1, 1, false, false, true, "", CODING_BOOL, "", ""};
    saved[101].def = saved[100].def;
    saved[101].def.coding = CODING_BD_ADDR;
    EXPECT_EQ(Save(path, saved), 0);
    EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Error coding"});
    // Texts an XML file cannot hold (they would not read back), and a folder that is missing.
    saved[101].def = saved[100].def;
    for (const char* name : {"CTRL\x01", "caf\xE9", "OK"}) {
        saved[101].def.name = name;
        EXPECT_EQ(Save(name == std::string("OK") ? dir / "no" / "such.xml" : path, saved), 0);
        EXPECT_EQ(prompter.Texts(), std::vector<std::string>{"Save fail!!"});
    }
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// A child that loads a hostile file may take this long and this much memory beyond what it
// started with; the unguarded reader needed 44 s and 5.8 GB for the entity blow-up.
constexpr unsigned kSecondsAllowed = 20;
constexpr rlim_t kExtraAddressSpace = rlim_t{1} << 30;
constexpr long kExtraPeakKb = 512 * 1024;

uint64_t AddressSpaceBytes() {
    uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Runs `check` in a child process under an address-space limit and an alarm. Empty when it
// returned true within the bounds; otherwise what went wrong. AddressSanitizer maps its heap
// inside space it reserved at start, so there the peak resident size is the memory bound.
std::string InBoundedChild(const std::function<bool()>& check) {
    rusage parent{};
    getrusage(RUSAGE_SELF, &parent);
    const pid_t pid = fork();
    if (pid < 0) {
        return "no child";
    }
    if (pid == 0) {
        const rlim_t limit = AddressSpaceBytes() + kExtraAddressSpace;
        const rlimit addressSpace{limit, limit};
        setrlimit(RLIMIT_AS, &addressSpace);
        alarm(kSecondsAllowed);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    rusage child{};
    wait4(pid, &status, 0, &child);
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (time or memory)";
    }
    if (child.ru_maxrss > parent.ru_maxrss + kExtraPeakKb) {
        return "peak memory " + std::to_string(child.ru_maxrss) + " kB";
    }
    return WEXITSTATUS(status) == 0 ? "" : "other outcome (printed above)";
}

struct Outcome {
    int result;
    std::vector<std::string> texts;
    std::vector<uint32_t> defined;
    bool operator==(const Outcome&) const = default;
};

// Loads the shipped databases, then `path`, into one table: what did the last load do?
Outcome LoadAfterShipped(const fs::path& path) {
    RecordingPrompter prompter;
    CNvdsConfig config(prompter, "", "");
    auto table = std::make_unique<TagTable>();
    config.LoadTagDb((kShipped / "zbkey_db.xml").string(), *table);
    config.LoadTagDb((kShipped / "userkey_db.xml").string(), *table);
    prompter.Clear();
    const int result = config.LoadTagDb(path.string(), *table);
    return {result, prompter.Texts(), DefinedCodes(*table)};
}

// A system database of one Bool tag with code 7; `prolog` goes before the root, `attributes`
// into the tag's start tag, `description` into its DESCRIPTION.
std::string SystemDb(const std::string& prolog, const std::string& attributes = "",
                     const std::string& description = "d", const std::string& rootAttributes = "") {
    return prolog + "<ZBTAG_DATABASE" + rootAttributes + ">\n<ZBTAG NAME=\"A\" TAG=\"7\" " +
           "CODE=\"Bool\"" + attributes + "><DEFAULTVALUE>True</DEFAULTVALUE><LABEL>l</LABEL>" +
           "<DESCRIPTION>" + description + "</DESCRIPTION></ZBTAG>\n</ZBTAG_DATABASE>\n";
}

// `count` times `text`, and at least `bytes` bytes of it; "%d" in `text` is the index.
std::string Repeat(const std::string& text, size_t count, size_t bytes = 0) {
    std::string out;
    const size_t at = text.find("%d");
    for (size_t i = 0; i < count || out.size() < bytes; ++i) {
        out += at == std::string::npos
                   ? text
                   : text.substr(0, at) + std::to_string(i) + text.substr(at + 2);
    }
    return out;
}

// The one-tag database padded with a comment to exactly `size` bytes.
std::string PaddedTo(size_t size) {
    const std::string db = SystemDb("");
    return db + "<!--" + std::string(size - db.size() - 7, 'x') + "-->";
}

TEST(HostileTagDb, RefusedQuicklyWithinBoundsAndTheTableKept) {
    test::ScratchDir scratch;
    const fs::path dir = scratch.Path();
    const std::vector<uint32_t> shipped = LoadAfterShipped(kShipped / "zbkey_db.xml").defined;
    std::vector<uint32_t> replaced = {7};  // the system range read from a file holding tag 7
    std::copy_if(shipped.begin(), shipped.end(), std::back_inserter(replaced),
                 [](uint32_t code) { return code >= TAG_USER_FIRST; });
    const Outcome damage{0, kDamage, shipped};
    const Outcome unreadable{0, {}, shipped};
    const Outcome read{1, {}, replaced};

    // The 160 KB file that took 44 s and 5.8 GB: 100,000 characters referenced 20,000 times.
    const std::string big = "<!DOCTYPE ZBTAG_DATABASE [<!ENTITY e \"" + std::string(100000, 'x');
    const std::string small = "<!DOCTYPE ZBTAG_DATABASE [<!ENTITY e \"" + std::string(10000, 'x');
    const std::string dtd = "<!DOCTYPE ZBTAG_DATABASE ";
    const std::string attributes = " a%d=\"\"";
    struct Case {
        const char* name;
        std::string content;  // written to the file; empty for the special files below
        Outcome expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"entity blow-up", SystemDb(big + "\">]>", "", Repeat("&e;", 20000)), damage},
        {"entities in attributes",
         SystemDb(small + "\">]>", " DICT=\"" + Repeat("&e;", 20000) + "\""), damage},
        {"internal DTD", SystemDb(dtd + "[<!ELEMENT ZBTAG_DATABASE ANY>]>"), damage},
        {"external DTD", SystemDb(dtd + "SYSTEM \"zbkey.dtd\">"), damage},
        {"entity from a file",
         SystemDb(dtd + "[<!ENTITY p SYSTEM \"file:///etc/passwd\">]>", "", "&p;"), damage},
        {"entity from a URL",
         SystemDb(dtd + "[<!ENTITY p SYSTEM \"http://127.0.0.1:9/tags\">]>", "", "&p;"), damage},
        {"at the size cap", PaddedTo(4 << 20), read},
        {"one byte over the size cap", PaddedTo((4 << 20) + 1), damage},
        {"2 MB of distinct attributes", SystemDb("", Repeat(attributes, 0, 2 << 20)), damage},
        {"64 attributes in one tag", SystemDb("", Repeat(attributes, 61)), read},
        {"65 attributes in one tag", SystemDb("", Repeat(attributes, 62)), damage},
        {"8 namespaces", SystemDb("", "", "d", Repeat(" xmlns:n%d=\"urn:n\"", 8)), read},
        {"9 namespaces", SystemDb("", "", "d", Repeat(" xmlns:n%d=\"urn:n\"", 9)), damage},
        {"fifo", "", unreadable},
        {"directory", "", unreadable},
        {"/dev/zero", "", unreadable},
        {"vanished", "", unreadable},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path path = dir / "db.xml";
        fs::remove_all(path);
        const std::string name = c.name;
        if (!c.content.empty()) {
            std::ofstream(path, std::ios::binary) << c.content;
        } else if (name == "fifo") {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else if (name == "directory") {
            fs::create_directory(path);
        } else if (name == "/dev/zero") {
            path = name;
        } else {
            std::ofstream(path) << SystemDb("");
            fs::remove(path);
        }
        EXPECT_EQ(InBoundedChild([&] {
                      const Outcome got = LoadAfterShipped(path);
                      if (!(got == c.expected)) {
                          std::cerr << name << ": result " << got.result << ", texts "
                                    << ::testing::PrintToString(got.texts) << ", defined "
                                    << ::testing::PrintToString(got.defined) << "\n";
                      }
                      return got == c.expected;
                  }),
                  "");
    }
}

}  // namespace
}  // namespace nvds
