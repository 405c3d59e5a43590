#include "cli/LineView.h"

#include <algorithm>
#include <cstdio>

#include "cli/LineReport.h"
#include "line/ProductionRecord.h"
#include "platform/TextEscape.h"

namespace nvds::cli {

namespace {

constexpr const char* ELLIPSIS = "\xE2\x80\xA6";  // U+2026, one column
// Narrower terminals get only the name and state columns.
constexpr int MIN_TABLE_WIDTH = 40;
constexpr int MIN_WIDTH = 12;
// PASS, FAIL and YIELD with the spaces before them.
constexpr int NUMBER_COLUMNS = 6 + 6 + 7;

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// East Asian wide and fullwidth blocks and the emoji planes: two columns on a terminal.
bool IsWide(uint32_t cp) {
    static constexpr uint32_t WIDE[][2] = {
        {0x1100, 0x115F}, {0x2E80, 0xA4CF},   {0xAC00, 0xD7A3},
        {0xF900, 0xFAFF}, {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
        {0xFFE0, 0xFFE6}, {0x1F300, 0x1FAFF}, {0x20000, 0x3FFFD},
    };
    for (const auto& range : WIDE) {
        if (cp >= range[0] && cp <= range[1]) {
            return true;
        }
    }
    return false;
}

// The width of the code point that starts at `text[i]`, and its length in bytes.
int CodePointWidth(const std::string& text, size_t i, size_t& length) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    length = 1;
    while (i + length < text.size() &&
           IsContinuation(static_cast<unsigned char>(text[i + length]))) {
        ++length;
    }
    if (lead < 0x80) {
        return 1;
    }
    uint32_t cp = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    return IsWide(cp) ? 2 : 1;
}

// The longest start of `text` that fits `width` columns.
std::string Head(const std::string& text, int width) {
    int used = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t length = 0;
        int w = CodePointWidth(text, i, length);
        if (used + w > width) {
            break;
        }
        used += w;
        i += length;
    }
    return text.substr(0, i);
}

// The longest end of `text` that fits `width` columns.
std::string Tail(const std::string& text, int width) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!IsContinuation(static_cast<unsigned char>(text[i]))) {
            starts.push_back(i);
        }
    }
    int used = 0;
    size_t from = text.size();
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        size_t length = 0;
        int w = CodePointWidth(text, *it, length);
        if (used + w > width) {
            break;
        }
        used += w;
        from = *it;
    }
    return text.substr(from);
}

std::string PadRight(const std::string& text, int width) {
    std::string fitted = FitText(text, width, false);
    return fitted +
           std::string(static_cast<size_t>(std::max(0, width - DisplayWidth(fitted))), ' ');
}

std::string PadLeft(const std::string& text, int width) {
    std::string fitted = FitText(text, width, false);
    return std::string(static_cast<size_t>(std::max(0, width - DisplayWidth(fitted))), ' ') +
           fitted;
}

std::string YieldText(int pass, int fail) {
    std::optional<double> yield = Yield(pass, fail);
    if (!yield) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof(text), "%.1f%%", *yield * 100);
    return text;
}

std::string NameOf(const line::StationStatus& status) {
    return EscapeControl(status.name.empty() ? status.port : status.name);
}

}  // namespace

int DisplayWidth(const std::string& text) {
    int width = 0;
    for (size_t i = 0; i < text.size();) {
        size_t length = 0;
        width += CodePointWidth(text, i, length);
        i += length;
    }
    return width;
}

std::string FitText(const std::string& text, int width, bool keepEnd) {
    if (DisplayWidth(text) <= width) {
        return text;
    }
    if (width <= 0) {
        return "";
    }
    const int room = width - 1;  // the ellipsis takes one column
    if (!keepEnd) {
        return Head(text, room) + ELLIPSIS;
    }
    // Device names differ at their end (serial number, interface, port): it gets the most room.
    const int front = room / 3;
    return Head(text, front) + ELLIPSIS + Tail(text, room - front);
}

std::string StateText(const line::StationStatus& status) {
    using line::StationState;
    const std::string address = status.hasAddress ? line::AddressText(status.lastAddress) : "";
    const std::string message = EscapeControl(status.message);
    const std::string page = std::to_string(status.page) + "/16";
    auto result = [&]() -> std::string {
        switch (status.lastResult) {
            case line::ChipResult::Pass:
                return "PASS " + address;
            case line::ChipResult::Fail:
                return "FAIL " + message;
            case line::ChipResult::Skipped:
                return "skipped " + address;
            case line::ChipResult::None:
                break;
        }
        return "waiting";
    };
    switch (status.state) {
        case StationState::Waiting:
            return result();
        case StationState::Checking:
            return "checking";
        case StationState::Burning:
            return (status.phase == "verify" ? "verifying " : "burning ") + page;
        case StationState::Verifying:
            return "verifying " + page;
        case StationState::Pass:
            return "PASS " + address;
        case StationState::Fail:
            return "FAIL " + message;
        case StationState::Skipped:
            return "skipped " + address + (message.empty() ? "" : ": " + message);
        case StationState::PortLost:
            return "port lost";
        case StationState::RecordUnavailable:
            return "record unavailable";
        case StationState::Stopped:
            return message.empty() ? "stopped" : "stopped: " + message;
    }
    return line::StationStateName(status.state);
}

LineView::LineView(const std::vector<line::StationPort>& stations, bool terminal, int width,
                   Writer write)
    : m_bTerminal(terminal), m_nWidth(width), m_write(std::move(write)) {
    for (const line::StationPort& station : stations) {
        line::StationStatus status;
        status.name = station.name;
        status.port = station.path;
        m_rows.push_back(status);
    }
}

void LineView::Show(const line::StationEvent& event, const line::StationStatus& status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (line::StationStatus& row : m_rows) {
        const bool same = status.name.empty() ? row.port == status.port : row.name == status.name;
        if (same) {
            const std::string name = row.name;
            row = status;
            if (row.name.empty()) {
                row.name = name;
            }
        }
    }
    if (m_bTerminal) {
        Redraw("");
        return;
    }
    std::string text = LogLine(event, status);
    if (!text.empty()) {
        m_write(text);
    }
}

void LineView::Resize(int width) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bTerminal || width == m_nWidth) {
        return;
    }
    if (width < m_nWidth) {
        m_nDrawn = 0;
    }
    m_nWidth = width;
    Redraw("");
}

void LineView::Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bTerminal) {
        m_write(text + "\n");
        return;
    }
    Redraw(text + "\n");
}

std::vector<line::StationStatus> LineView::Rows() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rows;
}

std::vector<std::string> LineView::TableLines(int width) const {
    // One column short of the terminal's width: a line that fills the last column leaves some
    // terminals waiting to wrap, and the next line feed would then count twice.
    const int usable = std::max(width, MIN_WIDTH) - 1;
    const bool numbers = usable + 1 >= MIN_TABLE_WIDTH;
    const int rest = usable - (numbers ? NUMBER_COLUMNS : 0) - 1;  // name and state
    int nameWidth = static_cast<int>(std::string("STATION").size());
    for (const line::StationStatus& row : m_rows) {
        nameWidth = std::max(nameWidth, DisplayWidth(NameOf(row)));
    }
    nameWidth = std::min(nameWidth, rest * 2 / 5);
    const int stateWidth = rest - nameWidth;

    auto line = [&](const std::string& name, const std::string& state, const std::string& pass,
                    const std::string& fail, const std::string& yield) {
        std::string text =
            PadRight(FitText(name, nameWidth, true), nameWidth) + " " + PadRight(state, stateWidth);
        if (numbers) {
            text += " " + PadLeft(pass, 5) + " " + PadLeft(fail, 5) + " " + PadLeft(yield, 6);
        }
        // Trailing blanks are left out: they would only need erasing on the next redraw.
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    };
    std::vector<std::string> lines;
    lines.push_back(line("STATION", "STATE", "PASS", "FAIL", "YIELD"));
    int pass = 0;
    int fail = 0;
    for (const line::StationStatus& row : m_rows) {
        lines.push_back(line(NameOf(row), StateText(row), std::to_string(row.done),
                             std::to_string(row.failures), YieldText(row.done, row.failures)));
        pass += row.done;
        fail += row.failures;
    }
    lines.push_back(
        line("TOTAL", "", std::to_string(pass), std::to_string(fail), YieldText(pass, fail)));
    return lines;
}

std::string LineView::LogLine(const line::StationEvent& event,
                              const line::StationStatus& status) const {
    using Event = line::StationEvent;
    const std::string name = EscapeControl(!status.name.empty()  ? status.name
                                           : !event.name.empty() ? event.name
                                                                 : status.port);
    const std::string address = line::AddressText(event.address);
    const std::string message = EscapeControl(event.message);
    std::string text;
    switch (event.kind) {
        case Event::Connected:
            text = "chip found";
            break;
        case Event::Done: {
            char seconds[32];
            std::snprintf(seconds, sizeof(seconds), " (%.2f s)", event.seconds);
            text = "PASS " + address + seconds;
            break;
        }
        case Event::Error:
            text = event.hasAddress ? "FAIL " + address + ": " + message : message;
            if (!event.cause.empty()) {
                text += "\n" + name + ": " + EscapeControl(event.cause);
            }
            break;
        case Event::Skipped:
            text = "skipped " + address + (message.empty() ? "" : ": " + message);
            break;
        case Event::ChipGone:
            text = "chip taken out";
            break;
        case Event::StationLost:
            text = "port lost" + (message.empty() ? "" : ": " + message);
            break;
        case Event::StationBack:
            text = "port back";
            break;
        case Event::RecordUnavailable:
            text = "record unavailable" + (message.empty() ? "" : ": " + message);
            break;
        case Event::RecordBack:
            text = "record back";
            break;
        case Event::Stopped:
            text = "stopped: " + (message.empty() ? EscapeControl(status.message) : message);
            break;
        case Event::Connecting:
        case Event::Page:
        case Event::Verified:
            return "";
    }
    return name + ": " + text + "\n";
}

void LineView::Redraw(const std::string& above) {
    std::string out;
    if (m_nDrawn > 0) {
        // Back to the table's first line; everything from there down is drawn again.
        out += "\r\x1b[" + std::to_string(m_nDrawn) + "A";
    }
    if (!above.empty()) {
        out += "\x1b[J" + above;
    }
    const std::vector<std::string> lines = TableLines(m_nWidth);
    for (const std::string& line : lines) {
        out += "\x1b[2K" + line + "\n";
    }
    m_nDrawn = static_cast<int>(lines.size());
    m_write(out);
}

}  // namespace nvds::cli
