// Every input that once crashed a harness is kept under fuzz/regressions/<harness>/ and fed again
// to the harness body here, in every build (gcc with ASan and UBSan, TSan, release), together
// with the committed corpora. A body aborts or trips the sanitizer on a fault, failing the test.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FuzzTargets.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

using Body = int (*)(const uint8_t*, size_t);

struct Harness {
    const char* name;
    Body body;
};

const Harness HARNESSES[] = {
    {"tagdb_fuzzer", fuzz::TagDbInput},
    {"image_fuzzer", fuzz::ImageInput},
    {"link_parser_fuzzer", fuzz::LinkParserInput},
    {"usb_descriptor_fuzzer", fuzz::UsbDescriptorInput},
};

// The files of a folder in name order (none when it does not exist).
std::vector<fs::path> Files(const fs::path& folder) {
    std::vector<fs::path> files;
    if (fs::is_directory(folder)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Feeds each file to the body; returns how many were fed.
size_t Replay(const Harness& harness, const fs::path& folder) {
    size_t fed = 0;
    for (const fs::path& file : Files(folder)) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        SCOPED_TRACE(file.string());
        EXPECT_EQ(harness.body(bytes.data(), bytes.size()), 0);
        ++fed;
    }
    return fed;
}

TEST(FuzzReplay, KeptCrashInputsNoLongerCrash) {
    size_t fed = 0;
    for (const Harness& harness : HARNESSES) {
        fed += Replay(harness, fs::path(NVDS_FUZZ_DIR) / "regressions" / harness.name);
    }
    // At least the hand-made ones are there; a moved folder must not pass silently.
    EXPECT_GE(fed, 1u);
}

TEST(FuzzReplay, EveryCorpusIsThereAndReplaysCleanly) {
    for (const Harness& harness : HARNESSES) {
        EXPECT_GE(Replay(harness, fs::path(NVDS_FUZZ_DIR) / "corpus" / harness.name), 3u)
            << harness.name;
    }
}

// A fresh process replays every corpus with its own TMPDIR: the harnesses' scratch files and
// folders must be gone once it has ended.
TEST(FuzzReplay, ReplaysLeaveNothingInTheTemporaryFolder) {
    char pattern[] = "/tmp/nvds_fuzz_tmp.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path tmp = pattern;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string command = "TMPDIR='" + tmp.string() + "' '" + self +
                                "' --gtest_filter=FuzzReplay.EveryCorpusIsThereAndReplaysCleanly"
                                " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(tmp)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{});
    fs::remove_all(tmp);
}

}  // namespace
}  // namespace nvds
