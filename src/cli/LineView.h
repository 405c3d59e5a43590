#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "line/ProductionLine.h"
#include "line/Station.h"

namespace nvds::cli {

/// Columns `text` takes on a terminal: two for a code point of the wide East Asian blocks and
/// the emoji planes, one for any other.
int DisplayWidth(const std::string& text);

/// `text` cut to at most `width` columns; a text too long keeps a third of its start and the
/// rest of its end with an ellipsis between ("/dev/se…ller_D-if00-port0"), or only its start with
/// the ellipsis last when `keepEnd` is false. Cuts fall between code points.
std::string FitText(const std::string& text, int width, bool keepEnd);

/// The state column of a station: "waiting", "checking", "burning 3/16", "verifying 9/16",
/// "PASS <address>", "FAIL <reason>", "skipped <address>", "port lost", "record unavailable",
/// "stopped: <why>". A finished chip's PASS or FAIL stays until the next chip is found.
std::string StateText(const line::StationStatus& status);

/// The stations' progress as the operator sees it on stderr. On a terminal: a table redrawn in
/// place (header, one row per station, the totals), every line narrower than the terminal so
/// that none wraps and the count of lines to redraw stays right. Elsewhere: a plain log, one
/// line per event of note, without escape sequences. Texts from chips, ports and the record are
/// shown with control characters escaped. Safe to call from several threads.
class LineView {
public:
    using Writer = std::function<void(const std::string& text)>;

    /// `terminal` chooses the table; `width` is the terminal's columns; `write` takes all output.
    LineView(const std::vector<line::StationPort>& stations, bool terminal, int width,
             Writer write);

    /// Takes a station's event and its status after it.
    void Show(const line::StationEvent& event, const line::StationStatus& status);

    /// The terminal's new width (SIGWINCH): the table is drawn again in it. After a narrowing the
    /// terminal may have rewrapped the old lines, so the new table starts below them.
    void Resize(int width);

    /// A message to the operator, written above the table.
    void Note(const std::string& text);

    /// The last status of each station, in port order.
    std::vector<line::StationStatus> Rows() const;

    /// The table for `width` columns, one string per line without line ends.
    std::vector<std::string> TableLines(int width) const;

private:
    std::string LogLine(const line::StationEvent& event, const line::StationStatus& status) const;
    void Redraw(const std::string& above);

    bool m_bTerminal;
    int m_nWidth;
    Writer m_write;
    std::vector<line::StationStatus> m_rows;
    int m_nDrawn = 0;  // lines of the table on screen, the cursor just below them
    mutable std::mutex m_mutex;
};

}  // namespace nvds::cli
