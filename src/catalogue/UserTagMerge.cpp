#include "catalogue/UserTagMerge.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>

#include "catalogue/CatalogueTexts.h"
#include "platform/AtomicFile.h"

namespace nvds {

namespace {

bool SameShape(const TagDef& a, const TagDef& b) {
    return a.min == b.min && a.max == b.max && a.length == b.length && a.coding == b.coding;
}

// Takes the user range of `from` into `main`. A value `main` holds stays unless it is empty or,
// with `resetReshaped`, its definition changed length, range or coding.
void TakeUserTags(TagTable& main, const TagTable& from, bool resetReshaped) {
    CNvdsConfig::ClearTagRange(TAGDB_USER, main);
    for (uint32_t code = TAG_USER_FIRST; code <= TAG_USER_LAST; ++code) {
        TagEntry& to = main[code];
        const TagEntry& source = from[code];
        if (!source.IsDefined()) {
            to.valueText.clear();
            continue;
        }
        to.mark = TAG_ENTRY_MARK;
        to.tag = code;
        if (to.valueText.empty() || (resetReshaped && !SameShape(to.def, source.def))) {
            to.valueText = source.def.defaultText;
        }
        to.def = source.def;
    }
}

}  // namespace

void CopyUserTags(TagTable& main, const TagTable& dialog) {
    TakeUserTags(main, dialog, true);
}

void AdoptImportedUserTags(TagTable& main, const TagTable& imported) {
    TakeUserTags(main, imported, false);
}

ImportResult ImportUserProperties(CNvdsConfig& config, const std::string& chosenPath,
                                  TagTable& main) {
    Prompter& prompter = config.GetPrompter();
    // The table is large (255 slots with strings); keep it off the stack.
    auto imported = std::make_unique<TagTable>();
    std::string bytes;
    bool systemRoot = false;
    const int loaded = config.LoadUserTagDb(chosenPath, *imported, &systemRoot);
    if (!systemRoot && (!loaded || !ReadWholeFile(chosenPath, bytes))) {
        prompter.Message(MSG_IMPORT_DAMAGED);
        return IMPORT_DAMAGED;
    }
    if (systemRoot || (*imported)[TAG_SYSTEM_FIRST].IsDefined()) {
        prompter.Message(MSG_IMPORT_SYSTEM_DB);
        return IMPORT_SYSTEM_DB;
    }
    std::string error;
    if (!config.PrepareUserDbSave(&error) ||
        !WriteFileAtomically(config.GetUserDbSavePath(), bytes.data(), bytes.size(), &error)) {
        prompter.Message(MSG_IMPORT_FAIL + error);
        return IMPORT_COPY_FAILED;
    }
    prompter.Message(MSG_IMPORT_SUCCESS);
    AdoptImportedUserTags(main, *imported);
    return IMPORT_OK;
}

std::string ExportPath(const std::string& chosenPath) {
    return chosenPath.find('.') == std::string::npos ? chosenPath + ".xml" : chosenPath;
}

bool ExportUserProperties(const std::string& userDbPath, const std::string& chosenPath,
                          Prompter& prompter) {
    const std::string path = ExportPath(chosenPath);
    std::string bytes;
    // The result is judged by the destination alone, as a copy over an existing good file
    // still leaves a usable export behind.
    if (ReadWholeFile(userDbPath, bytes)) {
        WriteFileAtomically(path, bytes.data(), bytes.size());
    }
    const bool ok = access(path.c_str(), R_OK | W_OK) == 0;
    prompter.Message(ok ? MSG_EXPORT_SUCCESS : MSG_EXPORT_FAIL);
    return ok;
}

}  // namespace nvds
