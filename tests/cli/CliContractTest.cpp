#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/NvdsRun.h"
#include "common/TestFiles.h"
#include "platform/AppFolder.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;
using test::ToolRun;

class CliContract : public test::ScratchTest {
protected:
    ToolRun Run(const std::string& args) const { return test::RunNvds(args, m_dir); }

    // An image built from the defaults with one extra entry of `tag` holding `data`, written
    // where the end marker stood (the defaults end at byte 300).
    void BuildWithEntry(const std::string& name, uint8_t tag, const std::string& data) const {
        ASSERT_EQ(Run("build -o " + name).exitCode, 0);
        std::string image = test::ReadFile(Path(name));
        const std::string entry =
            std::string{static_cast<char>(tag), '\x06', static_cast<char>(data.size()), '\0'} +
            data + std::string((4 - data.size() % 4) % 4, '\xFF');
        image.replace(300, entry.size(), entry);
        std::ofstream(Path(name), std::ios::binary) << image;
    }
};

TEST_F(CliContract, DiffExitsOneOnADifferenceAndComparesUnlistedEntries) {
    ASSERT_EQ(Run("build -o a.nvds").exitCode, 0);
    ASSERT_EQ(Run("build -o b.nvds").exitCode, 0);
    ToolRun run = Run("diff a.nvds b.nvds");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");

    // A tag the catalogue does not define (200) and one only in B's raw entries.
    BuildWithEntry("c.nvds", 200, "\x01\x02\x03");
    BuildWithEntry("d.nvds", 200, "\x01\x02\x04");
    run = Run("diff c.nvds d.nvds");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "200\t(unlisted)\t01 02 03\t01 02 04\n");
    run = Run("diff a.nvds c.nvds");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "200\t(unlisted)\t(none)\t01 02 03\n");

    // A listed value with control characters is shown escaped, as in show.
    ASSERT_EQ(Run("build --set \"2=$(printf 'a\\033]0;x\\007')\" -o e.nvds").exitCode, 0);
    run = Run("diff a.nvds e.nvds");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "2\tDevice Name\tKestrel BLE\ta\\x1B]0;x\\x07\n");
    run = Run("show e.nvds");
    EXPECT_NE(run.out.find("\n2\tDevice Name\tString(Ascii)\ta\\x1B]0;x\\x07\n"),
              std::string::npos);

    // Unreadable or missing input and usage errors are 2, never 1.
    EXPECT_EQ(Run("diff a.nvds missing.nvds").exitCode, 2);
    std::ofstream(Path("junk.nvds")) << "junk";
    EXPECT_EQ(Run("diff junk.nvds a.nvds").exitCode, 2);
    EXPECT_EQ(Run("diff a.nvds").exitCode, 2);
}

TEST_F(CliContract, OutputNamingAFolderIsRefusedByBuildAndDump) {
    fs::create_directory(Path("out"));
    fs::create_symlink(Path("out"), Path("link"));
    for (const std::string out : {"out", "out/", "link", "nothere/", "./"}) {
        SCOPED_TRACE(out);
        ToolRun run = Run("build -o " + out);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "-o " + out + ": names a folder; give the name of a file to write\n");
        // dump refuses it before any port is opened (the port does not exist).
        run = Run("dump --port /dev/nvds-no-such-port -o " + out);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "-o " + out + ": names a folder; give the name of a file to write\n");
    }
    EXPECT_TRUE(fs::is_empty(Path("out")));
    EXPECT_FALSE(fs::exists(Path("out.nvds")));
    EXPECT_FALSE(fs::exists(Path("link.nvds")));

    // ".nvds" is added only when the whole path has no dot, a dotted folder included.
    fs::create_directory(Path("v1.0"));
    ASSERT_EQ(Run("build -o out/plain").exitCode, 0);
    ASSERT_EQ(Run("build -o v1.0/plain").exitCode, 0);
    EXPECT_TRUE(fs::exists(Path("out/plain.nvds")));
    EXPECT_TRUE(fs::exists(Path("v1.0/plain")));
}

TEST_F(CliContract, VersionNamesTheProgramVersionAndRevision) {
    const ToolRun run = Run("--version");
    EXPECT_EQ(run.exitCode, 0);
    // "nvds 1.29 (revision 0123456789ab)", "-modified" or "unknown" outside a checkout.
    EXPECT_TRUE(std::regex_match(
        run.out,
        std::regex("nvds [0-9]+\\.[0-9]+ \\(revision ([0-9a-f]{12}(-modified)?|unknown)\\)\n")))
        << run.out;
    const std::string gui = GetAppFolder() + "/nvds-configurator";
    if (::access(gui.c_str(), X_OK) == 0) {
        const std::string expected = "nvds-configurator" + run.out.substr(4);
        // Answered before any window is made: a hang here would be the window opening.
        ASSERT_EQ(std::system(("timeout 60 '" + gui + "' --version >'" + Path("v") + "'").c_str()),
                  0);
        EXPECT_EQ(test::ReadFile(Path("v")), expected);
    }
}

// The revision script on a tree that is no checkout of its own (a tarball unpacked anywhere,
// even inside another repository) says "unknown"; in the checkout it names HEAD.
TEST_F(CliContract, RevisionIsUnknownOutsideAGitCheckout) {
    const auto revision = [this](const std::string& source) {
        const std::string out = Path("rev.cpp");
        std::remove(out.c_str());
        const std::string command = std::string("'") + NVDS_CMAKE + "' -DSOURCE_DIR='" + source +
                                    "' -DOUTPUT='" + out + "' -P '" + NVDS_SOURCE_DIR +
                                    "/cmake/BuildRevision.cmake' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        const std::string text = test::ReadFile(out);
        const size_t open = text.find("return \"");
        return open == std::string::npos
                   ? text
                   : text.substr(open + 8, text.find('"', open + 8) - open - 8);
    };
    fs::create_directory(Path("tarball"));
    EXPECT_EQ(revision(Path("tarball")), "unknown");
    EXPECT_EQ(revision(std::string(NVDS_SOURCE_DIR) + "/docs"), "unknown");
    if (fs::exists(std::string(NVDS_SOURCE_DIR) + "/.git")) {
        EXPECT_TRUE(
            std::regex_match(revision(NVDS_SOURCE_DIR), std::regex("[0-9a-f]{12}(-modified)?")));
    }
}

TEST_F(CliContract, DoctorReportsPlantedProblemsInAFakeTree) {
    // A fake system: one FTDI adapter at 16 ms held by another process, no bridge rule.
    const std::string root = Path("root");
    fs::create_directories(root + "/sys/class/tty/ttyUSB0/device");
    std::ofstream(root + "/sys/class/tty/ttyUSB0/dev") << "188:0\n";
    std::ofstream(root + "/sys/class/tty/ttyUSB0/device/latency_timer") << "16\n";
    fs::create_directories(root + "/dev");
    std::ofstream(root + "/dev/ttyUSB0") << "";
    fs::create_directories(root + "/proc/4242/fd");
    std::ofstream(root + "/proc/4242/comm") << "minicom\n";
    fs::create_symlink(root + "/dev/ttyUSB0", root + "/proc/4242/fd/5");
    fs::create_directories(root + "/etc");
    std::ofstream(root + "/etc/group") << "dialout:x:20:\nplugdev:x:46:\n";

    ToolRun run = Run("doctor --root root");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("FAIL  latency /dev/ttyUSB0: FTDI latency timer 16 ms"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("FAIL  held /dev/ttyUSB0: open in process 4242 (minicom); fix: "),
              std::string::npos);
    EXPECT_NE(run.out.find("FAIL  udev-rule USB bridge 04b4:1004: "), std::string::npos);

    // --json: one document; the catalogue beside the tool passes; a missing record fails.
    run = Run("doctor --root root --json --port /dev/ttyUSB0 --record missing.db");
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json doc = nlohmann::json::parse(run.out);
    EXPECT_FALSE(doc["ok"]);
    std::map<std::string, bool> okByCheck;
    for (const auto& check : doc["checks"]) {
        okByCheck[check["check"].get<std::string>() + " " + check["subject"].get<std::string>()] =
            check["ok"];
        EXPECT_EQ(check["fix"].get<std::string>().empty(), check["ok"].get<bool>());
    }
    EXPECT_EQ(okByCheck["catalogue " + GetAppFolder() + "/zbkey_db.xml"], true);
    EXPECT_EQ(okByCheck.count("record missing.db"), 1u);
    EXPECT_EQ(okByCheck["record missing.db"], false);

    // With the problems fixed, every check passes and the exit code is 0.
    std::ofstream(root + "/sys/class/tty/ttyUSB0/device/latency_timer") << "1\n";
    fs::remove(root + "/proc/4242/fd/5");
    fs::create_directories(root + "/etc/udev/rules.d");
    std::ofstream(root + "/etc/udev/rules.d/60-nvds-usb-bridge.rules")
        << "ATTR{idVendor}==\"04b4\", ATTR{idProduct}==\"1004\", GROUP=\"plugdev\"\n";
    std::ofstream(root + "/etc/group")
        << "dialout:x:" << getgid() << ":\nplugdev:x:" << getgid() << ":\n";
    ::chmod((root + "/dev/ttyUSB0").c_str(), 0660);
    run = Run("doctor --root root");
    EXPECT_EQ(run.exitCode, 0) << run.out;
}

}  // namespace
}  // namespace nvds
