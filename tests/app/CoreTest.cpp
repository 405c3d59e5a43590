// Address arithmetic, the INI file and the tag description text: the parts of the desktop
// program that need no window.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/IniOp.h"
#include "app/TagDescription.h"
#include "catalogue/BdAddr.h"
#include "common/TestFiles.h"
#include "platform/IniFile.h"

namespace fs = std::filesystem;
using namespace nvds;

TEST(BdAddr, StepsOnlyTheLowerHalfWithA24BitWrap) {
    EXPECT_EQ(AdvanceBdAddrText(BDADDR_INCREASE, "00 11 22 33 44 FF", 0, 0), "00 11 22 33 45 00");
    EXPECT_EQ(AdvanceBdAddrText(BDADDR_INCREASE, "00 11 22 FF FF FF", 0, 0), "00 11 22 00 00 00");
    EXPECT_EQ(AdvanceBdAddrText(BDADDR_DECREASE, "AA BB CC 00 00 00", 0, 0), "AA BB CC FF FF FF");
    // Custom only rewrites the text in canonical form; spaces are ignored when reading.
    EXPECT_EQ(AdvanceBdAddrText(BDADDR_CUSTOM, "aabbcc010203", 0, 0), "AA BB CC 01 02 03");
    EXPECT_EQ(AdvanceBdAddrText(7, "11 22 33 44 55 66", 0, 0), "11 22 33 44 55 66");
    // Random keeps the upper half and draws the lower one from the two seeds alone.
    EXPECT_EQ(AdvanceBdAddrText(BDADDR_RANDOM, "C0 11 22 33 44 55", 1234, 5678),
              FormatBdAddr(0xC01122, RandomLowerHalf(1234, 5678)));
}

TEST(BdAddr, DamagedTextGivesHalvesFromItsConvertiblePieces) {
    BdAddrHalves h = ReadBdAddr("1G 22 3");
    // "1G" reads as 1, "22" as 0x22, "3" as 3; the missing lower half is 0.
    EXPECT_EQ(h.upper, 0x012203u);
    EXPECT_EQ(h.lower, 0u);
    EXPECT_EQ(ReadBdAddr("").upper, 0u);
    EXPECT_EQ(FormatBdAddr(0xFF123456, 0x1ABCDEF0), "12 34 56 BC DE F0");
}

TEST(IniFile, KeepsWriteOrderAndReadsLikeTheProfileFunctions) {
    test::ScratchDir dir;
    std::string path = dir / "a.ini";
    EXPECT_EQ(IniReadString(path, "Setting", "OSC", "none"), "none");  // no file yet
    ASSERT_TRUE(IniWriteString(path, "Setting", "B", "2"));
    ASSERT_TRUE(IniWriteString(path, "Setting", "A", "1"));
    ASSERT_TRUE(IniWriteString(path, "Other", "C", "x=y"));
    ASSERT_TRUE(IniWriteString(path, "setting", "b", "3"));  // names ignore case
    EXPECT_EQ(test::ReadFile(path), "[Setting]\nB=3\nA=1\n[Other]\nC=x=y\n");
    EXPECT_EQ(IniReadString(path, "OTHER", "c", ""), "x=y");
    EXPECT_EQ(IniReadInt(path, "Setting", "B", 9), 3);
    EXPECT_EQ(IniReadInt(path, "Setting", "Z", 9), 9);

    std::ofstream(path) << "junk\n[S]\n k = 12abc \nk=99\nnoequals\n";
    EXPECT_EQ(IniReadInt(path, "S", "K", 0), 12);  // first key wins, blanks trimmed
    // A file in a folder that does not exist cannot be written and reads as defaults.
    EXPECT_FALSE(IniWriteString(dir / "no/a.ini", "S", "k", "v"));
}

TEST(IniOp, FirstRunCreatesAnEmptyFileAndBoolsAreTrueOnlyAsTrueOrTrue) {
    test::ScratchDir dir;
    test::ScopedEnv config("XDG_CONFIG_HOME", dir.Path().c_str());
    CIniOp ini;
    ini.IniInit("Caption");
    fs::path file = dir / "Caption_config/config.ini";
    EXPECT_EQ(ini.m_szPath, file.string());
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_FALSE(ini.IniGetBool("AUTO_CONNECT"));

    const std::pair<const char*, bool> cases[] = {
        {"True", true}, {"true", true}, {"TRUE", false}, {"1", false}, {"yes", false}};
    for (const auto& [text, expected] : cases) {
        ini.IniWriteString("AUTO_CONNECT", text);
        EXPECT_EQ(ini.IniGetBool("AUTO_CONNECT"), expected) << text;
    }
    ini.IniClear();
    EXPECT_EQ(fs::file_size(file), 0u);

    // A second init keeps what the file holds.
    ini.IniWriteString("OSC", "16MHz");
    CIniOp again;
    again.IniInit("Caption");
    EXPECT_EQ(again.IniGetString("OSC", ""), "16MHz");
}

TEST(TagDescription, TextsPerCodingAreByteExact) {
    TagDef number;
    number.coding = CODING_NUMBER;
    number.length = 2;
    number.max = 0x1F4;
    number.description = "Period.";
    number.defaultText = "0x10";
    EXPECT_EQ(BuildTagDescription(number),
              "Description: \rPeriod.\r\rCoding: Number (little endian)\rType  : uint16_t\r"
              "Range : 0x0 ~ 0x1F4\rReset : 0x10");
    number.length = 3;
    EXPECT_NE(BuildTagDescription(number).find("\rType  : error type\r"), std::string::npos);

    TagDef flag;
    flag.coding = CODING_BOOL;
    flag.defaultText = "True";
    EXPECT_EQ(BuildTagDescription(flag),
              "Description: \r\r\rCoding: Bool\rType  : bool(1 byte)\rRange : False or True\r"
              "Reset : True");

    TagDef name;
    name.coding = CODING_STRING_ASCII;
    name.length = 16;
    name.lengthVariable = true;
    name.defaultText = "abc";
    EXPECT_EQ(BuildTagDescription(name),
              "Description: \r\r\rCoding: Ascii string (MSB)\rLength: 16 byte (Max length)\r"
              "Reset : abc");
    name.lengthVariable = false;
    EXPECT_NE(BuildTagDescription(name).find("16 byte (Fixed length)\rReset"), std::string::npos);

    TagDef addr;
    addr.coding = CODING_BD_ADDR;
    addr.length = 6;
    EXPECT_NE(BuildTagDescription(addr).find("Coding: BD address (LSB)\rLength: 6 byte\rReset : "),
              std::string::npos);
    TagDef hex;
    hex.length = 4;
    EXPECT_NE(BuildTagDescription(hex).find("Coding: Hex array (MSB)\rLength: 4 byte\r"),
              std::string::npos);

    TagDef odd;
    odd.coding = static_cast<TagCoding>(9);
    bool known = true;
    EXPECT_EQ(BuildTagDescription(odd, &known), "Description: \r\r\rCoding: \r\rReset : ");
    EXPECT_FALSE(known);
}
