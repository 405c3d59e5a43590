#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/NvdsRun.h"

namespace nvds {
namespace {

using test::ToolRun;

class ImageCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nvds_image_cli.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

    // Runs nvds from beside this test inside the temporary folder.
    ToolRun Run(const std::string& args) const { return test::RunNvds(args, m_dir); }

    std::string m_dir;
};

TEST_F(ImageCommand, BuildThenShowRoundTripsEveryListedTag) {
    ToolRun run = Run("build -o plain");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string image = test::ReadFile(Path("plain.nvds"));
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(image.substr(0, 4), "NVDS");
    EXPECT_EQ(static_cast<uint8_t>(image.back()), 0xFF);

    const ToolRun defaults = Run("show plain.nvds");
    EXPECT_EQ(defaults.exitCode, 0);
    EXPECT_EQ(defaults.err, "");  // every default reads back clean
    EXPECT_NE(defaults.out.find("\n2\tDevice Name\tString(Ascii)\tKestrel BLE\n"),
              std::string::npos);
    EXPECT_NE(defaults.out.find("\n100\tProduct Model\tString(Ascii)\tKB-100\n"),
              std::string::npos);

    // Rebuilding from the file changes no byte; --set changes only its tag.
    ASSERT_EQ(Run("build --from plain.nvds -o again.nvds").exitCode, 0);
    EXPECT_EQ(test::ReadFile(Path("again.nvds")), image);
    ASSERT_EQ(Run("build --from plain.nvds --set 2=Wren --set 100=X -o set.bin").exitCode, 0);
    run = Run("diff plain.nvds set.bin");
    EXPECT_EQ(run.out, "2\tDevice Name\tKestrel BLE\tWren\n100\tProduct Model\tKB-100\tX\n");
    EXPECT_EQ(Run("check set.bin").exitCode, 0);
}

TEST_F(ImageCommand, CheckReportsDamageAndEntriesShowWhereTheWalkStops) {
    ASSERT_EQ(Run("build -o a.nvds").exitCode, 0);
    std::string image = test::ReadFile(Path("a.nvds"));
    image[4 + 2] = '\xFF';  // tag 1's length becomes 0xFFFF
    image[4 + 3] = '\xFF';
    Write("bad.nvds", image);
    ToolRun run = Run("check bad.nvds");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(
        run.out.rfind("Find error on target NVDS: \n\nTag=  1: can not find this tag!   \n", 0),
        0u);
    EXPECT_NE(run.out.find("Tag=102: can not find this tag!   \n\nThese tags will be reset"),
              std::string::npos);
    run = Run("entries bad.nvds");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "end\t4\tcorrupt length 65535 (tag 1) runs past the area\n");
}

TEST_F(ImageCommand, BadFilesAndValuesFailWithoutTouchingTheOutput) {
    Write("empty.nvds", "");
    Write("big.nvds", "NVDS" + std::string(4093, '\xFF'));
    Write("erased.nvds", std::string(4096, '\xFF'));
    const std::string notImage =
        "This file doesn't contain valid NVDS data! Please select valid file!\n";
    EXPECT_EQ(Run("show empty.nvds").err, notImage);
    EXPECT_EQ(Run("check erased.nvds").err, notImage);
    ToolRun run = Run("show big.nvds");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "This file is too big! Please select valid file!\n");
    EXPECT_EQ(Run("show missing.nvds").err, "Open this file error!\n");

    Write("keep.nvds", "precious");
    for (const char* args :
         {"--set 3=0x99", "--set 999=1", "--set 27=00", "--set 3", "--from big.nvds"}) {
        run = Run(std::string("build ") + args + " -o keep.nvds");
        EXPECT_EQ(run.exitCode, 1) << args;
        EXPECT_FALSE(run.err.empty()) << args;
    }
    EXPECT_EQ(test::ReadFile(Path("keep.nvds")), "precious");
    EXPECT_EQ(Run("build -o nofolder/x").exitCode, 1);
    EXPECT_EQ(Run("show").exitCode, 2);  // usage error
}

}  // namespace
}  // namespace nvds
