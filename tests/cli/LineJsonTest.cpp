// The JSON events of nvds line, fed with synthetic station events: every field of every kind,
// the time in local time with its offset, and control characters escaped as JSON does.

#include <stdlib.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/LineJson.h"
#include "cli/LineReport.h"

namespace nvds::cli {
namespace {

// Sets TZ for one test and puts the old value back.
class Zone {
public:
    explicit Zone(const char* tz) {
        const char* old = getenv("TZ");
        m_hadOld = old != nullptr;
        m_old = old ? old : "";
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (m_hadOld) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_hadOld = false;
    std::string m_old;
};

constexpr int64_t NOON_MS = 1796644800000 + 42;  // 2026-12-07 12:00:00.042 UTC

TEST(LineJsonTest, IsoTimeHasMillisecondsAndTheLocalOffset) {
    {
        Zone zone("UTC0");
        EXPECT_EQ(IsoTime(NOON_MS), "2026-12-07T12:00:00.042+00:00");
        EXPECT_EQ(IsoTime(5), "1970-01-01T00:00:00.005+00:00");
        EXPECT_EQ(IsoTime(-1), "1969-12-31T23:59:59.999+00:00");
    }
    {
        Zone zone("IST-05:30");
        EXPECT_EQ(IsoTime(NOON_MS), "2026-12-07T17:30:00.042+05:30");
    }
    {
        Zone zone("NST+03:30");
        EXPECT_EQ(IsoTime(NOON_MS), "2026-12-07T08:30:00.042-03:30");
    }
}

TEST(LineJsonTest, EveryEventKindCarriesExactlyItsFields) {
    Zone zone("UTC0");
    using Event = line::StationEvent;
    auto make = [](Event::Kind kind) {
        Event event(kind);
        event.port = "/dev/ttyUSB0";
        event.timeMs = NOON_MS;
        return event;
    };
    // The whole object, compared as text: no field missing, none extra, in their order.
    auto expect = [](const Event& event, const std::string& name, const std::string& fields) {
        const std::string want =
            R"({"v":1,"event":")" + name +
            R"(","time":"2026-12-07T12:00:00.042+00:00","station":"bench 1","port":"/dev/ttyUSB0")" +
            (fields.empty() ? "" : "," + fields) + "}";
        EXPECT_EQ(LineEventJson(event, "bench 1").dump(), want);
    };
    expect(make(Event::Connecting), "connecting", "");
    expect(make(Event::Connected), "connected", "");
    Event page = make(Event::Page);
    page.page = 7;
    page.phase = "verify";
    expect(page, "page", R"("page":7,"of":16,"phase":"verify")");
    Event verified = make(Event::Verified);
    expect(verified, "verified", "");
    verified.hasAddress = true;
    verified.address = 0xC01122000001;
    expect(verified, "verified", R"("address":"C0 11 22 00 00 01")");
    Event done = make(Event::Done);
    done.hasAddress = true;
    done.address = 0xC01122000002;
    done.seconds = 1.5;
    expect(done, "done", R"("address":"C0 11 22 00 00 02","seconds":1.5)");
    Event error = make(Event::Error);
    error.code = 4;
    error.message = "Verify failed";
    error.cause = "page 3 offset 0x12";
    expect(error, "error", R"("code":4,"message":"Verify failed","cause":"page 3 offset 0x12")");
    error.hasAddress = true;
    error.address = 0xC01122000003;
    expect(error, "error",
           R"("code":4,"message":"Verify failed","cause":"page 3 offset 0x12",)"
           R"("address":"C0 11 22 00 00 03")");
    Event skipped = make(Event::Skipped);
    skipped.address = 0xC01122000004;
    skipped.message = "already programmed";
    expect(skipped, "skipped", R"("address":"C0 11 22 00 00 04","message":"already programmed")");
    expect(make(Event::ChipGone), "removed", "");
    Event lost = make(Event::StationLost);
    lost.message = "No such device";
    expect(lost, "station-lost", R"("message":"No such device")");
    expect(make(Event::StationBack), "station-back", "");
    Event unavailable = make(Event::RecordUnavailable);
    unavailable.message = "server closed the connection";
    expect(unavailable, "record-unavailable", R"("message":"server closed the connection")");
    expect(make(Event::RecordBack), "record-back", "");
    Event stopped = make(Event::Stopped);
    stopped.message = "3 failed chips in a row";
    expect(stopped, "stopped", R"("message":"3 failed chips in a row")");
}

TEST(LineJsonTest, ControlCharactersAreEscapedTheJsonWay) {
    line::StationEvent event(line::StationEvent::Stopped);
    event.message = "\x1b]0;owned\x07\n";
    const std::string text = LineEventJson(event, "a\tb").dump();
    EXPECT_NE(text.find(R"("message":"\u001b]0;owned\u0007\n")"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("station":"a\tb")"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST(LineJsonTest, SummaryCountsEveryStationAndTheLine) {
    Zone zone("UTC0");
    LineSummary summary;
    line::StationStatus a;
    a.name = "A";
    a.port = "/dev/ttyUSB0";
    a.done = 3;
    a.failures = 1;
    a.skipped = 2;
    line::StationStatus b;
    b.port = "/dev/ttyUSB1";  // unnamed: known by its port
    summary.stations = {a, b};
    summary.addressesUsed = 4;
    summary.next = 0xC01122000005;
    EXPECT_EQ(LineSummaryJson(summary, NOON_MS).dump(),
              R"({"v":1,"event":"summary","time":"2026-12-07T12:00:00.042+00:00","station":"",)"
              R"("port":"","stations":[{"station":"A","port":"/dev/ttyUSB0","pass":3,"fail":1,)"
              R"("skipped":2,"yield":0.75},{"station":"/dev/ttyUSB1","port":"/dev/ttyUSB1",)"
              R"("pass":0,"fail":0,"skipped":0,"yield":null}],"pass":3,"fail":1,"skipped":2,)"
              R"("yield":0.75,"addresses_used":4,"next_address":"C0 11 22 00 00 05"})");
    summary.next.reset();
    EXPECT_TRUE(LineSummaryJson(summary, NOON_MS)["next_address"].is_null());
}

}  // namespace
}  // namespace nvds::cli
