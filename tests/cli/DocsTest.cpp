#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "common/NvdsRun.h"
#include "platform/AppFolder.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

// The build writes the generated documents to <tree>/share, beside <tree>/bin.
std::string Share(const std::string& path) {
    return GetAppFolder() + "/../share/" + path;
}

// The man page's text with roff's escaped hyphens made plain.
std::string ManText(const std::string& page) {
    std::string text = test::ReadFile(Share("man/man1/" + page));
    for (size_t at = text.find("\\-"); at != std::string::npos; at = text.find("\\-", at)) {
        text.erase(at, 1);
    }
    return text;
}

// Section `title` of a --help text: the lines after "title:" up to the next empty line.
std::vector<std::string> HelpSection(const std::string& help, const std::string& title) {
    std::vector<std::string> lines;
    const size_t start = help.find("\n" + title + ":\n");
    if (start == std::string::npos) {
        return lines;
    }
    std::istringstream in(help.substr(start + title.size() + 3));
    std::string line;
    while (std::getline(in, line) && !line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// Every option and positional name that --help lists (the help flag aside).
std::set<std::string> HelpNames(const std::string& help) {
    std::set<std::string> names;
    const std::regex option(R"(^  ((-\w),)?(--[\w-]+))");
    for (const std::string& line : HelpSection(help, "Options")) {
        std::smatch m;
        if (std::regex_search(line, m, option) && m[3] != "--help") {
            names.insert(m[3]);
            if (m[2].matched) {
                names.insert(m[2]);
            }
        }
    }
    for (const std::string& line : HelpSection(help, "Positionals")) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex(R"(^  (\w+))"))) {
            names.insert(m[1]);
        }
    }
    return names;
}

TEST(Docs, ManPageHoldsEveryCommandOptionExitCodeAndVariable) {
    const std::string man = ManText("nvds.1");
    ASSERT_FALSE(man.empty()) << "no man page at " << Share("man/man1/nvds.1");
    std::vector<std::string> missing;
    const std::string top = test::RunNvds("--help").out;
    for (const std::string& name : HelpNames(top)) {
        if (man.find(".B " + name) == std::string::npos) {
            missing.push_back("nvds " + name);
        }
    }
    const std::vector<std::string> commands = HelpSection(top, "Subcommands");
    ASSERT_GE(commands.size(), 13u);
    for (const std::string& line : commands) {
        const std::string command = line.substr(2, line.find(' ', 2) - 2);
        const std::regex heading("\n\\.SS nvds " + command + "[ \n]");
        std::smatch m;
        const size_t section = std::regex_search(man, m, heading)
                                   ? static_cast<size_t>(m.position(0)) + 1
                                   : std::string::npos;
        if (section == std::string::npos) {
            missing.push_back("nvds " + command);
            continue;
        }
        const std::string body = man.substr(section, man.find(".SS", section + 1) - section);
        for (const std::string& name : HelpNames(test::RunNvds(command + " --help").out)) {
            // ".B -o, --output FILE": a name opens the line or follows a comma.
            if (body.find(".B " + name) == std::string::npos &&
                body.find(", " + name) == std::string::npos) {
                missing.push_back("nvds " + command + " " + name);
            }
        }
    }
    EXPECT_EQ(missing, std::vector<std::string>{}) << "missing from nvds(1)";

    const size_t exits = man.find(".SH EXIT STATUS");
    ASSERT_NE(exits, std::string::npos);
    const std::string exitSection = man.substr(exits, man.find(".SH", exits + 1) - exits);
    for (const char* code : {"0", "1", "2", "3", "4"}) {
        EXPECT_NE(exitSection.find(std::string(".B ") + code + "\n"), std::string::npos) << code;
    }
    for (const char* variable :
         {"NVDS_EXTRA_PORTS", "NVDS_USB_BRIDGE", "NVDS_USB_BACKEND", "XDG_DATA_HOME"}) {
        EXPECT_NE(man.find(std::string(".B ") + variable), std::string::npos) << variable;
    }
    for (const char* section : {".SH FILES", ".SH EXAMPLES", "nvds line ", "nvds record "}) {
        EXPECT_NE(man.find(section), std::string::npos) << section;
    }

    // The desktop program's page against its own --help.
    const std::string gui = GetAppFolder() + "/nvds-configurator";
    if (::access(gui.c_str(), X_OK) == 0) {
        const std::string out = ::testing::TempDir() + "nvds_gui_help." + std::to_string(getpid());
        ASSERT_EQ(std::system(("timeout 60 '" + gui + "' --help >'" + out + "'").c_str()), 0);
        const std::string help = test::ReadFile(out);
        std::remove(out.c_str());
        const std::string page = ManText("nvds-configurator.1");
        for (const std::string name : {"--help", "--version", "IMAGE"}) {
            EXPECT_NE(help.find(name), std::string::npos) << name;
            EXPECT_NE(page.find(name), std::string::npos) << name;
        }
    }
}

TEST(Docs, ManPagesRenderWithoutWarnings) {
    if (std::system("command -v groff >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "groff is not installed";
    }
    for (const char* page : {"nvds.1", "nvds-configurator.1"}) {
        const std::string path = Share(std::string("man/man1/") + page);
        ASSERT_TRUE(fs::exists(path)) << path;
        const std::string log = ::testing::TempDir() + "nvds_groff." + std::to_string(getpid());
        EXPECT_EQ(std::system(("groff -ww -man -z '" + path + "' 2>'" + log + "'").c_str()), 0);
        EXPECT_EQ(test::ReadFile(log), "") << page;
        std::remove(log.c_str());
    }
}

class BashCompletion : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nvds_completion.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        for (const char* name : {"a.nvds", "b.txt", "cat.xml", "line.db", "sub/x.nvds"}) {
            fs::create_directories(fs::path(m_dir + "/" + name).parent_path());
            std::ofstream(m_dir + "/" + name) << "";
        }
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // The completions bash offers for the command line `words` (the last one being completed),
    // sorted, one per line.
    std::string Complete(const std::string& words, const std::string& env = "") const {
        const std::string script = m_dir + "/complete.sh";
        std::ofstream(script)
            << "source '" << Share("bash-completion/completions/nvds") << "'\n"
            << "COMP_WORDS=('" << GetAppFolder() << "/nvds' " << words << ")\n"
            << "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
            << "_nvds\n"
            << "[ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\\n' \"${COMPREPLY[@]}\" | sort\n";
        const std::string out = m_dir + "/out";
        std::system(
            ("cd '" + m_dir + "' && " + env + " bash '" + script + "' >'" + out + "'").c_str());
        return test::ReadFile(out);
    }

    std::string m_dir;
};

TEST_F(BashCompletion, CompletesCommandsOptionsPortsAndFilesByKind) {
    const std::string commands = Complete("''");
    for (const char* command : {"burn\n", "doctor\n", "dump\n", "line\n", "record\n", "tags\n"}) {
        EXPECT_NE(commands.find(command), std::string::npos) << command;
    }
    EXPECT_EQ(Complete("d"), "diff\ndoctor\ndump\n");
    EXPECT_EQ(Complete("--"), "--help\n--trace\n--version\n");
    EXPECT_EQ(Complete("burn --s"), "--safe-order\n--skip-identical\n");
    EXPECT_EQ(Complete("--trace burn --ver"), "--verify\n");

    // Ports come from `nvds ports`, extra ports included (only paths that open are listed: a
    // new pty's master stands in for a simulator's).
    const std::string ports = Complete("dump --port ''", "NVDS_EXTRA_PORTS=/dev/ptmx");
    EXPECT_NE(ports.find("/dev/ptmx\n"), std::string::npos) << ports;
    EXPECT_NE(ports.find("SPI\n"), std::string::npos) << ports;
    EXPECT_EQ(Complete("line --port /dev/pt", "NVDS_EXTRA_PORTS=/dev/ptmx"), "/dev/ptmx\n");

    // Files by kind: images, databases, records; folders always, other files never.
    EXPECT_EQ(Complete("show ''"), "a.nvds\nsub\n");
    EXPECT_EQ(Complete("burn --port SPI ''"), "a.nvds\nsub\n");
    EXPECT_EQ(Complete("tags --system ''"), "cat.xml\nsub\n");
    EXPECT_EQ(Complete("record ''"), "line.db\nsub\n");
    EXPECT_EQ(Complete("dump -o b"), "b.txt\n");
    EXPECT_EQ(Complete("dump --crystal ''"), "16MHz\n32MHz\n");
    EXPECT_EQ(Complete("dump --baud ''"), "");
}

}  // namespace
}  // namespace nvds
