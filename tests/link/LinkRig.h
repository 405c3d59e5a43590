// One protocol engine on a simulated chip over one kind of link: the serial port on a pty, the
// in-process link or the simulated USB bridge. The link is made by a factory and set up with
// SetUpLink, as the programs do it; a test can make its writes fail.
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
#include "link/SerialLink.h"
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

/// A link of any kind whose writes are refused while `refuse` is set.
template <typename Link>
class Refusable : public Link {
public:
    using Link::Link;
    bool Write(const uint8_t* data, size_t size) override {
        ++*writes;
        return !*refuse && Link::Write(data, size);
    }
    std::string LastError() const override {
        return *refuse ? "write: Input/output error" : Link::LastError();
    }

    std::atomic<bool>* refuse = nullptr;
    std::atomic<int>* writes = nullptr;
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
        if (m_kind == LinkKind::InProcess) {
            auto link = Refusing<CInProcessLink>(line);
            inProcess = link.get();
            return link;
        }
        if (m_kind == LinkKind::UsbBridge) {
            return Refusing<CUsbLink>(std::make_unique<CyUsbTransport>(driver));
        }
        return Refusing<CSerialLink>(port);
    }

    LinkOutcome Connect() {
        engine.ResetForConnect();
        return ConnectTarget(engine);
    }
    LinkOutcome Dump(NvdsImage& image) {
        return DumpImage(engine, engine.m_bConnected != 0, image, Recorder());
    }
    LinkOutcome Burn(const NvdsImage& image) {
        return BurnImage(engine, engine.m_bConnected != 0, image, Recorder());
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
    CProgstarDlg engine;
    std::vector<int> codes;
    std::unique_ptr<CSimLink> pty;
    std::shared_ptr<CSimLine> line;
    std::shared_ptr<CSimUsbDriver> bridge;
    std::shared_ptr<RecordingDriver> driver;
    mutable CInProcessLink* inProcess = nullptr;  // the last in-process link made

private:
    template <typename Link, typename Arg>
    std::unique_ptr<Refusable<Link>> Refusing(Arg&& arg) const {
        auto link = std::make_unique<Refusable<Link>>(std::forward<Arg>(arg));
        link->refuse = &refuse;
        link->writes = &writes;
        return link;
    }

    LinkKind m_kind;
};

}  // namespace nvds::test
