#include <fcntl.h>
#include <libxml/chvalid.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlstring.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "catalogue/CatalogueTexts.h"
#include "catalogue/NumberText.h"
#include "catalogue/NvdsConfig.h"
#include "platform/AtomicFile.h"

namespace nvds {

namespace {

const char* const kSystemRoot = "ZBTAG_DATABASE";
const char* const kSystemElement = "ZBTAG";
const char* const kUserRoot = "USERTAG_DATABASE";
const char* const kUserElement = "USERTAG";

const xmlChar* X(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

bool NameIs(const xmlNode* node, const char* name) {
    return xmlStrcmp(node->name, X(name)) == 0;
}

// Takes over a string the library handed out and releases it at once.
std::optional<std::string> TakeXmlString(xmlChar* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

std::optional<std::string> Attribute(xmlNode* node, const char* name) {
    return TakeXmlString(xmlGetProp(node, X(name)));
}

// Whole text content of the first child element with the name.
std::optional<std::string> ChildContent(xmlNode* node, const char* name) {
    for (xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && NameIs(child, name)) {
            return TakeXmlString(xmlNodeGetContent(child));
        }
    }
    return std::nullopt;
}

bool EqualsNoCase(const std::string& text, const char* word) {
    return xmlStrcasecmp(X(text.c_str()), X(word)) == 0;
}

// Parser complaints about damaged files would reach the terminal; the caller reports damage
// in its own words instead.
void IgnoreGenericError(void*, const char*, ...) {}
void IgnoreStructuredError(void*, xmlErrorPtr) {}

void SilenceLibraryErrors() {
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
}

// A full user range of 155 tags with long descriptions stays well under 1 MiB; anything
// beyond this is no catalogue. With the two limits below, the worst file of this size
// parses in under a second.
constexpr size_t kMaxTagDbBytes = 4 * 1024 * 1024;
// A tag element has at most ten attributes. libxml2 2.9.14 appends every attribute by
// walking the element's attribute list and checks it against all earlier ones, so the cost
// of one element grows with the square of its attributes (32,000 take 16 s).
constexpr int kMaxAttributesPerTag = 64;
// Every prefixed name is looked up through all namespace declarations in scope (2,048 of
// them, 64 per level, make a 4 MiB file take 10 s).
constexpr int kMaxNamespaceDeclarations = 8;

enum DbFileRead {
    DBFILE_OK,
    DBFILE_UNREADABLE,  // missing, not a regular file, or a read error
    DBFILE_TOO_BIG,
};

// Reads the whole file, but never more than kMaxTagDbBytes + 1 bytes. O_NONBLOCK keeps the
// open of a FIFO without a writer from waiting; fstat on the open descriptor then refuses
// anything but a regular file, so the bytes checked are the bytes of the file that was opened.
DbFileRead ReadDbFile(const std::string& path, std::string& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return DBFILE_UNREADABLE;
    }
    struct stat st {};
    DbFileRead result = DBFILE_OK;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result = DBFILE_UNREADABLE;
    }
    bytes.clear();
    char chunk[16384];
    while (result == DBFILE_OK) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n == 0) {
            break;
        }
        if (n < 0 && errno != EINTR) {
            result = DBFILE_UNREADABLE;
        } else if (n > 0) {
            bytes.append(chunk, static_cast<size_t>(n));
            if (bytes.size() > kMaxTagDbBytes) {
                result = DBFILE_TOO_BIG;
            }
        }
    }
    close(fd);
    return result;
}

bool IsXmlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// True when no start tag can hold more than kMaxAttributesPerTag attributes and the file
// declares at most kMaxNamespaceDeclarations namespaces. The parser ends an attribute value
// at '<', so every attribute of a tag lies between the tag's '<' and the next '<' byte, and
// each one there shows as '=', optional blanks, then a quote. GB2312 leaves ASCII bytes as
// they are and never uses them inside a two-byte character, so the bytes tell.
bool HasBoundedMarkup(const std::string& bytes) {
    int attributes = 0;
    int namespaces = 0;
    const size_t n = bytes.size();
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] == '<') {
            attributes = 0;
        } else if (bytes[i] == '=') {
            size_t k = i + 1;
            while (k < n && IsXmlBlank(bytes[k])) {
                ++k;
            }
            if (k < n && (bytes[k] == '"' || bytes[k] == '\'') &&
                ++attributes > kMaxAttributesPerTag) {
                return false;
            }
        } else if (bytes[i] == 'x' && bytes.compare(i, 5, "xmlns") == 0 &&
                   ++namespaces > kMaxNamespaceDeclarations) {
            return false;
        }
    }
    return true;
}

// A catalogue needs no DTD; refusing it as soon as it starts keeps entity declarations,
// their expansion and external subsets out of reach. The flag lives in the parser context.
void RefuseDtd(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* parser = static_cast<xmlParserCtxt*>(context);
    *static_cast<bool*>(parser->_private) = true;
    xmlStopParser(parser);
}

// Parses the bytes as GB2312 in recover mode, without network access, entity substitution
// or DTD loading. Null when the document declares a DTD or nothing could be parsed.
xmlDoc* ParseDbBytes(const std::string& bytes, bool& declaresDtd) {
    xmlParserCtxt* parser = xmlNewParserCtxt();
    if (parser == nullptr) {
        return nullptr;
    }
    declaresDtd = false;
    parser->_private = &declaresDtd;
    parser->sax->internalSubset = RefuseDtd;
    xmlDoc* doc = xmlCtxtReadMemory(parser, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                    "GB2312", XML_PARSE_RECOVER | XML_PARSE_NONET);
    xmlFreeParserCtxt(parser);
    if (declaresDtd && doc != nullptr) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    return doc;
}

// Fills length, min and max as the coding asks; false when the element is damaged.
bool ReadSizeAndRange(xmlNode* node, TagDef& def) {
    std::optional<std::string> length = Attribute(node, "LENGTH");
    switch (def.coding) {
        case CODING_ARRAY_HEX:
        case CODING_STRING_ASCII:
            def.min = 0;
            def.max = 255;
            if (!length || (def.length = StrToUl32(*length)) > TAG_MAX_LENGTH) {
                return false;
            }
            return true;
        case CODING_NUMBER: {
            if (!length || (def.length = StrToUl32(*length)) > 4) {
                return false;
            }
            std::optional<std::string> min = Attribute(node, "MIN");
            std::optional<std::string> max = Attribute(node, "MAX");
            if (!min || !max) {
                return false;
            }
            def.min = StrToUl32(*min);
            def.max = StrToUl32(*max);
            return def.max >= def.min;
        }
        case CODING_BOOL:
            def.length = 1;
            def.min = 0;
            def.max = 1;
            return true;
        case CODING_BD_ADDR:
            def.length = 6;
            def.min = 0;
            def.max = 255;
            return true;
    }
    return false;
}

void ReadFlags(xmlNode* node, TagDef& def) {
    if (auto v = Attribute(node, "LENGTH_VARIABLE")) {
        def.lengthVariable = EqualsNoCase(*v, "true");
    }
    if (auto v = Attribute(node, "DICT")) {
        def.dict = *v;
    }
    if (auto v = Attribute(node, "READONLY")) {
        def.readOnly = EqualsNoCase(*v, "true");
    }
    if (auto v = Attribute(node, "SHOW")) {
        def.show = !EqualsNoCase(*v, "false");
    }
}

// True when the library can write the text so that it reads back unchanged: valid UTF-8
// made only of characters an XML document may hold (no control characters but TAB, LF, CR).
bool IsXmlText(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    int left = static_cast<int>(text.size());
    while (left > 0) {
        int size = left;
        const int c = xmlGetUTF8Char(p, &size);
        if (c < 0 || !xmlIsCharQ(c)) {
            return false;
        }
        p += size;
        left -= size;
    }
    return true;
}

bool IsWritable(const TagDef& def) {
    return IsXmlText(def.name) && IsXmlText(def.defaultText) && IsXmlText(def.label) &&
           IsXmlText(def.description);
}

std::string SignedText(uint32_t value) {
    return std::to_string(static_cast<int32_t>(value));
}

const char* BoolText(bool value) {
    return value ? "True" : "False";
}

xmlNode* NewUserTagElement(uint32_t code, const TagDef& def) {
    xmlNode* node = xmlNewNode(nullptr, X(kUserElement));
    if (def.coding == CODING_NUMBER) {
        xmlNewProp(node, X("MIN"), X(SignedText(def.min).c_str()));
        xmlNewProp(node, X("MAX"), X(SignedText(def.max).c_str()));
    }
    if (def.coding != CODING_BOOL) {
        xmlNewProp(node, X("LENGTH"), X(HexText(def.length).c_str()));
    }
    xmlNewProp(node, X("LENGTH_VARIABLE"), X(BoolText(def.lengthVariable)));
    xmlNewProp(node, X("READONLY"), X(BoolText(def.readOnly)));
    xmlNewProp(node, X("CODE"), X(CODING_NAMES[def.coding]));
    xmlNewProp(node, X("TAG"), X(std::to_string(code).c_str()));
    xmlNewProp(node, X("NAME"), X(def.name.c_str()));
    xmlNewTextChild(node, nullptr, X("DEFAULTVALUE"), X(def.defaultText.c_str()));
    xmlNewTextChild(node, nullptr, X("LABEL"), X(def.label.c_str()));
    xmlNewTextChild(node, nullptr, X("DESCRIPTION"), X(def.description.c_str()));
    return node;
}

// The library writes the document to a scratch file beside the destination; its bytes then
// replace the destination in one rename, so a failed save never leaves a half-written database.
bool SaveDocument(xmlDoc* doc, const std::string& path) {
    std::string scratchName = path + ".XXXXXX";
    std::vector<char> scratch(scratchName.begin(), scratchName.end());
    scratch.push_back('\0');
    int fd = mkstemp(scratch.data());
    if (fd < 0) {
        return false;
    }
    close(fd);
    bool saved = xmlSaveFile(scratch.data(), doc) != -1;
    std::vector<char> bytes;
    if (saved) {
        std::ifstream in(scratch.data(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        saved = !in.bad() && !bytes.empty();
    }
    unlink(scratch.data());
    return saved && WriteFileAtomically(path, bytes.data(), bytes.size());
}

}  // namespace

int CNvdsConfig::LoadTagDb(const std::string& path, TagTable& table) {
    return LoadTagDbOf(path, table, false, nullptr);
}

int CNvdsConfig::LoadUserTagDb(const std::string& path, TagTable& table, bool* wrongRoot) {
    return LoadTagDbOf(path, table, true, wrongRoot);
}

int CNvdsConfig::LoadTagDbOf(const std::string& path, TagTable& table, bool userOnly,
                             bool* wrongRoot) {
    if (wrongRoot != nullptr) {
        *wrongRoot = false;
    }
    SilenceLibraryErrors();
    std::string bytes;
    const DbFileRead read = ReadDbFile(path, bytes);
    if (read == DBFILE_UNREADABLE) {
        return 0;
    }
    if (read == DBFILE_TOO_BIG || !HasBoundedMarkup(bytes)) {
        m_prompter->Message(MSG_CONFIG_DAMAGE);
        return 0;
    }
    bool declaresDtd = false;
    xmlDoc* doc = ParseDbBytes(bytes, declaresDtd);
    if (declaresDtd) {
        m_prompter->Message(MSG_CONFIG_DAMAGE);
        return 0;
    }
    if (doc == nullptr) {
        return 0;
    }
    // Recover mode reads a cut or malformed file as far as it can be repaired; what it
    // yields is judged like any other document.
    xmlNode* root = xmlDocGetRootElement(doc);
    int result = 0;
    if (userOnly && root != nullptr && NameIs(root, kSystemRoot)) {
        if (wrongRoot != nullptr) {
            *wrongRoot = true;
        }
    } else if (root != nullptr && NameIs(root, kSystemRoot)) {
        result = ParseTagDb(TAGDB_SYSTEM, root, table);
    } else if (root != nullptr && NameIs(root, kUserRoot)) {
        result = ParseTagDb(TAGDB_USER, root, table);
    }
    xmlFreeDoc(doc);
    return result;
}

int CNvdsConfig::ParseTagDb(TagDbKind kind, _xmlNode* root, TagTable& table) {
    if (kind != TAGDB_SYSTEM && kind != TAGDB_USER) {
        return 0;
    }
    // A load never meets definitions of an earlier load of the same range.
    ClearTagRange(kind, table);
    for (xmlNode* node = root->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (!ParseTagElement(kind, node, table)) {
            m_prompter->Message(MSG_CONFIG_DAMAGE);
            return 0;
        }
    }
    return 1;
}

int CNvdsConfig::ParseTagElement(TagDbKind kind, _xmlNode* node, TagTable& table) {
    const bool system = kind == TAGDB_SYSTEM;
    const uint32_t first = system ? TAG_SYSTEM_FIRST : TAG_USER_FIRST;
    const uint32_t last = system ? TAG_SYSTEM_LAST : TAG_USER_LAST;
    if (!NameIs(node, system ? kSystemElement : kUserElement)) {
        return 0;
    }
    TagDef def;
    def.show = true;
    std::optional<std::string> name = Attribute(node, "NAME");
    std::optional<std::string> tag = Attribute(node, "TAG");
    if (!name || !tag) {
        return 0;
    }
    def.name = *name;
    const uint32_t code = StrToUl32(*tag);
    if (code < first || code > last) {
        return 0;
    }
    std::optional<std::string> coding = Attribute(node, "CODE");
    const int index = coding ? FindTextInList(CODING_NAMES, CODING_COUNT, *coding) : -1;
    if (index < 0) {
        return 0;
    }
    def.coding = static_cast<TagCoding>(index);
    if (!ReadSizeAndRange(node, def)) {
        return 0;
    }
    ReadFlags(node, def);
    std::optional<std::string> defaultText = ChildContent(node, "DEFAULTVALUE");
    std::optional<std::string> label = defaultText ? ChildContent(node, "LABEL") : std::nullopt;
    std::optional<std::string> description =
        label ? ChildContent(node, "DESCRIPTION") : std::nullopt;
    if (!description) {
        return 0;
    }
    def.defaultText = *defaultText;
    def.label = *label;
    def.description = Trim(*description);
    TagEntry& entry = table[code];
    if (entry.IsDefined()) {
        return 0;  // the code is defined twice in this file
    }
    // The slot is filled before the default is checked, so it stays defined when the check
    // fails.
    entry.mark = TAG_ENTRY_MARK;
    entry.tag = code;
    entry.valueText = *defaultText;
    entry.def = def;
    return CheckValue(entry.def.defaultText, def, 1);
}

int CNvdsConfig::SaveUserTagDb(const std::string& path, const TagTable& table, Prompter& prompter) {
    SilenceLibraryErrors();
    xmlDoc* doc = xmlNewDoc(X("1.0"));
    xmlNode* root = xmlNewNode(nullptr, X(kUserRoot));
    xmlDocSetRootElement(doc, root);
    bool writable = true;
    for (uint32_t code = TAG_USER_FIRST; code <= TAG_USER_LAST; ++code) {
        const TagEntry& entry = table[code];
        if (!entry.IsDefined()) {
            continue;
        }
        if (entry.def.coding > CODING_BOOL) {
            prompter.Message(MSG_ERROR_CODING);
            xmlFreeDoc(doc);
            return 0;
        }
        if (!IsWritable(entry.def)) {
            writable = false;
        }
        xmlAddChild(root, NewUserTagElement(code, entry.def));
    }
    const bool saved = writable && SaveDocument(doc, path);
    xmlFreeDoc(doc);
    if (!saved) {
        prompter.Message(MSG_SAVE_FAIL);
        return 0;
    }
    return 1;
}

}  // namespace nvds
