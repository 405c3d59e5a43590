#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/NvdsRun.h"
#include "platform/AppFolder.h"

namespace nvds::test {
namespace {

std::string TempPath(const std::string& name) {
    return test::TempPath("nvds_burncli", name);
}

// Every stdout line as a JSON object; a line that does not parse fails the test.
std::vector<nlohmann::json> Events(const std::string& out) {
    std::vector<nlohmann::json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        events.push_back(nlohmann::json::parse(line));
    }
    return events;
}

// The events expected from a run on `port`: connecting, connected, `passes` times pages 1..16,
// then `tail`.
std::vector<nlohmann::json> Expected(const std::string& port, int passes,
                                     const std::vector<nlohmann::json>& tail) {
    std::vector<nlohmann::json> events = {{{"event", "connecting"}, {"port", port}},
                                          {{"event", "connected"}, {"port", port}}};
    for (int pass = 0; pass < passes; ++pass) {
        for (int page = 1; page <= 16; ++page) {
            events.push_back({{"event", "page"}, {"port", port}, {"page", page}, {"of", 16}});
        }
    }
    events.insert(events.end(), tail.begin(), tail.end());
    return events;
}

// The seconds of the done event, which cannot be known beforehand, checked and dropped.
void TakeSeconds(std::vector<nlohmann::json>& events) {
    ASSERT_FALSE(events.empty());
    nlohmann::json& done = events.back();
    ASSERT_TRUE(done.contains("seconds"));
    EXPECT_GT(done["seconds"].get<double>(), 0.0);
    done.erase("seconds");
}

// A port that does not open: the fixed text, the port's reason and the link state, on stderr
// and in the error event alike.
TEST(BurnCli, PortThatDoesNotOpenSaysWhy) {
    const std::string port = TempPath("absent");
    const ToolRun run = RunNvds("dump --port '" + port + "' --json -o '" + TempPath("x") + "'");
    EXPECT_EQ(run.exitCode, 1);
    const std::string failure =
        "Open COM port failed!\n" + port + ": No such file or directory\nDisconnected";
    EXPECT_NE(run.err.find(failure + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(Events(run.out),
              (std::vector<nlohmann::json>{
                  {{"event", "connecting"}, {"port", port}},
                  {{"event", "error"}, {"port", port}, {"code", 1}, {"message", failure}}}));
}

// A fresh chip's area is erased: a dump says so, exits 3 and writes nothing. A verified burn
// then says it verified, below the burn's own success line.
TEST(BurnCli, ErasedDumpAndVerifiedBurnSayWhatHappened) {
    const std::string link = TempPath("fresh");
    const std::string image = TempPath("fresh_in.nvds");
    const std::string dumped = TempPath("fresh_out.nvds");
    pid_t sim = StartNvdsSim(link);
    ASSERT_GT(sim, 0);

    const ToolRun erased = RunNvds("dump --port '" + link + "' --json -o '" + dumped + "'");
    EXPECT_EQ(erased.exitCode, 3) << erased.err;
    EXPECT_NE(erased.err.find("\nthe chip's NVDS area is erased\n"), std::string::npos)
        << erased.err;
    EXPECT_NE(access(dumped.c_str(), F_OK), 0);  // nothing written
    EXPECT_EQ(Events(erased.out), Expected(link, 1,
                                           {{{"event", "error"},
                                             {"port", link},
                                             {"code", 3},
                                             {"message", "the chip's NVDS area is erased"}}}));

    std::ofstream(image, std::ios::binary) << "NVDS" << std::string(4092, '\x5A');
    const ToolRun verify = RunNvds("burn --port '" + link + "' --verify '" + image + "'");
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_NE(verify.err.find("Burn configuration data to target: success\n"
                              "verified: 16 pages read back equal\n"),
              std::string::npos)
        << verify.err;

    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    std::remove(image.c_str());
}

// A simulated chip with a weak page 5 behind `nvds sim`: a verified burn names the page and
// exits 4, a dump and a burn of what the chip holds succeed, the latter writing nothing.
TEST(BurnCli, VerifySkipIdenticalAndJsonEvents) {
    const std::string link = TempPath("chip");
    const std::string flash = TempPath("flash.bin");
    const std::string image = TempPath("in.nvds");
    const std::string dumped = TempPath("out.nvds");
    const pid_t sim = StartNvdsSim(link, {"--flash", flash, "--weak-page", "5"});
    ASSERT_GT(sim, 0);
    std::string bytes(4096, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 + (i >> 8));
    }
    bytes.replace(0, 4, "NVDS");
    std::ofstream(image, std::ios::binary) << bytes;

    const ToolRun verify = RunNvds("burn --port '" + link + "' --verify --json '" + image + "'");
    EXPECT_EQ(verify.exitCode, 4) << verify.err;
    const std::string failure =
        "Burn configuration data to target: error\nVerify failed: page 5, offset 0x0580";
    EXPECT_NE(verify.err.find(failure + "\n"), std::string::npos) << verify.err;
    EXPECT_EQ(Events(verify.out),
              Expected(link, 2,
                       {{{"event", "error"}, {"port", link}, {"code", 4}, {"message", failure}}}));

    const ToolRun dump = RunNvds("dump --port '" + link + "' --json -o '" + dumped + "'");
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    std::vector<nlohmann::json> dumpEvents = Events(dump.out);
    TakeSeconds(dumpEvents);
    EXPECT_EQ(dumpEvents, Expected(link, 1, {{{"event", "done"}, {"port", link}}}));
    std::string weak = bytes;
    weak[0x580] = static_cast<char>(weak[0x580] ^ 0x01);
    EXPECT_EQ(ReadFile(dumped), weak);

    // The chip holds the dumped bytes: nothing is erased, the flash file keeps its time.
    const auto written = std::filesystem::last_write_time(flash);
    const ToolRun skip =
        RunNvds("burn --port '" + link + "' --skip-identical --safe-order --json '" + dumped + "'");
    EXPECT_EQ(skip.exitCode, 0) << skip.err;
    // One line says what happened: nothing was written, so no burn succeeded either.
    EXPECT_NE(skip.err.find("\nidentical: nothing written\n"), std::string::npos) << skip.err;
    EXPECT_EQ(skip.err.find("Burn configuration data to target: success"), std::string::npos)
        << skip.err;
    std::vector<nlohmann::json> skipEvents = Events(skip.out);
    TakeSeconds(skipEvents);
    EXPECT_EQ(skipEvents, Expected(link, 1,
                                   {{{"event", "skipped"}, {"port", link}},
                                    {{"event", "done"}, {"port", link}}}));
    EXPECT_EQ(std::filesystem::last_write_time(flash), written);
    EXPECT_EQ(ReadFile(flash).substr(0, 4096), weak);

    kill(sim, SIGTERM);
    int status = 0;
    waitpid(sim, &status, 0);
    for (const std::string& path : {flash, image, dumped}) {
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace nvds::test
