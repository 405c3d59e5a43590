#include "line/OutcomeJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <type_traits>
#include <utility>

#include "platform/AtomicFile.h"
#include "platform/Sha256.h"

namespace nvds::line {

namespace {

constexpr const char* STATE_FOLDER = "zb446x-nvds";
constexpr const char* JOURNAL_FILE = "line-journal";
constexpr size_t FIELDS = 7;

// Tabs, line ends and backslashes of a reason escaped, so an entry stays one line.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool Unescaped(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

template <typename T>
bool Number(const std::string& text, T& value, int base = 10) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    if constexpr (std::is_floating_point_v<T>) {
        value = std::strtod(text.c_str(), &end);
    } else if constexpr (std::is_signed_v<T>) {
        value = std::strtoll(text.c_str(), &end, base);
    } else {
        value = std::strtoull(text.c_str(), &end, base);
    }
    return errno == 0 && end == text.c_str() + text.size();
}

std::string Reason(const std::string& what, const std::string& path) {
    return "journal " + path + ": " + what + ": " + std::strerror(errno);
}

}  // namespace

OutcomeJournal::OutcomeJournal(std::string path)
    : m_strPath(path.empty() ? DefaultJournalPath() : std::move(path)) {}

bool OutcomeJournal::Add(const JournalEntry& entry, std::string& error) const {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(m_strPath).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
    }
    const int fd = ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = Reason("cannot open", m_strPath);
        return false;
    }
    const std::string line = JournalLine(entry) + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = Reason("cannot write", m_strPath);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        error = Reason("cannot sync", m_strPath);
        ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

bool OutcomeJournal::Load(std::vector<JournalEntry>& entries, std::string& error) const {
    entries.clear();
    std::ifstream in(m_strPath);
    if (!in) {
        if (std::filesystem::exists(m_strPath)) {
            error = "journal " + m_strPath + ": cannot be read";
            return false;
        }
        return true;
    }
    std::string line;
    while (std::getline(in, line)) {
        JournalEntry entry;
        // A last line without its line end was cut short by a crash.
        if (!in.eof() && ParseJournalLine(line, entry)) {
            entries.push_back(std::move(entry));
        }
    }
    if (in.bad()) {
        error = "journal " + m_strPath + ": cannot be read";
        return false;
    }
    return true;
}

bool OutcomeJournal::Store(const std::vector<JournalEntry>& entries, std::string& error) const {
    if (entries.empty()) {
        if (::unlink(m_strPath.c_str()) != 0 && errno != ENOENT) {
            error = Reason("cannot remove", m_strPath);
            return false;
        }
        return true;
    }
    std::string text;
    for (const JournalEntry& entry : entries) {
        text += JournalLine(entry) + "\n";
    }
    return WriteFileAtomically(m_strPath, text.data(), text.size(), &error);
}

std::string DefaultJournalPath(const std::string& recordTarget) {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string folder;
    if (state != nullptr && state[0] == '/') {
        folder = state;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home != nullptr ? home : ".") + "/.local/state";
    }
    std::string file = JOURNAL_FILE;
    if (!recordTarget.empty()) {
        // Attempt numbers are the record's own: each record keeps its own journal.
        const auto* bytes = reinterpret_cast<const uint8_t*>(recordTarget.data());
        file += '-';  // appended apart: GCC 12 at -O3 reports a false -Wrestrict otherwise
        file += Sha256Hex(bytes, recordTarget.size()).substr(0, 16);
    }
    return folder + "/" + STATE_FOLDER + "/" + file;
}

std::string JournalLine(const JournalEntry& entry) {
    char address[24];
    std::snprintf(address, sizeof address, "%012llX",
                  static_cast<unsigned long long>(entry.address));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", entry.end.seconds);
    return std::to_string(entry.attempt) + "\t" + address + "\t" +
           RecordStateName(entry.end.outcome) + "\t" + (entry.end.reusable ? "1" : "0") + "\t" +
           Escaped(entry.end.imageSha256) + "\t" + seconds + "\t" + Escaped(entry.end.reason);
}

bool ParseJournalLine(const std::string& line, JournalEntry& entry) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == '\t') {
        fields.emplace_back();
    }
    if (fields.size() != FIELDS) {
        return false;
    }
    JournalEntry parsed;
    const std::string& outcome = fields[2];
    if (outcome == RecordStateName(RECORD_VERIFIED)) {
        parsed.end.outcome = RECORD_VERIFIED;
    } else if (outcome == RecordStateName(RECORD_FAILED)) {
        parsed.end.outcome = RECORD_FAILED;
    } else {
        return false;
    }
    if (!Number(fields[0], parsed.attempt) || !Number(fields[1], parsed.address, 16) ||
        (fields[3] != "0" && fields[3] != "1") || !Number(fields[5], parsed.end.seconds) ||
        !Unescaped(fields[4], parsed.end.imageSha256) || !Unescaped(fields[6], parsed.end.reason)) {
        return false;
    }
    parsed.end.reusable = fields[3] == "1";
    entry = std::move(parsed);
    return true;
}

}  // namespace nvds::line
