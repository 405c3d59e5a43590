// Two `nvds line` processes, standing in for two machines with two stations each, share one
// record on the scratch server and burn simulated chips on ptys: run side by side, and with
// the server restarted mid-run.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/NvdsRun.h"
#include "line/LineProcess.h"
#include "line/RecordBackend.h"
#include "sim/SimLink.h"

namespace nvds::test {
namespace {

// One machine: an `nvds line` process over two simulated chips.
class Machine {
public:
    Machine(const ScratchFolder& scratch, const std::string& name)
        : m_scratch(scratch), m_name(name) {
        SimOptions options;
        options.pace = true;
        options.programMs = 40;  // a burn long enough to be cut into
        for (auto& chip : m_chips) {
            chip = std::make_unique<CSimLink>(options);
            std::string error;
            EXPECT_TRUE(chip->Start(&error)) << error;
        }
    }

    /// Puts fresh chips in and starts `nvds line` for one chip per station.
    void Start(const std::string& golden, const std::string& record) {
        for (auto& chip : m_chips) {
            chip->SetFlash(std::vector<uint8_t>(chip->Flash().size(), 0xFF));
        }
        std::vector<std::string> args{"line",
                                      "--port",
                                      m_chips[0]->SlavePath(),
                                      "--port",
                                      m_chips[1]->SlavePath(),
                                      "--image",
                                      golden,
                                      "--first-address",
                                      "C0 11 22 00 00 00",
                                      "--record",
                                      record,
                                      "--count",
                                      "1",
                                      "--json"};
        const std::string out = m_scratch.Path(m_name + "." + std::to_string(m_runs.size()));
        m_runs.push_back(out);
        m_pid = SpawnNvds(args, out, out + ".err");
    }

    /// Waits until the current run has printed `text` (true) or has ended (false).
    bool AwaitOutput(const std::string& text) {
        for (int i = 0; i < 3000; ++i) {
            if (ReadFile(Out()).find(text) != std::string::npos) {
                return true;
            }
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_pid = 0;
                return ReadFile(Out()).find(text) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    /// The exit code of the current run, -1 when a signal ended it.
    int Wait() {
        if (m_pid != 0) {
            waitpid(m_pid, &m_status, 0);
            m_pid = 0;
        }
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

    std::string Errors() const { return ReadFile(Out() + ".err"); }

    /// The addresses of every "done" event of every run.
    std::vector<std::string> Burned() const {
        std::vector<std::string> addresses;
        for (const std::string& run : m_runs) {
            const std::string out = ReadFile(run);
            size_t start = 0;
            for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
                const auto event = nlohmann::json::parse(out.substr(start, end - start));
                if (event["event"] == "done") {
                    addresses.push_back(event["address"]);
                }
            }
        }
        return addresses;
    }

private:
    std::string Out() const { return m_runs.empty() ? "" : m_runs.back(); }

    const ScratchFolder& m_scratch;
    std::string m_name;
    std::unique_ptr<CSimLink> m_chips[2];
    std::vector<std::string> m_runs;
    pid_t m_pid = 0;
    int m_status = 0;
};

// Every chip that a station reported done on `machines` carries an address of its own, and
// the record holds it as verified; nothing stays reserved once the processes are gone.
// Before that, the sessions of ended processes are awaited and the record opened once, which
// abandons what they held.
void ExpectOneVerifiedRowPerChip(Backend& pg, const std::string& target,
                                 std::initializer_list<const Machine*> machines, size_t chips) {
    std::vector<std::string> burned;
    for (const Machine* machine : machines) {
        for (const std::string& address : machine->Burned()) {
            burned.push_back(address);
        }
    }
    pg.AwaitSessionsOfDeadClients();
    Open(target, Pool("C0 11 22 00 00 00"));
    EXPECT_EQ(burned.size(), chips ? chips : burned.size());
    EXPECT_GE(burned.size(), 4u);
    EXPECT_EQ(std::set<std::string>(burned.begin(), burned.end()).size(), burned.size());
    std::sort(burned.begin(), burned.end());
    EXPECT_EQ(pg.Query(target,
                       "SELECT address_text FROM record_address WHERE state = 'verified'"
                       " ORDER BY address"),
              burned);
    EXPECT_EQ(pg.Query(target, "SELECT COUNT(*) FROM record_address WHERE state = 'reserved'"),
              std::vector<std::string>{"0"});
}

TEST(PostgresLine, TwoMachinesShareOneServer) {
    ScratchFolder scratch;
    const std::string golden = scratch.Path("golden.nvds");
    ASSERT_EQ(RunNvds("build -o '" + golden + "'").exitCode, 0);
    Machine a(scratch, "a"), b(scratch, "b");

    // Side by side, twice: four stations, eight chips.
    Backend pg(true);
    std::string target = pg.NewTarget();
    ASSERT_FALSE(target.empty());
    for (int round = 0; round < 2; ++round) {
        a.Start(golden, target);
        b.Start(golden, target);
        EXPECT_EQ(a.Wait(), 0) << a.Errors();
        EXPECT_EQ(b.Wait(), 0) << b.Errors();
    }
    ExpectOneVerifiedRowPerChip(pg, target, {&a, &b}, 8);
    EXPECT_EQ(pg.Query(target, "SELECT COUNT(*) FROM record_address"),
              std::vector<std::string>{"8"});

    // The server restarted mid-burn: a station whose call came while it was down stops with
    // the lost connection named; the record connects again by itself for the next call, and
    // the next runs go on.
    Machine e(scratch, "e"), f(scratch, "f");
    target = pg.NewTarget();
    for (int round = 0; round < 2; ++round) {
        e.Start(golden, target);
        f.Start(golden, target);
        if (round == 0) {
            ASSERT_TRUE(e.AwaitOutput("\"page\":4,")) << e.Errors();
            ASSERT_TRUE(pg.Server()->Stop("fast"));
            ASSERT_TRUE(pg.Server()->StartAgain());
        }
        for (Machine* cut : {&e, &f}) {
            if (cut->Wait() != 0) {
                EXPECT_NE(cut->Errors().find("lost the connection to the production record server"),
                          std::string::npos)
                    << cut->Errors();
            }
        }
    }
    ExpectOneVerifiedRowPerChip(pg, target, {&e, &f}, 0);
}

}  // namespace
}  // namespace nvds::test
