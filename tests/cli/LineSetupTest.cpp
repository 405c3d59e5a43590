// The options of nvds line that are checked before anything is opened: station names and
// ports given twice, and whole numbers with their range said in plain numbers.

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/LineSetup.h"

namespace nvds::cli {
namespace {

TEST(LineSetupTest, StationsAreNamedAndNoDeviceOrNameIsGivenTwice) {
    char pattern[] = "/tmp/nvds_ports.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string device = dir + "/ttyUSB0";
    const std::string link = dir + "/usb-Adapter_A1-if00-port0";
    {
        FILE* f = std::fopen(device.c_str(), "w");
        std::fclose(f);
    }
    std::filesystem::create_symlink(device, link);

    std::vector<line::StationPort> stations;
    std::string error;
    ASSERT_TRUE(ParseStationPorts({"left=" + link, "/dev/pts/7", "SPI"}, stations, error)) << error;
    ASSERT_EQ(stations.size(), 3u);
    EXPECT_EQ(stations[0].name, "left");
    EXPECT_EQ(stations[0].path, link);  // the link is kept as given, reopened by it
    EXPECT_EQ(stations[1].name, "/dev/pts/7");
    EXPECT_EQ(stations[1].path, "/dev/pts/7");
    EXPECT_EQ(stations[2].name, "SPI");

    EXPECT_FALSE(ParseStationPorts({"left=" + link, "right=" + device}, stations, error));
    EXPECT_EQ(error, "--port \"" + link + "\" and --port \"" + device +
                         "\" are the same device \"" + device + "\"");
    EXPECT_FALSE(ParseStationPorts({"a=/dev/x", "a=/dev/y"}, stations, error));
    EXPECT_EQ(error, "station \"a\" is given twice");
    EXPECT_FALSE(ParseStationPorts({"/dev/x", "/dev/x"}, stations, error));
    EXPECT_FALSE(ParseStationPorts({"SPI", "usb=SPI"}, stations, error));
    EXPECT_EQ(error, "--port \"SPI\" and --port \"SPI\" are the same device \"SPI\"");
    EXPECT_FALSE(ParseStationPorts({"=/dev/x"}, stations, error));
    EXPECT_EQ(error, "--port \"=/dev/x\" needs a station name before the =");
    EXPECT_FALSE(ParseStationPorts({"a="}, stations, error));
    EXPECT_EQ(error, "--port \"a=\" needs a device path");
    EXPECT_FALSE(ParseStationPorts({""}, stations, error));
    EXPECT_FALSE(ParseStationPorts({"a\x1b=/dev/x", "a\x1b=/dev/y"}, stations, error));
    EXPECT_EQ(error, "station \"a\\x1B\" is given twice");
    std::filesystem::remove_all(dir);
}

TEST(LineSetupTest, WholeNumbersSayTheirRangeInPlainNumbers) {
    int value = -1;
    std::string error;
    ASSERT_TRUE(ParseWholeNumber("--count", "007", 1, 2147483647, value, error));
    EXPECT_EQ(value, 7);
    ASSERT_TRUE(ParseWholeNumber("--count", "+2147483647", 1, 2147483647, value, error));
    EXPECT_EQ(value, 2147483647);
    ASSERT_TRUE(ParseWholeNumber("--max-failures", "-0", 0, 10, value, error));
    EXPECT_EQ(value, 0);

    EXPECT_FALSE(ParseWholeNumber("--count", "0", 1, 2147483647, value, error));
    EXPECT_EQ(error, "--count must be at least 1");
    EXPECT_FALSE(ParseWholeNumber("--count", "-1", 1, 2147483647, value, error));
    EXPECT_EQ(error, "--count must be at least 1");
    EXPECT_FALSE(
        ParseWholeNumber("--count", "-" + std::string(309, '9'), 1, 2147483647, value, error));
    EXPECT_EQ(error, "--count must be at least 1");
    EXPECT_FALSE(ParseWholeNumber("--count", "2147483648", 1, 2147483647, value, error));
    EXPECT_EQ(error, "--count must be at most 2147483647");
    EXPECT_FALSE(
        ParseWholeNumber("--count", "1" + std::string(308, '0'), 1, 2147483647, value, error));
    EXPECT_EQ(error, "--count must be at most 2147483647");
    for (const char* text : {"", "-", "1e3", "0x10", " 5", "5 ", "1.0"}) {
        EXPECT_FALSE(ParseWholeNumber("--count", text, 1, 2147483647, value, error)) << text;
        EXPECT_EQ(error, "--count must be a whole number, not \"" + std::string(text) + "\"");
    }
    EXPECT_EQ(value, 0);  // untouched by every refusal
}

}  // namespace
}  // namespace nvds::cli
