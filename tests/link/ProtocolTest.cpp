#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/BaudTable.h"
#include "link/Frame.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"
#include "link/RxQueue.h"
#include "link/SerialLink.h"

namespace nvds {
namespace {

using Bytes = std::vector<uint8_t>;

// The rows' payloads and rates are checked byte for byte by the wire tests.
TEST(BaudTable, RowsAreFoundPerCrystalAndEachDivisorMatchesItsRate) {
    EXPECT_EQ(FindBaudRow(1843200, CRYSTAL_32MHZ), 15);
    EXPECT_EQ(FindBaudRow(1843200, CRYSTAL_16MHZ), -1);
    // Every divisor lands within 2% of its rate at both crystals.
    for (int i = 0; i < BAUD_ROW_COUNT; ++i) {
        auto payload = BaudCommandPayload(i);
        for (int crystal : {CRYSTAL_16MHZ, CRYSTAL_32MHZ}) {
            double rate = BaudOfDivisor(payload.data(), crystal);
            EXPECT_NEAR(rate / BaudOfRow(i, crystal), 1.0, 0.02) << "row " << i;
        }
    }
}

// An answer frame as the chip sends it.
Bytes Answer(uint8_t command, const Bytes& data) {
    return BuildFrame(command, data.data(), static_cast<uint32_t>(data.size()));
}

class ParserTest : public ::testing::Test {
protected:
    void Feed(const Bytes& bytes) { engine.OnRxBytes(bytes.data(), bytes.size()); }

    CProgstarDlg engine;
};

TEST_F(ParserTest, DeliversFramesAndStatusBytes) {
    Bytes page(256);
    for (size_t i = 0; i < page.size(); ++i) {
        page[i] = static_cast<uint8_t>(i);
    }
    Feed(Answer(CMD_READ, page));
    Bytes out(256);
    ASSERT_EQ(engine.WaitDataFrame(out.data(), 256, 0), 1);
    EXPECT_EQ(out, page);

    // Status bytes between frames, zero and noise ignored; a status of 1..4 is kept.
    Feed({0x00, 0x05, 0xFF, STATUS_DONE});
    EXPECT_EQ(engine.WaitStatus(STATUS_ACK, 0), 0);
    EXPECT_EQ(engine.WaitStatus(STATUS_DONE, 0), 1);
    EXPECT_EQ(engine.StatusByte(), 0);

    // A command code 0..4 is read as the code, and status values inside a frame are data.
    Feed(Answer(0x01, {0x01, 0x02, 0x03}));
    EXPECT_EQ(engine.StatusByte(), 0);
    Bytes three(3);
    ASSERT_EQ(engine.WaitDataFrame(three.data(), 3, 0), 1);
    EXPECT_EQ(three, (Bytes{1, 2, 3}));
}

TEST_F(ParserTest, RejectsBadCrcAndSurvivesHostileLengths) {
    Bytes page(256, 0xA5);
    Bytes bad = Answer(CMD_READ, page);
    bad.back() ^= 1;
    Feed(bad);
    Bytes out(256, 0);
    EXPECT_EQ(engine.WaitDataFrame(out.data(), 256, 0), 0);
    EXPECT_EQ(out, Bytes(256, 0));

    // A length field of 16 MB: the parser swallows what comes without writing past its buffer
    // and stays inside the frame until a reset.
    Feed({FRAME_START, CMD_READ, 0xFF, 0xFF, 0xFF});
    Feed(Bytes(5000, 0x01));
    EXPECT_EQ(engine.ParserState(), 5);
    EXPECT_EQ(engine.StatusByte(), 0);
    engine.ResetReceiveState();
    EXPECT_EQ(engine.ParserState(), 0);

    // A frame slightly over the buffer completes but fails its check.
    Bytes big(400, 0x11);
    Feed(Answer(CMD_READ, big));
    EXPECT_EQ(engine.ParserState(), 0);
    EXPECT_EQ(engine.WaitDataFrame(out.data(), 256, 0), 0);

    // A lone start byte leaves the parser waiting for the command.
    Feed({FRAME_START});
    EXPECT_EQ(engine.ParserState(), 1);
    // A wait longer than the buffer is refused outright.
    EXPECT_EQ(engine.WaitDataFrame(out.data(), 1000, 0), 0);
}

// A pty stands in for the chip's line; the test reads what the engine sends.
class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(grantpt(m_master), 0);
        ASSERT_EQ(unlockpt(m_master), 0);
        engine.SetTransport(std::make_unique<CSerialLink>(ptsname(m_master)));
        engine.StartReceiveDispatchThread();
        ASSERT_TRUE(engine.ReopenPort(115200).Ok());
    }
    void TearDown() override {
        engine.ClosePort();
        close(m_master);
    }

    // Reads what arrives on the master within `ms`.
    Bytes ReadFor(int ms) {
        Bytes got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                uint8_t buf[512];
                ssize_t n = read(m_master, buf, sizeof buf);
                if (n > 0) {
                    got.insert(got.end(), buf, buf + n);
                }
            }
        }
        return got;
    }

    int m_master = -1;
    CProgstarDlg engine;
};

TEST_F(PtyTest, UnansweredSetAddressIsSentThreeTimesAtLeast100msApart) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.SetAddress(0x0300), 0);
    // Three full waits for the acknowledgement; exactly three frames (below) went out.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * ACK_TIMEOUT);
    uint8_t address[4] = {0x00, 0x03, 0x00, 0x00};
    Bytes one = BuildFrame(CMD_SET_ADDRESS, address, 4);
    Bytes expected;
    for (int i = 0; i < 3; ++i) {
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(ReadFor(50), expected);
}

TEST_F(PtyTest, AckThroughTheLineConfirmsAtOnce) {
    uint8_t ack = STATUS_ACK;
    ASSERT_EQ(write(m_master, &ack, 1), 1);
    uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(engine.SendFrame(CMD_SET_MEMORY_TYPE, one, 0, 4, 1), 1);
    EXPECT_EQ(engine.StatusByte(), 0);   // the acknowledgement was taken
    EXPECT_EQ(ReadFor(20).size(), 11u);  // sent once: no retry waited for
}

// With CONFIRM_AFTER_WIRE only an ACK that comes after the frame has left the wire confirms
// it: one that was there before answered something else and is cleared, so the command is
// sent again; one that follows the frame (a wire time later, as a chip answers) confirms it at
// once.
TEST_F(PtyTest, AfterWireOnlyAnAckAfterTheFrameConfirmsIt) {
    uint8_t ack = STATUS_ACK;
    ASSERT_EQ(write(m_master, &ack, 1), 1);
    for (int i = 0; i < 500 && engine.StatusByte() != STATUS_ACK; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(engine.StatusByte(), STATUS_ACK);
    uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(engine.SendFrame(CMD_SET_MEMORY_TYPE, one, 0, 4, CONFIRM_AFTER_WIRE), 0);
    EXPECT_EQ(engine.StatusByte(), 0);   // the stale acknowledgement was dropped
    EXPECT_EQ(ReadFor(20).size(), 33u);  // sent three times

    std::thread chip([&] {
        Bytes frame;
        while (frame.size() < 11u) {
            Bytes got = ReadFor(5);
            frame.insert(frame.end(), got.begin(), got.end());
        }
        // 11 bytes at 115200 baud take about 1 ms on a wire.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(write(m_master, &ack, 1), 1);
    });
    EXPECT_EQ(engine.SendFrame(CMD_SET_MEMORY_TYPE, one, 0, 4, CONFIRM_AFTER_WIRE), 1);
    chip.join();
    EXPECT_EQ(engine.StatusByte(), 0);  // the acknowledgement was taken
    EXPECT_EQ(ReadFor(20).size(), 0u);  // sent once: no retry waited for
}

TEST_F(PtyTest, PortIsExclusiveAndReopenFailureIsReported) {
    CProgstarDlg other;
    other.SetTransport(std::make_unique<CSerialLink>(engine.Transport().Name()));
    const LinkOutcome refused = other.ReopenPort(9600);
    EXPECT_EQ(refused.code, LinkCode::OpenFailed);
    EXPECT_EQ(refused.message, "Open COM port failed!");
    EXPECT_NE(refused.cause.find("in use"), std::string::npos);
    EXPECT_EQ(refused.cause, other.Transport().LastError());
    // Our own close and reopen at another rate works.
    EXPECT_TRUE(engine.ReopenPort(921600).Ok());
}

// Paths that open but are no terminal are named for what they are, not blamed on another
// program holding them.
TEST(SerialPort, NonTerminalsAreNotSerialDevices) {
    std::string file = ::testing::TempDir() + "nvds_not_a_tty_" + std::to_string(getpid());
    std::string fifo = file + ".fifo";
    std::ofstream(file) << "x";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file, std::string("/dev/null"), fifo}) {
        SCOPED_TRACE(path);
        CProgstarDlg engine;
        engine.SetTransport(std::make_unique<CSerialLink>(path));
        const LinkOutcome refused = engine.ReopenPort(9600);
        EXPECT_EQ(refused.message, "Open COM port failed!");
        EXPECT_EQ(refused.cause, path + ": not a serial device");
    }
    std::remove(file.c_str());
    std::remove(fifo.c_str());
}

}  // namespace
}  // namespace nvds

namespace nvds {
namespace {

TEST(RxQueue, FullQueueHoldsTheWriterAndKeepsOrder) {
    RxQueue queue(16);
    std::atomic<bool> abort{false};
    Bytes sent(1000);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    std::thread writer([&] { EXPECT_TRUE(queue.Push(sent.data(), sent.size(), abort)); });
    Bytes got, chunk;
    while (got.size() < sent.size() && queue.PopAll(chunk)) {
        EXPECT_LE(chunk.size(), 16u);
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    writer.join();
    EXPECT_EQ(got, sent);

    // A writer held by a full queue gives up when told to stop.
    std::thread stuck([&] { EXPECT_FALSE(queue.Push(sent.data(), sent.size(), abort)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    abort = true;
    queue.Wake();
    stuck.join();
}

}  // namespace
}  // namespace nvds
