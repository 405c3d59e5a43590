#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/NvdsRun.h"

namespace nvds {
namespace {

using test::ToolRun;

// Runs "nvds tags" from beside this test, catching stdout, stderr and the exit code.
ToolRun RunTags(const std::string& args) {
    return test::RunNvds("tags " + args);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(TagsCommand, ListsTheCatalogueAsLinesOrJson) {
    ToolRun run = RunTags("");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 23u);
    EXPECT_EQ(
        lines[0],
        "1\tBD_ADDR\tBD Address\tBD Addr\t6\t0x0\t0xFF\tfalse\tfalse\ttrue\t\tC0 11 22 33 44 55");
    EXPECT_EQ(lines.back(),
              "102\tBUZZER_ENABLE\tBuzzer Enable\tBool\t1\t0x0\t0x1\tfalse\tfalse\ttrue\t\tTrue");
    run = RunTags("--json");
    EXPECT_EQ(run.exitCode, 0);
    const nlohmann::json list = nlohmann::json::parse(run.out);
    ASSERT_EQ(list.size(), lines.size());
    const nlohmann::json& name = list.at(1);
    EXPECT_EQ(name.at("code"), 2);
    EXPECT_EQ(name.at("coding"), "String(Ascii)");
    EXPECT_EQ(name.at("defaultText"), "Kestrel BLE");
    EXPECT_EQ(name.size(), 13u);  // every definition field and the code
    EXPECT_FALSE(name.at("description").get<std::string>().empty());
}

// A database named on the command line must load, the user database included: each failure
// names the option and the file, after whatever the reader itself reported.
TEST(TagsCommand, NamedDatabasesThatDoNotLoadFailNamingTheFile) {
    struct Case {
        const char* option;
        const char* file;
        const char* readerSays;
        const char* why;
    };
    const Case cases[] = {
        {"--system", "default_rejected.xml",
         "Num Type error, current value is 0x3\nConfig file damage\n", "not a valid tag database"},
        {"--system", "random.bin", "", "not a valid tag database"},
        {"--system", "missing.xml", "", "No such file or directory"},
        {"--user", "duplicate_code.xml", "Config file damage\n", "not a valid tag database"},
        {"--user", "random.bin", "", "not a valid tag database"},
        {"--user", "missing.xml", "", "No such file or directory"},
        // A whole, valid system database given as the user database.
        {"--user", "../app/sys_db.xml", "", "a system tag database, not a user tag database"},
    };
    for (const Case& c : cases) {
        // Built by appending: GCC 12 at -O3 reports a false -Wrestrict for "'" + std::string.
        std::string path = std::getenv("NVDS_TEST_DATA");
        path.append("/catalogue/").append(c.file);
        std::string args = c.option;
        args.append(" '").append(path).append("'");
        const ToolRun run = RunTags(args);
        EXPECT_EQ(run.exitCode, 1) << c.option << " " << c.file;
        EXPECT_EQ(run.out, "") << c.option << " " << c.file;
        EXPECT_EQ(run.err, c.readerSays + std::string(c.option) + " " + path + ": " + c.why + "\n");
    }

    const ToolRun run = RunTags("--frobnicate");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace nvds
