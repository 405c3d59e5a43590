#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "catalogue/NumberText.h"
#include "catalogue/TypingFilter.h"
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "image/BuildImage.h"
#include "image/ImageFile.h"
#include "image/ImageTexts.h"
#include "image/NvdsArea.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"
#include "platform/TextEscape.h"

namespace nvds::cli {

namespace {

bool IsListed(const TagEntry& entry) {
    return entry.IsDefined() && entry.def.show;
}

// A value read from a file is shown with its control characters escaped: a TAB or line break
// would split the line's fields, an escape sequence would drive the terminal. --json keeps
// texts exact (JSON escapes them itself).
std::string Field(const std::string& text) {
    return EscapeControl(text);
}

// Reads and checks an image into the table as "Open..." does; the check's report goes to
// `report` when given, the other messages to the config's prompter.
bool LoadImage(const std::string& path, CNvdsConfig& config, TagTable& table,
               std::string* report = nullptr) {
    NvdsImage image = ErasedImage();
    const ImageCheck check = OpenImageFile(path, image, table);
    std::vector<std::string> shown = check.Messages();
    if (report != nullptr && !check.problems.empty()) {
        *report = shown.back();  // the report comes last
        shown.pop_back();
    }
    for (const std::string& text : shown) {
        config.GetPrompter().Message(text);
    }
    return check.result == 1;
}

int RunShow(CliContext& ctx, const std::string& path, bool json) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table) || !LoadImage(path, config, table)) {
        return EXIT_FAIL;
    }
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (uint32_t code = TAG_SYSTEM_FIRST; code <= TAG_USER_LAST; ++code) {
        const TagEntry& entry = table[code];
        if (!IsListed(entry)) {
            continue;
        }
        const char* coding = CODING_NAMES[entry.def.coding % CODING_COUNT];
        if (json) {
            list.push_back({{"code", code},
                            {"label", entry.def.label},
                            {"coding", coding},
                            {"value", entry.valueText}});
        } else {
            std::printf("%u\t%s\t%s\t%s\n", code, Field(entry.def.label).c_str(), coding,
                        Field(entry.valueText).c_str());
        }
    }
    if (json) {
        std::printf(
            "%s\n",
            list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    }
    return EXIT_OK;
}

int RunCheck(CliContext& ctx, const std::string& path) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    std::string report;
    if (!LoadCatalogue(ctx, config, table) || !LoadImage(path, config, table, &report)) {
        return EXIT_FAIL;
    }
    if (report.empty()) {
        return EXIT_OK;
    }
    std::printf("%s\n", report.c_str());
    return EXIT_TAGS_RESET;
}

// Applies one CODE=TEXT assignment; false after its message.
bool SetValue(CNvdsConfig& config, TagTable& table, const std::string& assignment) {
    const size_t eq = assignment.find('=');
    const std::string codeText = Trim(assignment.substr(0, eq));
    const uint32_t code = codeText.empty() ? 0 : StrToUl32(codeText);
    if (eq == std::string::npos || code < TAG_SYSTEM_FIRST || code > TAG_USER_LAST ||
        !IsListed(table[code])) {
        config.GetPrompter().Message(SetRefused(assignment, WHY_NOT_LISTED));
        return false;
    }
    TagEntry& entry = table[code];
    if (entry.def.readOnly) {
        config.GetPrompter().Message(SetRefused(assignment, code, WHY_READ_ONLY));
        return false;
    }
    std::string text = assignment.substr(eq + 1);
    // The editor never lets these characters into the value; CheckValue would quietly turn
    // them into something else.
    if (const size_t refused = FirstRefusedChar(entry.def, text); refused != std::string::npos) {
        config.GetPrompter().Message(SetRefused(
            assignment, code, std::string(WHY_REFUSED_CHAR) + " '" + text[refused] + "'"));
        return false;
    }
    const ValueCheck check = CNvdsConfig::ValidateValue(text, entry.def);
    if (!check.notice.empty()) {
        config.GetPrompter().Message(check.notice);
    }
    if (!check.Ok()) {
        config.GetPrompter().Message(TagRefused(code, check.error));
        return false;
    }
    entry.valueText = text;
    return true;
}

int RunBuild(CliContext& ctx, const std::string& from, const std::vector<std::string>& sets,
             const std::string& out) {
    StderrPrompter prompter;
    if (!IsOutputFile(out, prompter)) {
        return EXIT_USAGE;
    }
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table)) {
        return EXIT_FAIL;
    }
    if (!from.empty()) {
        if (!LoadImage(from, config, table)) {
            return EXIT_FAIL;
        }
    } else {
        for (TagEntry& entry : table) {
            if (IsListed(entry)) {
                entry.valueText = entry.def.defaultText;
            }
        }
    }
    for (const std::string& assignment : sets) {
        if (!SetValue(config, table, assignment)) {
            return EXIT_FAIL;
        }
    }
    NvdsImage image = ErasedImage();
    std::string error;
    if (!BuildImage(table, image, error)) {
        prompter.Message(error);
        return EXIT_FAIL;
    }
    const std::string path = AddDefaultExtension(out, ".nvds");
    if (!WriteFileAtomically(path, image.data(), image.size(), &error)) {
        prompter.Message(MSG_SAVE_OPEN_ERROR);
        prompter.Message(error);
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

std::string HexBytes(const uint8_t* bytes, uint32_t count) {
    std::string text;
    char pair[4];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

int RunEntries(const std::string& path) {
    StderrPrompter prompter;
    NvdsImage image = ErasedImage();
    if (!ReadImage(path, image, prompter)) {
        return EXIT_FAIL;
    }
    const NvdsArea area(image);
    EntryWalk walk(area);
    for (; walk.AtEntry(); walk.Advance()) {
        const EntryHeader& header = walk.Header();
        uint8_t data[NVDS_IMAGE_SIZE];
        area.AreaRead(walk.DataPosition(), header.length, data);
        std::printf("%u\t%u\t0x%02X\t%u\t%s\t%s\n", walk.Position(), header.tag, header.status,
                    header.length, header.IsCurrent() ? "current" : "skipped",
                    HexBytes(data, header.length).c_str());
    }
    if (walk.Stop() == NVDS_CORRUPT) {
        std::printf("end\t%u\tcorrupt length %u (tag %u) runs past the area\n", walk.Position(),
                    walk.Header().length, walk.Header().tag);
    } else {
        std::printf("end\t%u\tend marker\n", walk.Position());
    }
    return EXIT_OK;
}

// The data of the current entry of every tag code in an image file, empty for a code the image
// does not hold. False after the file's refusal message.
bool ReadEntries(const std::string& path, std::vector<std::string>& entries, Prompter& prompter) {
    NvdsImage image = ErasedImage();
    if (!ReadImage(path, image, prompter)) {
        return false;
    }
    entries.assign(TAG_TABLE_SIZE, "");
    const NvdsArea area(image);
    for (uint32_t code = 1; code < TAG_TABLE_SIZE; ++code) {
        uint32_t position = 0;
        EntryHeader header{};
        if (area.FindTag(static_cast<uint8_t>(code), position, header) == NVDS_OK) {
            uint8_t data[NVDS_IMAGE_SIZE];
            area.AreaRead(position + NVDS_HEADER_SIZE, header.length, data);
            entries[code].assign(reinterpret_cast<const char*>(data), header.length);
        }
    }
    return true;
}

std::string EntryText(const std::string& bytes) {
    return bytes.empty() ? "(none)"
                         : HexBytes(reinterpret_cast<const uint8_t*>(bytes.data()),
                                    static_cast<uint32_t>(bytes.size()));
}

// Listed tags are compared by their value as the window shows it; every other entry (a hidden
// tag, or a code the catalogue does not define) by its bytes, named by its code.
int RunDiff(CliContext& ctx, const std::string& pathA, const std::string& pathB) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable tableA;
    if (!LoadCatalogue(ctx, config, tableA)) {
        return EXIT_USAGE;
    }
    TagTable tableB = tableA;
    std::vector<std::string> entriesA;
    std::vector<std::string> entriesB;
    if (!LoadImage(pathA, config, tableA) || !LoadImage(pathB, config, tableB) ||
        !ReadEntries(pathA, entriesA, prompter) || !ReadEntries(pathB, entriesB, prompter)) {
        return EXIT_USAGE;
    }
    bool differ = false;
    for (uint32_t code = 1; code < TAG_TABLE_SIZE; ++code) {
        if (IsListed(tableA[code])) {
            if (tableA[code].valueText == tableB[code].valueText) {
                continue;
            }
            std::printf("%u\t%s\t%s\t%s\n", code, Field(tableA[code].def.label).c_str(),
                        Field(tableA[code].valueText).c_str(),
                        Field(tableB[code].valueText).c_str());
        } else if (entriesA[code] != entriesB[code]) {
            std::printf("%u\t(unlisted)\t%s\t%s\n", code, EntryText(entriesA[code]).c_str(),
                        EntryText(entriesB[code]).c_str());
        } else {
            continue;
        }
        differ = true;
    }
    return differ ? EXIT_FAIL : EXIT_OK;
}

struct ImageArgs {
    std::string image;
    std::string other;
    std::string from;
    std::string out;
    std::vector<std::string> sets;
    bool json = false;
};

}  // namespace

bool ReadImage(const std::string& path, NvdsImage& image, Prompter& prompter) {
    const ImageFileResult read = ReadImageFile(path, image);
    if (read != ImageFileResult::Ok) {
        prompter.Message(ImageFileMessage(read));
    }
    return read == ImageFileResult::Ok;
}

bool IsOutputFile(const std::string& out, Prompter& prompter) {
    struct stat st {};
    if (!out.empty() && out.back() != '/' &&
        (::stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        return true;
    }
    prompter.Message(OutputIsFolder(out));
    return false;
}

void AddImageCommands(CLI::App& app, CliContext& ctx) {
    auto args = std::make_shared<ImageArgs>();

    CLI::App* show = app.add_subcommand("show", "Read an image file and list the tag values");
    AddDbOptions(show, ctx);
    show->add_option("IMAGE", args->image, "The .nvds file")->required();
    show->add_flag("--json", args->json, "Print a JSON array of code, label, coding, value");
    show->callback(
        [&ctx, args] { ctx.run = [&ctx, args] { return RunShow(ctx, args->image, args->json); }; });

    CLI::App* check = app.add_subcommand(
        "check", "Check an image file against the catalogue (exit 3 when tags would be reset)");
    AddDbOptions(check, ctx);
    check->add_option("IMAGE", args->image, "The .nvds file")->required();
    check->callback(
        [&ctx, args] { ctx.run = [&ctx, args] { return RunCheck(ctx, args->image); }; });

    CLI::App* build = app.add_subcommand("build", "Build a 4096-byte image file");
    AddDbOptions(build, ctx);
    build->add_option("--from", args->from, "Start from the values of this image file");
    build->add_option("--set", args->sets, "Set a listed tag's value: CODE=TEXT (repeatable)");
    build
        ->add_option("-o,--output", args->out,
                     "Output file; \".nvds\" is added when the path has no '.' anywhere "
                     "(a dotted folder counts); a folder is refused")
        ->required();
    build->callback([&ctx, args] {
        ctx.run = [&ctx, args] { return RunBuild(ctx, args->from, args->sets, args->out); };
    });

    CLI::App* entries =
        app.add_subcommand("entries", "List the raw entries of an image file (for debugging)");
    AddDbOptions(entries, ctx);
    entries->add_option("IMAGE", args->image, "The .nvds file")->required();
    entries->callback([&ctx, args] { ctx.run = [args] { return RunEntries(args->image); }; });

    CLI::App* diff = app.add_subcommand(
        "diff",
        "List the entries whose values differ (exit 0 the same, 1 different, 2 unreadable)");
    AddDbOptions(diff, ctx);
    diff->add_option("A", args->image, "First .nvds file")->required();
    diff->add_option("B", args->other, "Second .nvds file")->required();
    diff->callback([&ctx, args] {
        ctx.run = [&ctx, args] { return RunDiff(ctx, args->image, args->other); };
    });
}

}  // namespace nvds::cli
