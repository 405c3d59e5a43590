#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace nvds {
namespace {

struct ToolRun {
    int code = -1;
    std::string output;
};

// Runs the tool beside the test with the environment given in front, stderr and stdout joined.
ToolRun Nvds(const std::string& env, const std::string& args) {
    ToolRun run;
    std::string command = env + " ./nvds " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[512];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        run.output.append(chunk, n);
    }
    int status = pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(UsbCli, BurnThenDumpThroughTheSimulatedBridge) {
    std::string base = ::testing::TempDir() + "nvds_usb_" + std::to_string(getpid());
    std::string env = "NVDS_USB_BACKEND=sim NVDS_USB_SIM_FLASH=" + base + ".flash";
    std::string image(4096, '\xFF');
    image.replace(0, 12, std::string("NVDS\x01\x00\x06\x00\x11\x22\x33\x44", 12));
    std::ofstream(base + ".in.nvds", std::ios::binary) << image;

    ToolRun burn = Nvds(env, "burn --port SPI " + base + ".in.nvds");
    EXPECT_EQ(burn.code, 0) << burn.output;
    EXPECT_NE(burn.output.find("Burn configuration data to target: success"), std::string::npos);
    ToolRun dump = Nvds(env, "dump --port SPI -o " + base + ".out.nvds");
    EXPECT_EQ(dump.code, 0) << dump.output;
    EXPECT_EQ(ReadFile(base + ".out.nvds"), image);
    for (const char* suffix : {".flash", ".in.nvds", ".out.nvds"}) {
        std::remove((base + suffix).c_str());
    }
}

// No bridge: the sync loop runs its 20 s, then the overtime text and the reason.
TEST(UsbCli, NoBridgeFailsTheConnect) {
    std::string out = ::testing::TempDir() + "nvds_usb_none.nvds";
    ToolRun dump =
        Nvds("NVDS_USB_BACKEND=libusb NVDS_USB_BRIDGE=0000:0001", "dump --port SPI -o " + out);
    EXPECT_EQ(dump.code, 1);
    EXPECT_NE(dump.output.find("Connection is overtime!\n\nTips: After press the \"Start\" button, "
                               "please reset the target to establish a connection!"),
              std::string::npos)
        << dump.output;
    EXPECT_NE(dump.output.find("No USB-to-SPI bridge is attached (looked for 0000:0001"),
              std::string::npos);
    EXPECT_NE(access(out.c_str(), F_OK), 0);  // no file written
}

}  // namespace
}  // namespace nvds
