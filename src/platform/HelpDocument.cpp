#include "platform/HelpDocument.h"

#include <dirent.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/OpenDocument.h"
#include "platform/PlatformTexts.h"

namespace nvds {

namespace {

// The absolute form of the manual folder, found by visiting it and coming back.
std::string ManualFolder() {
    char cwd[PATH_MAX] = {};
    char folder[PATH_MAX] = {};
    if (getcwd(cwd, sizeof cwd) != nullptr && chdir(HELP_FOLDER) == 0) {
        if (getcwd(folder, sizeof folder) == nullptr) {
            folder[0] = '\0';
        }
        if (chdir(cwd) != 0) {
            folder[0] = '\0';
        }
    }
    return folder;
}

// The first non-folder entry that the folder listing returns matching the pattern.
std::string FirstMatch(const std::string& folder) {
    DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
    if (dir == nullptr) {
        return "";
    }
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        struct stat st;
        const std::string path = folder + "/" + entry->d_name;
        if (fnmatch(HELP_PATTERN, entry->d_name, 0) == 0 && stat(path.c_str(), &st) == 0 &&
            !S_ISDIR(st.st_mode)) {
            found = path;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

bool OpenHelpContents(Prompter& prompter) {
    const std::string manual = FirstMatch(ManualFolder());
    if (manual.empty()) {
        prompter.Message(MSG_NO_HELP_DOCUMENT);
        return false;
    }
    if (!OpenWithAssociatedApp(manual)) {
        prompter.Message(MSG_NO_PDF_READER);
        return false;
    }
    return true;
}

}  // namespace nvds
