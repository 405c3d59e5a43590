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

// Built by appending: GCC 12 at -O3 reports a false -Wrestrict for "'" + std::string(...).
std::string Sample(const std::string& name) {
    std::string quoted = "'";
    quoted.append(std::getenv("NVDS_TEST_DATA")).append("/catalogue/").append(name).append("'");
    return quoted;
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

TEST(TagsCommand, DamagedDatabasesReportAndExit) {
    ToolRun run = RunTags("--system " + Sample("default_rejected.xml"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(
        run.err,
        "Num Type error, current value is 0x3\nConfig file damage\nConfig file damage, Please "
        "re-install the application\n");
    for (const char* file : {"random.bin", "missing.xml", "duplicate_code.xml"}) {
        run = RunTags("--system " + Sample(file));
        EXPECT_EQ(run.exitCode, 1) << file;
        EXPECT_TRUE(run.err.ends_with("Config file damage, Please re-install the application\n"));
    }

    // A damaged user database costs only the user tags from the damage on.
    run = RunTags("--user " + Sample("duplicate_code.xml"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "Config file damage\n");
    EXPECT_NE(run.out.find("\n105\tFIRST\t"), std::string::npos);
    run = RunTags("--user " + Sample("missing.xml"));
    EXPECT_EQ(std::make_tuple(run.exitCode, run.err), std::make_tuple(0, std::string()));

    run = RunTags("--frobnicate");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace nvds
