// nvds line as a process against simulated chips on ptys: killed outright in the middle of a
// burn, restarted, and run until its range is used up, with every event line parsed.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/NvdsRun.h"
#include "image/NvdsImage.h"
#include "line/ProductionRecord.h"
#include "line/RecordScratch.h"
#include "platform/AppFolder.h"
#include "sim/SimLink.h"

extern char** environ;

namespace nvds {
namespace {

// Starts nvds with `args`, stdout into `outFile`, stderr into `errFile`.
pid_t SpawnNvds(const std::vector<std::string>& args, const std::string& outFile,
                const std::string& errFile) {
    std::string tool = GetAppFolder() + "/nvds";
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Every stdout line as JSON; each must parse and carry "event" and "port".
std::vector<nlohmann::json> EventLines(const std::string& out) {
    std::vector<nlohmann::json> events;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << out.substr(start);
            break;
        }
        nlohmann::json event = nlohmann::json::parse(out.substr(start, end - start));
        EXPECT_TRUE(event.contains("event") && event.contains("port")) << event.dump();
        events.push_back(event);
        start = end + 1;
    }
    return events;
}

std::vector<std::string> Kinds(const std::vector<nlohmann::json>& events) {
    std::vector<std::string> kinds;
    for (const auto& event : events) {
        if (event["event"] != "page") {
            kinds.push_back(event["event"]);
        }
    }
    return kinds;
}

TEST(LineCliTest, KilledMidBurnThenRestartedNeverReusesAnAddress) {
    test::ScratchFolder scratch;
    const std::string golden = scratch.Path("golden.nvds");
    const std::string record = scratch.Path("record.db");
    ASSERT_EQ(test::RunNvds("build -o '" + golden + "'").exitCode, 0);
    SimOptions options;
    options.pace = true;
    options.programMs = 40;  // a burn long enough to be killed in
    CSimLink chip(options);
    std::string error;
    ASSERT_TRUE(chip.Start(&error)) << error;
    std::vector<std::string> args{"line",
                                  "--port",
                                  chip.SlavePath(),
                                  "--image",
                                  golden,
                                  "--first-address",
                                  "C0 11 22 00 00 01",
                                  "--record",
                                  record,
                                  "--count",
                                  "1",
                                  "--json"};
    const std::string out = scratch.Path("out");
    const std::string err = scratch.Path("err");

    pid_t pid = SpawnNvds(args, out, err);
    // Killed once the burn has programmed a few pages.
    for (int i = 0; i < 3000 && test::ReadFile(out).find("\"page\":4,") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(test::ReadFile(out).find("\"page\":4,"), std::string::npos) << test::ReadFile(err);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    pid = SpawnNvds(args, out, err);
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << test::ReadFile(err);
    std::vector<nlohmann::json> events = EventLines(test::ReadFile(out));
    EXPECT_EQ(Kinds(events),
              (std::vector<std::string>{"connecting", "connected", "verified", "done"}));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["address"], "C0 11 22 00 00 02");
    EXPECT_EQ(events.back()["port"], chip.SlavePath());
    EXPECT_EQ(events.size(), 4u + 32u);  // 16 pages programmed, 16 read back

    std::string openError;
    auto reader = line::OpenProductionRecordToRead(record, openError);
    ASSERT_TRUE(reader) << openError;
    std::vector<line::RecordRow> rows;
    ASSERT_TRUE(reader->Rows(rows));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(line::AddressText(rows[0].address), "C0 11 22 00 00 01");
    EXPECT_EQ(rows[0].state, line::RECORD_ABANDONED);
    EXPECT_EQ(line::AddressText(rows[1].address), "C0 11 22 00 00 02");
    EXPECT_EQ(rows[1].state, line::RECORD_VERIFIED);

    // The range ends at the address just burned: nothing is left to hand out. A fresh chip:
    // the one burned carries its address and would be left alone.
    chip.SetFlash(std::vector<uint8_t>(NVDS_IMAGE_SIZE, 0xFF));
    args.insert(args.end(), {"--last-address", "C0 11 22 00 00 02"});
    pid = SpawnNvds(args, out, err);
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    events = EventLines(test::ReadFile(out));
    EXPECT_EQ(Kinds(events), (std::vector<std::string>{"connecting", "connected", "error"}));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2]["code"], 1);
    const std::string exhausted =
        "address range exhausted: every address from C0 11 22 00 00 01 to C0 11 22 00 00 02 has "
        "been handed out";
    EXPECT_EQ(events[2]["message"], exhausted);
    EXPECT_NE(test::ReadFile(err).find(chip.SlavePath() + ": " + exhausted + "\n"),
              std::string::npos)
        << test::ReadFile(err);
    chip.Stop();
}

// A socket whose chip never answers: the station waits past any connect limit until SIGTERM,
// then the tool exits 1 with nothing reserved.
TEST(LineCliTest, TerminatedWhileWaitingForAChip) {
    test::ScratchFolder scratch;
    const std::string golden = scratch.Path("golden.nvds");
    const std::string record = scratch.Path("record.db");
    ASSERT_EQ(test::RunNvds("build -o '" + golden + "'").exitCode, 0);
    SimOptions options;
    options.bootDelayMs = 3600 * 1000;  // silent for the whole test
    CSimLink chip(options);
    std::string error;
    ASSERT_TRUE(chip.Start(&error)) << error;
    const std::string out = scratch.Path("out");
    const std::string err = scratch.Path("err");
    pid_t pid = SpawnNvds({"line", "--port", chip.SlavePath(), "--image", golden, "--first-address",
                           "C0 11 22 00 00 01", "--record", record, "--json"},
                          out, err);
    for (int i = 0; i < 3000 && test::ReadFile(out).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Kinds(EventLines(test::ReadFile(out))), std::vector<std::string>{"connecting"});
    EXPECT_EQ(test::ReadFile(err), chip.SlavePath() + ": stopped: Stopped\n");
    std::string openError;
    auto reader = line::OpenProductionRecordToRead(record, openError);
    ASSERT_TRUE(reader) << openError;
    std::vector<line::RecordRow> rows;
    ASSERT_TRUE(reader->Rows(rows));
    EXPECT_TRUE(rows.empty());
    chip.Stop();
}

}  // namespace
}  // namespace nvds
