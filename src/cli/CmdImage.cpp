#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "catalogue/NumberText.h"
#include "catalogue/TypingFilter.h"
#include "cli/Commands.h"
#include "image/BuildImage.h"
#include "image/ImageFile.h"
#include "image/ImageTexts.h"
#include "image/NvdsArea.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"

namespace nvds::cli {

namespace {

bool IsListed(const TagEntry& entry) {
    return entry.IsDefined() && entry.def.show;
}

// A TAB or line break inside a value would split the line's fields; --json keeps texts exact.
std::string Field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// Reads and checks an image into the table as "Open..." does; the check's report goes to
// `reportTo`, a refusal's message to the config's prompter.
bool LoadImage(const std::string& path, CNvdsConfig& config, TagTable& table, Prompter& reportTo) {
    NvdsImage image = ErasedImage();
    return OpenImageFile(path, image, config, table, config.GetPrompter(), reportTo) ==
           ImageFileResult::Ok;
}

int RunShow(CliContext& ctx, const std::string& path, bool json) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table) || !LoadImage(path, config, table, prompter)) {
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
    RecordingPrompter report;
    if (!LoadCatalogue(ctx, config, table) || !LoadImage(path, config, table, report)) {
        return EXIT_FAIL;
    }
    if (report.shown.empty()) {
        return EXIT_OK;
    }
    std::printf("%s\n", report.shown.front().text.c_str());
    return EXIT_TAGS_RESET;
}

// Applies one CODE=TEXT assignment; false after its message.
bool SetValue(CNvdsConfig& config, TagTable& table, const std::string& assignment) {
    const size_t eq = assignment.find('=');
    const std::string codeText = Trim(assignment.substr(0, eq));
    const uint32_t code = codeText.empty() ? 0 : StrToUl32(codeText);
    if (eq == std::string::npos || code < TAG_SYSTEM_FIRST || code > TAG_USER_LAST ||
        !IsListed(table[code])) {
        config.GetPrompter().Message("--set " + assignment +
                                     ": no listed tag with that code (use CODE=TEXT)");
        return false;
    }
    TagEntry& entry = table[code];
    if (entry.def.readOnly) {
        config.GetPrompter().Message("--set " + assignment + ": tag " + std::to_string(code) +
                                     " is read-only");
        return false;
    }
    std::string text = assignment.substr(eq + 1);
    // The editor never lets these characters into the value; CheckValue would quietly turn
    // them into something else.
    if (const size_t refused = FirstRefusedChar(entry.def, text); refused != std::string::npos) {
        config.GetPrompter().Message("--set " + assignment + ": tag " + std::to_string(code) +
                                     " does not take the character '" + text[refused] + "'");
        return false;
    }
    if (!config.CheckValue(text, entry.def, 0)) {
        config.GetPrompter().Message("Tag=" + std::to_string(code) + ": " + config.m_strError);
        return false;
    }
    entry.valueText = text;
    return true;
}

int RunBuild(CliContext& ctx, const std::string& from, const std::vector<std::string>& sets,
             const std::string& out) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable table;
    if (!LoadCatalogue(ctx, config, table)) {
        return EXIT_FAIL;
    }
    if (!from.empty()) {
        if (!LoadImage(from, config, table, prompter)) {
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
    if (!BuildImage(table, image, prompter)) {
        return EXIT_FAIL;
    }
    const std::string path = AddDefaultExtension(out, ".nvds");
    std::string error;
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
    if (!ReadImageFile(path, image, prompter)) {
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

int RunDiff(CliContext& ctx, const std::string& pathA, const std::string& pathB) {
    StderrPrompter prompter;
    CNvdsConfig config(prompter);
    TagTable tableA;
    if (!LoadCatalogue(ctx, config, tableA)) {
        return EXIT_FAIL;
    }
    TagTable tableB = tableA;
    if (!LoadImage(pathA, config, tableA, prompter) ||
        !LoadImage(pathB, config, tableB, prompter)) {
        return EXIT_FAIL;
    }
    for (uint32_t code = TAG_SYSTEM_FIRST; code <= TAG_USER_LAST; ++code) {
        if (IsListed(tableA[code]) && tableA[code].valueText != tableB[code].valueText) {
            std::printf("%u\t%s\t%s\t%s\n", code, Field(tableA[code].def.label).c_str(),
                        Field(tableA[code].valueText).c_str(),
                        Field(tableB[code].valueText).c_str());
        }
    }
    return EXIT_OK;
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
    build->add_option("-o,--output", args->out, "Output file (.nvds added when it has no '.')")
        ->required();
    build->callback([&ctx, args] {
        ctx.run = [&ctx, args] { return RunBuild(ctx, args->from, args->sets, args->out); };
    });

    CLI::App* entries =
        app.add_subcommand("entries", "List the raw entries of an image file (for debugging)");
    AddDbOptions(entries, ctx);
    entries->add_option("IMAGE", args->image, "The .nvds file")->required();
    entries->callback([&ctx, args] { ctx.run = [args] { return RunEntries(args->image); }; });

    CLI::App* diff = app.add_subcommand("diff", "List the tags whose values differ");
    AddDbOptions(diff, ctx);
    diff->add_option("A", args->image, "First .nvds file")->required();
    diff->add_option("B", args->other, "Second .nvds file")->required();
    diff->callback([&ctx, args] {
        ctx.run = [&ctx, args] { return RunDiff(ctx, args->image, args->other); };
    });
}

}  // namespace nvds::cli
