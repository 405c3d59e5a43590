// One protocol engine on a simulated chip over one kind of link: the serial port on a pty, the
// in-process link or the simulated USB bridge. The link is made by a factory and set up with
// SetUpLink, as the programs do it, behind an adapter whose writes a test can refuse.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "link/AreaTransfer.h"
#include "link/BaudTable.h"
#include "link/ConnectTarget.h"
#include "link/LinkFactory.h"
#include "link/LinkFlows.h"
#include "link/ProgstarDlg.h"
#include "link/UsbLink.h"
#include "link/usb/CyUsbTransport.h"
#include "platform/Prompter.h"
#include "sim/InProcessLink.h"
#include "sim/SimLink.h"
#include "sim/SimUsbDriver.h"
#include "usb/UsbTestDriver.h"

namespace nvds::test {

enum class LinkKind { Pty, InProcess, UsbBridge };

inline std::string KindName(const ::testing::TestParamInfo<LinkKind>& info) {
    const char* names[] = {"Pty", "InProcess", "UsbBridge"};
    return names[static_cast<int>(info.param)];
}

/// An image whose bytes differ per page and per seed.
inline NvdsImage Pattern(uint8_t seed) {
    NvdsImage image;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 11 + seed + (i >> 8));
    }
    return image;
}

/// `options` with no flash busy time.
inline SimOptions Instant(SimOptions options = {}) {
    options.eraseMs = 0;
    options.programMs = 0;
    return options;
}

/// Passes everything on to the link of any kind, but refuses writes while asked to.
class RefusableLink : public LinkTransport {
public:
    RefusableLink(std::unique_ptr<LinkTransport> inner, std::atomic<bool>& refuse,
                  std::atomic<int>& writes)
        : m_inner(std::move(inner)), m_refuse(refuse), m_writes(writes) {}
    bool Open(uint32_t baud, RxQueue& rx) override { return m_inner->Open(baud, rx); }
    void Close() override { m_inner->Close(); }
    bool IsOpen() const override { return m_inner->IsOpen(); }
    bool Write(const uint8_t* data, size_t size) override {
        ++m_writes;
        return !m_refuse && m_inner->Write(data, size);
    }
    std::chrono::steady_clock::time_point Drain() override { return m_inner->Drain(); }
    void SetResetLine(bool on) override { m_inner->SetResetLine(on); }
    void Purge() override { m_inner->Purge(); }
    std::string LastError() const override {
        return m_refuse ? "write: Input/output error" : m_inner->LastError();
    }
    bool LineLost() const override { return m_inner->LineLost(); }
    std::string Name() const override { return m_inner->Name(); }
    std::vector<uint8_t> Frame(uint8_t command, const uint8_t* payload, uint32_t length,
                               uint32_t readLen) const override {
        return m_inner->Frame(command, payload, length, readLen);
    }
    int ConfirmTries(int confirm) const override { return m_inner->ConfirmTries(confirm); }
    int WaitStatus(CProgstarDlg& engine, uint8_t value,
                   std::chrono::milliseconds timeout) override {
        return m_inner->WaitStatus(engine, value, timeout);
    }
    int WaitDataFrame(CProgstarDlg& engine, uint8_t* out, uint32_t length,
                      std::chrono::milliseconds timeout) override {
        return m_inner->WaitDataFrame(engine, out, length, timeout);
    }
    const char* TraceOut() const override { return m_inner->TraceOut(); }
    std::unique_ptr<SyncStep> MakeSyncStep() override { return m_inner->MakeSyncStep(); }

private:
    std::unique_ptr<LinkTransport> m_inner;
    std::atomic<bool>& m_refuse;
    std::atomic<int>& m_writes;
};

/// The engine, the chip and the link of one kind. Start (again) for a fresh chip.
class LinkRig : public LinkFactory {
public:
    explicit LinkRig(LinkKind kind) : m_kind(kind) {}
    LinkRig(LinkKind kind, SimOptions options, uint32_t baud = 115200) : m_kind(kind) {
        Start(options, baud);
    }
    ~LinkRig() override { engine.ClosePort(); }

    /// A fresh chip with `options` (the bridge's chip takes its crystal and lost pages), the
    /// engine set up for it at `baud`.
    void Start(SimOptions options, uint32_t baud = 115200) {
        engine.ClosePort();
        pty.reset();
        std::string port = "chip";
        if (m_kind == LinkKind::Pty) {
            pty = std::make_unique<CSimLink>(options);
            std::string error;
            ASSERT_TRUE(pty->Start(&error)) << error;
            port = pty->SlavePath();
        } else if (m_kind == LinkKind::InProcess) {
            line = std::make_shared<CSimLine>(options);
        } else {
            SimUsbOptions usb = usbOptions;
            usb.crystal = options.crystal;
            if (options.dropPage >= 0) {
                usb.dropPage = options.dropPage;
                usb.dropPageTimes = options.dropPageTimes;
            }
            bridge = std::make_shared<CSimUsbDriver>(usb);
            driver = std::make_shared<RecordingDriver>(bridge);
            port = SPI_ENTRY;
        }
        const int row = FindBaudRow(baud, options.crystal);
        ASSERT_GE(row, 0);
        SetUpLink(engine, *this, port, options.crystal, row);
    }
    std::unique_ptr<LinkTransport> Make(const std::string& port) const override {
        std::unique_ptr<LinkTransport> link;
        if (m_kind == LinkKind::InProcess) {
            auto made = std::make_unique<CInProcessLink>(line);
            inProcess = made.get();
            link = std::move(made);
        } else if (m_kind == LinkKind::UsbBridge) {
            link = std::make_unique<CUsbLink>(std::make_unique<CyUsbTransport>(driver));
        } else {
            link = LinkFactory::Make(port);
        }
        return std::make_unique<RefusableLink>(std::move(link), refuse, writes);
    }

    int Connect() {
        engine.ResetForConnect();
        return ConnectTarget(engine, prompter);
    }
    int Dump(NvdsImage& image) {
        return DumpImage(engine, engine.m_bConnected != 0, image, prompter, Recorder());
    }
    int Burn(const NvdsImage& image) {
        return BurnImage(engine, engine.m_bConnected != 0, image, prompter, Recorder());
    }
    TransferStatus Recorder() {
        return [this](int code) { codes.push_back(code); };
    }

    std::vector<uint8_t> Flash() {
        return pty ? pty->Flash() : line ? line->Flash() : bridge->Flash();
    }
    void SetFlash(const std::vector<uint8_t>& flash) {
        pty ? pty->SetFlash(flash) : line ? line->SetFlash(flash) : bridge->SetFlash(flash);
    }
    NvdsImage FlashArea() {
        std::vector<uint8_t> flash = Flash();
        NvdsImage area;
        std::copy_n(flash.begin(), area.size(), area.begin());
        return area;
    }
    int FramesHandled() const {
        return pty ? pty->FramesHandled() : line ? line->FramesHandled() : bridge->FramesHandled();
    }

    /// The bridge's options besides those Start takes from the chip's.
    SimUsbOptions usbOptions;
    // Before the engine, whose link refers to them until it is gone.
    mutable std::atomic<bool> refuse{false};
    mutable std::atomic<int> writes{0};
    RecordingPrompter prompter;
    CProgstarDlg engine{prompter};
    std::vector<int> codes;
    std::unique_ptr<CSimLink> pty;
    std::shared_ptr<CSimLine> line;
    std::shared_ptr<CSimUsbDriver> bridge;
    std::shared_ptr<RecordingDriver> driver;
    mutable CInProcessLink* inProcess = nullptr;  // the last in-process link made

private:
    LinkKind m_kind;
};

}  // namespace nvds::test
