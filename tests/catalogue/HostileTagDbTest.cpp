#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "catalogue/NvdsConfig.h"

namespace nvds {
namespace {

namespace fs = std::filesystem;

const fs::path kShipped = fs::path(std::getenv("NVDS_TEST_DATA")) / ".." / ".." / "data";

// A child that loads a hostile file may take this long and this much memory beyond what it
// started with; the unguarded reader needed 44 s and 5.8 GB for the entity blow-up.
constexpr unsigned kSecondsAllowed = 20;
constexpr rlim_t kExtraAddressSpace = rlim_t{1} << 30;
constexpr long kExtraPeakKb = 512 * 1024;

struct Outcome {
    int result = -1;
    std::vector<std::string> texts;
    std::vector<uint32_t> defined;
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "result " << o.result << ", texts " << ::testing::PrintToString(o.texts) << ", defined "
        << ::testing::PrintToString(o.defined);
}

std::vector<uint32_t> DefinedCodes(const TagTable& table) {
    std::vector<uint32_t> codes;
    for (uint32_t code = 0; code < TAG_TABLE_SIZE; ++code) {
        if (table[code].IsDefined()) {
            codes.push_back(code);
        }
    }
    return codes;
}

// Loads the shipped databases, then `path`, into one table and reports what the last load did.
Outcome LoadAfterShipped(const fs::path& path) {
    RecordingPrompter prompter;
    CNvdsConfig config(prompter, "", "");
    auto table = std::make_unique<TagTable>();
    config.LoadTagDb((kShipped / "zbkey_db.xml").string(), *table);
    config.LoadTagDb((kShipped / "userkey_db.xml").string(), *table);
    prompter.Clear();
    Outcome out;
    out.result = config.LoadTagDb(path.string(), *table);
    out.texts = prompter.Texts();
    out.defined = DefinedCodes(*table);
    return out;
}

uint64_t AddressSpaceBytes() {
    uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// LoadAfterShipped in a child process under an address-space limit and an alarm. Returns
// an empty text and fills `out`, or says which bound the child broke.
std::string LoadInChild(const fs::path& path, Outcome& out) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return "no pipe";
    }
    rusage parent{};
    getrusage(RUSAGE_SELF, &parent);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        const rlim_t limit = AddressSpaceBytes() + kExtraAddressSpace;
        const rlimit addressSpace{limit, limit};
        setrlimit(RLIMIT_AS, &addressSpace);
        alarm(kSecondsAllowed);
        const Outcome o = LoadAfterShipped(path);
        std::string report = std::to_string(o.result) + "\n";
        for (uint32_t code : o.defined) {
            report += std::to_string(code) + " ";
        }
        report += "\n";
        for (const std::string& text : o.texts) {
            report += text + "\n";
        }
        const bool written =
            write(pipeFds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
        _exit(written ? 0 : 1);
    }
    close(pipeFds[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof(buf))) > 0;) {
        report.append(buf, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    rusage child{};
    wait4(pid, &status, 0, &child);
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (time or memory)";
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "child failed";
    }
    if (child.ru_maxrss > parent.ru_maxrss + kExtraPeakKb) {
        return "peak memory " + std::to_string(child.ru_maxrss) + " kB";
    }
    std::istringstream lines(report);
    std::string line;
    std::getline(lines, line);
    out.result = std::stoi(line);
    std::getline(lines, line);
    std::istringstream codes(line);
    for (uint32_t code; codes >> code;) {
        out.defined.push_back(code);
    }
    while (std::getline(lines, line)) {
        out.texts.push_back(line);
    }
    return "";
}

// A system database of one Bool tag with code 7; `prolog` goes before the root, `attributes`
// into the tag's start tag, `description` into its DESCRIPTION.
std::string SystemDb(const std::string& prolog, const std::string& attributes = "",
                     const std::string& description = "d", const std::string& rootAttributes = "") {
    return prolog + "<ZBTAG_DATABASE" + rootAttributes +
           ">\n<ZBTAG NAME=\"A\" TAG=\"7\" CODE=\"Bool\"" + attributes +
           "><DEFAULTVALUE>True</DEFAULTVALUE><LABEL>l</LABEL><DESCRIPTION>" + description +
           "</DESCRIPTION></ZBTAG>\n</ZBTAG_DATABASE>\n";
}

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// ` a0="" a1="" ...`: `count` distinct attributes, or as many as fill `bytes`.
std::string DistinctAttributes(size_t count, size_t bytes = 0) {
    std::string out;
    for (size_t i = 0; i < count || out.size() < bytes; ++i) {
        out += " a" + std::to_string(i) + "=\"\"";
    }
    return out;
}

std::string Namespaces(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += " xmlns:n" + std::to_string(i) + "=\"urn:n\"";
    }
    return out;
}

// The database padded with a comment to exactly `size` bytes.
std::string PaddedTo(size_t size) {
    const std::string db = SystemDb("");
    return db + "<!--" + std::string(size - db.size() - 7, 'x') + "-->";
}

TEST(HostileTagDb, RefusedQuicklyWithinBoundsAndTheTableKept) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("hostile." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Outcome shipped = LoadAfterShipped(kShipped / "zbkey_db.xml");
    ASSERT_EQ(shipped.result, 1);
    std::vector<uint32_t> replaced = {7};  // the system range read from a file holding tag 7
    for (uint32_t code : shipped.defined) {
        if (code >= TAG_USER_FIRST) {
            replaced.push_back(code);
        }
    }
    const Outcome damage{0, {"Config file damage"}, shipped.defined};
    const Outcome unreadable{0, {}, shipped.defined};
    const Outcome read{1, {}, replaced};

    // The 160 KB file that took 44 s and 5.8 GB: 100,000 characters referenced 20,000 times.
    const std::string entity = "<!DOCTYPE ZBTAG_DATABASE [<!ENTITY e \"" + std::string(100000, 'x');
    const std::string small = "<!DOCTYPE ZBTAG_DATABASE [<!ENTITY e \"" + std::string(10000, 'x');
    struct Case {
        const char* name;
        std::string content;  // written to the file; empty for the special files below
        Outcome expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"entity blow-up", SystemDb(entity + "\">]>", "", Repeat("&e;", 20000)), damage},
        {"entities in attributes",
         SystemDb(small + "\">]>", " DICT=\"" + Repeat("&e;", 20000) + "\""), damage},
        {"internal DTD", SystemDb("<!DOCTYPE ZBTAG_DATABASE [<!ELEMENT ZBTAG_DATABASE ANY>]>"),
         damage},
        {"external DTD", SystemDb("<!DOCTYPE ZBTAG_DATABASE SYSTEM \"zbkey.dtd\">"), damage},
        {"entity from a file", SystemDb("<!DOCTYPE ZBTAG_DATABASE [<!ENTITY p SYSTEM "
                                        "\"file:///etc/passwd\">]>", "", "&p;"), damage},
        {"entity from a URL", SystemDb("<!DOCTYPE ZBTAG_DATABASE [<!ENTITY p SYSTEM "
                                       "\"http://127.0.0.1:9/tags\">]>", "", "&p;"), damage},
        {"at the size cap", PaddedTo(4 << 20), read},
        {"one byte over the size cap", PaddedTo((4 << 20) + 1), damage},
        {"2 MB of distinct attributes", SystemDb("", DistinctAttributes(0, 2 << 20)), damage},
        {"64 attributes in one tag", SystemDb("", DistinctAttributes(61)), read},
        {"65 attributes in one tag", SystemDb("", DistinctAttributes(62)), damage},
        {"8 namespaces", SystemDb("", "", "d", Namespaces(8)), read},
        {"9 namespaces", SystemDb("", "", "d", Namespaces(9)), damage},
        {"fifo", "", unreadable},
        {"directory", "", unreadable},
        {"/dev/zero", "", unreadable},
        {"vanished", "", unreadable},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path path = dir / "db.xml";
        fs::remove_all(path);
        if (!c.content.empty()) {
            std::ofstream(path, std::ios::binary) << c.content;
        } else if (c.name == std::string("fifo")) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else if (c.name == std::string("directory")) {
            fs::create_directory(path);
        } else if (c.name == std::string("/dev/zero")) {
            path = "/dev/zero";
        } else {
            std::ofstream(path) << SystemDb("");
            fs::remove(path);
        }
        Outcome outcome;
        const std::string broken = LoadInChild(path, outcome);
        EXPECT_EQ(broken, "");
        if (broken.empty()) {
            EXPECT_EQ(outcome, c.expected);
        }
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace nvds
