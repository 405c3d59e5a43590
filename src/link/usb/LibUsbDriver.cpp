#include "link/usb/LibUsbDriver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/LinkConstants.h"
#include "link/LinkTrace.h"
#include "link/usb/UsbTransferHeader.h"

namespace nvds {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int BRIDGE_INTERFACE = 0;
constexpr uint8_t REQTYPE_STANDARD_INTERFACE_IN = 0x81;
constexpr uint8_t REQ_GET_INTERFACE = 10;
// Bus speed values of the driver: 1 full, 2 high, 4 super speed.
constexpr uint32_t SPEED_FULL = 1;
constexpr uint32_t SPEED_SUPER = 4;
// Closing a handle waits this long for its cancelled transfers to come back.
constexpr std::chrono::milliseconds CANCEL_LIMIT{1000};

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void PutText(uint8_t* buffer, uint32_t size, const std::string& text) {
    std::memset(buffer, 0, size);
    std::memcpy(buffer, text.data(), std::min<size_t>(text.size(), size - 1));
}

std::string Hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

}  // namespace

/// The bridge held open across transfers, with the descriptors it has answered.
struct LibUsbDriver::Bridge {
    libusb_device_handle* handle = nullptr;
    int index = 0;
    int count = 0;
    int bus = 0;
    int address = 0;
    int speed = LIBUSB_SPEED_UNKNOWN;
    int altSetting = -1;
    bool broken = false;  // a transfer saw the device gone: enumerate again
    std::map<std::tuple<uint16_t, uint16_t, uint16_t>, std::vector<uint8_t>> descriptors;
};

bool ParseBridgeIds(const std::string& text, std::vector<UsbId>& ids, std::string* error) {
    ids.clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        unsigned vid = 0, pid = 0;
        char rest = 0;
        if (std::sscanf(item.c_str(), "%4x:%4x%c", &vid, &pid, &rest) != 2 || item.find(':') != 4 ||
            item.size() != 9) {
            if (error != nullptr) {
                *error = "NVDS_USB_BRIDGE: \"" + item + "\" is not a VID:PID pair like 04b4:1004";
            }
            ids.clear();
            return false;
        }
        ids.push_back({static_cast<uint16_t>(vid), static_cast<uint16_t>(pid)});
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return true;
}

LibUsbDriver::LibUsbDriver(const std::string& idsText, std::shared_ptr<LibUsbApi> api)
    : m_api(std::move(api)) {
    ParseBridgeIds(idsText, m_ids, &m_strIdError);
}

LibUsbDriver::LibUsbDriver(std::shared_ptr<LibUsbApi> api, std::vector<UsbId> ids)
    : m_api(std::move(api)), m_ids(std::move(ids)) {}

LibUsbDriver::~LibUsbDriver() {
    for (auto& [transfer, pending] : m_pending) {
        m_api->CancelTransfer(transfer);
    }
    PumpUntil([this] { return m_pending.empty(); }, CANCEL_LIMIT);
    DropBridge();
    if (m_bStarted) {
        m_api->Exit(m_ctx);
    }
}

bool LibUsbDriver::StartLibrary() {
    if (!m_bStarted) {
        int r = m_api->Init(&m_ctx);
        if (r < 0) {
            m_strLastError = std::string("libusb could not start: ") + libusb_error_name(r);
            return false;
        }
        m_bStarted = true;
    }
    return true;
}

std::string LibUsbDriver::IdList() const {
    std::string text;
    for (const UsbId& id : m_ids) {
        if (!text.empty()) {
            text += ',';
        }
        text += Hex4(id.vid);
        text += ':';
        text += Hex4(id.pid);
    }
    return text;
}

std::vector<libusb_device*> LibUsbDriver::Matches(libusb_device** list, ssize_t count) {
    std::vector<libusb_device*> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc{};
        if (m_api->GetDeviceDescriptor(list[i], &desc) < 0) {
            continue;
        }
        for (const UsbId& id : m_ids) {
            if (desc.idVendor == id.vid && desc.idProduct == id.pid) {
                found.push_back(list[i]);
                break;
            }
        }
    }
    return found;
}

int LibUsbDriver::CountDevices() {
    if (m_bridge != nullptr && !m_bridge->broken) {
        return m_bridge->count;
    }
    if (!m_strIdError.empty()) {
        m_strLastError = m_strIdError;
        return 0;
    }
    if (!StartLibrary()) {
        return 0;
    }
    libusb_device** list = nullptr;
    ssize_t n = m_api->GetDeviceList(m_ctx, &list);
    if (n < 0) {
        m_strLastError =
            std::string("Cannot list USB devices: ") + libusb_error_name(static_cast<int>(n));
        return 0;
    }
    int count = static_cast<int>(Matches(list, n).size());
    m_api->FreeDeviceList(list);
    if (count == 0) {
        m_strLastError = "No USB-to-SPI bridge is attached (looked for " + IdList() +
                         "; set NVDS_USB_BRIDGE=VID:PID for another one)";
    }
    return count;
}

UsbHandle LibUsbDriver::Open(int n) {
    if (m_bridge == nullptr || m_bridge->broken || m_bridge->index != n) {
        DropBridge();
        if (!StartLibrary()) {
            return USB_INVALID_HANDLE;
        }
        libusb_device** list = nullptr;
        ssize_t count = m_api->GetDeviceList(m_ctx, &list);
        std::vector<libusb_device*> found =
            count >= 0 ? Matches(list, count) : std::vector<libusb_device*>{};
        bool ok = n >= 0 && n < static_cast<int>(found.size()) && OpenBridge(found[n], n);
        if (ok) {
            m_bridge->count = static_cast<int>(found.size());
        } else if (n >= static_cast<int>(found.size())) {
            m_strLastError = "The USB-to-SPI bridge has gone (looked for " + IdList() + ")";
        }
        if (count >= 0) {
            m_api->FreeDeviceList(list);
        }
        if (!ok) {
            return USB_INVALID_HANDLE;
        }
    }
    UsbHandle handle = m_nNextHandle++;
    m_handles[handle] = n;
    return handle;
}

// Opens the device, frees its interface from a kernel driver if one is bound, and claims it.
bool LibUsbDriver::OpenBridge(libusb_device* dev, int n) {
    auto bridge = std::make_unique<Bridge>();
    bridge->index = n;
    bridge->bus = m_api->GetBusNumber(dev);
    bridge->address = m_api->GetDeviceAddress(dev);
    bridge->speed = m_api->GetDeviceSpeed(dev);
    std::string where = "USB-to-SPI bridge at bus " + std::to_string(bridge->bus) + " device " +
                        std::to_string(bridge->address);
    int r = m_api->Open(dev, &bridge->handle);
    if (r == LIBUSB_ERROR_ACCESS) {
        m_strLastError = "No permission to open the " + where +
                         ": install the udev rule (packaging/udev) and join the plugdev group";
        return false;
    }
    if (r < 0) {
        m_strLastError = "Cannot open the " + where + ": " + libusb_error_name(r);
        return false;
    }
    if (m_api->KernelDriverActive(bridge->handle, BRIDGE_INTERFACE) == 1) {
        r = m_api->DetachKernelDriver(bridge->handle, BRIDGE_INTERFACE);
        if (r < 0) {
            m_strLastError =
                "Cannot free the " + where + " from its kernel driver: " + libusb_error_name(r);
            m_api->Close(bridge->handle);
            return false;
        }
    }
    r = m_api->ClaimInterface(bridge->handle, BRIDGE_INTERFACE);
    if (r < 0) {
        m_strLastError = r == LIBUSB_ERROR_BUSY
                             ? "The " + where + " is in use by another program"
                             : "Cannot claim the " + where + ": " + libusb_error_name(r);
        m_api->Close(bridge->handle);
        return false;
    }
    TraceNote("usb: opened the " + where);
    m_bridge = std::move(bridge);
    m_strLastError.clear();
    return true;
}

void LibUsbDriver::DropBridge() {
    if (m_bridge == nullptr) {
        return;
    }
    m_api->ReleaseInterface(m_bridge->handle, BRIDGE_INTERFACE);
    m_api->Close(m_bridge->handle);
    m_bridge.reset();
    m_handles.clear();
}

bool LibUsbDriver::Close(UsbHandle handle) {
    if (m_handles.erase(handle) == 0) {
        return false;
    }
    // Cancel what this handle left under way and let the cancellations come back, so a lost
    // transfer never completes into the next one. Their buffers live in the requests.
    bool any = false;
    for (auto& [transfer, pending] : m_pending) {
        if (pending.handle == handle) {
            m_api->CancelTransfer(transfer);
            any = true;
        }
    }
    if (any) {
        PumpUntil(
            [this, handle] {
                return std::none_of(m_pending.begin(), m_pending.end(),
                                    [handle](const auto& p) { return p.second.handle == handle; });
            },
            CANCEL_LIMIT);
    }
    return true;
}

bool LibUsbDriver::Request(UsbHandle handle, uint32_t code, uint8_t* buffer, uint32_t size,
                           uint32_t& returned) {
    returned = 0;
    if (m_handles.count(handle) == 0 || m_bridge == nullptr) {
        return false;
    }
    if (code == CYUSB_REQ_CONTROL) {
        return ControlRequest(buffer, size, returned);
    }
    return Fixed(code, buffer, size, returned);
}

// The setup fields come from the header; the data stage uses the bytes behind it. Descriptor
// reads are answered from the cache after the first time.
bool LibUsbDriver::ControlRequest(uint8_t* buffer, uint32_t size, uint32_t& returned) {
    if (size < USB_HEADER_SIZE) {
        return false;
    }
    UsbTransferHeader h = UsbTransferHeader::Read(buffer);
    uint16_t length = static_cast<uint16_t>(std::min<uint32_t>(h.wLength, size - USB_HEADER_SIZE));
    bool descriptor =
        h.bmRequestType == REQTYPE_STANDARD_DEVICE_IN && h.bRequest == REQ_GET_DESCRIPTOR;
    auto key = std::make_tuple(h.wValue, h.wIndex, length);
    if (descriptor) {
        auto hit = m_bridge->descriptors.find(key);
        if (hit != m_bridge->descriptors.end()) {
            std::copy(hit->second.begin(), hit->second.end(), buffer + USB_HEADER_SIZE);
            SetHeaderStatus(buffer, 0, 0);
            returned = USB_HEADER_SIZE + static_cast<uint32_t>(hit->second.size());
            return true;
        }
    }
    int r = m_api->ControlTransfer(m_bridge->handle, h.bmRequestType, h.bRequest, h.wValue,
                                   h.wIndex, buffer + USB_HEADER_SIZE, length, h.timeoutSec * 1000);
    if (r < 0) {
        m_bridge->broken = r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_IO;
        SetHeaderStatus(buffer, NT_STATUS_UNSUCCESSFUL, USBD_STATUS_STALL);
        return false;
    }
    SetHeaderStatus(buffer, 0, 0);
    returned = USB_HEADER_SIZE + static_cast<uint32_t>(r);
    if (descriptor) {
        m_bridge->descriptors[key].assign(buffer + USB_HEADER_SIZE, buffer + USB_HEADER_SIZE + r);
    }
    return true;
}

// The driver's own values: what the other platform's driver reports, taken from libusb.
bool LibUsbDriver::Fixed(uint32_t code, uint8_t* buffer, uint32_t size, uint32_t& returned) {
    switch (code) {
        case CYUSB_REQ_DRIVER_VERSION:
        case CYUSB_REQ_VERSION_WORD:
        case CYUSB_REQ_BUS_SPEED:
            if (size < 4) {
                return false;
            }
            Put32(buffer, DriverWord(code));
            returned = 4;
            return true;
        case CYUSB_REQ_ALT_SETTING:
        case CYUSB_REQ_DEVICE_VALUE:
            if (size < 1) {
                return false;
            }
            buffer[0] = code == CYUSB_REQ_ALT_SETTING ? AltSetting()
                                                      : static_cast<uint8_t>(m_bridge->address);
            returned = 1;
            return true;
        case CYUSB_REQ_TEXT_A:
        case CYUSB_REQ_TEXT_B:
            if (size < CYUSB_TEXT_SIZE) {
                return false;
            }
            PutText(buffer, CYUSB_TEXT_SIZE, DriverText(code));
            returned = CYUSB_TEXT_SIZE;
            return true;
        default:
            return false;
    }
}

// Direct transfers are always available here, so the version is the first that has them.
uint32_t LibUsbDriver::DriverWord(uint32_t code) const {
    if (code == CYUSB_REQ_VERSION_WORD) {
        const libusb_version* v = libusb_get_version();
        return static_cast<uint32_t>(v->major << 24 | v->minor << 16 | v->micro);
    }
    if (code == CYUSB_REQ_BUS_SPEED) {
        return m_bridge->speed >= LIBUSB_SPEED_SUPER  ? SPEED_SUPER
               : m_bridge->speed == LIBUSB_SPEED_HIGH ? CYUSB_SPEED_HIGH
                                                      : SPEED_FULL;
    }
    return CYUSB_DIRECT_VERSION;
}

std::string LibUsbDriver::DriverText(uint32_t code) const {
    if (code == CYUSB_REQ_TEXT_A) {
        const libusb_version* v = libusb_get_version();
        return "libusb " + std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
               std::to_string(v->micro);
    }
    return "usb bus " + std::to_string(m_bridge->bus) + " device " +
           std::to_string(m_bridge->address);
}

// Asked of the device once per open bridge. A device that stalls GET_INTERFACE is in the
// setting a claim leaves it in: 0.
uint8_t LibUsbDriver::AltSetting() {
    if (m_bridge->altSetting < 0) {
        uint8_t alt = 0;
        int r = m_api->ControlTransfer(m_bridge->handle, REQTYPE_STANDARD_INTERFACE_IN,
                                       REQ_GET_INTERFACE, 0, BRIDGE_INTERFACE, &alt, 1,
                                       USB_CONTROL_WAIT_MS);
        m_bridge->altSetting = r == 1 ? alt : 0;
    }
    return static_cast<uint8_t>(m_bridge->altSetting);
}

uint32_t LibUsbDriver::Submit(UsbHandle handle, const std::shared_ptr<UsbIoRequest>& request) {
    bool buffered = request->Code() == CYUSB_REQ_BULK_BUFFERED;
    if (m_handles.count(handle) == 0 || m_bridge == nullptr ||
        request->In().size() < USB_HEADER_SIZE ||
        (!buffered && request->Code() != CYUSB_REQ_BULK_DIRECT)) {
        request->Complete(false, 0);
        return USB_IO_FAILED;
    }
    UsbTransferHeader h = UsbTransferHeader::Read(request->In().data());
    std::vector<uint8_t>& out = request->Out();
    uint32_t offset = buffered ? USB_HEADER_SIZE : 0;
    if (out.size() < offset) {
        request->Complete(false, 0);
        return USB_IO_FAILED;
    }
    uint32_t length = static_cast<uint32_t>(out.size()) - offset;
    if (buffered) {
        length = std::min(length, h.bufferLength);
    }
    libusb_transfer* transfer = m_api->AllocTransfer();
    if (transfer == nullptr) {
        request->Complete(false, 0);
        return USB_IO_FAILED;
    }
    libusb_fill_bulk_transfer(transfer, m_bridge->handle, h.endpointAddress, out.data() + offset,
                              static_cast<int>(length), &LibUsbDriver::OnTransferDone, this, 0);
    m_pending[transfer] = {request, handle, buffered};
    int r = m_api->SubmitTransfer(transfer);
    if (r < 0) {
        m_pending.erase(transfer);
        m_api->FreeTransfer(transfer);
        m_bridge->broken = r == LIBUSB_ERROR_NO_DEVICE;
        SetHeaderStatus(request->StatusHeader(), NT_STATUS_UNSUCCESSFUL, USBD_STATUS_STALL);
        request->Complete(false, 0);
        return USB_IO_FAILED;
    }
    return USB_IO_PENDING;
}

void LIBUSB_CALL LibUsbDriver::OnTransferDone(libusb_transfer* transfer) {
    static_cast<LibUsbDriver*>(transfer->user_data)->TransferDone(transfer);
}

void LibUsbDriver::TransferDone(libusb_transfer* transfer) {
    auto it = m_pending.find(transfer);
    if (it != m_pending.end()) {
        Pending pending = std::move(it->second);
        m_pending.erase(it);
        bool ok = transfer->status == LIBUSB_TRANSFER_COMPLETED;
        if (ok) {
            SetHeaderStatus(pending.request->StatusHeader(), 0, 0);
        } else if (transfer->status == LIBUSB_TRANSFER_CANCELLED) {
            SetHeaderStatus(pending.request->StatusHeader(), NT_STATUS_CANCELLED,
                            USBD_STATUS_CANCELED);
        } else {
            SetHeaderStatus(pending.request->StatusHeader(), NT_STATUS_UNSUCCESSFUL,
                            USBD_STATUS_STALL);
        }
        if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE && m_bridge != nullptr) {
            m_bridge->broken = true;
        }
        uint32_t bytes = static_cast<uint32_t>(std::max(transfer->actual_length, 0)) +
                         (pending.buffered ? USB_HEADER_SIZE : 0);
        pending.request->Complete(ok, bytes);
    }
    m_api->FreeTransfer(transfer);
}

bool LibUsbDriver::Wait(UsbIoRequest& request, std::chrono::milliseconds timeout) {
    PumpUntil([&request] { return request.Done(); }, timeout);
    return request.Done();
}

// Completions are delivered on this thread, from inside the event handling.
void LibUsbDriver::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done() && m_bStarted) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        timeval tv{static_cast<time_t>(left.count() / 1000000),
                   static_cast<suseconds_t>(left.count() % 1000000)};
        if (m_api->HandleEventsTimeout(m_ctx, &tv) < 0) {
            break;
        }
    }
}

}  // namespace nvds
