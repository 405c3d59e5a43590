#include "platform/OpenDocument.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/TextEscape.h"

extern char** environ;

namespace nvds {

namespace {

// Longest open command and longest final command line the opener builds.
constexpr size_t kMaxCommand = 1024;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// The user's folder first, then the system's, as the XDG base directories order them.
std::vector<std::string> BaseDirs(const char* homeVar, const char* homeDefault, const char* dirsVar,
                                  const char* dirsDefault) {
    std::string home = Env(homeVar);
    if (home.empty()) {
        home = Env("HOME") + homeDefault;
    }
    std::string dirs = Env(dirsVar);
    std::vector<std::string> result{home};
    for (const std::string& dir : Split(dirs.empty() ? dirsDefault : dirs, ':')) {
        result.push_back(dir);
    }
    return result;
}

std::vector<std::string> DataDirs() {
    return BaseDirs("XDG_DATA_HOME", "/.local/share", "XDG_DATA_DIRS",
                    "/usr/local/share:/usr/share");
}

std::vector<std::string> ConfigDirs() {
    return BaseDirs("XDG_CONFIG_HOME", "/.config", "XDG_CONFIG_DIRS", "/etc/xdg");
}

// The MIME type whose glob "*<extension>" has the highest weight in the shared MIME database.
std::string MimeTypeOf(const std::string& extension) {
    const std::string glob = std::string("*").append(Lower(extension));
    std::string best;
    int bestWeight = -1;
    for (const std::string& dir : DataDirs()) {
        std::ifstream in(dir + "/mime/globs2");
        std::string line;
        while (std::getline(in, line)) {
            // weight:type:glob[:flags[:...]]
            const std::vector<std::string> fields = Split(line, ':');
            if (line.empty() || line[0] == '#' || fields.size() < 3) {
                continue;
            }
            const bool caseSensitive =
                fields.size() > 3 && fields[3].find("cs") != std::string::npos;
            const std::string candidate = caseSensitive ? fields[2] : Lower(fields[2]);
            const int weight = std::atoi(fields[0].c_str());
            if (candidate == (caseSensitive ? std::string("*").append(extension) : glob) &&
                weight > bestWeight) {
                best = fields[1];
                bestWeight = weight;
            }
        }
    }
    return best;
}

// The value of `key` in `[group]` of an INI-style file ("" when absent).
std::string IniValue(const std::string& path, const std::string& group, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[" + group + "]";
            continue;
        }
        const size_t eq = line.find('=');
        if (inGroup && eq != std::string::npos && line.substr(0, eq) == key) {
            return line.substr(eq + 1);
        }
    }
    return "";
}

std::string FindDesktopFile(const std::string& id) {
    for (const std::string& dir : DataDirs()) {
        const std::string path = dir + "/applications/" + id;
        if (access(path.c_str(), R_OK) == 0) {
            return path;
        }
    }
    return "";
}

std::vector<std::string> MimeappsLists() {
    std::vector<std::string> names;
    for (const std::string& desktop : Split(Env("XDG_CURRENT_DESKTOP"), ':')) {
        names.push_back(Lower(desktop) + "-mimeapps.list");
    }
    names.push_back("mimeapps.list");
    std::vector<std::string> lists;
    for (const std::string& dir : ConfigDirs()) {
        for (const std::string& name : names) {
            lists.push_back(dir + "/" + name);
        }
    }
    for (const std::string& dir : DataDirs()) {
        for (const std::string& name : names) {
            lists.push_back(dir + "/applications/" + name);
        }
    }
    return lists;
}

// The desktop entry of the default application: the first installed entry named as default,
// else the first one associated with the type, else the first one the system cache lists.
std::string DesktopFileFor(const std::string& mimeType) {
    std::vector<std::pair<std::string, std::string>> sources;
    for (const char* group : {"Default Applications", "Added Associations"}) {
        for (const std::string& list : MimeappsLists()) {
            sources.emplace_back(list, group);
        }
    }
    for (const std::string& dir : DataDirs()) {
        sources.emplace_back(dir + "/applications/mimeinfo.cache", "MIME Cache");
    }
    for (const auto& [file, group] : sources) {
        for (const std::string& id : Split(IniValue(file, group, mimeType), ';')) {
            const std::string path = FindDesktopFile(id);
            if (!path.empty()) {
                return path;
            }
        }
    }
    return "";
}

// Splits a command line into arguments: white space separates, double quotes group, and
// inside quotes a backslash escapes ", `, $ and itself.
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    std::string arg;
    bool inArg = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '\\' && i + 1 < line.size()) {
            arg += line[++i];
        } else if (c == '"') {
            quoted = !quoted;
            inArg = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArg) {
                args.push_back(arg);
            }
            arg.clear();
            inArg = false;
        } else {
            arg += c;
            inArg = true;
        }
    }
    if (inArg) {
        args.push_back(arg);
    }
    return args;
}

std::string EscapeQuoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// Applies the string escapes of a desktop entry value (\s, \n, \t, \r, \\).
std::string UnescapeValue(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char c = value[++i];
        out += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    return out;
}

// One Exec argument with its field codes resolved: a file or URL code becomes "%1", "%%" a
// percent sign, and every other code (icon, name, location) is dropped.
std::string ResolveFieldCodes(const std::string& arg) {
    std::string out;
    for (size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] != '%' || i + 1 == arg.size()) {
            out += arg[i];
            continue;
        }
        const char code = arg[++i];
        if (code == 'f' || code == 'u' || code == 'F' || code == 'U') {
            out += "%1";
        } else if (code == '%') {
            out += '%';
        }
    }
    return out;
}

bool IsFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The viewer gets no descriptor of ours beyond the standard three (ports, sockets).
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        return false;
    }
    // Nobody waits for the viewer, but it must not stay a zombie when it ends.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return true;
}

}  // namespace

bool GetOpenCommand(const std::string& extension, std::string& command) {
    command.clear();
    const std::string mimeType = MimeTypeOf(extension);
    const std::string desktopFile = mimeType.empty() ? "" : DesktopFileFor(mimeType);
    if (desktopFile.empty()) {
        return false;
    }
    const std::string exec = UnescapeValue(IniValue(desktopFile, "Desktop Entry", "Exec"));
    std::string line;
    for (const std::string& arg : SplitCommandLine(exec)) {
        const std::string resolved = ResolveFieldCodes(arg);
        if (!resolved.empty()) {
            line.append(line.empty() ? "\"" : " \"").append(EscapeQuoted(resolved)).append("\"");
        }
    }
    if (line.empty() || line.size() > kMaxCommand) {
        return false;
    }
    command = line;
    return true;
}

bool OpenWithAssociatedApp(const std::string& path) {
    if (!IsFile(path)) {
        return false;
    }
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    std::string command;
    if (!GetOpenCommand(path.substr(dot), command)) {
        return false;
    }
    const size_t at = command.rfind("%1");
    if (at == std::string::npos) {
        return false;
    }
    // The "%1" sits inside double quotes, so the path is escaped for them.
    const std::string line = command.substr(0, at) + EscapeQuoted(path) + command.substr(at + 2);
    if (line.size() > kMaxCommand) {
        return false;
    }
    return Spawn(SplitCommandLine(line));
}

}  // namespace nvds
