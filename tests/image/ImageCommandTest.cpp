#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/NvdsRun.h"
#include "common/TestFiles.h"

namespace nvds {
namespace {

using test::ToolRun;

class ImageCommand : public test::ScratchTest {
protected:
    // Runs nvds from beside this test inside the temporary folder.
    ToolRun Run(const std::string& args) const { return test::RunNvds(args, m_dir); }
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

// Every command that reads an image refuses what "Open..." refuses, with the same message.
TEST_F(ImageCommand, EveryImageReaderRefusesWhatOpenRefuses) {
    ASSERT_EQ(Run("build -o good.nvds").exitCode, 0);
    const std::string good = test::ReadFile(Path("good.nvds"));
    Write("empty.nvds", "");
    Write("text.nvds", "NVD\nsome text\n");
    Write("big.nvds", good + "\xFF");
    Write("erased.nvds", std::string(4096, '\xFF'));
    const std::string notImage =
        "This file doesn't contain valid NVDS data! Please select valid file!\n";
    const std::string tooBig = "This file is too big! Please select valid file!\n";
    const std::pair<const char*, std::string> files[] = {
        {"empty.nvds", notImage},
        {"text.nvds", notImage},
        {"big.nvds", tooBig},
        {"erased.nvds", notImage},
        {"missing.nvds", "Open this file error!\n"},
    };
    for (const auto& [file, message] : files) {
        const std::string f = file;
        for (const std::string& args :
             {"show " + f, "check " + f, "entries " + f, "diff good.nvds " + f,
              "diff " + f + " good.nvds", "build --from " + f + " -o out.nvds"}) {
            const ToolRun run = Run(args);
            // diff keeps 1 for "the images differ": an unreadable input is 2.
            EXPECT_EQ(run.exitCode, args.rfind("diff", 0) == 0 ? 2 : 1) << args;
            EXPECT_EQ(run.err, message) << args;
            EXPECT_EQ(run.out, "") << args;
        }
    }
    EXPECT_EQ(test::ReadFile(Path("out.nvds")), "");  // never written
    EXPECT_EQ(Run("show").exitCode, 2);               // usage error
}

// A value the editor would not let through is refused naming the tag and the character,
// before the value check could turn it into something else; the output is left alone.
TEST_F(ImageCommand, BadAssignmentsFailWithTheirMessageAndKeepTheOutput) {
    Write("keep.nvds", "precious");
    const std::pair<const char*, const char*> cases[] = {
        {"--set 3=0x99",
         "Tag=3: Num value is invalid, range must be: 0x0 ~ 0x3F, but current value is 0x99\n"},
        {"--set 999=1", "--set 999=1: no listed tag with that code (use CODE=TEXT)\n"},
        {"--set 27=00", "--set 27=00: tag 27 is read-only\n"},
        {"--set 3", "--set 3: no listed tag with that code (use CODE=TEXT)\n"},
        {"--set '1=C0 11 22 33 44 5O'",
         "--set 1=C0 11 22 33 44 5O: tag 1 does not take the character 'O'\n"},
        {"--set '1=GG 11 22 33 44 55'",
         "--set 1=GG 11 22 33 44 55: tag 1 does not take the character 'G'\n"},
        {"--set 5=0x1Z", "--set 5=0x1Z: tag 5 does not take the character 'Z'\n"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun run = Run(std::string("build ") + args + " -o keep.nvds");
        EXPECT_EQ(run.exitCode, 1) << args;
        EXPECT_EQ(run.err, message) << args;
    }
    EXPECT_EQ(test::ReadFile(Path("keep.nvds")), "precious");
}

}  // namespace
}  // namespace nvds
