#include "cli/CliDocs.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

#include "platform/BuildVersion.h"

namespace nvds::cli {

namespace {

struct Item {
    const char* term;
    const char* text;
};

const char* const DESCRIPTION =
    "nvds reads, checks, builds and compares the 4096-byte NVDS images of ZB446x Bluetooth Low "
    "Energy chips, and dumps and burns the chip's NVDS area through its boot loader over a "
    "serial adapter or the USB-to-SPI bridge. nvds line burns chip after chip on several "
    "ports, each chip with its own device address from a production record; nvds doctor "
    "checks what stands between the user and the adapters. Every command reads the tag "
    "catalogue: the system database beside the program, and the user database (the user's own "
    "copy when it exists, else the one beside the program). The system's messages go to "
    "standard error verbatim; results go to standard output.";

const char* const SUFFIX_RULE =
    "An image written by build gets \".nvds\" appended when the path given with -o has no "
    "\".\" anywhere, a dotted folder included (-o out gives out.nvds, -o v1.0/out keeps "
    "v1.0/out, -o out.bin keeps out.bin); dump writes the path as given. A path ending in "
    "\"/\" or naming an existing folder is refused (exit 2).";

const Item EXIT_CODES[] = {
    {"0", "Success; nvds diff: the images are the same; nvds doctor: every check passed."},
    {"1",
     "The command failed (message on standard error); nvds diff: the images differ; nvds "
     "doctor: a check failed; nvds line: stopped by a signal or the address range is used up."},
    {"2",
     "Usage: an unknown or malformed option, a value out of range, -o naming a folder, a "
     "record text that names no lasting place; nvds diff: an input is missing or no image."},
    {"3",
     "nvds check: some tags would be reset to their defaults (the report is on standard "
     "output); nvds dump: the chip's NVDS area is erased."},
    {"4", "nvds burn --verify: the area read back differs from the image (page and offset named)."},
};

const Item ENVIRONMENT[] = {
    {"NVDS_EXTRA_PORTS",
     "Colon-separated device paths that nvds ports lists beside the serial devices found (a "
     "simulator's pty)."},
    {"NVDS_USB_BRIDGE",
     "VID:PID[,VID:PID...] (hexadecimal) of USB bridges to use for --port SPI instead of "
     "04b4:1004; nvds doctor looks for their udev rule."},
    {"NVDS_USB_BACKEND", "sim: --port SPI talks to a simulated bridge and chip (for tests)."},
    {"XDG_DATA_HOME",
     "The user's own user database is $XDG_DATA_HOME/zb446x-nvds-configurator/userkey_db.xml "
     "(default ~/.local/share); only an absolute path counts."},
    {"HOME", "Base of ~/.local/share when XDG_DATA_HOME is not set."},
    {"PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE, PGSERVICE",
     "Read by the PostgreSQL client library when --record is a PostgreSQL connection string."},
};

const Item FILES[] = {
    {"/opt/zb446x-nvds/bin/app/zbkey_db.xml",
     "The system tag database (codes 1 to 99), beside the program."},
    {"/opt/zb446x-nvds/bin/app/userkey_db.xml",
     "The shipped user tag database (codes 100 to 254)."},
    {"~/.local/share/zb446x-nvds-configurator/userkey_db.xml",
     "The user's own copy of the user database, read instead of the shipped one once it exists."},
    {"*.nvds",
     "Image files: exactly 4096 bytes when written; any file of at most 4096 bytes "
     "starting with \"NVDS\" is read."},
    {"*.db", "Production records (SQLite, with -wal and -shm files beside them while in use)."},
    {"/usr/lib/udev/rules.d/60-nvds-usb-bridge.rules",
     "Gives the plugdev group access to the USB bridge."},
    {"~/.pgpass, ~/.pg_service.conf", "Password and service files of PostgreSQL records."},
};

const Item EXAMPLES[] = {
    {"A bench: read a chip, compare it with the golden image, burn and verify",
     "nvds doctor --port /dev/ttyUSB0\n"
     "nvds dump --port /dev/ttyUSB0 --crystal 32MHz --baud 921600 -o chip.nvds\n"
     "nvds diff golden.nvds chip.nvds || echo \"the chip differs\"\n"
     "nvds build --from golden.nvds --set 2=\"Kestrel BLE\" -o unit.nvds\n"
     "nvds burn --port /dev/ttyUSB0 --crystal 32MHz --verify unit.nvds"},
    {"Without a chip: a simulated boot loader on a pty",
     "nvds sim --link /tmp/nvds-sim &\n"
     "nvds dump --port /tmp/nvds-sim -o sim.nvds"},
    {"A production line: two stations, one address each chip, then the record",
     "nvds line --port /dev/ttyUSB0 --port /dev/ttyUSB1 --baud 921600 --image golden.nvds "
     "--first-address \"C0 11 22 00 00 01\" --last-address \"C0 11 22 00 FF FF\" --record "
     "line.db\n"
     "nvds record line.db"},
    {"Several benches drawing from one PostgreSQL record",
     "nvds line --port /dev/ttyUSB0 --image golden.nvds --first-address \"C0 11 22 00 00 00\" "
     "--record postgresql://line@dbhost/nvds"},
};

// What an option's value is, for the completions and the metavariable in the documents.
const std::map<std::string, std::string> VALUE_KINDS = {
    {"--port", "port"},   {"--image", "nvds"}, {"--from", "nvds"},
    {"IMAGE", "nvds"},    {"image", "nvds"},   {"A", "nvds"},
    {"B", "nvds"},        {"--system", "xml"}, {"--user", "xml"},
    {"--record", "db"},   {"FILE", "db"},      {"RECORD", "db"},
    {"--output", "file"}, {"--flash", "file"}, {"--link", "file"},
    {"--csv", "file"},    {"--root", "dir"},   {"--crystal", "crystal"},
};

const std::map<std::string, std::string> METAVARS = {
    {"port", "PORT"}, {"nvds", "IMAGE"}, {"xml", "DB.xml"},          {"db", "RECORD"},
    {"file", "FILE"}, {"dir", "DIR"},    {"crystal", "16MHz|32MHz"},
};

std::vector<const CLI::App*> Commands(const CLI::App& app) {
    std::vector<const CLI::App*> commands;
    for (const CLI::App* sub : app.get_subcommands({})) {
        if (!sub->get_group().empty()) {
            commands.push_back(sub);
        }
    }
    return commands;
}

// The options shown for a command: not hidden, not the help flag.
std::vector<const CLI::Option*> Options(const CLI::App& app, bool positional) {
    std::vector<const CLI::Option*> options;
    for (const CLI::Option* opt : app.get_options()) {
        if (!opt->get_group().empty() && opt->get_positional() == positional &&
            opt != app.get_help_ptr() && opt->get_name() != "--help") {
            options.push_back(opt);
        }
    }
    return options;
}

std::string Kind(const CLI::Option* opt) {
    for (const std::string& name : opt->get_lnames()) {
        if (auto it = VALUE_KINDS.find("--" + name); it != VALUE_KINDS.end()) {
            return it->second;
        }
    }
    if (auto it = VALUE_KINDS.find(opt->get_name(true)); it != VALUE_KINDS.end()) {
        return it->second;
    }
    return "";
}

// Flags have no type name; every option that takes a value has one (TEXT, UINT, ...).
bool TakesValue(const CLI::Option* opt) {
    return !opt->get_type_name().empty();
}

bool Repeatable(const CLI::Option* opt) {
    return opt->get_expected_max() > 1;
}

// The value's placeholder: the kind's name, else CLI11's type without its checks.
std::string Metavar(const CLI::Option* opt) {
    if (auto it = METAVARS.find(Kind(opt)); it != METAVARS.end()) {
        return it->second;
    }
    if (opt->get_lnames().size() == 1 && opt->get_lnames()[0] == "set") {
        return "CODE=TEXT";
    }
    std::string type = opt->get_type_name();
    type = type.substr(0, type.find(':'));
    return type == "UINT" || type == "INT" || type == "FLOAT" ? "N" : type;
}

// "-o, --output FILE" or "--json".
std::string Names(const CLI::Option* opt) {
    if (opt->get_positional()) {
        return opt->get_name(true);
    }
    std::string text;
    for (const std::string& s : opt->get_snames()) {
        text += (text.empty() ? "-" : ", -") + s;
    }
    for (const std::string& l : opt->get_lnames()) {
        text += (text.empty() ? "--" : ", --") + l;
    }
    return TakesValue(opt) ? text + " " + Metavar(opt) : text;
}

std::string Sentence(const std::string& text) {
    return !text.empty() && text.back() != '.' ? text + "." : text;
}

// The description as a sentence, then whether it is required or repeatable.
std::string Notes(const CLI::Option* opt) {
    const std::string& text = opt->get_description();
    std::string notes = !text.empty() && text.back() != '.' ? "." : "";
    if (opt->get_required() && !opt->get_positional()) {
        notes += " Required.";
    }
    if (Repeatable(opt)) {
        notes += " May be given more than once.";
    }
    return notes;
}

std::string Usage(const CLI::App* sub) {
    std::string usage = "nvds " + sub->get_name();
    if (!Options(*sub, false).empty()) {
        usage += " [OPTIONS]";
    }
    for (const CLI::Option* pos : Options(*sub, true)) {
        usage += " " + pos->get_name(true);
    }
    return usage;
}

// ---- roff ----

std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) {
        out = "\\&" + out;
    }
    return out;
}

void RoffItems(std::ostream& out, const char* section, const Item* items, size_t count) {
    out << ".SH " << section << "\n";
    for (size_t i = 0; i < count; ++i) {
        out << ".TP\n.B " << Roff(items[i].term) << "\n" << Roff(items[i].text) << "\n";
    }
}

void RoffOptions(std::ostream& out, const std::vector<const CLI::Option*>& options) {
    for (const CLI::Option* opt : options) {
        out << ".TP\n.B " << Roff(Names(opt)) << "\n"
            << Roff(opt->get_description() + Notes(opt)) << "\n";
    }
}

// ---- Markdown ----

std::string Md(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '|' || c == '*' || c == '_' || c == '<') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// ---- shells ----

std::string Words(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) {
        text += (text.empty() ? "" : " ") + w;
    }
    return text;
}

std::vector<std::string> OptionWords(const CLI::App& app, bool valuedOnly) {
    std::vector<std::string> words;
    for (const CLI::Option* opt : Options(app, false)) {
        if (valuedOnly && !TakesValue(opt)) {
            continue;
        }
        for (const std::string& s : opt->get_snames()) {
            words.push_back("-" + s);
        }
        for (const std::string& l : opt->get_lnames()) {
            words.push_back("--" + l);
        }
    }
    if (!valuedOnly) {
        words.push_back("--help");
    }
    return words;
}

std::string ZshQuote(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            if (c == '[' || c == ']' || c == ':' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
    }
    return out;
}

std::string ZshAction(const std::string& kind) {
    if (kind == "port") {
        return "_nvds_ports";
    }
    if (kind == "nvds" || kind == "xml" || kind == "db") {
        return "_files -g \"*." + kind + "\"";
    }
    if (kind == "dir") {
        return "_files -/";
    }
    if (kind == "crystal") {
        return "(16MHz 32MHz)";
    }
    return kind == "file" ? "_files" : " ";
}

}  // namespace

void WriteManPage(const CLI::App& app, std::ostream& out) {
    out << ".\\\" Generated from the option table of nvds; do not edit.\n"
        << ".TH NVDS 1 \"\" \"nvds " << ProgramVersion() << "\" \"User Commands\"\n"
        << ".SH NAME\nnvds \\- command\\-line tool of the ZB446x NVDS Configurator\n"
        << ".SH SYNOPSIS\n.B nvds\n[\\fB\\-\\-trace\\fR]\n.I command\n[\\fIoptions\\fR]\n.br\n"
        << ".B nvds \\-\\-version\n.br\n.B nvds\n[\\fIcommand\\fR]\n.B \\-\\-help\n"
        << ".SH DESCRIPTION\n"
        << Roff(DESCRIPTION) << "\n.PP\n"
        << Roff(SUFFIX_RULE) << "\n"
        << ".SH GLOBAL OPTIONS\n";
    RoffOptions(out, Options(app, false));
    out << ".TP\n.B \\-h, \\-\\-help\nPrint the help of nvds or of a command and exit.\n"
        << ".SH COMMANDS\n";
    for (const CLI::App* sub : Commands(app)) {
        out << ".SS " << Roff(Usage(sub)) << "\n" << Roff(Sentence(sub->get_description())) << "\n";
        RoffOptions(out, Options(*sub, true));
        RoffOptions(out, Options(*sub, false));
    }
    RoffItems(out, "EXIT STATUS", EXIT_CODES, std::size(EXIT_CODES));
    RoffItems(out, "ENVIRONMENT", ENVIRONMENT, std::size(ENVIRONMENT));
    RoffItems(out, "FILES", FILES, std::size(FILES));
    out << ".SH EXAMPLES\n";
    for (const Item& example : EXAMPLES) {
        out << ".PP\n"
            << Roff(example.term) << ":\n.PP\n.RS 4\n.nf\n"
            << Roff(example.text) << "\n.fi\n.RE\n";
    }
    out << ".SH SEE ALSO\n.BR nvds\\-configurator (1),\n.BR udev (7)\n";
}

void WriteMarkdownReference(const CLI::App& app, std::ostream& out) {
    out << "### Every command and option\n\n"
        << "Global options, given before the command: ";
    std::string global;
    for (const CLI::Option* opt : Options(app, false)) {
        global +=
            (global.empty() ? "`" : ", `") + Names(opt) + "` (" + Md(opt->get_description()) + ")";
    }
    out << global << ". `nvds COMMAND --help` prints a command's options.\n\n"
        << Md(SUFFIX_RULE) << "\n\n";
    for (const CLI::App* sub : Commands(app)) {
        out << "#### `" << Usage(sub) << "`\n\n" << Md(Sentence(sub->get_description())) << "\n\n";
        for (bool positional : {true, false}) {
            for (const CLI::Option* opt : Options(*sub, positional)) {
                out << "- `" << Names(opt) << "`: " << Md(opt->get_description() + Notes(opt))
                    << "\n";
            }
        }
        out << "\n";
    }
    const struct {
        const char* title;
        const Item* items;
        size_t count;
    } tables[] = {{"Exit codes", EXIT_CODES, std::size(EXIT_CODES)},
                  {"Environment variables", ENVIRONMENT, std::size(ENVIRONMENT)},
                  {"Files", FILES, std::size(FILES)}};
    for (const auto& table : tables) {
        out << "### " << table.title << "\n\n| | |\n|---|---|\n";
        for (size_t i = 0; i < table.count; ++i) {
            out << "| `" << table.items[i].term << "` | " << Md(table.items[i].text) << " |\n";
        }
        out << "\n";
    }
    out << "### Examples\n\n";
    for (const Item& example : EXAMPLES) {
        out << Md(example.term) << ":\n\n";
        std::string text = example.text;
        size_t start = 0;
        while (start <= text.size()) {
            const size_t end = text.find('\n', start);
            out << "    " << text.substr(start, end - start) << "\n";
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
        out << "\n";
    }
}

void WriteBashCompletion(const CLI::App& app, std::ostream& out) {
    std::vector<std::string> names;
    for (const CLI::App* sub : Commands(app)) {
        names.push_back(sub->get_name());
    }
    out << "# bash completion for nvds. Generated from the option table of nvds; do not edit.\n"
        << "_nvds_files() {\n"
        << "    local IFS=$'\\n'\n"
        << "    compopt -o filenames 2>/dev/null\n"
        << "    if [ -n \"$1\" ]; then\n"
        << "        COMPREPLY=($(compgen -d -- \"$cur\"; compgen -f -X \"!*.$1\" -- \"$cur\"))\n"
        << "    else\n"
        << "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        << "    fi\n"
        << "}\n\n"
        << "_nvds_value() {\n"
        << "    case \"$1\" in\n";
    std::map<std::string, std::vector<std::string>> byKind;
    std::map<std::string, std::vector<std::string>> positionalKinds;
    for (const CLI::App* sub : Commands(app)) {
        for (const CLI::Option* opt : Options(*sub, false)) {
            const std::string kind = Kind(opt);
            if (!kind.empty() && TakesValue(opt)) {
                for (const std::string& s : opt->get_snames()) {
                    byKind[kind].push_back("-" + s);
                }
                for (const std::string& l : opt->get_lnames()) {
                    byKind[kind].push_back("--" + l);
                }
            }
        }
    }
    for (auto& [kind, words] : byKind) {
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
        std::string pattern;
        for (const std::string& w : words) {
            pattern += (pattern.empty() ? "" : "|") + w;
        }
        out << "        " << pattern << ") echo " << kind << " ;;\n";
    }
    out << "        *) echo none ;;\n"
        << "    esac\n"
        << "}\n\n"
        << "_nvds_complete_kind() {\n"
        << "    case \"$1\" in\n"
        << "        port) COMPREPLY=($(compgen -W \"$(\"${COMP_WORDS[0]}\" ports 2>/dev/null |"
        << " awk -F'\\t' '{print ($2 != \"\" ? $2 : $1)}')\" -- \"$cur\")) ;;\n"
        << "        nvds|xml|db) _nvds_files \"$1\" ;;\n"
        << "        file) _nvds_files \"\" ;;\n"
        << "        dir) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\")) "
           ";;\n"
        << "        crystal) COMPREPLY=($(compgen -W \"16MHz 32MHz\" -- \"$cur\")) ;;\n"
        << "        *) COMPREPLY=() ;;\n"
        << "    esac\n"
        << "}\n\n"
        << "_nvds() {\n"
        << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
        << "    local sub=\"\" i opts valued=\"\" positional=\"\"\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case \"${COMP_WORDS[i]}\" in\n"
        << "            -*) ;;\n"
        << "            *) sub=\"${COMP_WORDS[i]}\"; break ;;\n"
        << "        esac\n"
        << "    done\n"
        << "    case \"$sub\" in\n"
        << "        \"\")\n"
        << "            if [[ \"$cur\" == -* ]]; then\n"
        << "                COMPREPLY=($(compgen -W \"" << Words(OptionWords(app, false))
        << "\" -- \"$cur\"))\n"
        << "            else\n"
        << "                COMPREPLY=($(compgen -W \"" << Words(names) << "\" -- \"$cur\"))\n"
        << "            fi\n"
        << "            return ;;\n";
    for (const CLI::App* sub : Commands(app)) {
        std::string positional = "none";
        for (const CLI::Option* pos : Options(*sub, true)) {
            if (!Kind(pos).empty()) {
                positional = Kind(pos);
                break;
            }
        }
        out << "        " << sub->get_name() << ") opts=\"" << Words(OptionWords(*sub, false))
            << "\"; valued=\" " << Words(OptionWords(*sub, true))
            << " \"; positional=" << positional << " ;;\n";
    }
    out << "        *) return ;;\n"
        << "    esac\n"
        << "    if [[ \"$valued\" == *\" $prev \"* ]]; then\n"
        << "        _nvds_complete_kind \"$(_nvds_value \"$prev\")\"\n"
        << "    elif [[ \"$cur\" == -* ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
        << "    else\n"
        << "        _nvds_complete_kind \"$positional\"\n"
        << "    fi\n"
        << "}\n"
        << "complete -F _nvds nvds\n";
}

void WriteZshCompletion(const CLI::App& app, std::ostream& out) {
    out << "#compdef nvds\n"
        << "# zsh completion for nvds. Generated from the option table of nvds; do not edit.\n\n"
        << "_nvds_ports() {\n"
        << "    local -a ports\n"
        << "    ports=(${(f)\"$(${words[1]:-nvds} ports 2>/dev/null | "
           "awk -F'\\t' '{print ($2 != \"\" ? $2 : $1)}')\"})\n"
        << "    compadd -a ports\n"
        << "}\n\n"
        << "_nvds() {\n"
        << "    local curcontext=\"$curcontext\" state line\n"
        << "    local -a commands\n"
        << "    commands=(\n";
    for (const CLI::App* sub : Commands(app)) {
        out << "        '" << ZshQuote(sub->get_name()) << ":" << ZshQuote(sub->get_description())
            << "'\n";
    }
    out << "    )\n"
        << "    _arguments -C \\\n";
    for (const CLI::Option* opt : Options(app, false)) {
        out << "        '" << Names(opt) << "[" << ZshQuote(opt->get_description()) << "]' \\\n";
    }
    out << "        '(- *)'{-h,--help}'[Print the help and exit]' \\\n"
        << "        '1: :->command' \\\n"
        << "        '*:: :->args'\n"
        << "    case $state in\n"
        << "        command) _describe -t commands 'nvds command' commands ;;\n"
        << "        args)\n"
        << "            case $line[1] in\n";
    for (const CLI::App* sub : Commands(app)) {
        out << "                " << sub->get_name() << ")\n"
            << "                    _arguments \\\n";
        for (const CLI::Option* opt : Options(*sub, false)) {
            std::vector<std::string> spellings;
            for (const std::string& s : opt->get_snames()) {
                spellings.push_back("-" + s);
            }
            for (const std::string& l : opt->get_lnames()) {
                spellings.push_back("--" + l);
            }
            for (const std::string& spelling : spellings) {
                out << "                        '" << (Repeatable(opt) ? "*" : "") << spelling
                    << "[" << ZshQuote(opt->get_description()) << "]";
                if (TakesValue(opt)) {
                    out << ":" << ZshQuote(Metavar(opt)) << ":" << ZshAction(Kind(opt));
                }
                out << "' \\\n";
            }
        }
        int position = 1;
        for (const CLI::Option* pos : Options(*sub, true)) {
            out << "                        '" << position++ << ":" << ZshQuote(pos->get_name(true))
                << ":" << ZshAction(Kind(pos)) << "' \\\n";
        }
        out << "                        '(- *)'{-h,--help}'[Print the help and exit]'\n"
            << "                    ;;\n";
    }
    out << "            esac ;;\n"
        << "    esac\n"
        << "}\n\n"
        << "_nvds \"$@\"\n";
}

}  // namespace nvds::cli
