#include "link/usb/UsbBridgeDevice.h"

#include <algorithm>
#include <cstring>

#include "link/usb/UsbTransferHeader.h"
#include "platform/LittleEndian.h"

namespace nvds {

namespace {

constexpr uint16_t DESC_TYPE_DEVICE = 0x0100;
constexpr uint16_t DESC_TYPE_CONFIGURATION = 0x0200;
constexpr uint16_t DESC_TYPE_STRING = 0x0300;
constexpr uint8_t DESC_STRING = 3;
constexpr uint16_t DEVICE_DESC_SIZE = 18;
constexpr uint16_t CONFIG_DESC_SIZE = 9;
constexpr uint16_t LANGID_US_ENGLISH = 0x0409;

}  // namespace

UsbBridgeDevice::UsbBridgeDevice(CyUsbDriver& driver, bool open) : m_driver(driver) {
    if (open) {
        OpenDevice(0);
    }
}

UsbBridgeDevice::~UsbBridgeDevice() {
    try {
        ReleaseDevice();
    } catch (const UsbCloseError&) {
        // The handle stays with the driver; there is no one left to tell.
    }
}

int UsbBridgeDevice::CountDevices() {
    return m_driver.CountDevices();
}

bool UsbBridgeDevice::OpenDevice(int n) {
    if (IsOpen()) {
        ReleaseDevice();
    }
    int count = CountDevices();
    if (count == 0 || n < 0 || n > count - 1) {
        m_hDevice = USB_INVALID_HANDLE;
        m_nDevNum = 0;
        return false;
    }
    m_hDevice = m_driver.Open(n);
    if (m_hDevice == USB_INVALID_HANDLE) {
        m_nDevNum = 0;
        return false;
    }
    m_nDevNum = n;
    ReadDeviceDescriptor();
    ReadLanguage();
    ReadString(iManufacturer, m_szManufacturer);
    ReadString(iProduct, m_szProduct);
    ReadString(iSerialNumber, m_szSerialNumber);
    ReadDriverValues();
    ReadConfigurations();
    std::vector<uint8_t> control = ControlEndpointDescriptor(bMaxPacketSize0);
    m_pControlEndpoint = std::make_unique<UsbEndpoint>(&m_driver, m_hDevice, control.data());
    bool anyInterface =
        std::any_of(m_configs.begin(), m_configs.end(),
                    [](const UsbConfiguration& c) { return !c.m_interfaces.empty(); });
    if (!anyInterface) {
        return false;
    }
    SelectInterface();
    return true;
}

void UsbBridgeDevice::CloseDevice() {
    if (!IsOpen()) {
        return;
    }
    if (m_bHandleNotification) {
        // Handle notifications need a window; without one none was ever registered.
        throw UsbCloseError(MSG_CLOSE_NOTIFICATION_FAILED);
    }
    if (!m_driver.Close(m_hDevice)) {
        throw UsbCloseError(MSG_CLOSE_HANDLE_FAILED);
    }
    m_hDevice = USB_INVALID_HANDLE;
    m_bHandleNotification = false;
}

void UsbBridgeDevice::ReleaseDevice() {
    CloseDevice();
    m_deviceDescriptor.fill(0);
    m_pInterface = nullptr;
    m_pIsocInEndpoint = m_pIsocOutEndpoint = nullptr;
    m_pBulkInEndpoint = m_pBulkOutEndpoint = nullptr;
    m_pInterruptInEndpoint = m_pInterruptOutEndpoint = nullptr;
    m_configs.clear();
    m_configDescriptors.clear();
    m_pControlEndpoint.reset();
    m_nConfig = 0;
    m_nAltSetting = 0;
}

bool UsbBridgeDevice::DeviceRequest(uint32_t code, uint8_t* buffer, uint32_t length) {
    if (!IsOpen()) {
        return false;
    }
    uint32_t returned = 0;
    bool ok = m_driver.Request(m_hDevice, code, buffer, length, returned);
    m_nBytesReturned = returned;
    if (code == CYUSB_REQ_CONTROL && length >= USB_HEADER_SIZE) {
        UsbTransferHeader header = UsbTransferHeader::Read(buffer);
        m_nUsbdStatus = header.usbdStatus;
        m_nNtStatus = header.ntStatus;
    }
    return ok;
}

// Header and data share one buffer; only what the driver says it returned is taken.
bool UsbBridgeDevice::GetDescriptor(uint16_t wValue, uint16_t wIndex, uint16_t wLength,
                                    std::vector<uint8_t>& data) {
    std::vector<uint8_t> buffer(USB_HEADER_SIZE + wLength);
    UsbTransferHeader::GetDescriptor(wValue, wIndex, wLength).Write(buffer.data());
    data.clear();
    if (!DeviceRequest(CYUSB_REQ_CONTROL, buffer.data(), static_cast<uint32_t>(buffer.size()))) {
        return false;
    }
    uint32_t returned = std::min<uint32_t>(m_nBytesReturned, static_cast<uint32_t>(buffer.size()));
    if (returned > USB_HEADER_SIZE) {
        data.assign(buffer.begin() + USB_HEADER_SIZE, buffer.begin() + returned);
    }
    return true;
}

// Device descriptor: [0] bLength [1] type 1 [2..3] bcdUSB [4] class [5] subclass [6] protocol
// [7] bMaxPacketSize0 [8..9] idVendor [10..11] idProduct [12..13] bcdDevice [14] iManufacturer
// [15] iProduct [16] iSerialNumber [17] bNumConfigurations
void UsbBridgeDevice::ReadDeviceDescriptor() {
    std::vector<uint8_t> d;
    if (!GetDescriptor(DESC_TYPE_DEVICE, 0, DEVICE_DESC_SIZE, d) || d.size() < DEVICE_DESC_SIZE) {
        return;
    }
    std::copy(d.begin(), d.begin() + DEVICE_DESC_SIZE, m_deviceDescriptor.begin());
    bMaxPacketSize0 = d[7];
    idVendor = GetLe16(&d[8]);
    idProduct = GetLe16(&d[10]);
    iManufacturer = d[14];
    iProduct = d[15];
    iSerialNumber = d[16];
    bNumConfigurations = d[17];
}

// String descriptor 0: [0] bLength [1] type 3, then 16-bit language ids.
void UsbBridgeDevice::ReadLanguage() {
    std::vector<uint8_t> head;
    if (!GetDescriptor(DESC_TYPE_STRING, 0, 2, head) || head.empty()) {
        return;
    }
    std::vector<uint8_t> list;
    if (!GetDescriptor(DESC_TYPE_STRING, 0, head[0], list)) {
        return;
    }
    size_t end = std::min<size_t>(list.size(), head[0]);
    for (size_t i = 2; i + 1 < end; i += 2) {
        uint16_t id = GetLe16(&list[i]);
        if (i == 2) {
            m_nLanguageId = id;
        }
        if (id == LANGID_US_ENGLISH) {
            m_nLanguageId = id;
            break;
        }
    }
}

void UsbBridgeDevice::ReadString(uint8_t index, std::array<char16_t, 128>& text) {
    uint16_t wValue = static_cast<uint16_t>(DESC_TYPE_STRING + index);
    std::vector<uint8_t> head;
    if (!GetDescriptor(wValue, m_nLanguageId, 2, head) || head.empty()) {
        return;
    }
    std::vector<uint8_t> d;
    if (!GetDescriptor(wValue, m_nLanguageId, head[0], d) || d.size() <= 2 || d[1] != DESC_STRING) {
        return;
    }
    text.fill(0);
    size_t declared = d[0] >= 2 ? d[0] - 2u : 0;
    size_t bytes = std::min<size_t>({declared, d.size() - 2, text.size() * 2 - 2});
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        text[i / 2] = static_cast<char16_t>(GetLe16(&d[2 + i]));
    }
}

void UsbBridgeDevice::ReadDriverValues() {
    uint8_t value = 0;
    m_nDeviceValue =
        DeviceRequest(CYUSB_REQ_DEVICE_VALUE, &value, 1) && m_nBytesReturned ? value : 0;
    DeviceRequest(CYUSB_REQ_TEXT_A, m_textA.data(), CYUSB_TEXT_SIZE);
    DeviceRequest(CYUSB_REQ_TEXT_B, m_textB.data(), CYUSB_TEXT_SIZE);
    uint8_t word[4] = {};
    if (DeviceRequest(CYUSB_REQ_DRIVER_VERSION, word, 4)) {
        m_nDriverVersion = GetLe32(word);
    }
    std::memset(word, 0, sizeof word);
    if (DeviceRequest(CYUSB_REQ_VERSION_WORD, word, 4)) {
        m_nVersionWord = GetLe32(word);
    }
    std::memset(word, 0, sizeof word);
    if (DeviceRequest(CYUSB_REQ_BUS_SPEED, word, 4)) {
        m_bHighSpeed = GetLe32(word) == CYUSB_SPEED_HIGH;
    }
}

void UsbBridgeDevice::ReadConfigurations() {
    size_t count = std::min<size_t>(bNumConfigurations, USB_MAX_CONFIGURATIONS);
    for (size_t i = 0; i < count; ++i) {
        uint16_t wValue = static_cast<uint16_t>(DESC_TYPE_CONFIGURATION + i);
        std::vector<uint8_t> head;
        if (!GetDescriptor(wValue, 0, CONFIG_DESC_SIZE, head) || head.size() < 4) {
            continue;
        }
        std::vector<uint8_t> full;
        if (!GetDescriptor(wValue, 0, GetLe16(&head[2]), full)) {
            continue;
        }
        UsbConfiguration config;
        if (ParseConfiguration(full.data(), full.size(), &m_driver, m_hDevice, bMaxPacketSize0,
                               config)) {
            m_configDescriptors.push_back(std::move(full));
            m_configs.push_back(std::move(config));
        }
    }
}

void UsbBridgeDevice::SelectInterface() {
    m_nConfig = 0;
    uint8_t alt = 0xFF;
    if (!DeviceRequest(CYUSB_REQ_ALT_SETTING, &alt, 1)) {
        alt = 0xFF;
    }
    m_nAltSetting = alt;
    for (UsbInterface& itf : m_configs[0].m_interfaces) {
        if (itf.bAlternateSetting == alt) {
            m_pInterface = &itf;
            break;
        }
    }
    if (m_pInterface == nullptr) {
        return;
    }
    for (size_t i = 1; i < m_pInterface->m_endpoints.size(); ++i) {
        UsbEndpoint* ep = m_pInterface->m_endpoints[i].get();
        if (m_nDriverVersion < CYUSB_DIRECT_VERSION) {
            ep->m_nTransferMode = USB_MODE_BUFFERED;
        }
        UsbEndpoint** slot = nullptr;
        switch (ep->Kind()) {
            case USB_EP_ISOCHRONOUS:
                slot = ep->m_bIn ? &m_pIsocInEndpoint : &m_pIsocOutEndpoint;
                break;
            case USB_EP_BULK:
                slot = ep->m_bIn ? &m_pBulkInEndpoint : &m_pBulkOutEndpoint;
                break;
            case USB_EP_INTERRUPT:
                slot = ep->m_bIn ? &m_pInterruptInEndpoint : &m_pInterruptOutEndpoint;
                break;
            default:
                break;
        }
        if (slot != nullptr && *slot == nullptr) {
            *slot = ep;
        }
    }
}

}  // namespace nvds
