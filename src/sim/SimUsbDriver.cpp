#include "sim/SimUsbDriver.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "link/LinkConstants.h"
#include "link/usb/UsbTransferHeader.h"
#include "platform/AtomicFile.h"
#include "platform/LittleEndian.h"

namespace nvds {

namespace {

constexpr uint32_t SIM_VERSION_WORD = 0x00010002;
constexpr uint32_t USB_TRAILER_SIZE = 2;

// High-speed bulk bridge: USB 2.0, vendor class on the interface, 64-byte control endpoint,
// strings 1..3, one configuration.
const std::vector<uint8_t> DEVICE_DESCRIPTOR{0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0xB4,
                                             0x04, 0x04, 0x10, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};

// One configuration (bus powered, 100 mA), interface 0 in two alternate settings. Setting 0
// has bulk OUT 0x01 and bulk IN 0x81 behind a vendor descriptor the host steps over;
// setting 1 has bulk OUT 0x02 and bulk IN 0x86. All bulk endpoints take 512-byte packets.
const std::vector<uint8_t> CONFIG_DESCRIPTOR{
    0x09, 0x02, 0x3C, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration, 60 bytes in all
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0, setting 0
    0x05, 0x24, 0x00, 0x10, 0x01,                          // vendor-specific
    0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,              // bulk OUT 0x01
    0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,              // bulk IN 0x81
    0x09, 0x04, 0x00, 0x01, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0, setting 1
    0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00,              // bulk OUT 0x02
    0x07, 0x05, 0x86, 0x02, 0x00, 0x02, 0x00,              // bulk IN 0x86
};

const char* const STRINGS[] = {"NVDS simulator", "USB-SPI bridge (simulated)", "SIM-0001"};

std::vector<uint8_t> StringDescriptor(const std::string& text) {
    std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

}  // namespace

CSimUsbDriver::CSimUsbDriver(SimUsbOptions options)
    : m_opt(std::move(options)), m_chip(m_opt.crystal) {
    std::string bytes;
    if (!m_opt.flashFile.empty() && ReadWholeFile(m_opt.flashFile, bytes)) {
        std::copy_n(bytes.begin(), std::min(bytes.size(), m_chip.Flash().size()),
                    m_chip.Flash().begin());
    }
}

CSimUsbDriver::~CSimUsbDriver() {
    if (m_bWrote && !m_opt.flashFile.empty()) {
        WriteFileAtomically(m_opt.flashFile, m_chip.Flash().data(), m_chip.Flash().size());
    }
}

void CSimUsbDriver::Cost() const {
    if (m_opt.requestCostUs > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(m_opt.requestCostUs));
    }
}

std::string CSimUsbDriver::LastError() const {
    return m_opt.present ? "" : "No USB-to-SPI bridge is attached (simulated)";
}

int CSimUsbDriver::CountDevices() {
    Cost();
    return m_opt.present ? 1 : 0;
}

UsbHandle CSimUsbDriver::Open(int n) {
    Cost();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_opt.present || n != 0) {
        return USB_INVALID_HANDLE;
    }
    UsbHandle handle = m_nNextHandle++;
    m_handles[handle];
    return handle;
}

// Closing ends what is still under way on the handle, as the real driver does.
bool CSimUsbDriver::Close(UsbHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || m_opt.failClose) {
        return false;
    }
    for (auto& request : it->second) {
        if (!request->Done()) {
            SetHeaderStatus(request->StatusHeader(), NT_STATUS_CANCELLED, USBD_STATUS_CANCELED);
            request->Complete(false, 0);
        }
    }
    m_handles.erase(it);
    return true;
}

bool CSimUsbDriver::Request(UsbHandle handle, uint32_t code, uint8_t* buffer, uint32_t size,
                            uint32_t& returned) {
    Cost();
    ++m_nRequests;
    std::lock_guard<std::mutex> lock(m_mutex);
    returned = 0;
    if (m_handles.count(handle) == 0) {
        return false;
    }
    uint32_t value = 0;
    switch (code) {
        case CYUSB_REQ_CONTROL:
            return ControlRequest(buffer, size, returned);
        case CYUSB_REQ_DRIVER_VERSION:
            value = m_opt.driverVersion;
            break;
        case CYUSB_REQ_VERSION_WORD:
            value = SIM_VERSION_WORD;
            break;
        case CYUSB_REQ_BUS_SPEED:
            value = CYUSB_SPEED_HIGH;
            break;
        case CYUSB_REQ_ALT_SETTING:
        case CYUSB_REQ_DEVICE_VALUE:
            if (size < 1) {
                return false;
            }
            buffer[0] = code == CYUSB_REQ_ALT_SETTING ? m_opt.altSetting : 1;
            returned = 1;
            return true;
        case CYUSB_REQ_TEXT_A:
        case CYUSB_REQ_TEXT_B: {
            if (size < CYUSB_TEXT_SIZE) {
                return false;
            }
            std::memset(buffer, 0, CYUSB_TEXT_SIZE);
            const char* text = code == CYUSB_REQ_TEXT_A ? "simulated bridge driver" : "sim:0";
            std::memcpy(buffer, text, std::strlen(text));
            returned = CYUSB_TEXT_SIZE;
            return true;
        }
        default:
            return false;
    }
    if (size < 4) {
        return false;
    }
    PutLe32(buffer, value);
    returned = 4;
    return true;
}

bool CSimUsbDriver::ControlRequest(uint8_t* buffer, uint32_t size, uint32_t& returned) {
    if (size < USB_HEADER_SIZE) {
        return false;
    }
    UsbTransferHeader h = UsbTransferHeader::Read(buffer);
    std::vector<uint8_t> d;
    if (h.bmRequestType == REQTYPE_STANDARD_DEVICE_IN && h.bRequest == REQ_GET_DESCRIPTOR) {
        d = Descriptor(h.wValue, h.wIndex);
    }
    if (d.empty()) {
        SetHeaderStatus(buffer, NT_STATUS_UNSUCCESSFUL, USBD_STATUS_STALL);
        return false;
    }
    uint32_t n =
        std::min<uint32_t>({static_cast<uint32_t>(d.size()), h.wLength, size - USB_HEADER_SIZE});
    std::memcpy(buffer + USB_HEADER_SIZE, d.data(), n);
    SetHeaderStatus(buffer, 0, 0);
    returned = USB_HEADER_SIZE + n;
    return true;
}

// Empty when the device would stall: an unknown descriptor, or a string asked for in a
// language the device does not offer.
std::vector<uint8_t> CSimUsbDriver::Descriptor(uint16_t wValue, uint16_t wIndex) {
    uint8_t type = static_cast<uint8_t>(wValue >> 8);
    uint8_t index = static_cast<uint8_t>(wValue);
    if (type == 1 && index == 0) {
        return DEVICE_DESCRIPTOR;
    }
    if (type == 2 && index == 0) {
        return CONFIG_DESCRIPTOR;
    }
    if (type != 3) {
        return {};
    }
    if (index == 0) {
        std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * m_opt.languages.size()), 0x03};
        for (uint16_t id : m_opt.languages) {
            d.push_back(static_cast<uint8_t>(id));
            d.push_back(static_cast<uint8_t>(id >> 8));
        }
        return d;
    }
    m_nLastLanguage = wIndex;
    bool offered =
        std::find(m_opt.languages.begin(), m_opt.languages.end(), wIndex) != m_opt.languages.end();
    if (!offered || index > std::size(STRINGS)) {
        return {};
    }
    return StringDescriptor(STRINGS[index - 1]);
}

bool CSimUsbDriver::EndpointOfCurrentSetting(uint8_t address) const {
    uint8_t out = m_opt.altSetting == 0 ? 0x01 : 0x02;
    uint8_t in = m_opt.altSetting == 0 ? 0x81 : 0x86;
    return address == out || address == in;
}

uint32_t CSimUsbDriver::Submit(UsbHandle handle, const std::shared_ptr<UsbIoRequest>& request) {
    Cost();
    ++m_nRequests;
    std::lock_guard<std::mutex> lock(m_mutex);
    bool buffered = request->Code() == CYUSB_REQ_BULK_BUFFERED;
    bool known = buffered || request->Code() == CYUSB_REQ_BULK_DIRECT;
    if (m_handles.count(handle) == 0 || !known || request->In().size() < USB_HEADER_SIZE) {
        request->Complete(false, 0);
        return USB_IO_FAILED;
    }
    UsbTransferHeader h = UsbTransferHeader::Read(request->In().data());
    if (!EndpointOfCurrentSetting(h.endpointAddress) ||
        (buffered && request->In().size() < USB_HEADER_SIZE + h.bufferLength)) {
        SetHeaderStatus(request->StatusHeader(), NT_STATUS_UNSUCCESSFUL, USBD_STATUS_STALL);
        request->Complete(false, 0);
        return USB_IO_FAILED;
    }
    m_handles[handle].push_back(request);
    if ((h.endpointAddress & 0x80) == 0) {
        const uint8_t* data =
            buffered ? request->In().data() + USB_HEADER_SIZE : request->Out().data();
        uint32_t size = buffered ? h.bufferLength : static_cast<uint32_t>(request->Out().size());
        HandleOut(data, size);
        request->Complete(true, size + (buffered ? USB_HEADER_SIZE : 0));
    } else if (!m_answer.empty() && Clock::now() >= m_tAnswer) {
        TakeAnswer(*request);
    }
    return USB_IO_PENDING;
}

bool CSimUsbDriver::Wait(UsbIoRequest& request, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (request.Done()) {
            return true;
        }
        // Without an answer due within the wait the host sits out its whole time-out.
        if (!m_answer.empty() && m_tAnswer < deadline) {
            deadline = m_tAnswer;
        }
    }
    std::this_thread::sleep_until(deadline);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!request.Done() && !m_answer.empty() && Clock::now() >= m_tAnswer) {
        TakeAnswer(request);
    }
    return request.Done();
}

// Hands the pending answer to an IN request: as much as it asked for; the rest is dropped,
// as the bridge clocks only the counted bytes out of the chip.
void CSimUsbDriver::TakeAnswer(UsbIoRequest& request) {
    bool buffered = request.Code() == CYUSB_REQ_BULK_BUFFERED;
    uint32_t offset = buffered ? USB_HEADER_SIZE : 0;
    std::vector<uint8_t>& out = request.Out();
    uint32_t room = static_cast<uint32_t>(out.size()) - offset;
    uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(m_answer.size()));
    std::memcpy(out.data() + offset, m_answer.data(), n);
    m_answer.clear();
    SetHeaderStatus(request.StatusHeader(), 0, 0);
    request.Complete(true, n + offset);
}

// A lone sync byte, or a frame followed by its 2-byte USB count.
void CSimUsbDriver::HandleOut(const uint8_t* data, size_t size) {
    m_answer.clear();
    if (size == 1 && data[0] == CMD_SYNC) {
        m_answer = {m_chip.HandleSync()};
        m_tAnswer = Clock::now() + std::chrono::milliseconds(m_opt.answerLateMs);
        return;
    }
    HandleFrame(data, size);
}

// The count after the CRC must be what the host forms: the answer frame's size for a page
// read (the bytes the bridge clocks back), 0 for every other command.
void CSimUsbDriver::HandleFrame(const uint8_t* frame, size_t size) {
    if (size < FRAME_OVERHEAD + USB_TRAILER_SIZE || frame[0] != FRAME_START) {
        ++m_nBadTrailers;
        return;
    }
    uint32_t length = frame[2] | frame[3] << 8 | frame[4] << 16;
    if (size != length + FRAME_OVERHEAD + USB_TRAILER_SIZE) {
        ++m_nBadTrailers;
        return;
    }
    uint32_t count = GetLe16(frame + length + 7);
    uint32_t expected = 0;
    if (frame[1] == CMD_READ && length == 4) {
        expected = GetLe32(frame + FRAME_HEADER_SIZE) + FRAME_OVERHEAD;
    }
    if (count != expected) {
        ++m_nBadTrailers;
        return;
    }
    SimAnswer answer = m_chip.HandleFrame(frame, length + FRAME_OVERHEAD);
    ++m_nFrames;
    m_bWrote = m_bWrote || answer.wrote;
    // Status bytes never reach the host over the bridge; only answer frames are read back.
    if (answer.bytes.size() <= 1) {
        return;
    }
    ++m_nAnswers;
    bool dropEvery = m_opt.dropInEvery > 0 && m_nAnswers % m_opt.dropInEvery == 0;
    bool dropPage = answer.pageOp &&
                    static_cast<int>(answer.address / NVDS_PAGE_SIZE) == m_opt.dropPage &&
                    m_nPageDrops < m_opt.dropPageTimes;
    if (dropPage) {
        ++m_nPageDrops;
    }
    if (dropEvery || dropPage) {
        return;
    }
    m_answer = std::move(answer.bytes);
    m_tAnswer = Clock::now() + std::chrono::milliseconds(m_opt.answerLateMs);
}

std::vector<uint8_t> CSimUsbDriver::Flash() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chip.Flash();
}

void CSimUsbDriver::SetFlash(const std::vector<uint8_t>& flash) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::copy_n(flash.begin(), std::min(flash.size(), m_chip.Flash().size()),
                m_chip.Flash().begin());
}

}  // namespace nvds
