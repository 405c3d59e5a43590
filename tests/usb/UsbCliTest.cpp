#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/NvdsRun.h"

namespace nvds {
namespace {

using test::ReadFile;

// Runs the tool beside the test with the environment given in front; what it says to the user
// goes to stderr.
test::ToolRun Nvds(const std::string& env, const std::string& args) {
    return test::RunNvds(args, "", env);
}

TEST(UsbCli, BurnThenDumpThroughTheSimulatedBridge) {
    std::string base = ::testing::TempDir() + "nvds_usb_" + std::to_string(getpid());
    std::string env = "NVDS_USB_BACKEND=sim NVDS_USB_SIM_FLASH=" + base + ".flash";
    std::string image(4096, '\xFF');
    image.replace(0, 12, std::string("NVDS\x01\x00\x06\x00\x11\x22\x33\x44", 12));
    std::ofstream(base + ".in.nvds", std::ios::binary) << image;

    test::ToolRun burn = Nvds(env, "burn --port SPI " + base + ".in.nvds");
    EXPECT_EQ(burn.exitCode, 0) << burn.err;
    EXPECT_NE(burn.err.find("Burn configuration data to target: success"), std::string::npos);
    test::ToolRun dump = Nvds(env, "dump --port SPI -o " + base + ".out.nvds");
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    EXPECT_EQ(ReadFile(base + ".out.nvds"), image);
    for (const char* suffix : {".flash", ".in.nvds", ".out.nvds"}) {
        std::remove((base + suffix).c_str());
    }
}

// No bridge: the sync loop runs its 20 s, then the overtime text and the reason.
TEST(UsbCli, NoBridgeFailsTheConnect) {
    std::string out = ::testing::TempDir() + "nvds_usb_none.nvds";
    test::ToolRun dump =
        Nvds("NVDS_USB_BACKEND=libusb NVDS_USB_BRIDGE=0000:0001", "dump --port SPI -o " + out);
    EXPECT_EQ(dump.exitCode, 1);
    EXPECT_NE(dump.err.find("Connection is overtime!\n\nTips: After press the \"Start\" button, "
                            "please reset the target to establish a connection!"),
              std::string::npos)
        << dump.err;
    EXPECT_NE(dump.err.find("No USB-to-SPI bridge is attached (looked for 0000:0001"),
              std::string::npos);
    EXPECT_NE(access(out.c_str(), F_OK), 0);  // no file written
}

}  // namespace
}  // namespace nvds
