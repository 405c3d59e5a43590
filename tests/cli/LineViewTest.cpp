// What nvds line shows on stderr, fed with synthetic station events and statuses: the table
// on a terminal (width, elision, redraw counts, resizes), the plain log elsewhere, the banner
// and the end summary.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/LineReport.h"
#include "cli/LineView.h"

namespace nvds::cli {
namespace {

using line::StationEvent;
using line::StationState;
using line::StationStatus;

const std::string LONG_PORT =
    "/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0";

StationStatus Status(const std::string& name, const std::string& port, StationState state) {
    StationStatus status;
    status.name = name;
    status.port = port;
    status.state = state;
    return status;
}

TEST(LineViewTest, FitTextElidesInTheMiddleOrAtTheEnd) {
    EXPECT_EQ(FitText("ttyUSB0", 7, true), "ttyUSB0");
    EXPECT_EQ(FitText("abcdefghij", 7, true), "ab\u2026ghij");
    EXPECT_EQ(FitText("abcdefghij", 7, false), "abcdef\u2026");
    EXPECT_EQ(FitText("abcdefghij", 1, true), "\u2026");
    EXPECT_EQ(FitText("abc", 0, true), "");
    // Cuts fall between code points; wide characters count two columns.
    EXPECT_EQ(DisplayWidth("\u00e9t\u00e9"), 3);
    EXPECT_EQ(DisplayWidth("\u6d4b\u8bd5"), 4);
    EXPECT_EQ(FitText("\u00e9t\u00e9\u00e9t\u00e9", 4, false), "\u00e9t\u00e9\u2026");
    EXPECT_EQ(FitText("\u6d4b\u8bd5\u6d4b", 4, false), "\u6d4b\u2026");
}

TEST(LineViewTest, StateColumnSaysWhatTheStationDoesAndKeepsTheLastResult) {
    using line::ChipResult;
    const std::string fail = "verify: page 3\x1b[2J";
    const struct {
        StationState state;
        int page;
        const char* phase;
        ChipResult last;
        std::string message;
        const char* shown;
    } rows[] = {
        {StationState::Waiting, 0, "", ChipResult::None, "", "waiting"},
        {StationState::Burning, 11, "program", ChipResult::None, "", "burning 11/16"},
        {StationState::Burning, 3, "verify", ChipResult::None, "", "verifying 3/16"},
        {StationState::Verifying, 3, "verify", ChipResult::None, "", "verifying 3/16"},
        {StationState::Pass, 16, "verify", ChipResult::Pass, "", "PASS C0 11 22 00 00 01"},
        // Taken out: the result stays until the next chip is found.
        {StationState::Waiting, 0, "", ChipResult::Pass, "", "PASS C0 11 22 00 00 01"},
        {StationState::Fail, 3, "verify", ChipResult::Fail, fail, "FAIL verify: page 3\\x1B[2J"},
        {StationState::Waiting, 0, "", ChipResult::Fail, fail, "FAIL verify: page 3\\x1B[2J"},
        {StationState::Checking, 0, "", ChipResult::Fail, fail, "checking"},
        {StationState::PortLost, 0, "", ChipResult::Fail, fail, "port lost"},
        {StationState::RecordUnavailable, 0, "", ChipResult::Fail, fail, "record unavailable"},
        {StationState::Skipped, 0, "", ChipResult::Skipped, "already programmed",
         "skipped C0 11 22 00 00 01: already programmed"},
        {StationState::Stopped, 0, "", ChipResult::Fail, "", "stopped"},
        {StationState::Stopped, 0, "", ChipResult::Fail, "3 failed chips in a row",
         "stopped: 3 failed chips in a row"},
    };
    for (const auto& row : rows) {
        StationStatus status = Status("A", "/dev/a", row.state);
        status.page = row.page;
        status.phase = row.phase;
        status.lastResult = row.last;
        status.hasAddress = row.last != ChipResult::None;
        status.lastAddress = 0xC01122000001;
        status.message = row.message;
        EXPECT_EQ(StateText(status), row.shown);
    }
}

TEST(LineViewTest, TableFitsTheTerminalAndElidesLongNames) {
    std::vector<line::StationPort> ports{{"A", "/dev/ttyUSB0"}, {LONG_PORT, LONG_PORT}};
    LineView view(ports, true, 80, [](const std::string&) {});
    StationStatus failing = Status("A", "/dev/ttyUSB0", StationState::Fail);
    failing.failures = 1;
    failing.done = 3;
    failing.message = std::string(200, 'x');
    view.Show(StationEvent::Error, failing);
    StationStatus burning = Status(LONG_PORT, LONG_PORT, StationState::Burning);
    burning.page = 16;
    view.Show(StationEvent::Page, burning);

    for (int width : {80, 132, 60, 40, 39, 20, 1}) {
        std::vector<std::string> lines = view.TableLines(width);
        ASSERT_EQ(lines.size(), 4u) << width;
        for (const std::string& line : lines) {
            EXPECT_LT(DisplayWidth(line), std::max(width, 12)) << width << ": " << line;
        }
    }
    std::vector<std::string> lines = view.TableLines(80);
    EXPECT_EQ(lines[0].substr(0, 7), "STATION");
    EXPECT_EQ(lines[1].substr(0, 2), "A ");
    EXPECT_NE(lines[1].find("FAIL xxx"), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 19), "     3     1  75.0%");
    // The long by-id name keeps its start and its end.
    EXPECT_EQ(lines[2].find("/dev/se\u2026er_D-if00-port0 burning 16/16"), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 3), "  -");  // no chip yet: no yield
    EXPECT_EQ(lines[3].substr(0, 5), "TOTAL");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 19), "     3     1  75.0%");
}

TEST(LineViewTest, RedrawMovesUpByTheLinesDrawnAndStartsBelowAfterNarrowing) {
    std::vector<std::string> out;
    LineView view({{"A", "/dev/a"}, {"B", "/dev/b"}}, true, 80,
                  [&](const std::string& text) { out.push_back(text); });
    view.Show(StationEvent::Connecting, Status("A", "/dev/a", StationState::Waiting));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].find("\x1b[4A"), std::string::npos);  // nothing to go back over yet
    view.Show(StationEvent::Connected, Status("B", "/dev/b", StationState::Checking));
    EXPECT_EQ(out[1].substr(0, 5), "\r\x1b[4A");
    int lineFeeds = 0;
    for (char c : out[1]) {
        lineFeeds += c == '\n';
    }
    EXPECT_EQ(lineFeeds, 4);  // header, two stations, total
    EXPECT_NE(out[1].find("B       checking"), std::string::npos) << out[1];

    view.Note("Finishing");
    EXPECT_EQ(out[2].substr(0, 11), "\r\x1b[4A\x1b[JFin");
    view.Resize(100);  // wider: the old lines did not wrap, drawn again in place
    EXPECT_EQ(out[3].substr(0, 5), "\r\x1b[4A");
    view.Resize(50);  // narrower: the terminal may have rewrapped them, a new table below
    EXPECT_EQ(out[4].find("\x1b[4A"), std::string::npos);
    EXPECT_EQ(out[4].find("\x1b[J"), std::string::npos);
    view.Resize(50);
    EXPECT_EQ(out.size(), 5u);
}

TEST(LineViewTest, PlainLogHasOneLinePerEventOfNoteAndNoEscapes) {
    std::string out;
    LineView view({{"A", "/dev/a"}}, false, 80, [&](const std::string& text) { out += text; });
    StationStatus status = Status("A", "/dev/a", StationState::Waiting);
    view.Show(StationEvent::Connecting, status);
    StationEvent page(StationEvent::Page);
    page.page = 1;
    view.Show(page, status);
    view.Show(StationEvent::Verified, status);
    StationEvent done(StationEvent::Done);
    done.address = 0xC01122000001;
    done.hasAddress = true;
    done.seconds = 1.234;
    view.Show(done, status);
    StationEvent fail(StationEvent::Error);
    fail.hasAddress = true;
    fail.address = 0xC01122000002;
    fail.message = "Verify failed\x1b[31m";
    fail.cause = "hang-up\x1b]0;t\x07";
    view.Show(fail, status);
    StationEvent stationError(StationEvent::Error);
    stationError.message = "address range exhausted";
    view.Show(stationError, status);
    status.message = "Stopped";
    view.Show(StationEvent::Stopped, status);
    view.Note("Finishing");
    EXPECT_EQ(out,
              "A: PASS C0 11 22 00 00 01 (1.23 s)\n"
              "A: FAIL C0 11 22 00 00 02: Verify failed\\x1B[31m\n"
              "A: hang-up\\x1B]0;t\\x07\n"
              "A: address range exhausted\n"
              "A: stopped: Stopped\n"
              "Finishing\n");
}

TEST(LineViewTest, BannerNamesTheGoldenImageTheFirstAddressAndTheChipsToRework) {
    line::AddressPool pool;
    pool.first = 0xC01122000001;
    EXPECT_EQ(RangeSize(pool), 0xFFFFFFu);
    pool.last = 0xC01122000100;
    EXPECT_EQ(RangeSize(pool), 256u);
    pool.last = 0xC01123000000;  // beyond the lower three pairs: they end first
    EXPECT_EQ(RangeSize(pool), 0xFFFFFFu);
    pool.step = -1;
    pool.last.reset();
    EXPECT_EQ(RangeSize(pool), 2u);
    pool.last = 0xC01122000002;  // behind the first address in the step's direction
    EXPECT_EQ(RangeSize(pool), 0u);

    EXPECT_TRUE(FewLeft(99, 150));
    EXPECT_FALSE(FewLeft(100, 150));
    EXPECT_TRUE(FewLeft(167771, 16777215));  // under 1% of the range
    EXPECT_FALSE(FewLeft(167772, 16777215));

    LineBanner banner;
    banner.goldenName = "golden.nvds";
    banner.goldenSha256 = "ab12";
    banner.next = 0xC01122000005;
    banner.left = 99;
    banner.rangeSize = 1000;
    line::HistoryRow row;
    row.address = 0xC01122000003;
    row.context.station = {"bench-2", "A"};
    row.startedAtMs = 0;
    banner.abandoned = {row};
    const std::string text = BannerText(banner);
    EXPECT_NE(text.find("Golden image: golden.nvds (SHA-256 ab12)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("First address: C0 11 22 00 00 05, 99 left in the range\n"),
              std::string::npos);
    EXPECT_NE(text.find("Warning: only 99 of 1000 addresses are left"), std::string::npos);
    EXPECT_NE(text.find("Rework: the chip on station A of bench-2 (burn of C0 11 22 00 00 03"),
              std::string::npos)
        << text;
    banner.left = 100;
    EXPECT_EQ(BannerText(banner).find("Warning"), std::string::npos);
    banner.next.reset();
    banner.nextError = "address range exhausted";
    EXPECT_NE(BannerText(banner).find("No address to give: address range exhausted\n"),
              std::string::npos);
}

TEST(LineViewTest, SummaryGivesCountsYieldAddressesUsedAndTheNextAddress) {
    LineSummary summary;
    StationStatus a = Status("A", "/dev/a", StationState::Stopped);
    a.done = 9;
    a.failures = 1;
    StationStatus b = Status("", LONG_PORT, StationState::Stopped);
    b.skipped = 1;
    summary.stations = {a, b};
    summary.addressesUsed = 10;
    summary.next = 0xC0112200000B;
    EXPECT_EQ(SummaryText(summary),
              "Summary:\n"
              "  A                                 pass 9  fail 1  skipped 0  yield 90.0%\n"
              "  /dev/seria\u2026ntroller_D-if00-port0  pass 0  fail 0  skipped 1  yield -\n"
              "  all                               pass 9  fail 1  skipped 1  yield 90.0%\n"
              "Addresses used: 10\n"
              "Next address: C0 11 22 00 00 0B\n");
}

}  // namespace
}  // namespace nvds::cli
