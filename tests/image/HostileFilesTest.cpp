#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/NvdsRun.h"
#include "common/TestFiles.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;
using test::ToolRun;

// Every run is bounded in time (a FIFO that blocks the tool must not hang the test) and in
// memory. The sanitizer reserves terabytes of address space, so under it the memory bound is
// its own resident-size ceiling; otherwise an address-space limit set in the child.
#if defined(__SANITIZE_ADDRESS__)
const char* const kBounds =
    "ASAN_OPTIONS=\"$ASAN_OPTIONS:hard_rss_limit_mb=512\" timeout -k 2 20 prlimit "
    "--fsize=1048576";
#elif defined(__SANITIZE_THREAD__)
// ThreadSanitizer maps its shadow memory at start-up and dies under any address-space limit;
// the AddressSanitizer tree bounds the memory of the same runs.
const char* const kBounds = "timeout -k 2 20 prlimit --fsize=1048576";
#else
const char* const kBounds = "timeout -k 2 20 prlimit --as=1073741824 --fsize=1048576";
#endif

// timeout's exit code when it had to stop the tool.
constexpr int TIMED_OUT = 124;

class HostileFiles : public test::ScratchTest {
protected:
    ToolRun Run(const std::string& args) const { return test::RunNvds(args, m_dir, kBounds); }
};

// Files that are no place to read an image from or to write one to: the tool refuses them
// with a clear message and exit 1, never blocks, and never replaces what is not a file.
TEST_F(HostileFiles, RefusedWithoutBlockingOrReplacingAnythingButFiles) {
    ASSERT_EQ(Run("build -o good.nvds").exitCode, 0);
    const std::string good = test::ReadFile(Path("good.nvds"));
    ASSERT_EQ(mkfifo(Path("fifo.nvds").c_str(), 0600), 0);
    fs::create_directory(Path("out.d"));
    fs::create_directory(Path("real"));
    Write("real/target.nvds", "old");
    fs::create_symlink("real/target.nvds", Path("link.nvds"));
    // Device nodes of our own (the null and full devices' numbers): a fault then never
    // replaces a device of the machine. Only root may make them.
    const bool devices = mknod(Path("null.dev").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                         mknod(Path("full.dev").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;

    const std::string openError = "Open this file error!\n";
    struct Case {
        std::string args;
        int exitCode;
        std::string err;
    };
    std::vector<Case> cases = {
        {"show fifo.nvds", 1, openError},
        {"check fifo.nvds", 1, openError},
        {"entries fifo.nvds", 1, openError},
        {"diff good.nvds fifo.nvds", 2, openError},
        {"build --from fifo.nvds -o x.nvds", 1, openError},
        {"burn --port ./noport fifo.nvds", 1, openError},
        {"build -o link.nvds", 0, ""},
        {"build -o out.d", 2, "-o out.d: names a folder; give the name of a file to write\n"},
        {"build -o fifo.nvds", 1, "Open file error!!\nfifo.nvds: not a regular file, refused\n"},
        {"build -o nofolder/x.nvds", 1,
         "Open file error!!\nnofolder/x.nvds: No such file or directory\n"},
    };
    if (devices) {
        cases.push_back(
            {"build -o null.dev", 1, "Open file error!!\nnull.dev: not a regular file, refused\n"});
        cases.push_back(
            {"build -o full.dev", 1, "Open file error!!\nfull.dev: not a regular file, refused\n"});
    }
    for (const Case& c : cases) {
        const ToolRun run = Run(c.args);
        EXPECT_NE(run.exitCode, TIMED_OUT) << c.args;
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args;
        EXPECT_EQ(run.err, c.err) << c.args;
    }

    EXPECT_TRUE(fs::is_symlink(Path("link.nvds")));
    EXPECT_EQ(test::ReadFile(Path("real/target.nvds")), good);
    EXPECT_TRUE(fs::is_fifo(Path("fifo.nvds")));
    EXPECT_TRUE(fs::is_directory(Path("out.d")));
    EXPECT_TRUE(fs::is_empty(Path("out.d")));
    EXPECT_FALSE(fs::exists(Path("x.nvds")));
    if (devices) {
        EXPECT_TRUE(fs::is_character_file(Path("null.dev")));
        EXPECT_TRUE(fs::is_character_file(Path("full.dev")));
    }
    // Nothing was left beside the outputs: the scratch files of refused writes are gone.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()),
              devices ? 7 : 5);
}

// burn reads and checks the file before it connects: a refused file never reaches the chip,
// not even as an open of the port. The port is a file whose every open is watched.
TEST_F(HostileFiles, BurnRefusesWhatOpenRefusesBeforeTouchingThePort) {
    ASSERT_EQ(Run("build -o good.nvds").exitCode, 0);
    const std::string good = test::ReadFile(Path("good.nvds"));
    Write("port", "");
    Write("empty.nvds", "");
    Write("text.nvds", "burn me\n");
    Write("big.nvds", good + "\n");
    Write("erased.nvds", std::string(4096, '\xFF'));
    const std::string notImage =
        "This file doesn't contain valid NVDS data! Please select valid file!\n";
    struct Case {
        const char* file;
        std::string err;  // empty: a good image, which does reach the port
    };
    const Case cases[] = {
        {"empty.nvds", notImage},
        {"text.nvds", notImage},
        {"big.nvds", "This file is too big! Please select valid file!\n"},
        {"erased.nvds", notImage},
        {"good.nvds", ""},
    };
    for (const Case& c : cases) {
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, Path("port").c_str(), IN_OPEN), 0);
        const ToolRun run = Run(std::string("burn --port ./port ") + c.file);
        char events[4096];
        const bool opened = read(watch, events, sizeof events) > 0;
        close(watch);
        // The good image shows the watch works: the tool opens the port (and then fails, as
        // a plain file is no serial line).
        EXPECT_EQ(opened, c.err.empty()) << c.file;
        EXPECT_EQ(run.exitCode, 1) << c.file;
        if (!c.err.empty()) {
            EXPECT_EQ(run.err, c.err) << c.file;
        }
    }
}

}  // namespace
}  // namespace nvds
