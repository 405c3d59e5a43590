#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/AppFolder.h"

namespace nvds {
namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the nvds tool that lies beside this test with stdout and stderr caught in files.
ToolRun RunNvds(std::vector<std::string> args) {
    const std::string base = ::testing::TempDir() + "nvds_tags." + std::to_string(getpid());
    const std::string outPath = base + ".out";
    const std::string errPath = base + ".err";
    args.insert(args.begin(), GetAppFolder() + "/nvds");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    ToolRun run;
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return run;
}

std::string Sample(const std::string& name) {
    return std::string(std::getenv("NVDS_TEST_DATA")) + "/catalogue/" + name;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(TagsCommand, ListsShippedCatalogueInCodeOrder) {
    ToolRun run = RunNvds({"tags"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 23u);
    EXPECT_EQ(
        lines[0],
        "1\tBD_ADDR\tBD Address\tBD Addr\t6\t0x0\t0xFF\tfalse\tfalse\ttrue\t\tC0 11 22 33 44 55");
    EXPECT_EQ(
        lines[1],
        "2\tDEVICE_NAME\tDevice Name\tString(Ascii)\t32\t0x0\t0xFF\ttrue\tfalse\ttrue\t\tKestrel "
        "BLE");
    EXPECT_EQ(lines.back(),
              "102\tBUZZER_ENABLE\tBuzzer Enable\tBool\t1\t0x0\t0x1\tfalse\tfalse\ttrue\t\tTrue");
    int previous = 0;
    for (const std::string& line : lines) {
        int code = std::atoi(line.c_str());
        EXPECT_GT(code, previous) << line;
        previous = code;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 11) << line;
    }
}

TEST(TagsCommand, JsonCarriesEveryField) {
    ToolRun run = RunNvds({"tags", "--json", "--user", Sample("missing.xml")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    nlohmann::json list = nlohmann::json::parse(run.out);
    ASSERT_TRUE(list.is_array());
    EXPECT_EQ(list.size(), Lines(RunNvds({"tags", "--user", Sample("missing.xml")}).out).size());
    const nlohmann::json& first = list.at(0);
    EXPECT_EQ(first.at("code"), 1);
    EXPECT_EQ(first.at("coding"), "BD Addr");
    EXPECT_EQ(first.at("max"), 255);
    EXPECT_EQ(first.at("show"), true);
    for (const char* key : {"name", "defaultText", "min", "length", "lengthVariable", "readOnly",
                            "dict", "label", "description"}) {
        EXPECT_TRUE(first.contains(key)) << key;
    }
    EXPECT_FALSE(first.at("description").get<std::string>().empty());
}

TEST(TagsCommand, DamagedDatabasesReportAndExit) {
    ToolRun run = RunNvds({"tags", "--system", Sample("default_rejected.xml")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(
        run.err,
        "Num Type error, current value is 0x3\nConfig file damage\nConfig file damage, Please "
        "re-install the application\n");

    for (const char* file : {"random.bin", "wrong_root.xml", "missing.xml", "duplicate_code.xml"}) {
        run = RunNvds({"tags", "--system", Sample(file)});
        EXPECT_EQ(run.exitCode, 1) << file;
        EXPECT_EQ(Lines(run.err).back(), "Config file damage, Please re-install the application");
    }

    // A damaged user database costs only the user tags after the damage.
    run = RunNvds({"tags", "--user", Sample("duplicate_code.xml")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "Config file damage\n");
    EXPECT_EQ(Lines(run.out).back().rfind("105\tFIRST\t", 0), 0u);

    run = RunNvds({"tags", "--user", Sample("random.bin")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");

    run = RunNvds({"tags", "--frobnicate"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace nvds
