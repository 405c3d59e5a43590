// nvds line as a process against simulated chips on ptys: killed outright in the middle of a
// burn, restarted, and run until its range is used up, with every event line parsed.

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/NvdsRun.h"
#include "image/NvdsImage.h"
#include "line/LineProcess.h"
#include "line/ProductionRecord.h"
#include "line/RecordScratch.h"
#include "platform/AppFolder.h"
#include "sim/SimLink.h"

namespace nvds {
namespace {

using test::SpawnNvds;

// Every stdout line as JSON; each must parse and carry the fields every event has.
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
        EXPECT_EQ(event["v"], 1) << event.dump();
        static const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
        EXPECT_TRUE(std::regex_match(event.value("time", ""), iso)) << event.dump();
        for (const char* field : {"event", "time", "station", "port"}) {
            EXPECT_TRUE(event.contains(field) && event[field].is_string()) << event.dump();
        }
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

class LineCliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(test::RunNvds("build -o '" + golden + "'").exitCode, 0); }

    /// Starts `nvds line --json` on `port` from C0 11 22 00 00 01 with `more` options.
    pid_t Start(const std::string& port, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args{"line",
                                      "--port",
                                      port,
                                      "--image",
                                      golden,
                                      "--first-address",
                                      "C0 11 22 00 00 01",
                                      "--record",
                                      record,
                                      "--json"};
        args.insert(args.end(), more.begin(), more.end());
        return test::SpawnNvds(args, out, err);
    }

    /// The record's address table.
    std::vector<line::RecordRow> Rows() const {
        std::string error;
        auto reader = line::OpenProductionRecordToRead(record, error);
        std::vector<line::RecordRow> rows;
        EXPECT_TRUE(reader && reader->Addresses(rows)) << error;
        return rows;
    }

    test::ScratchFolder scratch;
    const std::string golden = scratch.Path("golden.nvds");
    const std::string record = scratch.Path("record.db");
    const std::string out = scratch.Path("out");
    const std::string err = scratch.Path("err");
};

TEST_F(LineCliTest, KilledMidBurnThenRestartedNeverReusesAnAddress) {
    SimOptions options;
    options.pace = true;
    options.programMs = 40;  // a burn long enough to be killed in
    CSimLink chip(options);
    std::string error;
    ASSERT_TRUE(chip.Start(&error)) << error;
    // Killed once the burn has programmed a few pages.
    pid_t pid = Start("bench-1=" + chip.SlavePath(), {"--count", "1"});
    ASSERT_TRUE(test::AwaitText(out, "\"page\":4,")) << test::ReadFile(err);
    kill(pid, SIGKILL);
    test::ExitCode(pid);

    EXPECT_EQ(test::ExitCode(Start("bench-1=" + chip.SlavePath(), {"--count", "1"})), 0)
        << test::ReadFile(err);
    std::vector<nlohmann::json> events = EventLines(test::ReadFile(out));
    EXPECT_EQ(Kinds(events), (std::vector<std::string>{"connecting", "connected", "verified",
                                                       "done", "stopped", "summary"}));
    ASSERT_EQ(events.size(), 6u + 32u);  // 16 pages programmed, 16 read back
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i]["station"], "bench-1") << events[i].dump();
        EXPECT_EQ(events[i]["port"], chip.SlavePath()) << events[i].dump();
    }
    const nlohmann::json& done = events[events.size() - 3];
    EXPECT_EQ(done["address"], "C0 11 22 00 00 02");
    EXPECT_EQ(events[events.size() - 2]["message"], "1 chip(s) done");
    const nlohmann::json& summary = events.back();
    EXPECT_EQ(summary["pass"], 1);
    EXPECT_EQ(summary["fail"], 0);
    EXPECT_EQ(summary["addresses_used"], 1);
    ASSERT_EQ(summary["stations"].size(), 1u);
    EXPECT_EQ(summary["stations"][0]["station"], "bench-1");
    const std::string log = test::ReadFile(err);
    EXPECT_NE(log.find("Golden image: golden.nvds (SHA-256 "), std::string::npos) << log;
    EXPECT_NE(log.find("First address: C0 11 22 00 00 02, "), std::string::npos) << log;
    // The chip in the socket when the line was killed is named for rework.
    EXPECT_NE(log.find("Rework: the chip on station "), std::string::npos) << log;
    EXPECT_NE(log.find(" (burn of C0 11 22 00 00 01 started "), std::string::npos) << log;
    EXPECT_NE(log.find("bench-1: PASS C0 11 22 00 00 02 ("), std::string::npos) << log;
    EXPECT_NE(log.find("Addresses used: 1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << "escape sequences in a plain log";

    const std::vector<line::RecordRow> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(line::AddressText(rows[0].address), "C0 11 22 00 00 01");
    EXPECT_EQ(rows[0].state, line::RECORD_ABANDONED);
    EXPECT_EQ(line::AddressText(rows[1].address), "C0 11 22 00 00 02");
    EXPECT_EQ(rows[1].state, line::RECORD_VERIFIED);

    // The range ends at the address just burned: nothing is left for the next, blank, chip.
    chip.Stop();
    CSimLink blank(options);
    ASSERT_TRUE(blank.Start(&error)) << error;
    EXPECT_EQ(test::ExitCode(Start("bench-1=" + blank.SlavePath(),
                                   {"--count", "1", "--last-address", "C0 11 22 00 00 02"})),
              1);
    events = EventLines(test::ReadFile(out));
    EXPECT_EQ(Kinds(events),
              (std::vector<std::string>{"connecting", "connected", "error", "stopped", "summary"}));
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2]["code"], 1);
    const std::string exhausted =
        "address range exhausted: every address from C0 11 22 00 00 01 to C0 11 22 00 00 02 has "
        "been handed out";
    EXPECT_EQ(events[2]["message"], exhausted);
    EXPECT_NE(test::ReadFile(err).find("bench-1: " + exhausted + "\n"), std::string::npos)
        << test::ReadFile(err);
    EXPECT_EQ(test::ReadFile(err).find("Rework"), std::string::npos) << "named once only";
    EXPECT_EQ(events[4]["next_address"], nullptr);
    blank.Stop();
}

// A socket whose chip never answers: the station waits past any connect limit until a signal
// (SIGTERM at once; SIGINT letting the station finish, which waiting needs none of), then the
// tool exits 1 with nothing reserved.
TEST_F(LineCliTest, SignalledWhileWaitingForAChip) {
    SimOptions options;
    options.bootDelayMs = 3600 * 1000;  // silent for the whole test
    CSimLink chip(options);
    std::string error;
    ASSERT_TRUE(chip.Start(&error)) << error;
    for (int signal : {SIGTERM, SIGINT}) {
        const pid_t pid = Start(chip.SlavePath());
        for (int i = 0; i < 3000 && test::ReadFile(out).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(pid, signal);
        EXPECT_EQ(test::ExitCode(pid), 1);
        EXPECT_EQ(Kinds(EventLines(test::ReadFile(out))),
                  (std::vector<std::string>{"connecting", "stopped", "summary"}));
        const std::string log = test::ReadFile(err);
        const std::string stopped = signal == SIGINT ? "Finished" : "Stopped";
        EXPECT_NE(log.find(chip.SlavePath() + ": stopped: " + stopped + "\n"), std::string::npos)
            << log;
        const bool finishing = log.find(
                                   "Finishing: each station completes the chip in its "
                                   "socket, then stops") != std::string::npos;
        EXPECT_EQ(finishing, signal == SIGINT) << log;
    }
    EXPECT_TRUE(Rows().empty());
    chip.Stop();
}

// Drops escape sequences (ESC [ ... letter) and carriage returns: what the operator reads.
std::string Visible(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            i += 2;
            while (i < text.size() && !std::isalpha(static_cast<unsigned char>(text[i]))) {
                ++i;
            }
        } else if (text[i] != '\r') {
            out += text[i];
        }
    }
    return out;
}

// The lines the operator reads, the ellipsis counted as the one column it takes.
std::vector<std::string> VisibleLines(const std::string& text) {
    std::string visible = Visible(text);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = visible.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = visible.substr(start, end - start);
        for (size_t at; (at = line.find("\xE2\x80\xA6")) != std::string::npos;) {
            line.replace(at, 3, ".");
        }
        lines.push_back(line);
    }
    return lines;
}

// Reads what the pty shows until `done` says so or about 30 s have passed.
template <typename Done>
void ReadUntil(int master, std::string& shown, Done done) {
    for (int i = 0; i < 3000 && !done(shown); ++i) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 10) > 0) {
            char buffer[4096];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            shown.append(buffer, static_cast<size_t>(n));
        }
    }
}

size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// On a terminal 80 columns wide the table's lines stay under 80 columns, every redraw goes back
// over exactly the lines drawn, and a narrower window (SIGWINCH) gets a table of its width.
TEST_F(LineCliTest, TableOnATerminalFitsAndFollowsItsWidth) {
    SimOptions options;
    options.bootDelayMs = 3600 * 1000;  // silent: the station keeps waiting
    CSimLink chip(options);
    std::string error;
    ASSERT_TRUE(chip.Start(&error)) << error;
    const std::string link =
        scratch.Path("usb-Prolific_Technology_Inc._USB-Serial_Controller_D_0123456789-if00-port0");
    ASSERT_EQ(symlink(chip.SlavePath().c_str(), link.c_str()), 0);
    const std::string tool = GetAppFolder() + "/nvds";
    std::vector<std::string> args{tool,       "line", "--port",          link,
                                  "--image",  golden, "--first-address", "C0 11 22 00 00 01",
                                  "--record", record};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    std::string shown;
    ReadUntil(master, shown, [](const std::string& s) { return s.find("TOTAL") != s.npos; });
    ASSERT_NE(shown.find("TOTAL"), std::string::npos) << shown;
    const size_t first = shown.size();
    size.ws_col = 50;
    ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);  // the kernel sends SIGWINCH
    ReadUntil(master, shown, [](const std::string& s) { return Count(s, "TOTAL") >= 2; });
    kill(pid, SIGTERM);
    ReadUntil(master, shown, [](const std::string& s) { return s.find("Summary:") != s.npos; });
    ReadUntil(master, shown, [](const std::string& s) { return s.find("Next address") != s.npos; });
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;

    // Drawn after the resize: a table below the old one (never back over it); on SIGTERM a note
    // and the table again, then the stop: each going back over the table's three lines.
    const std::string after = shown.substr(first, shown.find("Summary:") - first);
    EXPECT_EQ(Count(after, "TOTAL"), 3u) << after;
    EXPECT_EQ(after.find("\x1b[2KSTATION"), 0u) << after;
    EXPECT_EQ(Count(after, "\x1b[3A\x1b[JStopping now"), 1u) << after;
    EXPECT_EQ(Count(after, "\x1b[3A"), 2u) << after;
    EXPECT_EQ(Count(after, "\x1b["), Count(after, "\x1b[2K") + 3) << after;
    for (const std::string& line : VisibleLines(after)) {
        EXPECT_LT(line.size(), 50u) << line;
    }
    const std::string before = Visible(shown.substr(0, first));
    EXPECT_NE(before.find("STATION"), std::string::npos) << before;
    EXPECT_NE(before.find("\xE2\x80\xA6"), std::string::npos) << "the long name elided";
    EXPECT_NE(before.find("waiting"), std::string::npos) << before;
    for (const std::string& line : VisibleLines(before.substr(before.find("STATION")))) {
        EXPECT_LT(line.size(), 80u) << line;
    }
    chip.Stop();
}

// Options refused before the record is created or a port opened: exit 2 with one line.
TEST_F(LineCliTest, BadOptionsAreRefusedBeforeAnythingIsOpened) {
    const std::string port = scratch.Path("ttyUSB0");
    test::RunNvds("build -o '" + port + "'");  // a file standing in for a device
    const std::string link = scratch.Path("usb-Adapter-if00-port0");
    ASSERT_EQ(symlink(port.c_str(), link.c_str()), 0);
    const std::string common = "line --image '" + golden + "' --record '" + record + "' ";
    const std::string first = "--first-address 'C0 11 22 00 00 01' ";
    struct Case {
        std::string args;
        std::string message;
    };
    const std::vector<Case> cases{
        {"--port 'a=" + port + "' --port 'b=" + link + "' " + first,
         "--port \"" + port + "\" and --port \"" + link + "\" are the same device \"" + port +
             "\"\n"},
        {"--port '" + port + "' --first-address ''",
         "\"\" is not a device address (six hex pairs)\n"},
        {"--port '" + port + "' " + first + "--last-address ''",
         "\"\" is not a device address (six hex pairs)\n"},
        {"--port '" + port + "' " + first + "--count 0", "--count must be at least 1\n"},
        {"--port '" + port + "' " + first + "--max-failures -1",
         "--max-failures must be at least 0\n"},
    };
    for (const Case& c : cases) {
        test::ToolRun run = test::RunNvds(common + c.args);
        EXPECT_EQ(run.exitCode, 2) << c.args;
        EXPECT_EQ(run.err, c.message) << c.args;
        EXPECT_TRUE(run.out.empty());
        EXPECT_FALSE(std::filesystem::exists(record)) << c.args;
    }
    // A record that would not last, checked before the golden image is even read.
    test::ToolRun memory = test::RunNvds("line --record '' --port '" + port + "' " + first +
                                         "--image '" + scratch.Path("missing.nvds") + "'");
    EXPECT_EQ(memory.exitCode, 2);
    EXPECT_EQ(memory.err,
              "the production record is named by an empty text: give a file or a server\n");
    // A golden image the line cannot burn as it stands is a usage error too.
    test::ToolRun run = test::RunNvds("line --record '" + record + "' --port '" + port + "' " +
                                      first + "--image '" + scratch.Path("missing.nvds") + "'");
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("missing.nvds"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(record));
}

}  // namespace
}  // namespace nvds
